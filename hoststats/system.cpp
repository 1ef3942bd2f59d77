#include "hoststats/system.hpp"

#include <fcntl.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <string>

#include "hoststats/numbers.hpp"
#include "hoststats/text.hpp"

namespace hoststats {

namespace {

constexpr std::size_t MEMINFO_SIZE_HINT = 16635;  // bytes
constexpr std::size_t UPTIME_SIZE_HINT = 50;      // bytes
constexpr std::uint64_t MEMINFO_UNIT = 1024;      // bytes per unit of /proc/meminfo

// sysconf() answers in a signed long; -1 (an error) is kept as 2^64-1, the
// value the sign extension gives.
std::uint64_t sysconf_u64(int name) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(::sysconf(name)));
}

std::uint64_t* meminfo_field(std::string_view key, MemoryFigures& f) noexcept {
    if (key == "MemTotal") return &f.mem_total;
    if (key == "MemFree") return &f.mem_free;
    if (key == "MemAvailable") return &f.mem_available;
    if (key == "Buffers") return &f.buffers;
    if (key == "Cached") return &f.cached;
    if (key == "Shmem") return &f.shmem;
    if (key == "SReclaimable") return &f.s_reclaimable;
    if (key == "SwapTotal") return &f.swap_total;
    if (key == "SwapFree") return &f.swap_free;
    return nullptr;
}

// Seconds since the epoch at which the host booted, from the two clocks:
// the realtime clock minus the time since boot. 0 if either clock fails.
std::uint64_t boot_time_from_clocks() noexcept {
    timespec now{};
    timespec since_boot{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    if (::clock_gettime(CLOCK_BOOTTIME, &since_boot) != 0) return 0;
    constexpr std::int64_t NS_PER_S = 1'000'000'000;
    const std::int64_t now_ns = static_cast<std::int64_t>(now.tv_sec) * NS_PER_S + now.tv_nsec;
    const std::int64_t boot_ns =
        static_cast<std::int64_t>(since_boot.tv_sec) * NS_PER_S + since_boot.tv_nsec;
    if (now_ns <= boot_ns) return 0;  // a realtime clock set before the boot
    return static_cast<std::uint64_t>((now_ns - boot_ns) / NS_PER_S);
}

}  // namespace

// --- parsers ----------------------------------------------------------------

MeminfoSeen apply_meminfo(std::string_view text, MemoryFigures& figures,
                          std::uint64_t scale) noexcept {
    MeminfoSeen seen;
    SplitCursor lines(text);
    std::string_view line;
    while (lines.next(line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, colon);
        std::string_view value = line.substr(colon + 1);
        value = value.substr(0, value.find(':'));
        value = trim_start_unicode(value);
        value = value.substr(0, value.find(' '));  // the unit follows after a space

        std::uint64_t count = 0;  // units of 1024 bytes
        if (!parse_u64(value, count)) continue;
        std::uint64_t* field = meminfo_field(key, figures);
        if (field == nullptr) continue;
        *field = saturating_mul(count, scale);
        if (field == &figures.mem_total) seen.mem_total = true;
        if (field == &figures.mem_available) seen.mem_available = true;
    }
    return seen;
}

bool parse_meminfo(std::string_view text, MemoryFigures& figures) noexcept {
    return apply_meminfo(text, figures, MEMINFO_UNIT).mem_available;
}

std::uint64_t estimate_available(const MemoryFigures& f) noexcept {
    std::uint64_t sum = saturating_add(f.mem_free, f.buffers);
    sum = saturating_add(sum, f.cached);
    sum = saturating_add(sum, f.s_reclaimable);
    return saturating_sub(sum, f.shmem);
}

bool parse_uptime(std::string_view text, std::uint64_t& seconds) noexcept {
    // "350735.47 234388.90\n": the whole seconds are all before the first '.'.
    return parse_u64(text.substr(0, text.find('.')), seconds);
}

std::optional<std::uint64_t> parse_btime(std::string_view stat) noexcept {
    SplitCursor lines(stat);
    std::string_view line;
    while (lines.next(line)) {
        if (line.size() < 5 || !line.starts_with("btime")) continue;
        // Pieces between single spaces, empty ones dropped; the value is the
        // second piece, read digit by digit without any check.
        SplitCursor pieces(line, ' ');
        std::string_view piece;
        pieces.next_nonempty(piece);
        return pieces.next_nonempty(piece) ? accumulate_digits(piece) : 0;
    }
    return std::nullopt;
}

std::uint64_t boot_time(const HostRoot& root) {
    std::string stat;
    if (read_file(AT_FDCWD, (root.proc + "/stat").c_str(), stat, 0) == 0) {
        if (auto btime = parse_btime(stat)) return *btime;
    }
    return boot_time_from_clocks();
}

// --- the snapshot -----------------------------------------------------------

SystemInner::SystemInner(HostRoot root)
    : root_(std::move(root)),
      arenas_(std::make_unique<SnapshotMemory>()),
      processes(0, SeededHash{}, std::equal_to<Pid>{}, &arenas_->records),
      memory_units{},
      page_size(sysconf_u64(_SC_PAGESIZE)),
      clock_ticks(sysconf_u64(_SC_CLK_TCK)),
      boot_time(hoststats::boot_time(root_)) {}

MemoryFigures SystemInner::memory_bytes() const noexcept {
    const MemoryFigures& u = memory_units;
    const auto bytes = [](std::uint64_t units) { return saturating_mul(units, MEMINFO_UNIT); };
    MemoryFigures figures{bytes(u.mem_total),   bytes(u.mem_free), bytes(u.mem_available),
                          bytes(u.buffers),     bytes(u.cached),   bytes(u.shmem),
                          bytes(u.s_reclaimable), bytes(u.swap_total), bytes(u.swap_free)};
    if (available_estimated) figures.mem_available = estimate_available(figures);
    return figures;
}

void SystemInner::refresh_memory_specifics(bool ram, bool swap) {
    if (!ram && !swap) return;
    // Whichever of the two is asked for, the file is read once and all nine
    // figures follow it.
    std::string path = root().proc + "/meminfo";
    std::string text;
    const int err = read_utf8_file(AT_FDCWD, path.c_str(), text, MEMINFO_SIZE_HINT);
    MeminfoSeen seen;
    if (err == 0) seen = apply_meminfo(text, memory_units, 1);
    available_estimated = !seen.mem_available;
    if (available_estimated) memory_units.mem_available = estimate_available(memory_units);
    if (err != 0) {
        memory_error = SourceError{err, std::move(path)};
    } else if (!seen.mem_total || memory_units.mem_total == 0) {
        // A host without memory is not one the file can describe: a total of
        // zero says as little as a missing one.
        memory_error = SourceError{ENODATA, std::move(path), "no usable MemTotal line"};
    } else {
        memory_error.reset();
    }
}

std::uint64_t SystemInner::uptime() const {
    std::string text;
    if (read_utf8_file(AT_FDCWD, (root().proc + "/uptime").c_str(), text, UPTIME_SIZE_HINT) == 0) {
        std::uint64_t seconds = 0;
        if (parse_uptime(text, seconds)) return seconds;
    }
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) return 0;
    return info.uptime < 0 ? 0 : static_cast<std::uint64_t>(info.uptime);
}

namespace {

// Each record's share of the CPU time that passed between the last two
// readings of the aggregate line, 100 per fully used CPU.
void compute_cpu_shares(ProcessTable& table, const CpusWrapper& cpus) {
    const std::size_t n = cpus.cpus().size();
    if (n == 0) return;
    const std::uint64_t ticks = cpus.global_usage().interval();
    const float interval = ticks > 0 ? static_cast<float>(ticks) : 1.0f;
    const float per_cpu = interval / static_cast<float>(n);
    const float max = static_cast<float>(n) * 100.0f;
    for (auto& [pid, process] : table) {
        if (process.prev_user_ticks == 0 && process.prev_system_ticks == 0) continue;
        const std::uint64_t delta =
            saturating_add(saturating_sub(process.user_ticks, process.prev_user_ticks),
                           saturating_sub(process.system_ticks, process.prev_system_ticks));
        const float usage = static_cast<float>(delta) / per_cpu * 100.0f;
        process.usage_percent = std::min(usage, max);
    }
}

}  // namespace

void SystemInner::refresh_processes_specifics(const ProcessSelection& selection) {
    const HostFigures host{.uptime = uptime(),
                         .page_size = page_size,
                         .clock_ticks = clock_ticks,
                         .boot_time = boot_time};
    last_scan = scan_processes(processes, root().proc, *arenas_, host, selection,
                               root().caller_uid.value_or(::geteuid()), root().wait_bound);
    if (selection.cpu_usage) {
        cpus.refresh(root(), CpuLines::AggregateOnly, CpuSelection{.usage = true});
        compute_cpu_shares(processes, cpus);
    }
}

void SystemInner::retain_updated() {
    for (auto it = processes.begin(); it != processes.end();) {
        const bool was_updated = it->second.updated;
        it->second.updated = false;
        it = was_updated ? std::next(it) : processes.erase(it);
    }
}

System System::new_with_specifics(const RefreshSelection& selection, HostRoot root) {
    System sys(std::move(root));
    SystemInner& inner = sys.inner_;
    // Memory, then CPU, then processes, always in this order: the CPU refresh
    // that the process scan makes for its shares then finds the reading that
    // the CPU step has just taken.
    if (selection.memory) inner.refresh_memory_specifics(selection.memory->ram, selection.memory->swap);
    if (selection.cpu) inner.cpus.refresh(inner.root(), CpuLines::Every, *selection.cpu);
    if (selection.processes) {
        inner.refresh_processes_specifics(*selection.processes);
        inner.retain_updated();
    }
    return sys;
}

System System::new_all(HostRoot root) {
    return new_with_specifics(RefreshSelection::everything(), std::move(root));
}

void System::refresh_cpu_all() {
    inner_.cpus.refresh(inner_.root(), CpuLines::Every,
                        CpuSelection{.usage = true, .frequency = true});
}

}  // namespace hoststats
