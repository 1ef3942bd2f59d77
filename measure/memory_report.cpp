// The memory report's figures, rounded, and its entries staged for the
// dictionary.
#include "measure/memory_report.hpp"

#include <cmath>

namespace pellun::measure {

MemoryReport compute_memory_report(std::uint64_t total_kib, std::uint64_t available_kib) noexcept {
    const std::uint64_t used_kib = available_kib < total_kib ? total_kib - available_kib : 0;
    // A count of 1024-byte units converts to the double that its count of
    // bytes would, scaled by 2^-10: each figure below is, bit for bit, the
    // one computed from bytes, wherever the bytes fit in 64 bits.
    const double used_d = static_cast<double>(used_kib);
    const double total_d = static_cast<double>(total_kib);
    // Scaling by 2^-10 is exact, like dividing by 1024; std::round rounds
    // half away from zero (0.25 -> 0.3, 62.5 -> 63).
    constexpr double KIB = 0x1p-10;
    MemoryReport report;
    report.ram_percent =
        total_kib == 0 ? 0.0 : std::round(((used_d / total_d) * 100.0) * 10.0) / 10.0;
    report.ram_used_mb = std::round((used_d * KIB) * 10.0) / 10.0;
    report.ram_total_mb = std::round((total_d * KIB) * 10.0) / 10.0;
    return report;
}

StagingMap stage(const MemoryReport& report) {
    StagingMap staged;
    staged.emplace("ram_used_mb", report.ram_used_mb);
    staged.emplace("ram_total_mb", report.ram_total_mb);
    staged.emplace("ram_percent", report.ram_percent);
    return staged;
}

}  // namespace pellun::measure
