// CPU time counters from /proc/stat, the usage computed between two readings,
// and the CPU list that also carries each CPU's descriptors.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hoststats/cpuinfo.hpp"
#include "hoststats/file_read.hpp"
#include "hoststats/host_root.hpp"
#include "hoststats/selection.hpp"

namespace hoststats {

// The ten cumulative counters of one /proc/stat CPU line as the file gives
// them, in clock ticks, in the file's order: user, nice, system, idle,
// iowait, irq, softirq, steal, guest, guest_nice.
using CpuCounters = std::array<std::uint64_t, 10>;

// The same counters as stored: user excludes guest and nice excludes
// guest_nice (each clamped at 0), so that a guest's time is counted once.
struct CpuTimes {
    std::uint64_t user = 0;
    std::uint64_t nice = 0;
    std::uint64_t system = 0;
    std::uint64_t idle = 0;
    std::uint64_t iowait = 0;
    std::uint64_t irq = 0;
    std::uint64_t softirq = 0;
    std::uint64_t steal = 0;
    std::uint64_t guest = 0;
    std::uint64_t guest_nice = 0;

    // Sum of every counter, saturating.
    [[nodiscard]] std::uint64_t total() const noexcept;
};

// Two readings of one CPU (or of the aggregate line) and the non-idle share of
// the time between them.
struct CpuUsage {
    CpuTimes previous;
    CpuTimes current;
    std::uint64_t total = 0;           // ticks, sum over `current`
    std::uint64_t previous_total = 0;  // ticks, sum over `previous`
    float percent = 0.0f;              // 0..100, single precision

    // Stores a new reading and recomputes `percent`.
    void set(const CpuCounters& counters) noexcept;

    // Ticks between `previous` and `current`: the sum of each counter's own
    // change, a counter that went backwards counting as no change. When no
    // counter went backwards this is `total` - `previous_total`.
    [[nodiscard]] std::uint64_t interval() const noexcept;
};

struct Cpu {
    CpuUsage usage;
    std::uint64_t frequency = 0;  // MHz
    std::string name;             // label of the /proc/stat line, e.g. "cpu0"
    std::string vendor_id;
    std::string brand;
};

// Monotonic time in nanoseconds. Replaceable so that tests can step time.
using MonotonicClock = std::uint64_t (*)() noexcept;
std::uint64_t monotonic_now_ns() noexcept;

// Which lines of /proc/stat a refresh reads: every CPU's, or the aggregate
// line alone. A CPU list not filled yet is filled either way.
enum class CpuLines : std::uint8_t { Every, AggregateOnly };

class CpusWrapper {
public:
    CpusWrapper() { cpus_.reserve(4); }

    // Reads /proc/stat under `root` if no reading was made yet or at least
    // 200 ms passed since the last one, then runs the frequency pass if
    // selected.
    void refresh(const HostRoot& root, CpuLines lines, CpuSelection selection);
    // Forgets the previous reading time, so the next refresh reads.
    void clear_last_reading() noexcept { last_reading_.reset(); }

    void set_clock(MonotonicClock clock) noexcept { clock_ = clock; }

    [[nodiscard]] const CpuUsage& global_usage() const noexcept { return global_usage_; }
    [[nodiscard]] const std::vector<Cpu>& cpus() const noexcept { return cpus_; }
    [[nodiscard]] std::optional<std::uint64_t> last_reading() const noexcept { return last_reading_; }
    // Why the last reading taken gave no aggregate figure: /proc/stat could
    // not be opened or read, or its first line is not the aggregate "cpu"
    // line. Empty after a reading that set the figure (or that did not look
    // for it), and before any reading.
    [[nodiscard]] const std::optional<SourceError>& last_error() const noexcept {
        return last_error_;
    }

private:
    // Steps of a due reading of /proc/stat; false when the refresh must end
    // without the frequency pass.
    bool read_stat(const HostRoot& root, CpuLines lines, CpuSelection selection, bool filling,
                   DescriptorTable& descriptors);

    MonotonicClock clock_ = &monotonic_now_ns;
    std::optional<std::uint64_t> last_reading_;  // ns on `clock_`
    std::optional<SourceError> last_error_;
    CpuUsage global_usage_;
    std::vector<Cpu> cpus_;
};

}  // namespace hoststats
