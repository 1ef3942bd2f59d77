// The process table: one record per process and per task (thread) under
// /proc, and the state letters of "stat".
#pragma once

#include <cstdint>
#include <limits>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hoststats/compact_values.hpp"
#include "hoststats/hash.hpp"

namespace hoststats {

using Pid = std::int32_t;

enum class ProcessState : std::uint8_t {
    Idle,       // 'I'
    Running,    // 'R'
    Sleeping,   // 'S'
    Stopped,    // 'T'
    Zombie,     // 'Z'
    Tracing,    // 't'
    Dead,       // 'X', 'x'
    Wakekill,   // 'K'
    Waking,     // 'W'
    Parked,     // 'P'
    DiskSleep,  // 'D'
    Unknown,
};
ProcessState process_state_from_char(std::uint32_t code) noexcept;
std::string_view to_string(ProcessState state) noexcept;

enum class ThreadClass : std::uint8_t { KernelThread, UserThread };

// A process's other tasks, ascending, each once: a lookup is a binary
// search, and a task costs its id, not a node of its own.
using PidSet = std::pmr::vector<Pid>;

// The ids of a process's other tasks: present for a process whose tasks
// were listed, absent for a task.
using TaskSet = ArenaBox<PidSet>;

// A text owned by a record, in its snapshot's memory.
using RecordString = std::pmr::string;

// Storage traffic from the "io" file, in bytes: the last reading and the one
// before it.
struct IoCounters {
    std::uint64_t read_bytes = 0;
    std::uint64_t written_bytes = 0;
    std::uint64_t prev_read_bytes = 0;
    std::uint64_t prev_written_bytes = 0;
};

// Where the scan found an entry under /proc: <group>/task/<name> for a
// task listed under its process, else <name>. Views of the listings' names.
struct EntryDir {
    std::string_view name;
    std::string_view group;  // empty unless a task listed under its process
};

struct Process {
    // A parent's id; the kernel's 0 ("none") is absence.
    using ParentPid = Compact<Pid, 0>;
    // A user or group id; (uid_t)-1 is no id, which the kernel never shows.
    using Id = Compact<std::uint32_t, std::numeric_limits<std::uint32_t>::max()>;
    using OptionalThreadClass = Compact<ThreadClass, static_cast<ThreadClass>(0xFF)>;

    Process() = default;
    // A record whose lists live in `records`, and whose environment lives
    // in `secrets` (memory left out of core dumps).
    Process(std::pmr::memory_resource* records, std::pmr::memory_resource* secrets)
        : cmdline(records), environ(secrets) {}

    // The entry's directory under `proc_root` (where the scan found it):
    // <proc_root>/PID, or <proc_root>/PGID/task/PID for a task listed under
    // its process, whose parent is that process.
    [[nodiscard]] std::string proc_dir(std::string_view proc_root) const;
    // Whether `dir` is that directory.
    [[nodiscard]] bool proc_dir_is(std::string_view proc_root, const EntryDir& dir) const noexcept;
    // Records `dir` as the entry's directory: it is derived from the ids as
    // above, and only a directory that is not (a name the kernel would not
    // write, such as "+7") is kept as a text, in `memory`.
    void set_proc_dir(std::string_view proc_root, const EntryDir& dir,
                      std::pmr::memory_resource* memory);
    // The same for a directory given whole, `under` telling whether it is a
    // task's listed under its process.
    void set_proc_dir(std::string_view proc_root, std::string_view path, bool under,
                      std::pmr::memory_resource* memory);

    // Wider fields first, so that little of the record is padding.
    Pid pid = 0;
    ParentPid parent_pid;
    TaskName name;  // bytes between the parentheses of "stat"
    std::uint64_t start_ticks = 0;       // clock ticks after boot
    std::uint64_t start_since_boot = 0;  // seconds
    std::uint64_t start_time = 0;        // seconds since the epoch
    std::uint64_t run_time = 0;          // seconds
    std::uint64_t user_ticks = 0;
    std::uint64_t system_ticks = 0;
    std::uint64_t prev_user_ticks = 0;
    std::uint64_t prev_system_ticks = 0;
    std::uint64_t cpu_time_ms = 0;
    std::uint64_t resident_bytes = 0;
    std::uint64_t virtual_bytes = 0;
    IoCounters io;
    TaskSet task_pids;
    OptionalText exe, cwd, root;  // link targets
    ByteStringList cmdline, environ;
    std::uint32_t state_code = 0;  // code point of the state letter, 0 when none
    float usage_percent = 0.0f;    // 0 .. number of CPUs x 100
    Id uid, euid, gid, egid;
    ProcessState state = ProcessState::Unknown;
    OptionalThreadClass thread_class;
    bool updated = true;
    bool unpublished = false;    // built by a walk still under way
    bool under_process = false;  // its directory is <proc>/PGID/task/PID

private:
    [[nodiscard]] bool proc_dir_is(std::string_view proc_root, std::string_view path) const noexcept;

    ArenaBox<RecordString> unusual_dir_;  // the whole directory, when not derived
};

using ProcessTable = std::pmr::unordered_map<Pid, Process, SeededHash>;

// What a scan stamps onto its records from the snapshot around it: the
// host's figures, read once per snapshot.
struct HostFigures {
    std::uint64_t uptime = 0;       // seconds since boot
    std::uint64_t page_size = 0;    // bytes
    std::uint64_t clock_ticks = 0;  // ticks per second
    std::uint64_t boot_time = 0;    // seconds since the epoch
};

}  // namespace hoststats
