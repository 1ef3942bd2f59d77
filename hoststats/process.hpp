// The process table: one record per process and per task (thread) under
// /proc, and the scan that fills it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hoststats/arena.hpp"
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

// --- records ----------------------------------------------------------------

// The pieces of a NUL-separated file ("cmdline", "environ"), owned in one
// buffer: each piece is followed by one NUL, which no piece can hold. One
// allocation per list instead of one per piece keeps a scan cheap. Copies
// share that buffer (every task of a process holds its process's lists); a
// list that is changed gets a buffer of its own first.
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
    // New buffers of this list come from `memory`.
    explicit ByteStringList(std::pmr::memory_resource* memory) noexcept : memory_(memory) {}
    ByteStringList(std::initializer_list<std::string_view> pieces) {
        for (std::string_view piece : pieces) push_back(piece);
    }

    // `piece` must not hold a NUL.
    void push_back(std::string_view piece) {
        Storage& own = writable();
        own.bytes.append(piece);
        own.bytes.push_back('\0');
        ++own.count;
    }
    // Appends pieces that `write(char* room)` puts into `room_bytes` of
    // fresh room, each followed by a NUL; `write` returns the bytes and the
    // pieces it wrote.
    template <class Write>
    void append_raw(std::size_t room_bytes, Write&& write) {
        Storage& own = writable();
        const std::size_t old = own.bytes.size();
        own.bytes.resize(old + room_bytes);
        const auto [used, pieces] = write(own.bytes.data() + old);
        own.bytes.resize(old + used);
        own.count += pieces;
    }
    void clear() noexcept { storage_.reset(); }

    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    [[nodiscard]] std::size_t size() const noexcept { return storage_ ? storage_->count : 0; }
    [[nodiscard]] iterator begin() const noexcept {
        return iterator(storage_ ? storage_->bytes.data() : nullptr);
    }
    [[nodiscard]] iterator end() const noexcept {
        return iterator(storage_ ? storage_->bytes.data() + storage_->bytes.size() : nullptr);
    }
    [[nodiscard]] std::vector<std::string> to_vector() const {
        return std::vector<std::string>(begin(), end());
    }
    // The pieces and their NULs, as held.
    [[nodiscard]] std::string_view bytes() const noexcept {
        return storage_ ? std::string_view(storage_->bytes) : std::string_view{};
    }
    // Whether two lists hold one buffer.
    [[nodiscard]] bool shares_with(const ByteStringList& other) const noexcept {
        return storage_ != nullptr && storage_ == other.storage_;
    }
    bool operator==(const ByteStringList& other) const noexcept {
        return size() == other.size() && bytes() == other.bytes();
    }

private:
    struct Storage {
        explicit Storage(std::pmr::memory_resource* memory) : bytes(memory) {}
        std::pmr::string bytes;
        std::size_t count = 0;
    };

    Storage& writable() {
        if (!storage_ || storage_.use_count() > 1) {
            std::shared_ptr<Storage> own = std::allocate_shared<Storage>(
                std::pmr::polymorphic_allocator<Storage>(memory_), memory_);
            if (storage_) {
                own->bytes = storage_->bytes;
                own->count = storage_->count;
            }
            storage_ = std::move(own);
        }
        return *storage_;
    }

    std::pmr::memory_resource* memory_ = std::pmr::get_default_resource();
    std::shared_ptr<Storage> storage_;
};

// An unchanging text that the records of one snapshot may share: a link
// target that every task of a thread group reads alike is kept once, and
// each record holds a reference to it.
class SharedText {
public:
    // A copy of `text` in `memory`.
    SharedText(std::string_view text, std::pmr::memory_resource* memory)
        : text_(std::allocate_shared<const Storage>(
              std::pmr::polymorphic_allocator<Storage>(memory), text, memory)) {}

    [[nodiscard]] std::string_view view() const noexcept { return text_->text; }
    operator std::string_view() const noexcept { return view(); }  // NOLINT: reads as a text
    // Whether two texts are one copy.
    [[nodiscard]] bool shares_with(const SharedText& other) const noexcept {
        return text_ == other.text_;
    }
    friend bool operator==(const SharedText& a, const SharedText& b) noexcept {
        return a.view() == b.view();
    }
    friend bool operator==(const SharedText& a, std::string_view b) noexcept {
        return a.view() == b;
    }

private:
    struct Storage {
        Storage(std::string_view from, std::pmr::memory_resource* memory) : text(from, memory) {}
        std::pmr::string text;
    };
    std::shared_ptr<const Storage> text_;  // never null
};

using PidSet = std::pmr::unordered_set<Pid, SeededHash>;

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

struct Process {
    Process() = default;
    // A record whose texts, lists and sets live in `records`, and whose
    // environment lives in `secrets` (memory left out of core dumps).
    Process(std::pmr::memory_resource* records, std::pmr::memory_resource* secrets)
        : name(records), proc_dir(records), cmdline(records), environ(secrets) {}

    // Where this record's texts are allocated.
    [[nodiscard]] std::pmr::memory_resource* memory() const noexcept {
        return proc_dir.get_allocator().resource();
    }

    Pid pid = 0;
    std::optional<Pid> parent_pid;
    RecordString name;  // bytes between the parentheses of "stat"; may be any bytes
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
    RecordString proc_dir;  // <proc>/PID or <proc>/PID/task/TID
    bool updated = true;
    bool unpublished = false;  // built by a walk still under way
    std::optional<std::uint32_t> uid, euid, gid, egid;
    std::optional<SharedText> exe, cwd, root;  // link targets
    ByteStringList cmdline, environ;
    std::uint64_t resident_bytes = 0;
    std::uint64_t virtual_bytes = 0;
    IoCounters io;
};

using ProcessTable = std::pmr::unordered_map<Pid, Process, SeededHash>;

// --- the scan ---------------------------------------------------------------

// What a scan stamps onto its records from the snapshot around it: the
// host's figures, read once per snapshot.
struct HostFigures {
    std::uint64_t uptime = 0;       // seconds since boot
    std::uint64_t page_size = 0;    // bytes
    std::uint64_t clock_ticks = 0;  // ticks per second
    std::uint64_t boot_time = 0;    // seconds since the epoch
};

// What a scan left undone that its records cannot tell.
struct ScanOutcome {
    // The waits on other processes' address-space locks reached their
    // bound, so later command lines and environments were not read.
    bool list_waits_spent = false;
};

// Walks `proc_root` and refreshes `table` from it: every process, and every
// task when the selection asks for them, gets a record that is new or
// refreshed and marked `updated`. Command lines and environments are read
// only for the processes of `caller_uid` and root. Records and the scan's
// scratch space live in `memory`.
ScanOutcome scan_processes(ProcessTable& table, const std::string& proc_root,
                           SnapshotMemory& memory, const HostFigures& host,
                           const ProcessSelection& selection, std::uint32_t caller_uid);

}  // namespace hoststats
