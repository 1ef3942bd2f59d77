#include "hoststats/list_budget.hpp"

#include <sys/resource.h>

#include <algorithm>

namespace hoststats {

bool lists_readable_by(const std::optional<UserIds>& uids, std::uint32_t caller) noexcept {
    if (!uids) return false;
    return std::all_of(uids->begin(), uids->end(),
                       [caller](std::uint32_t id) { return id == caller || id == 0; });
}

namespace {

// How often the calling thread has gone to sleep: a wait for a lock counts
// here, being preempted does not. -1 where the kernel does not say.
long voluntary_switches() noexcept {
    rusage usage{};
    return ::getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : -1;
}

}  // namespace

ListBudget::ListBudget(std::size_t bytes, std::chrono::nanoseconds wait) noexcept
    : left_(bytes), wait_left_(wait), sleeps_seen_(voluntary_switches()) {}

bool ListBudget::take(std::size_t bytes) noexcept {
    if (out_of_bytes_ || bytes > left_) {
        out_of_bytes_ = true;
        return false;
    }
    left_ -= bytes;
    return true;
}

void ListBudget::charge_read(std::chrono::nanoseconds elapsed) noexcept {
    // The system call is made only for the rare read that took long.
    if (elapsed <= LIST_READ_GRACE) return;
    const long sleeps = voluntary_switches();
    const bool slept = sleeps != sleeps_seen_ || sleeps < 0;
    sleeps_seen_ = sleeps;
    if (!slept) return;
    const std::chrono::nanoseconds waited = elapsed - LIST_READ_GRACE;
    if (waited >= wait_left_) {
        wait_left_ = std::chrono::nanoseconds::zero();
        waited_out_ = true;
        return;
    }
    wait_left_ -= waited;
}

}  // namespace hoststats
