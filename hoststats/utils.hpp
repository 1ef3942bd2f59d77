// Shared readers of /proc and /sys text: whole-file reads, link reads, and the
// strict number parsers every parser of this library is built on.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace hoststats {

// Where the host's /proc and /sys trees are. The real host uses "/proc" and
// "/sys"; tests point both at a fixture tree.
struct HostRoot {
    std::string proc = "/proc";
    std::string sys = "/sys";

    // A fixture tree laid out as <prefix>/proc and <prefix>/sys.
    static HostRoot under(std::string_view prefix);
};

// Why a source file gave no figure at all: the errno of the open or read
// that failed, or ENODATA with a `reason` when the file was read but held no
// usable line.
struct SourceError {
    int error = 0;
    std::string path;
    const char* reason = nullptr;  // static text; null: the system's text for `error`
};

// An owned file descriptor, closed on destruction.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() noexcept;

private:
    int fd_ = -1;
};

// --- interrupted operations -------------------------------------------------
// A file operation that a signal interrupts (EINTR) is retried. Whoever
// builds a snapshot may install a check on its thread for the time of the
// build; it runs at every interruption and decides whether the operation is
// retried. With no check installed the operation is always retried.
//
// A check that refuses ends the whole snapshot: Interrupted is thrown out of
// the operation, every descriptor on the way out is closed, and the
// snapshot being built is abandoned.
using InterruptCheck = bool (*)();

class Interrupted : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override {
        return "a file operation was interrupted and its retry refused";
    }
};

// Installs `check` (null: always retry) on this thread until the scope ends,
// then puts back the check that was installed before.
class InterruptCheckScope {
public:
    explicit InterruptCheckScope(InterruptCheck check) noexcept;
    InterruptCheckScope(const InterruptCheckScope&) = delete;
    InterruptCheckScope& operator=(const InterruptCheckScope&) = delete;
    ~InterruptCheckScope();

private:
    InterruptCheck previous_;
};

// For an operation that has just failed with EINTR: returns when it may be
// retried, throws Interrupted when the installed check refuses.
void retry_after_interrupt();

// op() until it succeeds or fails other than with EINTR; op returns a
// negative value with errno set on failure, as the system calls do. An
// interruption goes through retry_after_interrupt().
template <class Op>
auto retry_interrupted(Op&& op) {
    for (;;) {
        auto result = op();
        if (result >= 0 || errno != EINTR) return result;
        retry_after_interrupt();
    }
}

// open(2) read-only and close-on-exec, relative to dirfd (AT_FDCWD for an
// absolute path), retried after an interruption. Invalid Fd on failure,
// with errno telling why.
Fd open_read(int dirfd, const char* path);
// The same for a directory to be listed or used as an openat() base.
Fd open_dir(int dirfd, const char* path, bool path_only = false);

// read(2), retried after an interruption.
ssize_t read_some(int fd, char* into, std::size_t bytes);

// The most any whole-file read takes in, in bytes. The largest text of a
// real host (/proc/cpuinfo of 4,096 CPUs) is a few MiB; a file that reaches
// this is a source without end, such as /dev/zero mounted over a /proc file,
// and reading on would only end when memory does.
inline constexpr std::size_t WHOLE_FILE_CEILING = std::size_t{64} << 20;

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

// The one whole-file read loop behind every reader of this library: reads
// fd from its current offset until the end as `end` tells it.
// `more_room(used)` hands out the room after the `used` bytes read so far,
// as a std::span<char> that is empty when the buffer cannot grow. Returns 0,
// the errno of the failing read, ENOMEM, or EFBIG once WHOLE_FILE_CEILING
// bytes were read; `used` is the bytes read either way.
template <class MoreRoom>
int read_until_end(int fd, std::size_t& used, MoreRoom&& more_room,
                   FileEnd end = FileEnd::EmptyRead) {
    used = 0;
    for (;;) {
        if (used >= WHOLE_FILE_CEILING) return EFBIG;
        const auto room = more_room(used);
        if (room.empty()) return ENOMEM;
        const std::size_t want = std::min(room.size(), WHOLE_FILE_CEILING - used);
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

// The target of the symbolic link at path (relative to dirfd), read once and
// not resolved further; nothing on any error.
std::optional<std::string> realpath(int dirfd, const char* path);
std::optional<std::string> realpath(const std::string& path);

// --- number readers -------------------------------------------------------
// Strict decimal readers: one optional leading '+', then only the digits 0-9,
// the whole text used, no overflow. Empty text, a lone sign, any other byte or
// an overflow fail and leave `out` untouched.
[[nodiscard]] bool parse_u64(std::string_view text, std::uint64_t& out) noexcept;
[[nodiscard]] bool parse_u32(std::string_view text, std::uint32_t& out) noexcept;
[[nodiscard]] bool parse_usize(std::string_view text, std::size_t& out) noexcept;
// Signed 32-bit: one optional '+' or '-', then digits.
[[nodiscard]] bool parse_i32(std::string_view text, std::int32_t& out) noexcept;

// The kernel's unchecked digit accumulation: x = x*10 + (byte - '0') for
// every byte, the difference taken modulo 256, wrapping at 64 bits. Only runs
// of decimal digits give their decimal value.
std::uint64_t accumulate_digits(std::string_view text) noexcept;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept;
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept;
std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) noexcept;

// --- text helpers ---------------------------------------------------------
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

// Unicode White_Space (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000), decoded from UTF-8.
// A multi-byte white-space character counts only where its whole encoding
// appears; in text that is not valid UTF-8 no other byte is white space.
std::string_view trim_start_unicode(std::string_view text) noexcept;
std::string_view trim_end_unicode(std::string_view text) noexcept;
std::string_view trim_unicode(std::string_view text) noexcept;

// Length in bytes of the Unicode white-space character at the start of text,
// or 0 if it does not start with one.
std::size_t unicode_space_len(std::string_view text) noexcept;

namespace detail {
// Byte classes for the white-space split: 0 never white space, 1 ASCII
// white space, 2 the first byte of a character that may be white space.
inline constexpr std::array<std::uint8_t, 256> SPACE_BYTE_CLASSES = [] {
    std::array<std::uint8_t, 256> classes{};
    for (int c = 0x09; c <= 0x0D; ++c) classes[static_cast<std::size_t>(c)] = 1;
    classes[0x20] = 1;
    for (int c = 0x80; c < 0x100; ++c) classes[static_cast<std::size_t>(c)] = 2;
    return classes;
}();
}  // namespace detail

// Calls fn(piece) for each maximal run of non-white-space (Unicode White_Space)
// characters, until fn returns false. /proc text is almost all ASCII, so
// only bytes >= 0x80 go to the full check.
template <class Fn>
void split_unicode_whitespace(std::string_view text, Fn&& fn) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    auto space_at = [&](std::size_t i) -> std::size_t {
        const std::uint8_t cls = detail::SPACE_BYTE_CLASSES[p[i]];
        return cls < 2 ? cls : unicode_space_len(text.substr(i));
    };
    std::size_t i = 0;
    while (i < n) {
        std::size_t w;
        while (i < n && (w = space_at(i)) != 0) i += w;
        if (i >= n) break;
        const std::size_t start = i;
        while (i < n && space_at(i) == 0) ++i;
        if (!fn(text.substr(start, i - start))) return;
    }
}

// Calls fn(piece) for every piece of text between "\n" separators, the piece
// after the last separator included: text that ends in "\n" gives an empty
// last piece, and empty text gives one empty piece.
template <class Fn>
void for_each_newline_piece(std::string_view text, Fn&& fn) {
    for (;;) {
        const std::size_t nl = text.find('\n');
        fn(text.substr(0, nl));
        if (nl == std::string_view::npos) return;
        text.remove_prefix(nl + 1);
    }
}

// Calls fn(line) for every line ended by "\n" or "\r\n", the last one
// possibly unended, with its ending removed; no empty line follows a final
// "\n". Stops when fn returns false.
template <class Fn>
void for_each_crlf_line_while(std::string_view text, Fn&& fn) {
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!fn(line)) return;
    }
}

}  // namespace hoststats
