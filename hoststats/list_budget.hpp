// Which processes' command lines and environments a scan reads, and how much
// of them, with link targets, it may read and keep.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "hoststats/process_parse.hpp"

namespace hoststats {

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
// takes well under a millisecond), and the thread went to sleep during the
// read itself: time lost to other programs taking the CPU, or to a sleep
// somewhere else in the scan, is no wait. A read that slept is charged all
// it took past the grace, the CPU it then queued for included: a lock's
// holder that keeps the CPUs busy makes that queue. (A tracer's stop at each
// system call is a sleep as well: a traced call counts its slow reads as
// waits.) Once the waits of one scan come to LIST_WAIT_BOUND, its later
// lists are treated as unreadable, so a call waits at most that and one
// hold more, whoever holds the locks.
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

private:
    std::size_t left_;                    // bytes
    std::chrono::nanoseconds wait_left_;  // of the waits past the grace
    bool out_of_bytes_ = false;
    bool waited_out_ = false;
};

}  // namespace hoststats
