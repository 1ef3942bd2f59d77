// The process table: one record per process and per task (thread) under
// /proc, and the open-file budget that decides which "stat" files stay open.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hoststats/hash.hpp"
#include "hoststats/selection.hpp"
#include "hoststats/utils.hpp"

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

// --- the open-file budget ---------------------------------------------------

// How many more "stat" files may be kept open, process-wide. Initialised on
// first use: the soft RLIMIT_NOFILE is raised to the hard limit, and the
// budget is half the limit that is then in force.
std::atomic<std::int64_t>& remaining_files() noexcept;

// One kept-open "stat" file, counted against the budget. Releasing it gives
// the budget back first, then closes the descriptor.
class FileCounter {
public:
    // Keeps `fd` if the budget allows, else closes it and returns nothing.
    static std::optional<FileCounter> keep_or_close(Fd fd) noexcept;

    FileCounter(FileCounter&& other) noexcept;
    FileCounter& operator=(FileCounter&& other) noexcept;
    FileCounter(const FileCounter&) = delete;
    FileCounter& operator=(const FileCounter&) = delete;
    ~FileCounter();

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }

private:
    explicit FileCounter(Fd fd) noexcept : fd_(std::move(fd)) {}
    void release() noexcept;
    Fd fd_;
};

// --- records ----------------------------------------------------------------

using PidSet = std::unordered_set<Pid, SeededHash>;

struct Process {
    Pid pid = 0;
    std::optional<Pid> parent_pid;
    std::string name;  // bytes between the parentheses of "stat"; may be any bytes
    ProcessState state = ProcessState::Unknown;
    std::uint32_t state_code = 0;  // code point of the state letter, 0 when none
    std::optional<ThreadClass> thread_class;
    std::uint64_t start_ticks = 0;       // clock ticks after boot
    std::uint64_t start_since_boot = 0;  // seconds
    std::uint64_t start_time = 0;        // seconds since the epoch
    std::uint64_t run_time = 0;          // seconds
    std::uint64_t user_ticks = 0;
    std::uint64_t system_ticks = 0;
    std::uint64_t prev_user_ticks = 0;
    std::uint64_t prev_system_ticks = 0;
    std::uint64_t cpu_time_ms = 0;
    float usage_percent = 0.0f;  // 0 .. number of CPUs x 100
    std::optional<PidSet> task_pids;
    std::string proc_dir;  // <proc>/PID or <proc>/PID/task/TID
    bool updated = true;
    std::optional<std::uint32_t> uid, euid, gid, egid;
    std::optional<std::string> exe, cwd, root;
    std::vector<std::string> cmdline, environ;
    std::uint64_t resident_bytes = 0;
    std::uint64_t virtual_bytes = 0;
    std::uint64_t read_bytes = 0;
    std::uint64_t written_bytes = 0;
    std::uint64_t prev_read_bytes = 0;
    std::uint64_t prev_written_bytes = 0;
    std::optional<FileCounter> kept_stat_file;
};

using ProcessTable = std::unordered_map<Pid, Process, SeededHash>;

}  // namespace hoststats
