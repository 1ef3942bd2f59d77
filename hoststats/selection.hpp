// What a new snapshot refreshes.
#pragma once

#include <cstdint>
#include <optional>

namespace hoststats {

enum class FieldPolicy : std::uint8_t {
    Never = 0,      // the item is never read
    Always = 1,     // read at every scan
    IfMissing = 2,  // read only while the record holds no value for it
};

struct ProcessSelection {
    bool cpu_usage = false;  // per-process CPU share (refreshes the CPU state's aggregate reading)
    bool disk_io = false;    // "io" counters
    bool memory = false;     // "statm" figures
    bool tasks = false;      // list every process's threads too
    FieldPolicy user = FieldPolicy::Never;
    FieldPolicy cwd = FieldPolicy::Never;
    FieldPolicy root = FieldPolicy::Never;
    FieldPolicy environ = FieldPolicy::Never;
    FieldPolicy cmdline = FieldPolicy::Never;
    FieldPolicy exe = FieldPolicy::Never;

    static ProcessSelection everything() noexcept {
        return {.cpu_usage = true,
                .disk_io = true,
                .memory = true,
                .tasks = true,
                .user = FieldPolicy::IfMissing,
                .cwd = FieldPolicy::IfMissing,
                .root = FieldPolicy::IfMissing,
                .environ = FieldPolicy::IfMissing,
                .cmdline = FieldPolicy::IfMissing,
                .exe = FieldPolicy::IfMissing};
    }
};

struct MemorySelection {
    bool ram = false;
    bool swap = false;
};

struct CpuSelection {
    bool usage = false;      // read the time counters of /proc/stat
    bool frequency = false;  // run the frequency pass
};

// An absent part is not refreshed at all.
struct RefreshSelection {
    std::optional<ProcessSelection> processes;
    std::optional<MemorySelection> memory;
    std::optional<CpuSelection> cpu;

    static RefreshSelection everything() noexcept {
        return {.processes = ProcessSelection::everything(),
                .memory = MemorySelection{.ram = true, .swap = true},
                .cpu = CpuSelection{.usage = true, .frequency = true}};
    }
};

}  // namespace hoststats
