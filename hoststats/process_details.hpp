// The detail readers: what fills a Process record from the files of its
// directory under /proc beside "stat", what an entry reads of its "status"
// once for all its needs, and whose locked files a scan reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hoststats/list_budget.hpp"
#include "hoststats/process.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/read_buffer.hpp"
#include "hoststats/selection.hpp"
#include "hoststats/shared_space.hpp"

namespace hoststats {

// Whether a call by the user `caller` (its effective id) may wait on a
// process's locks: read its "cmdline" and "environ", which wait on its
// address-space lock, and its "stat", "io" and "exe", "cwd" and "root"
// links, which wait on its exec lock (since Linux 6.x for "stat" and the
// links, for years for "io"). The kernel's waits there yield to nothing but
// a fatal signal, and any user can hold either lock for seconds: a thread
// at SCHED_IDLE in mprotect over some GiB holds the first, an execve()
// whose old address space is torn down slowly, or that waits for the first,
// holds the second. So they are read only for a process the caller could
// stop itself anyway: every user id of its "status" (real, effective,
// saved, file-system) is the caller's or root's. A setuid execve() commits
// its new ids only once it holds the exec lock, so ids read before it are
// still the neighbour's. Another user's process, and one whose ids cannot
// be read, is filled from files that take neither lock.
[[nodiscard]] bool may_wait_on(const std::optional<UserIds>& uids,
                               std::uint32_t caller) noexcept;

// An entry's "status", read at most once: its thread-group id, its user
// and group ids, and whether its locked files may be read come from the one
// reading, so they tell of one instant.
struct EntryStatus {
    bool tried = false;  // the one reading was made, whatever came of it
    bool read = false;   // and it succeeded
    // Every user id is the caller's or root's (see `may_wait_on`).
    bool trusted = false;
    std::optional<Pid> tgid;
    std::optional<UserGroupIds> ids;  // only when the selection asks for them
    std::optional<UserIds> uids;      // all four
    // What stands in for "stat" where it may not be read.
    struct StatStandIn {
        std::string name;  // unescaped
        std::string state, ppid;
    };
    StatStandIn stand_in;

    // Every entry of a scan reads for one `selection`, by one `caller`.
    void read_once(int dirfd, ReadBuffer& scratch, const ProcessSelection& selection,
                   std::uint32_t caller);
    // The fields of "stat" that "status" has too, the state and the parent,
    // and the name: nothing else, so every other field reads as missing.
    // False when "status" could not be read. The views point into this.
    [[nodiscard]] bool stat_stand_in(StatFields& out) const noexcept;
};

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
