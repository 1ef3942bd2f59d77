// Parsers of the per-process files under /proc: pure functions on text that
// the scan has already read, kept apart from the reading so that they can be
// tried on fixtures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "hoststats/process.hpp"
#include "hoststats/text.hpp"

namespace hoststats {

// The fields of one "stat" line. items[0] is the pid text; items[k] (k >= 1)
// is the kernel's field k+2 (the command name, field 2, is held apart). The
// views point into the caller's buffer and live as long as it does.
struct StatFields {
    // The kernel writes 52 fields; nothing past rss (index 22) is ever read,
    // so splitting stops once the array is full and `count` then means "at
    // least this many".
    static constexpr std::size_t CAPACITY = 24;
    std::array<std::string_view, CAPACITY> items{};
    std::size_t count = 0;  // fields found, at most `CAPACITY`
    std::string_view name;  // bytes between "(" and the last ")"; any bytes
    // Stood in for by "status", where "stat" may not be read: the state,
    // the parent and the name, and no times.
    bool from_status = false;

    [[nodiscard]] std::size_t size() const noexcept { return count; }
    // Field i, or an empty text when the line is too short for it.
    [[nodiscard]] std::string_view field(std::size_t i) const noexcept {
        return i < count ? items[i] : std::string_view{};
    }
    // Field i read as an unsigned decimal; 0 when missing or not a number.
    [[nodiscard]] std::uint64_t u64(std::size_t i) const noexcept;

    // Indexes of the fields read, by proc(5)'s number and name.
    static constexpr std::size_t STATE = 1;       // (3) state
    static constexpr std::size_t PPID = 2;        // (4) ppid
    static constexpr std::size_t FLAGS = 7;       // (9) flags
    static constexpr std::size_t UTIME = 12;      // (14) utime, clock ticks
    static constexpr std::size_t STIME = 13;      // (15) stime, clock ticks
    static constexpr std::size_t STARTTIME = 20;  // (22) starttime, clock ticks after boot
    static constexpr std::size_t VSIZE = 21;      // (23) vsize, bytes
    static constexpr std::size_t RSS = 22;        // (24) rss, pages
};

// Splits a "stat" text. Fails when there is no space, no ")" after the first
// space, or when the pid text or the text after the name is not UTF-8.
[[nodiscard]] bool parse_stat_file(std::string_view bytes, StatFields& out) noexcept;

// Real and effective id of one "Uid:" or "Gid:" line of "status" (`prefix`
// is the four-byte key). A missing value counts as "0"; a value that does not
// read as an unsigned 32-bit decimal is absent, and so is 4294967295, which
// is (uid_t)-1, no id: the kernel never shows it, and records use it for
// absence.
std::pair<std::optional<std::uint32_t>, std::optional<std::uint32_t>> get_uid_and_gid(
    std::string_view line, std::string_view prefix) noexcept;

struct UserGroupIds {
    std::uint32_t uid, euid, gid, egid;
};
// The four user ids of a "Uid:" line, in the kernel's order: real,
// effective, saved and file-system.
using UserIds = std::array<std::uint32_t, 4>;

// What a "status" text is read for besides its thread-group id.
struct StatusWants {
    bool ids = false;       // real and effective user and group ids
    bool all_uids = false;  // the four user ids
    bool stat_stand_in = false;  // the name, the state and the parent
};

// What one pass over a "status" text found.
struct StatusFields {
    // The first "Tgid:" line decides.
    std::optional<Pid> tgid;
    // Nothing unless both a complete "Uid:" and a complete "Gid:" line are
    // there (see `get_uid_and_gid`); a line that does not read leaves the
    // next line of its key to try.
    std::optional<UserGroupIds> ids;
    // The first "Uid:" line decides; nothing unless it holds all four,
    // each an unsigned 32-bit decimal.
    std::optional<UserIds> uids;
    // What stands in for "stat" where it may not be read, views into the
    // text, each from the first line of its key: the command name as
    // "status" escapes it (see `unescape_status_name`), the state ("S
    // (sleeping)") and the parent's id, white space before them taken off.
    std::string_view name, state, ppid;
};

// The fields of a "status" text that `wants` asks for, and the thread-group
// id, in one pass that stops once each is decided (the kernel writes the
// "Tgid:", "Uid:" and "Gid:" lines near the top).
StatusFields parse_status(std::string_view status, StatusWants wants) noexcept;

// The command name of a "Name:" line as it was: the kernel writes a
// backslash as two and a line feed as "\\n", and every other byte as it is.
// Appends to `out`.
void unescape_status_name(std::string_view escaped, std::string& out);

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
void apply_io_text(std::string_view text, IoCounters& io) noexcept;

// An executable removed while it runs shows up as "<path> (deleted)"; that
// marker is cut off its last component when the component can hold it.
void strip_deleted_suffix(std::string_view& exe) noexcept;

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

// The open-file budget from what getrlimit/setrlimit gave: half of the
// limit in force (the hard limit once the soft one was raised to it, or the
// soft limit as it stood when the raise failed), so that the other half
// stays with the rest of the caller's process; 512 when the limits could
// not be read. Limits above 2^32-1, unlimited included, count as 2^32-1, so
// that the budget stays positive on 64-bit hosts.
std::int64_t budget_from_limits(bool got_limits, std::uint64_t soft, std::uint64_t hard,
                                bool raised) noexcept;

}  // namespace hoststats
