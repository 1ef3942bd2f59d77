// CPU descriptors from /proc/cpuinfo and /sys: vendor and brand (decoded
// from the implementer and part codes on ARM), and each CPU's clock rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "hoststats/hash.hpp"
#include "hoststats/host_root.hpp"

namespace hoststats {

// What /proc/cpuinfo says of one processor; empty where it says nothing.
struct CpuDescriptors {
    std::string vendor_id;
    std::string brand;

    friend bool operator==(const CpuDescriptors&, const CpuDescriptors&) = default;
};

// Processor number -> its descriptors, from /proc/cpuinfo.
using DescriptorTable = std::unordered_map<std::size_t, CpuDescriptors, SeededHash>;

// Parses the text of /proc/cpuinfo into processor number -> descriptors.
DescriptorTable get_vendor_id_and_brand_inner(std::string_view cpuinfo);

// The "0x"-prefixed hexadecimal code of a cpuinfo line's value; 0 when none.
std::uint32_t get_hex_value(std::string_view line) noexcept;

std::optional<std::string_view> arm_implementer_name(std::uint32_t implementer) noexcept;
std::optional<std::string_view> arm_part_name(std::uint32_t implementer, std::uint32_t part) noexcept;

// Frequency of the CPU at `position` in MHz from sysfs scaling_cur_freq:
// nothing when the file is missing, unreadable or holds no number. The CPU
// refresh falls back on the first "cpu MHz"/"BogoMIPS"/"clock" line of
// /proc/cpuinfo (`cpuinfo_frequency`), and on 0.
std::optional<std::uint64_t> read_sysfs_frequency(const HostRoot& root, std::size_t position);
// The text of /proc/cpuinfo, which must be UTF-8; false when it cannot be had.
bool read_cpuinfo(const HostRoot& root, std::string& text);
// The MHz figure of a cpuinfo text, the fallback of the sysfs figure.
std::uint64_t cpuinfo_frequency(std::string_view cpuinfo);

}  // namespace hoststats
