// The scan that fills the process table from /proc.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "hoststats/arena.hpp"
#include "hoststats/process.hpp"
#include "hoststats/selection.hpp"

namespace hoststats {

// What a scan left undone that its records cannot tell.
struct ScanOutcome {
    // The waits on other processes' locks reached their bound, so later
    // locked files (lists, "stat", "io", links) were not read.
    bool list_waits_spent = false;
};

// Walks `proc_root` and refreshes `table` from it: every process, and every
// task when the selection asks for them, gets a record that is new or
// refreshed and marked `updated`. The files that wait on a process's locks
// are read only for the processes of `caller_uid` and root, and only until
// the waits come to `wait_bound` (the library's bound when absent). Records
// and the scan's scratch space live in `memory`.
ScanOutcome scan_processes(ProcessTable& table, const std::string& proc_root,
                           SnapshotMemory& memory, const HostFigures& host,
                           const ProcessSelection& selection, std::uint32_t caller_uid,
                           std::optional<std::chrono::nanoseconds> wait_bound);

}  // namespace hoststats
