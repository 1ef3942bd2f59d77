// The scan that fills the process table from /proc.
#pragma once

#include <cstdint>
#include <string>

#include "hoststats/arena.hpp"
#include "hoststats/process.hpp"
#include "hoststats/selection.hpp"

namespace hoststats {

// What a scan left undone that its records cannot tell.
struct ScanOutcome {
    // The waits on other processes' address-space locks reached their
    // bound, so later command lines and environments were not read.
    bool list_waits_spent = false;
};

// Walks `proc_root` and refreshes `table` from it: every process, and every
// task when the selection asks for them, gets a record that is new or
// refreshed and marked `updated`. Command lines and environments are read
// only for the processes of `caller_uid` and root. Records and the scan's
// scratch space live in `memory`.
ScanOutcome scan_processes(ProcessTable& table, const std::string& proc_root,
                           SnapshotMemory& memory, const HostFigures& host,
                           const ProcessSelection& selection, std::uint32_t caller_uid);

}  // namespace hoststats
