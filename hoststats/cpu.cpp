// The CPU state's refresh: the time counters of /proc/stat, the usage
// computed between two readings, and the frequency pass. The descriptors
// and frequencies it stores are read by cpuinfo.cpp.
#include "hoststats/cpu.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "hoststats/numbers.hpp"
#include "hoststats/text.hpp"

namespace hoststats {

namespace {

// Readings closer together than this are not taken: the kernel's counters
// move in clock ticks, so shorter intervals give noisy shares.
constexpr std::uint64_t MINIMUM_INTERVAL = 200'000'000;  // ns

constexpr std::size_t COUNTER_COUNT = std::tuple_size_v<CpuCounters>;

constexpr const char* NO_AGGREGATE_LINE = "no aggregate \"cpu\" line";

// Work part of the system time: the kernel charges interrupt handling to irq
// and softirq rather than to system.
std::uint64_t system_part(const CpuTimes& t) noexcept {
    return saturating_add(saturating_add(t.system, t.irq), t.softirq);
}

std::uint64_t guest_part(const CpuTimes& t) noexcept {
    return saturating_add(t.guest, t.guest_nice);
}

// A number of ticks that may pass 2^64 - 1: ten counters, or their
// differences, add up to 68 bits. Two words rather than a 128-bit integer,
// which 32-bit targets lack. Below 2^64 it is the plain sum, so the usage of
// every ordinary reading is what 64-bit arithmetic gives.
struct WideTicks {
    std::uint64_t high = 0;  // units of 2^64
    std::uint64_t low = 0;

    WideTicks& operator+=(std::uint64_t ticks) noexcept {
        low += ticks;
        if (low < ticks) ++high;
        return *this;
    }
    WideTicks& operator+=(WideTicks ticks) noexcept {
        high += ticks.high;
        return *this += ticks.low;
    }

    // a - b, or 0 when b is the larger.
    static WideTicks clamped_difference(WideTicks a, WideTicks b) noexcept {
        if (a.high < b.high || (a.high == b.high && a.low <= b.low)) return {};
        return {a.high - b.high - (a.low < b.low ? 1 : 0), a.low - b.low};
    }

    [[nodiscard]] bool is_zero() const noexcept { return high == 0 && low == 0; }

    // The nearest float. Above 2^64 the top 64 bits are converted, with the
    // bits shifted out folded into the lowest one, so that they still decide
    // a rounding that would otherwise look like a tie.
    [[nodiscard]] float to_float() const noexcept {
        if (high == 0) return static_cast<float>(low);
        const int shift = 64 - std::countl_zero(high);  // 1 to 64
        const std::uint64_t top = shift == 64 ? high : (high << (64 - shift)) | (low >> shift);
        const std::uint64_t lost = shift == 64 ? low : low & ((std::uint64_t{1} << shift) - 1);
        return std::ldexp(static_cast<float>(top | (lost != 0 ? 1 : 0)), shift);
    }
};

// The ten counters of a reading.
constexpr std::array<std::uint64_t CpuTimes::*, COUNTER_COUNT> COUNTERS = {
    &CpuTimes::user,   &CpuTimes::nice, &CpuTimes::system,  &CpuTimes::idle,
    &CpuTimes::iowait, &CpuTimes::irq,  &CpuTimes::softirq, &CpuTimes::steal,
    &CpuTimes::guest,  &CpuTimes::guest_nice};

WideTicks wide_sum(std::initializer_list<std::uint64_t> counters) noexcept {
    WideTicks sum;
    for (const std::uint64_t ticks : counters) sum += ticks;
    return sum;
}

// The kernel already counts guest time inside user (and guest_nice inside
// nice); take it out so it is counted once.
CpuTimes times_from(const CpuCounters& v) noexcept {
    CpuTimes t;
    t.user = saturating_sub(v[0], v[8]);
    t.nice = saturating_sub(v[1], v[9]);
    t.system = v[2];
    t.idle = v[3];
    t.iowait = v[4];
    t.irq = v[5];
    t.softirq = v[6];
    t.steal = v[7];
    t.guest = v[8];
    t.guest_nice = v[9];
    return t;
}

// The ten counters of a CPU line, 0 for the ones the line lacks. The line
// parts at single spaces, empty pieces dropped (the aggregate line has two
// spaces after its label); tabs do not part it. Digits are accumulated
// unchecked, as the kernel only ever writes decimal digits here.
CpuCounters convert_counters(std::string_view line) noexcept {
    SplitCursor fields(line, ' ');
    std::string_view piece;
    fields.next_nonempty(piece);  // the label
    CpuCounters v{};
    for (std::uint64_t& counter : v) {
        if (!fields.next_nonempty(piece)) break;
        counter = accumulate_digits(piece);
    }
    return v;
}

// The label that begins a CPU line.
std::string_view line_label(std::string_view line) noexcept {
    std::string_view label;
    if (!SplitCursor(line, ' ').next_nonempty(label)) return {};
    return label;
}

}  // namespace

std::uint64_t CpuTimes::total() const noexcept {
    const std::uint64_t idle_part = saturating_add(idle, iowait);
    std::uint64_t sum = saturating_add(user, nice);
    sum = saturating_add(sum, system_part(*this));
    sum = saturating_add(sum, idle_part);
    sum = saturating_add(sum, guest_part(*this));
    return saturating_add(sum, steal);
}

void CpuUsage::set(const CpuCounters& counters) noexcept {
    previous = current;
    current = times_from(counters);
    // Recomputed from the saved counters: an entry created without a total
    // still gets the right previous_total here.
    total = current.total();
    previous_total = previous.total();

    // Sums of counters are kept whole, past 2^64 - 1: saturated, a share
    // whose counters all grew by 2^64 - 1 would come out as the whole.
    const std::uint64_t d_user = saturating_sub(current.user, previous.user);
    const std::uint64_t d_nice = saturating_sub(current.nice, previous.nice);
    const WideTicks d_system = WideTicks::clamped_difference(
        wide_sum({current.system, current.irq, current.softirq}),
        wide_sum({previous.system, previous.irq, previous.softirq}));
    WideTicks d_other = wide_sum({saturating_sub(current.steal, previous.steal)});
    d_other += WideTicks::clamped_difference(wide_sum({current.guest, current.guest_nice}),
                                             wide_sum({previous.guest, previous.guest_nice}));

    // The kernel lets some counters go backwards (iowait does, and all of a
    // CPU's do when it is taken offline and back): such a counter gives no
    // time, rather than shrinking the time that the others gave. With no
    // time at all, divide by one rather than by zero.
    WideTicks ticks;
    for (const auto counter : COUNTERS) {
        ticks += saturating_sub(current.*counter, previous.*counter);
    }
    const float divisor = ticks.is_zero() ? 1.0f : ticks.to_float();
    // Each share is divided on its own, in single precision, before the sum
    // is scaled: one tick in three gives 33.333336, not 33.333332.
    float sum = static_cast<float>(d_user) / divisor;
    sum += static_cast<float>(d_nice) / divisor;
    sum += d_system.to_float() / divisor;
    sum += d_other.to_float() / divisor;
    const float scaled = sum * 100.0f;
    percent = scaled > 100.0f ? 100.0f : scaled;
}

std::uint64_t CpuUsage::interval() const noexcept {
    std::uint64_t ticks = 0;
    for (const auto counter : COUNTERS) {
        ticks = saturating_add(ticks, saturating_sub(current.*counter, previous.*counter));
    }
    return ticks;
}

std::uint64_t monotonic_now_ns() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

void CpusWrapper::refresh(const HostRoot& root, CpuLines lines, CpuSelection selection) {
    bool due = true;
    if (last_reading_) {
        const std::uint64_t now = clock_();
        // A clock that went backwards counts as no time elapsed.
        const std::uint64_t elapsed = now >= *last_reading_ ? now - *last_reading_ : 0;
        due = elapsed >= MINIMUM_INTERVAL;
    }

    // /proc/cpuinfo is read at most once per refresh: for the descriptors
    // when the list is filled, and for the frequency of every CPU without a
    // usable cpufreq file (most virtual machines have none). Its size grows
    // with the number of CPUs, so one read per CPU would cost their square.
    std::string cpuinfo;
    std::optional<bool> cpuinfo_read;
    auto cpuinfo_text = [&]() -> std::optional<std::string_view> {
        if (!cpuinfo_read) cpuinfo_read = read_cpuinfo(root, cpuinfo);
        if (!*cpuinfo_read) return std::nullopt;
        return std::string_view(cpuinfo);
    };

    const bool filling = cpus_.empty();
    DescriptorTable descriptors;
    if (filling) {
        if (const auto text = cpuinfo_text()) descriptors = get_vendor_id_and_brand_inner(*text);
    }

    if (due && !read_stat(root, lines, selection, filling, descriptors)) return;

    if (selection.frequency) {
        // Every CPU without a sysfs figure gets the same first matching line.
        std::optional<std::uint64_t> fallback;
        for (std::size_t i = 0; i < cpus_.size(); ++i) {
            std::optional<std::uint64_t> mhz = read_sysfs_frequency(root, i);
            if (!mhz) {
                if (!fallback) {
                    const auto text = cpuinfo_text();
                    fallback = text ? cpuinfo_frequency(*text) : 0;
                }
                mhz = fallback;
            }
            cpus_[i].frequency = *mhz;
        }
    }
}

bool CpusWrapper::read_stat(const HostRoot& root, CpuLines lines, CpuSelection selection,
                            bool filling, DescriptorTable& descriptors) {
    // Stamped before the open: a failed reading also waits out the interval.
    last_reading_ = clock_();
    last_error_.reset();
    // Nothing of the file would be read.
    if (!selection.usage && !filling) return true;

    std::string path = root.proc + "/stat";
    const Fd fd = open_read(AT_FDCWD, path.c_str());
    if (!fd.valid()) {
        last_error_ = SourceError{errno, std::move(path)};
        return false;
    }
    LineReader reader(fd.get(), WHOLE_FILE_CEILING);

    // The aggregate line comes first in the kernel's format.
    std::string_view head;
    if (!reader.peek_head(4, head)) {
        const int error = reader.error();
        last_error_ = error != 0 ? SourceError{error, std::move(path)}
                                 : SourceError{ENODATA, std::move(path), NO_AGGREGATE_LINE};
    } else {
        if (head != "cpu ") {
            last_error_ = SourceError{ENODATA, std::move(path), NO_AGGREGATE_LINE};
            return false;
        }
        std::string_view line;
        if (reader.next_line(line)) {
            global_usage_.set(convert_counters(line));
        } else {
            last_error_ = SourceError{reader.error(), std::move(path)};  // a line without end
        }
    }

    if (lines == CpuLines::AggregateOnly && !filling) return true;

    // One line per CPU, matched to entries by position, up to the first line
    // that is not a CPU line (the interrupt counts).
    std::size_t position = 0;
    std::string_view line;
    while (reader.peek_head(3, head) && head == "cpu" && reader.next_line(line)) {
        if (filling) {
            Cpu cpu;
            cpu.usage.current = times_from(convert_counters(line));
            cpu.name = std::string(line_label(line));
            if (auto node = descriptors.extract(position)) {
                CpuDescriptors& descriptor = node.mapped();
                cpu.vendor_id = std::move(descriptor.vendor_id);
                cpu.brand = std::move(descriptor.brand);
            }
            cpus_.push_back(std::move(cpu));
        } else if (position < cpus_.size()) {
            cpus_[position].usage.set(convert_counters(line));
        }
        ++position;
    }
    return true;
}

}  // namespace hoststats
