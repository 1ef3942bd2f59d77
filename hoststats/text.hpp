// Text helpers for /proc text: Unicode white space and the line and piece
// splitters, over text in memory or read from a file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "unicode/utf8.hpp"

namespace hoststats {

// The UTF-8 decoder, shared with the Python boundary.
using unicode::decode_utf8;
using unicode::is_valid_utf8;
using unicode::Utf8Char;

// --- white space --------------------------------------------------------------

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

// --- lines and pieces ---------------------------------------------------------

// Walks text one piece at a time, a piece being what lies between two
// separator bytes, the separators left out. The text after the last
// separator is a piece too: text that ends in a separator gives an empty
// last piece, and empty text one empty piece.
class SplitCursor {
public:
    explicit SplitCursor(std::string_view text, char separator = '\n') noexcept
        : rest_(text), separator_(separator) {}

    // The next piece; false when none is left.
    bool next(std::string_view& piece) noexcept {
        if (done_) return false;
        const std::size_t at = rest_.find(separator_);
        piece = rest_.substr(0, at);
        if (at == std::string_view::npos) {
            done_ = true;
        } else {
            rest_.remove_prefix(at + 1);
        }
        return true;
    }
    // The next piece that is not empty, so that a run of separators parts
    // like one; false when none is left.
    bool next_nonempty(std::string_view& piece) noexcept {
        while (next(piece)) {
            if (!piece.empty()) return true;
        }
        return false;
    }
    // The next piece, left to be taken again.
    bool peek(std::string_view& piece) const noexcept {
        SplitCursor ahead = *this;
        return ahead.next(piece);
    }
    void advance() noexcept {
        std::string_view skipped;
        next(skipped);
    }

private:
    std::string_view rest_;
    char separator_;
    bool done_ = false;
};

// The line without the "\r" of a "\r\n" ending.
[[nodiscard]] inline std::string_view without_cr(std::string_view line) noexcept {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// Reads a file a line at a time through one fixed buffer. A line is the
// bytes up to the next "\n", without it; a last line without one still
// counts. Lines are handed out as views into the buffer; only a line longer
// than the whole buffer is gathered into a side string (whose capacity is
// then reused), up to `longest_line` bytes: a longer one ends the lines as
// a failed read does, with EFBIG.
class LineReader {
public:
    LineReader(int fd, std::size_t longest_line) noexcept : fd_(fd), longest_line_(longest_line) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The first bytes of the next line, at most `want` of them and never past
    // its newline, without consuming anything. False when no line is left.
    bool peek_head(std::size_t want, std::string_view& head);
    // The next line. False when no line is left.
    bool next_line(std::string_view& line);
    // Why the lines ended early: the errno of a failed read, or 0.
    [[nodiscard]] int error() const noexcept { return error_; }

private:
    std::string_view finish(bool spilled, const char* start, std::size_t len);
    bool fill();

    int fd_;
    std::size_t longest_line_;
    bool eof_ = false;
    int error_ = 0;  // errno of the read that ended the lines, 0 at the end of the file
    std::size_t begin_ = 0;  // first unread byte in buf_
    std::size_t end_ = 0;    // one past the last byte read into buf_
    std::array<char, 8192> buf_;
    std::string spill_;
};

}  // namespace hoststats
