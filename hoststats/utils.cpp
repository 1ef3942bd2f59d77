#include "hoststats/utils.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <limits>
#include <system_error>
#include <vector>

namespace hoststats {

HostRoot HostRoot::under(std::string_view prefix) {
    HostRoot root;
    root.proc = std::string(prefix) + "/proc";
    root.sys = std::string(prefix) + "/sys";
    return root;
}

// --- descriptors ------------------------------------------------------------

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() { reset(); }

void Fd::reset() noexcept {
    if (fd_ >= 0) {
        // Not retried on EINTR: Linux has released the descriptor by then, and
        // a retry could close one that another thread just opened.
        ::close(fd_);
        fd_ = -1;
    }
}

// --- interrupted operations -------------------------------------------------

namespace {

thread_local InterruptCheck INTERRUPT_CHECK = nullptr;

Fd open_retrying(int dirfd, const char* path, int flags) {
    return Fd(retry_interrupted([&] { return ::openat(dirfd, path, flags); }));
}

}  // namespace

InterruptCheckScope::InterruptCheckScope(InterruptCheck check) noexcept
    : previous_(INTERRUPT_CHECK) {
    INTERRUPT_CHECK = check;
}

InterruptCheckScope::~InterruptCheckScope() { INTERRUPT_CHECK = previous_; }

void retry_after_interrupt() {
    // errno is the operation's own; the check may run code that changes it.
    const int saved = errno;
    if (INTERRUPT_CHECK != nullptr && !INTERRUPT_CHECK()) throw Interrupted();
    errno = saved;
}

// --- opening ------------------------------------------------------------------

Fd open_read(int dirfd, const char* path) {
    return open_retrying(dirfd, path, O_RDONLY | O_CLOEXEC);
}

Fd open_dir(int dirfd, const char* path, bool path_only) {
    const int access = path_only ? O_PATH : O_RDONLY;
    return open_retrying(dirfd, path, access | O_DIRECTORY | O_CLOEXEC);
}

// --- whole-file reads -------------------------------------------------------

ssize_t read_some(int fd, char* into, std::size_t bytes) {
    return retry_interrupted([&] { return ::read(fd, into, bytes); });
}

int get_all_data_from_file(int fd, std::string& out, std::size_t size_hint) {
    // The caller's buffer is reused from file to file: clear() and resize()
    // keep its capacity, so the hint only allocates while the buffer is
    // smaller. Only the first `size_hint` bytes are zeroed before the read,
    // not the whole of a buffer that an earlier large file grew.
    out.clear();
    if (::lseek(fd, 0, SEEK_SET) < 0) return errno;

    constexpr std::size_t min_room = 512;  // bytes
    out.resize(std::max(size_hint, min_room));
    std::size_t used = 0;
    const int err = read_until_end(fd, used, [&out](std::size_t filled) {
        if (filled == out.size()) {
            // Below the ceiling here: the loop stops before asking past it.
            out.resize(std::min(filled * 2, WHOLE_FILE_CEILING));
        }
        return std::span<char>(out.data() + filled, out.size() - filled);
    });
    out.resize(err == 0 ? used : 0);
    return err;
}

int get_all_utf8_data_from_file(int fd, std::string& out, std::size_t size_hint) {
    int err = get_all_data_from_file(fd, out, size_hint);
    if (err != 0) return err;
    if (!is_valid_utf8(out)) {
        out.clear();
        return EILSEQ;
    }
    return 0;
}

namespace {

int read_file_with(int (*read_whole)(int, std::string&, std::size_t), int dirfd,
                   const char* path, std::string& out, std::size_t size_hint) {
    const Fd fd = open_read(dirfd, path);
    if (!fd.valid()) {
        out.clear();
        return errno;
    }
    return read_whole(fd.get(), out, size_hint);
}

}  // namespace

int read_file(int dirfd, const char* path, std::string& out, std::size_t size_hint) {
    return read_file_with(&get_all_data_from_file, dirfd, path, out, size_hint);
}

int read_utf8_file(int dirfd, const char* path, std::string& out, std::size_t size_hint) {
    return read_file_with(&get_all_utf8_data_from_file, dirfd, path, out, size_hint);
}

std::optional<std::string> realpath(int dirfd, const char* path) {
    auto read_link = [&](char* into, std::size_t bytes) {
        return retry_interrupted([&] { return ::readlinkat(dirfd, path, into, bytes); });
    };
    // Most link targets under /proc are short; a truncated read (the result
    // fills the whole buffer) is repeated with a larger heap buffer.
    std::array<char, 256> stack_buf;
    ssize_t n = read_link(stack_buf.data(), stack_buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < stack_buf.size()) {
        return std::string(stack_buf.data(), static_cast<std::size_t>(n));
    }
    std::vector<char> heap_buf(stack_buf.size() * 4);
    for (;;) {
        n = read_link(heap_buf.data(), heap_buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < heap_buf.size()) {
            return std::string(heap_buf.data(), static_cast<std::size_t>(n));
        }
        heap_buf.resize(heap_buf.size() * 2);
    }
}

std::optional<std::string> realpath(const std::string& path) {
    return realpath(AT_FDCWD, path.c_str());
}

// --- number readers ---------------------------------------------------------

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The unsigned readers. std::from_chars takes no sign at all for unsigned
// types, so the one '+' is dropped here and a digit must follow it.
template <class T>
bool parse_unsigned(std::string_view text, T& out) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || !is_digit(text.front())) return false;
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
    if (ec != std::errc{} || ptr != end) return false;
    out = value;
    return true;
}

}  // namespace

bool parse_u64(std::string_view text, std::uint64_t& out) noexcept {
    return parse_unsigned(text, out);
}

bool parse_u32(std::string_view text, std::uint32_t& out) noexcept {
    return parse_unsigned(text, out);
}

bool parse_usize(std::string_view text, std::size_t& out) noexcept {
    return parse_unsigned(text, out);
}

bool parse_i32(std::string_view text, std::int32_t& out) noexcept {
    // from_chars takes a '-' for signed types but never a '+'; either sign
    // must be followed by a digit ("+-1" and "--1" are not numbers).
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || !is_digit(text.front())) return false;
    } else if (!text.empty() && text.front() == '-') {
        if (text.size() < 2 || !is_digit(text[1])) return false;
    } else if (text.empty() || !is_digit(text.front())) {
        return false;
    }
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
    if (ec != std::errc{} || ptr != end) return false;
    out = value;
    return true;
}

std::uint64_t accumulate_digits(std::string_view text) noexcept {
    std::uint64_t x = 0;
    for (char c : text) {
        auto digit = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) - std::uint8_t{'0'});
        x = x * 10 + digit;  // unsigned: wraps modulo 2^64
    }
    return x;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::numeric_limits<std::uint64_t>::max();
    return r;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::numeric_limits<std::uint64_t>::max();
    return r;
}

std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) noexcept {
    return a > b ? a - b : 0;
}

// --- text helpers -----------------------------------------------------------

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // /proc text is almost all ASCII: skip it eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            __builtin_memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char b0 = p[i];
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        auto cont = [&](std::size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
        if (b0 >= 0xC2 && b0 <= 0xDF) {  // 0xC0 and 0xC1 only begin overlongs
            if (!cont(1)) return false;
            i += 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            if (!cont(1) || !cont(2)) return false;
            unsigned char b1 = p[i + 1];
            if (b0 == 0xE0 && b1 < 0xA0) return false;  // overlong
            if (b0 == 0xED && b1 > 0x9F) return false;  // surrogate D800..DFFF
            i += 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            if (!cont(1) || !cont(2) || !cont(3)) return false;
            unsigned char b1 = p[i + 1];
            if (b0 == 0xF0 && b1 < 0x90) return false;  // overlong
            if (b0 == 0xF4 && b1 > 0x8F) return false;  // above U+10FFFF
            i += 4;
        } else {
            return false;  // a stray continuation byte, or 0xC0, 0xC1, 0xF5..0xFF
        }
    }
    return true;
}

namespace {

bool is_ascii_space(unsigned char c) noexcept { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

// Length of the multi-byte white-space character whose encoding ends at the
// end of text, or 0.
std::size_t unicode_space_len_back(std::string_view text) noexcept {
    const std::size_t n = text.size();
    if (n == 0) return 0;
    if (is_ascii_space(static_cast<unsigned char>(text[n - 1]))) return 1;
    if (n >= 2 && unicode_space_len(text.substr(n - 2)) == 2) return 2;
    if (n >= 3 && unicode_space_len(text.substr(n - 3)) == 3) return 3;
    return 0;
}

}  // namespace

std::size_t unicode_space_len(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (is_ascii_space(p[0])) return 1;
    if (p[0] == 0xC2 && n >= 2) {
        // U+0085 NEXT LINE, U+00A0 NO-BREAK SPACE
        return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    }
    if (n < 3) return 0;
    if (p[0] == 0xE1) {
        return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;  // U+1680 OGHAM SPACE MARK
    }
    if (p[0] == 0xE2 && p[1] == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        if ((p[2] >= 0x80 && p[2] <= 0x8A) || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF) {
            return 3;
        }
        return 0;
    }
    if (p[0] == 0xE2 && p[1] == 0x81) return p[2] == 0x9F ? 3 : 0;  // U+205F
    if (p[0] == 0xE3) {
        return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;  // U+3000 IDEOGRAPHIC SPACE
    }
    return 0;
}

std::string_view trim_start_unicode(std::string_view text) noexcept {
    std::size_t w;
    while ((w = unicode_space_len(text)) != 0) text.remove_prefix(w);
    return text;
}

std::string_view trim_end_unicode(std::string_view text) noexcept {
    std::size_t w;
    while ((w = unicode_space_len_back(text)) != 0) text.remove_suffix(w);
    return text;
}

std::string_view trim_unicode(std::string_view text) noexcept {
    return trim_end_unicode(trim_start_unicode(text));
}

}  // namespace hoststats
