// Reading an entry's directory under /proc: the reusable read buffers of a
// scan, the files that every task of a thread group shares, the detail
// readers that fill a Process record from the other files beside "stat", and
// the process-wide open-file budget.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>

#include "hoststats/process.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/read_buffer.hpp"
#include "hoststats/selection.hpp"

namespace hoststats {

// --- the open-file budget ---------------------------------------------------

// How many more "stat" files may be kept open, process-wide. Initialised on
// first use: the soft RLIMIT_NOFILE is raised to the hard limit, and the
// budget is half the limit that is then in force. The scan keeps no file
// open from one read to the next, so it draws nothing from the budget; every
// scan still initialises it, for the raise of the limit.
std::atomic<std::int64_t>& remaining_files() noexcept;

// --- reading ------------------------------------------------------------------

// The host's figures and the selection a scan works with, and its scratch
// space.
struct ScanContext {
    HostClock host;
    ProcessSelection selection;
    ReadBuffer stat_buffer;  // the entry's "stat", parsed fields point into it
    ReadBuffer scratch;      // every other file
};

// An entry's "status", read at most once: its thread-group id and its user
// and group ids come from the one reading, so they tell of one instant.
struct EntryStatus {
    bool tried = false;  // the one reading was made, whatever came of it
    std::optional<Pid> tgid;
    std::optional<UserGroupIds> ids;

    void read_once(int dirfd, ReadBuffer& scratch);
};

// Bytes of command lines and environments that one scan reads and keeps,
// all lists together: well above what the processes of a busy host hold,
// far below what other users' processes could make a call hold. Each list
// is at most a few MiB (the kernel limits what exec passes), so a call
// stays within this plus one list.
inline constexpr std::size_t KEPT_LIST_BYTES = 32 * 1024 * 1024;

// What is left of KEPT_LIST_BYTES in one scan. Once a list does not fit,
// the budget is spent: that list and every later one are treated as
// unreadable, and not even read.
class ListBudget {
public:
    explicit ListBudget(std::size_t bytes) noexcept : left_(bytes) {}
    [[nodiscard]] bool spent() const noexcept { return spent_; }
    // Takes `bytes` when they fit; otherwise spends the budget. Whether
    // they were taken.
    [[nodiscard]] bool take(std::size_t bytes) noexcept;

private:
    std::size_t left_;  // bytes
    bool spent_ = false;
};

// What all tasks of one thread group read alike: the files of the address
// space they share ("cmdline", "environ", "statm" and the "exe" link). Each
// is tried by the first entry of the group that wants it, and what came of
// that one attempt (a list, an empty list, a failure) is what every other
// task of the group gets: a process of a thousand threads costs one read,
// whatever its files hold or refuse.
class SharedSpace {
public:
    // Lists come from `records`, environments from `secrets`; `budget`
    // bounds what the whole scan keeps of them.
    SharedSpace(std::pmr::memory_resource* records, std::pmr::memory_resource* secrets,
                ListBudget& budget)
        : cmdline_(records), environ_(secrets), records_(records), secrets_(secrets),
          budget_(&budget) {}

    // A new thread group.
    void reset() noexcept;
    // An address space of its own, with nothing read yet, drawing on the
    // same budget.
    [[nodiscard]] SharedSpace own_space() const { return {records_, secrets_, *budget_}; }

    const std::optional<std::string>& exe(int dirfd);
    const ByteStringList& cmdline(int dirfd, ReadBuffer& scratch);
    const ByteStringList& environ(int dirfd, ReadBuffer& scratch);
    // Null when "statm" could not be read.
    const StatmBytes* statm(int dirfd, ReadBuffer& scratch, std::uint64_t page_size);

private:
    // Which files the group has tried, one bit each.
    enum Tried : unsigned { Exe = 1, Cmdline = 2, Environ = 4, Statm = 8 };
    bool first_try(Tried file) noexcept;
    ByteStringList read_list(int dirfd, const char* name, ReadBuffer& scratch,
                             std::pmr::memory_resource* memory);

    unsigned tried_ = 0;
    std::optional<std::string> exe_;
    ByteStringList cmdline_;
    ByteStringList environ_;
    std::optional<StatmBytes> statm_;
    std::pmr::memory_resource* records_;
    std::pmr::memory_resource* secrets_;
    ListBudget* budget_;
    bool environ_refused_ = false;  // for the scan: environments cannot be kept
};

// Refreshes a record from its directory `dirfd` and its parsed "stat": the
// parent (`parent_pid` when given and not 0, else the "stat" field), the
// state, every detail the selection asks for, and the CPU times; marks it
// updated. `space` holds the thread group's shared files, `status` the
// entry's one reading of "status".
void update_proc_info(Process& process, std::optional<Pid> parent_pid, const StatFields& stat,
                      int dirfd, ScanContext& ctx, SharedSpace& space, EntryStatus& status);

}  // namespace hoststats
