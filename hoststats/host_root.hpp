// Where the host's /proc and /sys trees are, and whose processes a scan
// treats as the caller's.
#pragma once

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

    // A fixture tree laid out as <prefix>/proc and <prefix>/sys.
    static HostRoot under(std::string_view prefix);
};

}  // namespace hoststats
