// Which processes' locked files a scan reads, and how much of the command
// lines, environments and link targets it may read and keep.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "hoststats/process_parse.hpp"

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

// Bytes of command lines, environments and link targets that one scan reads
// and keeps, all together: well above what the processes of a busy host
// hold, far below what other users' processes could make a call hold. Each
// list is at most a few MiB (the kernel limits what exec passes), so a call
// stays within this plus one list.
inline constexpr std::size_t KEPT_LIST_BYTES = std::size_t{32} * 1024 * 1024;

// Reading a process's "cmdline" or "environ" waits for its address-space
// lock, and reading its "stat", "io" or links waits for its exec lock; the
// kernel's waits there yield to nothing but a fatal signal, and even the
// caller's own and root's processes may hold them a while. A read waited
// when it took longer than LIST_READ_GRACE, which no read that runs
// through needs (a few microseconds; a list of some MiB takes well under a
// millisecond), and the thread went to sleep during the read itself: time
// lost to other programs taking the CPU, or to a sleep somewhere else in
// the scan, is no wait. A read that slept is charged all it took past the
// grace, the CPU it then queued for included: a lock's holder that keeps
// the CPUs busy makes that queue. (A tracer's stop at each system call is a
// sleep as well: a traced call counts its slow reads as waits.) Once the
// waits of one scan come to LIST_WAIT_BOUND, its later lists are treated as
// unreadable and its later entries are filled as another user's are, so a
// call waits at most that and one hold more, whoever holds the locks.
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
    // When a list read began, and how often the thread had gone to sleep
    // by then (-1 where the kernel does not say).
    struct ReadStart {
        std::chrono::steady_clock::time_point at;
        long sleeps;
    };
    [[nodiscard]] static ReadStart read_starts() noexcept;
    // Counts the list read begun at `start`, which has just ended, against
    // the waits.
    void charge_read(const ReadStart& start) noexcept;
    // Counts a read that took `elapsed`, during which the thread went to
    // sleep or not.
    void charge_read(std::chrono::nanoseconds elapsed, bool slept) noexcept;
    // Runs `read`, a read that may wait on another process's lock, and
    // counts it against the waits, whether it returns or throws.
    template <class Read>
    decltype(auto) timed(Read&& read) {
        struct Charge {
            ListBudget& budget;
            ReadStart start;
            ~Charge() { budget.charge_read(start); }
        } charge{*this, read_starts()};
        return read();
    }

private:
    std::size_t left_;                    // bytes
    std::chrono::nanoseconds wait_left_;  // of the waits past the grace
    bool out_of_bytes_ = false;
    bool waited_out_ = false;
};

}  // namespace hoststats
