// The CPU state's refresh: the time counters of /proc/stat, the usage
// computed between two readings, and the frequency pass. The descriptors
// and frequencies it stores are read by cpuinfo.cpp.
#include "hoststats/cpu.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>

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

    const std::uint64_t d_user = saturating_sub(current.user, previous.user);
    const std::uint64_t d_nice = saturating_sub(current.nice, previous.nice);
    const std::uint64_t d_system = saturating_sub(system_part(current), system_part(previous));
    const std::uint64_t d_other =
        saturating_add(saturating_sub(current.steal, previous.steal),
                       saturating_sub(guest_part(current), guest_part(previous)));

    // The kernel lets some counters go backwards (iowait does, and all of a
    // CPU's do when it is taken offline and back): such a counter gives no
    // time, rather than shrinking the time that the others gave. With no
    // time at all, divide by one rather than by zero.
    const std::uint64_t ticks = interval();
    const float divisor = ticks > 0 ? static_cast<float>(ticks) : 1.0f;
    // Each share is divided on its own, in single precision, before the sum
    // is scaled: one tick in three gives 33.333336, not 33.333332.
    float sum = static_cast<float>(d_user) / divisor;
    sum += static_cast<float>(d_nice) / divisor;
    sum += static_cast<float>(d_system) / divisor;
    sum += static_cast<float>(d_other) / divisor;
    const float scaled = sum * 100.0f;
    percent = scaled > 100.0f ? 100.0f : scaled;
}

std::uint64_t CpuUsage::interval() const noexcept {
    static constexpr std::array<std::uint64_t CpuTimes::*, COUNTER_COUNT> COUNTERS = {
        &CpuTimes::user,    &CpuTimes::nice,  &CpuTimes::system,  &CpuTimes::idle,
        &CpuTimes::iowait,  &CpuTimes::irq,   &CpuTimes::softirq, &CpuTimes::steal,
        &CpuTimes::guest,   &CpuTimes::guest_nice};
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

CpusWrapper::CpusWrapper(const HostRoot* root) noexcept : root_(root) { cpus_.reserve(4); }

void CpusWrapper::refresh(bool global_only, CpuSelection selection) {
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
        if (!cpuinfo_read) cpuinfo_read = read_cpuinfo(*root_, cpuinfo);
        if (!*cpuinfo_read) return std::nullopt;
        return std::string_view(cpuinfo);
    };

    const bool filling = cpus_.empty();
    DescriptorTable descriptors;
    if (filling) {
        if (const auto text = cpuinfo_text()) descriptors = get_vendor_id_and_brand_inner(*text);
    }

    if (due && !read_stat(global_only, selection, filling, descriptors)) return;

    if (selection.frequency) {
        // Every CPU without a sysfs figure gets the same first matching line.
        std::optional<std::uint64_t> fallback;
        for (std::size_t i = 0; i < cpus_.size(); ++i) {
            std::optional<std::uint64_t> mhz = read_sysfs_frequency(*root_, i);
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

bool CpusWrapper::read_stat(bool global_only, CpuSelection selection, bool filling,
                            DescriptorTable& descriptors) {
    // Stamped before the open: a failed reading also waits out the interval.
    last_reading_ = clock_();
    last_error_.reset();

    std::string path = root_->proc + "/stat";
    const Fd fd = open_read(AT_FDCWD, path.c_str());
    if (!fd.valid()) {
        last_error_ = SourceError{errno, std::move(path)};
        return false;
    }
    LineReader reader(fd.get(), WHOLE_FILE_CEILING);

    if (!selection.usage && !filling) return true;

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

    if (global_only && !filling) return true;

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
                cpu.vendor_id = std::move(node.mapped().first);
                cpu.brand = std::move(node.mapped().second);
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
