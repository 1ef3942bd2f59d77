// Shared readers of /proc and /sys text: whole-file reads, link reads, and
// the error that tells why a file gave nothing.
#pragma once

#include <limits.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hoststats/fd.hpp"

namespace hoststats {

// Why a source file gave no figure at all: the errno of the open or read
// that failed, or ENODATA with a `reason` when the file was read but held no
// usable line.
struct SourceError {
    int error = 0;
    std::string path;
    const char* reason = nullptr;  // static text; null: the system's text for `error`
};

// The most any whole-file read takes in, in bytes. The largest text of a
// real host (/proc/cpuinfo of 4,096 CPUs) is a few MiB; a file that reaches
// this is a source without end, such as /dev/zero mounted over a /proc file,
// and reading on would only end when memory does.
inline constexpr std::size_t WHOLE_FILE_CEILING = std::size_t{64} << 20;
// The longest file read whole, and so the most room a reader's buffer ever
// needs: the byte that reaches the ceiling is read apart and only tells
// that the file is too long. A buffer of this many bytes, rounded up to an
// allocation's alignment, still stays within the ceiling.
inline constexpr std::size_t LONGEST_WHOLE_FILE = WHOLE_FILE_CEILING - 1;

// How a whole-file read knows it has met the end of the file.
enum class FileEnd {
    // A read returns nothing. Always right, and needed where the kernel
    // hands out a file in pieces: a file built record by record
    // (/proc/cpuinfo, one block per CPU) comes at most one page of records
    // per read, however much room the read offers.
    EmptyRead,
    // A read returns less than the room it was offered. Right for the files
    // of a process's directory: the kernel builds "stat", "status", "statm"
    // and "io" whole at each read and hands out all that fits, and copies
    // "cmdline" and "environ" until the room is full or the list ends. It
    // saves the read that would only return nothing, one per file.
    ShortRead,
};

// The one read loop behind every whole-file reader of this library: reads
// fd from its current offset until the end as `end` tells it.
// `more_room(used)` hands out the room after the `used` bytes read so far,
// as a std::span<char> that is empty when the buffer cannot grow; it is
// never asked for room past LONGEST_WHOLE_FILE bytes, and what it hands out
// past them goes unused. Returns 0, the errno of the failing read, ENOMEM,
// or EFBIG once WHOLE_FILE_CEILING bytes were read; `used` is the bytes in
// the buffer either way.
template <class MoreRoom>
int read_until_end(int fd, std::size_t& used, MoreRoom&& more_room,
                   FileEnd end = FileEnd::EmptyRead) {
    used = 0;
    for (;;) {
        if (used == LONGEST_WHOLE_FILE) {
            // One byte more reaches the ceiling; it is read into a byte of
            // its own, so that no buffer has to grow for it.
            char beyond = 0;
            const ssize_t n = read_some(fd, &beyond, 1);
            if (n < 0) return errno;
            return n == 0 ? 0 : EFBIG;
        }
        const auto room = more_room(used);
        if (room.empty()) return ENOMEM;
        const std::size_t want = std::min(room.size(), LONGEST_WHOLE_FILE - used);
        const ssize_t n = read_some(fd, room.data(), want);
        if (n < 0) return errno;
        if (n == 0) return 0;
        used += static_cast<std::size_t>(n);
        if (end == FileEnd::ShortRead && static_cast<std::size_t>(n) < want) return 0;
    }
}

// Reads the file from offset 0 to its end into `out` (replacing its content).
// `size_hint` sizes the first allocation only. Returns 0, or the errno of the
// failing lseek/read; on failure `out` is emptied.
int get_all_data_from_file(int fd, std::string& out, std::size_t size_hint);
// The same, and the content must be valid UTF-8 (EILSEQ otherwise).
int get_all_utf8_data_from_file(int fd, std::string& out, std::size_t size_hint);

// Opens `path` (relative to dirfd), reads it whole, closes it before
// returning. Returns 0, or the errno of the open or the read (EILSEQ for
// text that must be UTF-8 and is not); `out` is empty on failure.
int read_file(int dirfd, const char* path, std::string& out, std::size_t size_hint);
int read_utf8_file(int dirfd, const char* path, std::string& out, std::size_t size_hint);

// The target of a symbolic link, read with one readlinkat(2) into room for
// PATH_MAX bytes. The kernel renders a /proc link into one page and fails
// one that does not fit, so every target there fits; a target that fills
// the room may have been cut short, and counts as unreadable.
class LinkTarget {
public:
    // Reads the link at `path` (relative to dirfd); whether it was read whole.
    [[nodiscard]] bool read(int dirfd, const char* path);
    [[nodiscard]] std::string_view view() const noexcept { return {bytes_.data(), size_}; }

private:
    std::array<char, PATH_MAX> bytes_;
    std::size_t size_ = 0;  // bytes
};

// The target of the symbolic link at path (relative to dirfd), read once and
// not resolved further; nothing on any error.
std::optional<std::string> realpath(int dirfd, const char* path);
std::optional<std::string> realpath(const std::string& path);

}  // namespace hoststats
