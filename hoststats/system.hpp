// The host snapshot: CPU state, process table, memory figures and the host
// constants, built fresh and thrown away by every measurement.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "hoststats/arena.hpp"
#include "hoststats/cpu.hpp"
#include "hoststats/file_read.hpp"
#include "hoststats/host_root.hpp"
#include "hoststats/process_scan.hpp"
#include "hoststats/selection.hpp"

namespace hoststats {

// The nine figures of /proc/meminfo that the snapshot keeps, in bytes or in
// the file's units of 1024 bytes.
struct MemoryFigures {
    std::uint64_t mem_total = 0;
    std::uint64_t mem_free = 0;
    std::uint64_t mem_available = 0;
    std::uint64_t buffers = 0;
    std::uint64_t cached = 0;
    std::uint64_t shmem = 0;
    std::uint64_t s_reclaimable = 0;
    std::uint64_t swap_total = 0;
    std::uint64_t swap_free = 0;
};

// Which lines of a /proc/meminfo text set a figure.
struct MeminfoSeen {
    bool mem_total = false;
    bool mem_available = false;
};
// Applies the lines of a /proc/meminfo text to `figures`, each count of the
// file's units of 1024 bytes times `scale`, saturating. Lines that do not
// parse are skipped.
MeminfoSeen apply_meminfo(std::string_view text, MemoryFigures& figures,
                          std::uint64_t scale) noexcept;
// The same in bytes; returns whether a "MemAvailable" line was seen.
bool parse_meminfo(std::string_view text, MemoryFigures& figures) noexcept;
// mem_available estimated from the other figures, for kernels without
// "MemAvailable": free + buffers + cached + reclaimable - shmem, saturating.
std::uint64_t estimate_available(const MemoryFigures& figures) noexcept;

// Whole seconds of a /proc/uptime text; false when it does not parse.
[[nodiscard]] bool parse_uptime(std::string_view text, std::uint64_t& seconds) noexcept;
// The "btime" value of a /proc/stat text; nothing when no line begins with it.
std::optional<std::uint64_t> parse_btime(std::string_view stat) noexcept;

// Boot time in seconds since the epoch.
std::uint64_t boot_time(const HostRoot& root);

class SystemInner {
public:
    explicit SystemInner(HostRoot root);
    SystemInner(const SystemInner&) = delete;
    SystemInner& operator=(const SystemInner&) = delete;
    SystemInner(SystemInner&&) noexcept = default;
    // Assigning would free the arenas before the records in them.
    SystemInner& operator=(SystemInner&&) = delete;

    // Reads /proc/meminfo. A file that cannot be read, or that has no
    // usable "MemTotal" line (a total of 0 is not usable), leaves the
    // figures as they were (the available one estimated) and is kept in
    // memory_error.
    void refresh_memory_specifics(bool ram, bool swap);
    // Seconds since boot.
    [[nodiscard]] std::uint64_t uptime() const;
    // Scans every process under /proc, then computes the CPU shares.
    void refresh_processes_specifics(const ProcessSelection& selection);
    // Drops the records the last scan did not refresh; clears `updated`.
    void retain_updated();

    [[nodiscard]] const HostRoot& root() const noexcept { return root_; }
    // The memory figures in bytes: the file's figures, each saturating at
    // 2^64 - 1 bytes, and the estimate of the available one made from them.
    [[nodiscard]] MemoryFigures memory_bytes() const noexcept;

    HostRoot root_;
    // The process table's memory, mapped for this snapshot and unmapped
    // with it; declared before the table, so that it goes after it.
    std::unique_ptr<SnapshotMemory> arenas_;
    CpusWrapper cpus;
    ProcessTable processes;
    ScanOutcome last_scan;
    // The memory figures as the file counts them, in units of 1024 bytes:
    // they hold whatever the file states, past the 2^54 units that bytes
    // stop at, and the memory report is computed from them.
    MemoryFigures memory_units;
    // The last read of /proc/meminfo had no "MemAvailable" line: the
    // available figure is the estimate, in bytes made from the byte figures.
    bool available_estimated = false;
    // Why the last read of /proc/meminfo gave no total; empty after a read
    // that did, and before any.
    std::optional<SourceError> memory_error;
    std::uint64_t page_size;    // bytes
    std::uint64_t clock_ticks;  // ticks per second
    std::uint64_t boot_time;    // seconds since the epoch
};

class System {
public:
    static System new_all(HostRoot root = {});
    static System new_with_specifics(const RefreshSelection& selection, HostRoot root = {});

    void refresh_memory() { inner_.refresh_memory_specifics(true, true); }
    void refresh_cpu_all();
    // Forgets the time of the last CPU reading, so that the next refresh
    // reads whatever the time since.
    void clear_last_cpu_reading() noexcept { inner_.cpus.clear_last_reading(); }

    [[nodiscard]] float global_usage_percent() const noexcept {
        return inner_.cpus.global_usage().percent;
    }
    [[nodiscard]] std::uint64_t mem_total() const noexcept { return memory().mem_total; }
    [[nodiscard]] std::uint64_t mem_available() const noexcept {
        return memory().mem_available;
    }
    [[nodiscard]] MemoryFigures memory() const noexcept { return inner_.memory_bytes(); }
    [[nodiscard]] const MemoryFigures& memory_units() const noexcept {
        return inner_.memory_units;
    }
    [[nodiscard]] const std::optional<SourceError>& memory_error() const noexcept {
        return inner_.memory_error;
    }
    [[nodiscard]] const CpusWrapper& cpus() const noexcept { return inner_.cpus; }
    [[nodiscard]] const ProcessTable& processes() const noexcept { return inner_.processes; }

    SystemInner& inner() noexcept { return inner_; }
    [[nodiscard]] const SystemInner& inner() const noexcept { return inner_; }

private:
    explicit System(HostRoot root) : inner_(std::move(root)) {}
    SystemInner inner_;
};

}  // namespace hoststats
