// The detail readers: what fills a Process record from the files of its
// directory under /proc beside "stat".
#pragma once

#include <cstdint>
#include <optional>

#include "hoststats/list_budget.hpp"
#include "hoststats/process.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/read_buffer.hpp"
#include "hoststats/selection.hpp"
#include "hoststats/shared_space.hpp"

namespace hoststats {

// The host's figures and the selection a scan works with, and its scratch
// space.
struct ScanContext {
    HostFigures host;
    ProcessSelection selection;
    std::uint32_t caller_uid = 0;  // whose processes' locked files the scan reads, beside root's
    ListBudget* budget = nullptr;  // the scan's waits on other processes' locks
    // CPU time of the tasks of the thread group at hand so far, nanoseconds:
    // a process whose "stat" may not be read is given its threads' sum.
    std::uint64_t group_cpu_ns = 0;
    ReadBuffer stat_buffer;  // the entry's "stat", parsed fields point into it
    ReadBuffer scratch;      // every other file

    // Whether the entry's files that wait on its locks may be read: it is
    // the caller's or root's, and the scan's waits have not run out.
    [[nodiscard]] bool may_wait(const EntryStatus& status) const noexcept {
        return status.trusted && !budget->waited_out();
    }
};

// Refreshes a record from its directory `dirfd` and its parsed "stat": the
// parent (`parent_pid` when given and not 0, else the "stat" field), the
// state, every detail the selection asks for, and the CPU times; marks it
// updated. `space` holds the thread group's shared files, `status` the
// entry's one reading of "status".
void update_proc_info(Process& process, std::optional<Pid> parent_pid, const StatFields& stat,
                      int dirfd, ScanContext& ctx, SharedSpace& space, EntryStatus& status);

}  // namespace hoststats
