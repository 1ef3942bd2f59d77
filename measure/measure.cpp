#include "measure/measure.hpp"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <optional>

#include "hoststats/system.hpp"
#include "measure/memory_report.hpp"

namespace pellun::measure {

using hoststats::HostRoot;
using hoststats::System;

MemoryReport compute_memory_report(std::uint64_t total, std::uint64_t available) noexcept {
    const std::uint64_t used = available < total ? total - available : 0;
    const double used_d = static_cast<double>(used);
    const double total_d = static_cast<double>(total);
    // Scaling by 2^-10 twice is exact, like dividing by 1024 twice;
    // std::round rounds half away from zero (0.25 -> 0.3, 62.5 -> 63).
    constexpr double kKiB = 0x1p-10;
    MemoryReport report;
    report.ram_percent =
        total == 0 ? 0.0 : std::round(((used_d / total_d) * 100.0) * 10.0) / 10.0;
    report.ram_used_mb = std::round(((used_d * kKiB) * kKiB) * 10.0) / 10.0;
    report.ram_total_mb = std::round(((total_d * kKiB) * kKiB) * 10.0) / 10.0;
    return report;
}

StagingMap stage(const MemoryReport& report) {
    StagingMap staged;
    staged.emplace("ram_used_mb", report.ram_used_mb);
    staged.emplace("ram_total_mb", report.ram_total_mb);
    staged.emplace("ram_percent", report.ram_percent);
    return staged;
}

PyResult<Owned> memory_report(const HostRoot& root) {
    std::optional<System> snapshot = System::new_all(root);
    snapshot->refresh_memory();
    StagingMap staged =
        stage(compute_memory_report(snapshot->mem_total(), snapshot->mem_available()));
    // The snapshot (and the memory mapped for it) goes before any
    // Python object is made.
    snapshot.reset();
    return staged_to_dict(staged);
}

namespace {

// 100 ms on the monotonic clock. A signal cuts clock_nanosleep short; the
// rest of the pause is requested again until all of it has passed.
void pause_100ms() noexcept {
    timespec request{0, 100'000'000};
    timespec remaining{};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &request, &remaining) == EINTR) {
        request = remaining;
    }
}

}  // namespace

PyResult<Owned> cpu_report(const HostRoot& root) {
    float percent;
    {
        System snapshot = System::new_all(root);
        // Both readings around the pause are taken whatever the time since
        // the previous one: the figure must describe the pause itself.
        snapshot.inner().cpus.clear_last_reading();
        snapshot.refresh_cpu_all();
        pause_100ms();
        snapshot.inner().cpus.clear_last_reading();
        snapshot.refresh_cpu_all();
        percent = snapshot.global_usage_percent();
    }
    // Widened exactly: the figure keeps its single-precision value.
    return check_new(py::float_from_double(static_cast<double>(percent)));
}

PyResult<Owned> get_memory_mb(PyObject* /*self*/) { return memory_report(HostRoot{}); }

PyResult<Owned> get_cpu_percent(PyObject* /*self*/) { return cpu_report(HostRoot{}); }

}  // namespace pellun::measure
