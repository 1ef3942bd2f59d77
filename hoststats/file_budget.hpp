// The process-wide open-file budget.
#pragma once

#include <atomic>
#include <cstdint>

namespace hoststats {

// How many "stat" files may be kept open between scans, half the open-files
// limit. The scan keeps none, so nothing draws on it; what matters is its
// first use, which raises the soft RLIMIT_NOFILE to the hard limit once for
// the life of the process. Every scan makes sure that has happened.
std::atomic<std::int64_t>& remaining_files() noexcept;

// The open-file budget from what getrlimit/setrlimit gave: half of the
// limit in force (the hard limit once the soft one was raised to it, or the
// soft limit as it stood when the raise failed), so that the other half
// stays with the rest of the caller's process; 512 when the limits could
// not be read. Limits above 2^32-1, unlimited included, count as 2^32-1, so
// that the budget stays positive on 64-bit hosts.
std::int64_t budget_from_limits(bool got_limits, std::uint64_t soft, std::uint64_t hard,
                                bool raised) noexcept;

}  // namespace hoststats
