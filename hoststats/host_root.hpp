// Where the host's /proc and /sys trees are, and whose processes a scan
// treats as the caller's.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hoststats {

// Where the host's /proc and /sys trees are. The real host uses "/proc" and
// "/sys"; tests point both at a fixture tree.
struct HostRoot {
    std::string proc = "/proc";
    std::string sys = "/sys";
    // Whose processes' command lines and environments a scan reads, beside
    // root's: when absent, the calling process's effective user. A fixture
    // tree names the user its made-up processes are measured by.
    std::optional<std::uint32_t> caller_uid;
    // How long a scan may wait in all on the locks of the caller's and
    // root's processes before it reads no more locked files; the library's
    // bound when absent. A traced scan, whose every stop for its tracer is a
    // sleep, counts its slow reads as waits: tests that trace one and
    // count its reads lift the bound.
    std::optional<std::chrono::nanoseconds> wait_bound;

    // A fixture tree laid out as <prefix>/proc and <prefix>/sys.
    static HostRoot under(std::string_view prefix);
};

}  // namespace hoststats
