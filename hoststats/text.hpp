// Text helpers for /proc text: UTF-8 validity, Unicode white space, and the
// line and piece splitters the parsers share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace hoststats {

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
