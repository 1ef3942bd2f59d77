// Reading an entry's directory under /proc: what one scan may read and keep
// of command lines, environments and links, the files that every task of a
// thread group shares, the detail readers that fill a Process record from
// the other files beside "stat", and the process-wide open-file budget.
#pragma once

#include <atomic>
#include <chrono>
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

// The process-wide open-file budget: how many "stat" files may be kept
// open between scans, half the open-files limit. The scan keeps none, so
// nothing draws on it; what matters is its first use, which raises the soft
// RLIMIT_NOFILE to the hard limit once for the life of the process. Every
// scan makes sure that has happened.
std::atomic<std::int64_t>& remaining_files() noexcept;

// --- reading ------------------------------------------------------------------

// The host's figures and the selection a scan works with, and its scratch
// space.
struct ScanContext {
    HostClock host;
    ProcessSelection selection;
    std::uint32_t caller_uid = 0;  // whose processes' lists the scan reads, beside root's
    ReadBuffer stat_buffer;  // the entry's "stat", parsed fields point into it
    ReadBuffer scratch;      // every other file
};

// An entry's "status", read at most once: its thread-group id and its user
// and group ids come from the one reading, so they tell of one instant.
struct EntryStatus {
    bool tried = false;  // the one reading was made, whatever came of it
    std::optional<Pid> tgid;
    std::optional<UserGroupIds> ids;
    std::optional<UserIds> uids;  // all four user ids

    void read_once(int dirfd, ReadBuffer& scratch);
};

// Whether a call by the user `caller` (its effective id) reads a process's
// "cmdline" and "environ". Both wait on the process's address-space lock,
// and the kernel's wait there yields to nothing but a fatal signal: a
// process that keeps its lock held while it is starved of CPU (a thread at
// SCHED_IDLE in mprotect over some GiB) holds such a read, and the call, for
// seconds. So they are read only for a process the caller could stop
// itself anyway: every user id of its "status" (real, effective, saved,
// file-system) is the caller's or root's. Another user's process, and one
// whose ids cannot be read, has its lists treated as unreadable.
[[nodiscard]] bool lists_readable_by(const std::optional<UserIds>& uids,
                                     std::uint32_t caller) noexcept;

// Bytes of command lines, environments and link targets that one scan reads
// and keeps, all together: well above what the processes of a busy host
// hold, far below what other users' processes could make a call hold. Each
// list is at most a few MiB (the kernel limits what exec passes), so a call
// stays within this plus one list.
inline constexpr std::size_t KEPT_LIST_BYTES = std::size_t{32} * 1024 * 1024;

// Reading another process's "cmdline" or "environ" waits for that process's
// address-space lock, and the kernel's wait there yields to nothing but a
// fatal signal: a process that keeps its own lock busy (mprotect over a
// large region, in a loop) holds every such read for as long as one hold
// lasts. A list read waited when it took longer than LIST_READ_GRACE, which
// no read that runs through needs (a few microseconds; a list of some MiB
// takes well under a millisecond), and the thread slept meanwhile: time
// lost to other programs taking the CPU is no wait. Once the waits of one
// scan come to LIST_WAIT_BOUND, its later lists are treated as unreadable,
// so a call waits at most that and one hold more, whoever holds the locks.
inline constexpr std::chrono::nanoseconds LIST_READ_GRACE = std::chrono::microseconds(100);
inline constexpr std::chrono::nanoseconds LIST_WAIT_BOUND = std::chrono::milliseconds(20);

// What is left of KEPT_LIST_BYTES and LIST_WAIT_BOUND in one scan. Once a
// list or a link target does not fit, or the waits reach their bound, the
// budget is spent: every later list is treated as unreadable, and not even
// read. Link targets, which wait on no other process, are kept while their
// bytes fit.
class ListBudget {
public:
    explicit ListBudget(std::size_t bytes,
                        std::chrono::nanoseconds wait = LIST_WAIT_BOUND) noexcept;
    [[nodiscard]] bool spent() const noexcept { return out_of_bytes_ || waited_out_; }
    // Whether the waits reached their bound: lists were left unread because
    // processes held their locks, not for their size.
    [[nodiscard]] bool waited_out() const noexcept { return waited_out_; }
    // Takes `bytes` when they fit; otherwise spends the budget. Whether
    // they were taken.
    [[nodiscard]] bool take(std::size_t bytes) noexcept;
    // Counts a list read that has just taken `elapsed` against the waits.
    void charge_read(std::chrono::nanoseconds elapsed) noexcept;

private:
    std::size_t left_;                    // bytes
    std::chrono::nanoseconds wait_left_;  // of the waits past the grace
    long sleeps_seen_;                    // the thread's voluntary context switches
    bool out_of_bytes_ = false;
    bool waited_out_ = false;
};

// What all tasks of one thread group read alike: the files of the address
// space they share ("cmdline", "environ", "statm" and the "exe" link). Each
// is tried by the first entry of the group that wants it, and what came of
// that one attempt (a list, an empty list, a failure) is what every other
// task of the group gets: a process of a thousand threads costs one read,
// whatever its files hold or refuse. The "cwd" and "root" links, which a
// task may change for itself alone, are read for each task, but a target
// equal to the one the group kept last is kept only once.
class SharedSpace {
public:
    // Lists and link targets come from `records`, environments from
    // `secrets`; `budget` bounds what the whole scan keeps of them.
    SharedSpace(std::pmr::memory_resource* records, std::pmr::memory_resource* secrets,
                ListBudget& budget)
        : cmdline_(records), environ_(secrets), records_(records), secrets_(secrets),
          budget_(&budget) {}

    // A new thread group.
    void reset() noexcept;
    // An address space of its own, with nothing read yet, drawing on the
    // same budget.
    [[nodiscard]] SharedSpace own_space() const { return {records_, secrets_, *budget_}; }

    // The executable, " (deleted)" taken off; nothing when it could not be
    // read or kept.
    const std::optional<SharedText>& exe(int dirfd);
    // The task's links, read now; nothing when they could not be read or
    // kept.
    std::optional<SharedText> cwd(int dirfd) { return task_link(dirfd, "cwd", cwd_); }
    std::optional<SharedText> root(int dirfd) { return task_link(dirfd, "root", root_); }
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

    // The target kept of `text` for the group: `last` when it holds the
    // same text, else a new copy that `last` then holds.
    // Reads the link `name`; its target is kept as `last` says.
    std::optional<SharedText> task_link(int dirfd, const char* name,
                                        std::optional<SharedText>& last);
    std::optional<SharedText> keep_link(std::string_view text, std::optional<SharedText>& last);

    unsigned tried_ = 0;
    std::optional<SharedText> exe_;
    std::optional<SharedText> cwd_;   // the group's last "cwd" target
    std::optional<SharedText> root_;  // and "root" target
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
