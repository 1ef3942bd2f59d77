#include "hoststats/text.hpp"

namespace hoststats {

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
