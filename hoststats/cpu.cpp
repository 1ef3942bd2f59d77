// CPU time counters from /proc/stat and the usage computed between two
// readings. The descriptor and frequency passes live in cpuinfo.cpp.
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

namespace hoststats {

namespace {

// Readings closer together than this are not taken: the kernel's counters
// move in clock ticks, so shorter intervals give noisy shares.
constexpr std::uint64_t kMinimumInterval = 200'000'000;  // ns

constexpr std::size_t kCounterCount = std::tuple_size_v<CpuCounters>;

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
constexpr std::array<std::uint64_t CpuTimes::*, kCounterCount> COUNTERS = {
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

// Splits a /proc/stat CPU line at single spaces, dropping empty pieces (the
// aggregate line has two spaces after its label). Tabs do not separate.
// Calls fn(index, piece) with index 0 for the label; stops after the tenth
// counter.
template <class Fn>
void for_each_field(std::string_view line, Fn&& fn) {
    std::size_t index = 0;
    std::size_t pos = 0;
    while (pos < line.size() && index <= kCounterCount) {
        if (line[pos] == ' ') {
            ++pos;
            continue;
        }
        std::size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) end = line.size();
        fn(index, line.substr(pos, end - pos));
        ++index;
        pos = end;
    }
}

// The ten counters of a CPU line, 0 for the ones the line lacks. Digits are
// accumulated unchecked, as the kernel only ever writes decimal digits here.
CpuCounters convert_counters(std::string_view line) noexcept {
    CpuCounters v{};
    for_each_field(line, [&v](std::size_t index, std::string_view piece) {
        if (index > 0) v[index - 1] = accumulate_digits(piece);
    });
    return v;
}

std::string_view line_label(std::string_view line) noexcept {
    std::string_view label;
    for_each_field(line, [&label](std::size_t index, std::string_view piece) {
        if (index == 0) label = piece;
    });
    return label;
}

// Reads a file a line at a time through one fixed buffer. Lines are handed
// out as views into the buffer; only a line longer than the whole buffer is
// gathered into a side string (whose capacity is then reused).
class LineReader {
public:
    explicit LineReader(int fd) noexcept : fd_(fd) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The first bytes of the next line, at most `want` of them and never past
    // its newline, without consuming anything. False when no line is left.
    bool peek_head(std::size_t want, std::string_view& head) {
        for (;;) {
            const std::size_t avail = end_ - begin_;
            const std::size_t span = avail < want ? avail : want;
            const char* start = buf_.data() + begin_;
            const void* nl = std::memchr(start, '\n', span);
            if (nl != nullptr) {
                head = std::string_view(start, static_cast<const char*>(nl) - start);
                return true;
            }
            if (avail >= want) {
                head = std::string_view(start, want);
                return true;
            }
            if (!fill()) {
                if (end_ == begin_) return false;
                head = std::string_view(buf_.data() + begin_, end_ - begin_);
                return true;
            }
        }
    }

    // The next line without its newline. A last line without a newline
    // still counts. False when no line is left.
    bool next_line(std::string_view& line) {
        spill_.clear();
        bool spilled = false;
        std::size_t scanned = 0;  // bytes after begin_ known to hold no newline
        for (;;) {
            const char* start = buf_.data() + begin_;
            const std::size_t avail = end_ - begin_;
            const void* nl = std::memchr(start + scanned, '\n', avail - scanned);
            if (nl != nullptr) {
                const auto len = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
                begin_ += len + 1;
                line = finish(spilled, start, len);
                return true;
            }
            scanned = avail;
            if (avail == buf_.size()) {
                // No newline in a full buffer: keep what we have aside, up
                // to the ceiling of a whole-file read; a line without end
                // fails like a read.
                if (spill_.size() + avail > WHOLE_FILE_CEILING) {
                    error_ = EFBIG;
                    eof_ = true;
                    begin_ = end_ = 0;
                    return false;
                }
                spill_.append(start, avail);
                spilled = true;
                begin_ = end_ = 0;
                scanned = 0;
            }
            if (!fill()) {
                if (end_ == begin_ && !spilled) return false;
                const char* rest = buf_.data() + begin_;
                const std::size_t len = end_ - begin_;
                begin_ = end_;
                line = finish(spilled, rest, len);
                return true;
            }
        }
    }

    // Why the lines ended early: the errno of a failed read, or 0.
    [[nodiscard]] int error() const noexcept { return error_; }

private:
    std::string_view finish(bool spilled, const char* start, std::size_t len) {
        if (!spilled) return {start, len};
        spill_.append(start, len);
        return spill_;
    }

    // Moves the unread bytes to the front and reads more after them. False
    // at end of file, after a read error (which ends the lines like the end
    // of the file does, and is kept in error_) or when the buffer is
    // already full.
    bool fill() {
        if (eof_) return false;
        if (begin_ > 0) {
            std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (end_ == buf_.size()) return false;
        const ssize_t n = read_some(fd_, buf_.data() + end_, buf_.size() - end_);
        if (n <= 0) {
            if (n < 0) error_ = errno;
            eof_ = true;
            return false;
        }
        end_ += static_cast<std::size_t>(n);
        return true;
    }

    int fd_;
    bool eof_ = false;
    int error_ = 0;  // errno of the read that ended the lines, 0 at the end of the file
    std::size_t begin_ = 0;  // first unread byte in buf_
    std::size_t end_ = 0;    // one past the last byte read into buf_
    std::array<char, 8192> buf_;
    std::string spill_;
};

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

CpusWrapper::CpusWrapper(const HostRoot* root) noexcept : root_(root) { cpus_.reserve(4); }

void CpusWrapper::refresh(bool global_only, CpuSelection selection) {
    bool due = true;
    if (last_reading_) {
        const std::uint64_t now = clock_();
        // A clock that went backwards counts as no time elapsed.
        const std::uint64_t elapsed = now >= *last_reading_ ? now - *last_reading_ : 0;
        due = elapsed >= kMinimumInterval;
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
    LineReader reader(fd.get());

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
