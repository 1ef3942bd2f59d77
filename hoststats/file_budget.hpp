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

}  // namespace hoststats
