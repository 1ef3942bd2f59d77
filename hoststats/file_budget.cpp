#include "hoststats/file_budget.hpp"

#include <sys/resource.h>

#include <limits>

namespace hoststats {

std::int64_t budget_from_limits(bool got_limits, std::uint64_t soft, std::uint64_t hard,
                                bool raised) noexcept {
    if (!got_limits) return 512;
    constexpr std::uint64_t WIDEST = std::numeric_limits<std::uint32_t>::max();
    const std::uint64_t limit = raised ? hard : soft;
    const auto limit32 = static_cast<std::uint32_t>(limit > WIDEST ? WIDEST : limit);
    return static_cast<std::int64_t>(limit32 >> 1);
}

namespace {

// Raises the soft limit on open files to the hard one; the budget is half of
// whatever limit is then in force, the other half being the rest of the
// process's.
std::int64_t initial_budget() noexcept {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return budget_from_limits(false, 0, 0, false);
    const std::uint64_t soft = limits.rlim_cur;
    limits.rlim_cur = limits.rlim_max;
    const bool raised = ::setrlimit(RLIMIT_NOFILE, &limits) == 0;
    return budget_from_limits(true, soft, limits.rlim_max, raised);
}

}  // namespace

std::atomic<std::int64_t>& remaining_files() noexcept {
    // A function-local static: the first caller initialises it, any other
    // thread arriving meanwhile waits for that.
    static std::atomic<std::int64_t> REMAINING_FILES{initial_budget()};
    return REMAINING_FILES;
}

}  // namespace hoststats
