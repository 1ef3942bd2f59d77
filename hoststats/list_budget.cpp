#include "hoststats/list_budget.hpp"

#include <sys/resource.h>

#include <algorithm>

namespace hoststats {

bool may_wait_on(const std::optional<UserIds>& uids, std::uint32_t caller) noexcept {
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
    : left_(bytes), wait_left_(wait) {}

bool ListBudget::take(std::size_t bytes) noexcept {
    if (out_of_bytes_ || bytes > left_) {
        out_of_bytes_ = true;
        return false;
    }
    left_ -= bytes;
    return true;
}

ListBudget::ReadStart ListBudget::read_starts() noexcept {
    // The switches first: a sleep between the two readings then counts as
    // the read's, not the other way round.
    const long sleeps = voluntary_switches();
    return {std::chrono::steady_clock::now(), sleeps};
}

void ListBudget::charge_read(const ReadStart& start) noexcept {
    const std::chrono::nanoseconds elapsed = std::chrono::steady_clock::now() - start.at;
    // The second reading is made only for the rare read that took long.
    if (elapsed <= LIST_READ_GRACE) return;
    const long sleeps = voluntary_switches();
    charge_read(elapsed, sleeps != start.sleeps || sleeps < 0);
}

void ListBudget::charge_read(std::chrono::nanoseconds elapsed, bool slept) noexcept {
    if (elapsed <= LIST_READ_GRACE || !slept) return;
    const std::chrono::nanoseconds waited = elapsed - LIST_READ_GRACE;
    if (waited >= wait_left_) {
        wait_left_ = std::chrono::nanoseconds::zero();
        waited_out_ = true;
        return;
    }
    wait_left_ -= waited;
}

}  // namespace hoststats
