// The UTF-8 decoder: pure functions on bytes in memory, no I/O, shared by
// the host library and the Python boundary.
#pragma once

#include <cstddef>
#include <string_view>

namespace unicode {

// One character decoded from the start of a text.
struct Utf8Char {
    char32_t code_point;  // U+FFFD where the text starts ill-formed
    std::size_t length;   // bytes taken, never 0
    bool valid;
};

// Decodes the character at the start of `text`, which must not be empty.
// Well-formed means the shortest encoding of a scalar value: no overlong
// form, no surrogate (U+D800..U+DFFF), nothing past U+10FFFF. An ill-formed
// start takes its maximal subpart, the longest prefix of some well-formed
// character (one byte at least): Unicode's unit for replacement by U+FFFD,
// after which a new character may begin.
[[nodiscard]] Utf8Char decode_utf8(std::string_view text) noexcept;

// Whether the whole text is well-formed UTF-8.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace unicode
