// The process table: one record per process and per task (thread) under
// /proc, and the open-file budget that decides which "stat" files stay open.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
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

// The pieces of a NUL-separated file ("cmdline", "environ"), owned in one
// buffer: each piece is followed by one NUL, which no piece can hold. One
// allocation per list instead of one per piece keeps a scan of thousands of
// threads, each with its process's whole environment, cheap.
class ByteStringList {
public:
    class iterator {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(const char* at) noexcept : at_(at) {}
        std::string_view operator*() const noexcept { return std::string_view(at_); }
        iterator& operator++() noexcept {
            at_ += std::char_traits<char>::length(at_) + 1;
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator&) const = default;

    private:
        const char* at_ = nullptr;
    };

    ByteStringList() = default;
    ByteStringList(std::initializer_list<std::string_view> pieces) {
        for (std::string_view piece : pieces) push_back(piece);
    }

    // `piece` must not hold a NUL.
    void push_back(std::string_view piece) {
        bytes_.append(piece);
        bytes_.push_back('\0');
        ++count_;
    }
    // Appends pieces that `write(char* room)` puts into `room_bytes` of
    // fresh room, each followed by a NUL; `write` returns the bytes and the
    // pieces it wrote.
    template <class Write>
    void append_raw(std::size_t room_bytes, Write&& write) {
        const std::size_t old = bytes_.size();
        bytes_.resize(old + room_bytes);
        const auto [used, pieces] = write(bytes_.data() + old);
        bytes_.resize(old + used);
        count_ += pieces;
    }
    void clear() noexcept {
        bytes_.clear();
        count_ = 0;
    }

    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] iterator begin() const noexcept { return iterator(bytes_.data()); }
    [[nodiscard]] iterator end() const noexcept { return iterator(bytes_.data() + bytes_.size()); }
    [[nodiscard]] std::vector<std::string> to_vector() const {
        return std::vector<std::string>(begin(), end());
    }
    bool operator==(const ByteStringList&) const = default;

private:
    std::string bytes_;
    std::size_t count_ = 0;
};


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
    ByteStringList cmdline, environ;
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
