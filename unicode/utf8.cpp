#include "unicode/utf8.hpp"

#include <cstdint>

namespace unicode {

Utf8Char decode_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char lead = p[0];
    if (lead < 0x80) return {lead, 1, true};
    // Continuation bytes needed, and the range allowed for the first of them
    // (narrower after E0, ED, F0 and F4: no overlong form, no surrogate,
    // nothing past U+10FFFF). 0xC0 and 0xC1 only begin overlong forms.
    std::size_t need = 0;
    char32_t code_point = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        code_point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        code_point = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        code_point = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {U'\uFFFD', 1, false};  // a stray continuation byte, or 0xC0, 0xC1, 0xF5..0xFF
    }
    std::size_t length = 1;
    for (; length <= need; ++length) {
        if (length == text.size()) return {U'\uFFFD', length, false};
        const unsigned char next = p[length];
        if (next < low || next > high) return {U'\uFFFD', length, false};
        code_point = (code_point << 6) | (next & 0x3Fu);
        low = 0x80;
        high = 0xBF;
    }
    return {code_point, length, true};
}

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // /proc text is almost all ASCII: look for a high bit 32 bytes at a
        // time, then 8, and decode only from the first byte that has one.
        while (i + 32 <= n) {
            std::uint64_t words[4];
            __builtin_memcpy(words, p + i, sizeof words);
            if (((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ULL) != 0) break;
            i += 32;
        }
        while (i + 8 <= n) {
            std::uint64_t word;
            __builtin_memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        if (i >= n) break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const Utf8Char c = decode_utf8(bytes.substr(i));
        if (!c.valid) return false;
        i += c.length;
    }
    return true;
}

}  // namespace unicode
