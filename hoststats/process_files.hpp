// The per-process files under /proc: their parsers (pure functions on the
// text, kept apart from the reading), the reusable read buffer of a scan, and
// the detail readers that fill a Process record from an entry's directory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hoststats/process.hpp"
#include "hoststats/selection.hpp"

namespace hoststats {

// --- parsers ----------------------------------------------------------------

// Whether bytes are valid UTF-8; quick on the plain ASCII of /proc files.
[[nodiscard]] bool is_text(std::string_view bytes) noexcept;

// The fields of one "stat" line. items[0] is the pid text; items[k] (k >= 1)
// is the kernel's field k+2 (the command name, field 2, is held apart). The
// views point into the caller's buffer and live as long as it does.
struct StatFields {
    // The kernel writes 52 fields; nothing past rss (index 22) is ever read,
    // so splitting stops once the array is full and `count` then means "at
    // least this many".
    static constexpr std::size_t capacity = 24;
    std::array<std::string_view, capacity> items{};
    std::size_t count = 0;  // fields found, at most `capacity`
    std::string_view name;  // bytes between "(" and the last ")"; any bytes

    [[nodiscard]] std::size_t size() const noexcept { return count; }
    // Field i, or an empty text when the line is too short for it.
    [[nodiscard]] std::string_view field(std::size_t i) const noexcept {
        return i < count ? items[i] : std::string_view{};
    }
    // Field i read as an unsigned decimal; 0 when missing or not a number.
    [[nodiscard]] std::uint64_t u64(std::size_t i) const noexcept;
};

// Splits a "stat" text. Fails when there is no space, no ")" after the first
// space, or when the pid text or the text after the name is not UTF-8.
[[nodiscard]] bool parse_stat_file(std::string_view bytes, StatFields& out) noexcept;

// Real and effective id of one "Uid:" or "Gid:" line of "status" (`prefix`
// is the four-byte key). A missing value counts as "0"; a value that does not
// read as an unsigned 32-bit decimal is absent.
std::pair<std::optional<std::uint32_t>, std::optional<std::uint32_t>> get_uid_and_gid(
    std::string_view line, std::string_view prefix) noexcept;

struct UserGroupIds {
    std::uint32_t uid, euid, gid, egid;
};
// The ids of a "status" text; nothing unless both a complete "Uid:" and a
// complete "Gid:" line are there.
std::optional<UserGroupIds> parse_status_ids(std::string_view status) noexcept;

// The thread-group id of a "status" text: the first "Tgid:" line decides.
std::optional<Pid> parse_tgid(std::string_view status) noexcept;

// The pieces of a NUL-separated list ("cmdline", "environ"), each trimmed of
// ASCII white space except the vertical tab, empty pieces dropped. Appends
// to `out`.
void split_nul_list(std::string_view bytes, ByteStringList& out);

// Virtual and resident bytes of a "statm" text (first two numbers, in
// pages). The kernel's digits are taken unchecked; the products saturate.
struct StatmBytes {
    std::uint64_t virtual_bytes = 0;
    std::uint64_t resident_bytes = 0;
};
StatmBytes parse_statm(std::string_view text, std::uint64_t page_size) noexcept;

// Storage traffic of an "io" text, applied to the four counters: each
// matching line first moves the current value to the previous one, then
// takes the new value if it reads as a number.
struct IoCounters {
    std::uint64_t read_bytes = 0;
    std::uint64_t written_bytes = 0;
    std::uint64_t prev_read_bytes = 0;
    std::uint64_t prev_written_bytes = 0;
};
void apply_io_text(std::string_view text, IoCounters& io) noexcept;

// An executable removed while it runs shows up as "<path> (deleted)"; that
// marker is cut off its last component when the component can hold it.
void strip_deleted_suffix(std::string& exe);

// The id of a /proc (or task) directory entry name: valid UTF-8 that reads
// as an unsigned 32-bit decimal (one optional "+", never "-").
std::optional<Pid> pid_from_entry_name(std::string_view name) noexcept;

// Code point of the first character of a text (the state letter of
// "stat"); 0 for an empty text, the first byte when it is not UTF-8.
std::uint32_t first_code_point(std::string_view text) noexcept;

// Whole seconds of a count of clock ticks; 0 when the tick rate is 0 (a
// kernel that reports no rate must not stop the scan).
std::uint64_t ticks_to_seconds(std::uint64_t ticks, std::uint64_t clock_ticks) noexcept;
// Milliseconds of user + system ticks; 0 when the tick rate is 0.
std::uint64_t ticks_to_ms(std::uint64_t user_ticks, std::uint64_t system_ticks,
                          std::uint64_t clock_ticks) noexcept;

// --- the open-file budget -----------------------------------------------------

// Budget for kept "stat" files from what getrlimit/setrlimit gave: half of
// the limit in force (the hard limit once the soft one was raised to it, or
// the old soft limit when the raise failed), 512 when the limits could not
// be read. Limits above 2^32-1, unlimited included, count as 2^32-1 so the
// budget stays positive on 64-bit hosts.
std::int64_t budget_from_limits(bool got_limits, std::uint64_t soft, std::uint64_t hard,
                                bool raised) noexcept;

// --- reading ------------------------------------------------------------------

// One growable byte buffer reused for every file of a scan. It is mapped on
// its own, so that it goes back to the kernel with the scan; and as every
// process's environment passes through it, it is left out of core dumps and
// wiped before it is unmapped.
class ReadBuffer {
public:
    explicit ReadBuffer(std::size_t initial_capacity = 64 * 1024);
    ~ReadBuffer();
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    // Reads fd from its current offset to the end, replacing the content.
    // Returns 0 or the errno of the failing read (content emptied then).
    int read_to_end(int fd);
    // Opens `name` relative to dirfd, reads it whole and closes it.
    int read_file_at(int dirfd, const char* name);

    [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }

private:
    bool grow() noexcept;
    char* data_;
    std::size_t capacity_;    // bytes, a multiple of the page size
    std::size_t size_ = 0;    // bytes
    std::size_t written_ = 0;  // bytes ever written, to be wiped
};

// The host constants a scan needs, and its scratch space.
struct ScanContext {
    std::uint64_t uptime = 0;       // seconds since boot
    std::uint64_t page_size = 0;    // bytes
    std::uint64_t clock_ticks = 0;  // ticks per second
    std::uint64_t boot_time = 0;    // seconds since the epoch
    ProcessSelection selection;
    ReadBuffer stat_buffer;  // the entry's "stat", parsed fields point into it
    ReadBuffer scratch;      // every other file
};

// --- detail readers (fill a record from its directory, `dirfd`) --------------

// Whether an item under `policy` is to be read, `present` telling whether
// the record holds it already.
[[nodiscard]] bool wanted(FieldPolicy policy, bool present) noexcept;

void refresh_user_group_ids(Process& process, int dirfd, FieldPolicy policy,
                            ReadBuffer& scratch);
// The "cwd" and "root" links, which each task has of its own.
void refresh_link(std::optional<RecordString>& field, std::pmr::memory_resource* memory,
                  int dirfd, const char* name, FieldPolicy policy);
// A freshly read "exe" target; nothing (a failed read) keeps an earlier one.
void apply_exe(Process& process, const std::optional<std::string>& target);
// A freshly read list; an empty one keeps what an earlier scan found.
void apply_list(ByteStringList& field, const ByteStringList& fresh);
// "statm", falling back to the "stat" fields when it cannot be read.
void refresh_memory(Process& process, int dirfd, const StatFields& stat,
                    std::uint64_t page_size, ReadBuffer& scratch);
void refresh_disk_io(Process& process, int dirfd, ReadBuffer& scratch);

// The list of a NUL-separated file, its buffer from `memory`; empty on any
// failure.
ByteStringList copy_from_file(int dirfd, const char* name, ReadBuffer& scratch,
                              std::pmr::memory_resource* memory);

}  // namespace hoststats
