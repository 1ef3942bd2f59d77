// Helpers shared by the fuzz targets: property checks that stop the run, and
// slow, obviously-correct references to hold the fast parsers against.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz_support {

// A failed property is a crash as far as libFuzzer is concerned: it saves
// the input that broke it.
inline void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Whether `inner` lies wholly inside `outer` (an empty view anywhere counts,
// it is never read).
inline bool within(std::string_view inner, std::string_view outer) {
    if (inner.empty()) return true;
    const auto lo = reinterpret_cast<std::uintptr_t>(outer.data());
    const auto hi = lo + outer.size();
    const auto p = reinterpret_cast<std::uintptr_t>(inner.data());
    return p >= lo && p + inner.size() <= hi;
}

// Decodes UTF-8 one scalar value at a time from the definition (RFC 3629):
// the lead byte gives the length, every other byte must be 10xxxxxx, and
// the value must need exactly that length and be neither a surrogate nor
// above U+10FFFF. Nothing when the text is not UTF-8.
inline std::optional<std::vector<std::uint32_t>> decode_utf8(std::string_view text) {
    std::vector<std::uint32_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        std::size_t len;
        std::uint32_t cp;
        if ((b0 & 0x80) == 0) {
            len = 1;
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            len = 2;
            cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3;
            cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4;
            cp = b0 & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + len > text.size()) return std::nullopt;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (b & 0x3F);
        }
        static constexpr std::uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < SMALLEST[len]) return std::nullopt;               // overlong
        if (cp >= 0xD800 && cp <= 0xDFFF) return std::nullopt;      // surrogate
        if (cp > 0x10FFFF) return std::nullopt;                     // out of range
        out.push_back(cp);
        i += len;
    }
    return out;
}

inline std::string encode_utf8(std::uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// The Unicode White_Space property, as listed in PropList.txt.
inline bool is_white_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// The encodings of every white-space character.
inline const std::vector<std::string>& white_space_encodings() {
    static const std::vector<std::string> ENCODINGS = [] {
        std::vector<std::string> v;
        for (std::uint32_t cp = 0; cp <= 0x3000; ++cp) {
            if (is_white_space(cp)) v.push_back(encode_utf8(cp));
        }
        return v;
    }();
    return ENCODINGS;
}

// Length of the white-space character the text starts with, found by
// comparing against every encoding; 0 when none.
inline std::size_t leading_space(std::string_view text) {
    if (text.empty()) return 0;
    if (static_cast<unsigned char>(text[0]) < 0x80) return is_white_space(static_cast<unsigned char>(text[0])) ? 1 : 0;
    for (const std::string& e : white_space_encodings()) {
        if (text.starts_with(e)) return e.size();
    }
    return 0;
}

inline std::size_t trailing_space(std::string_view text) {
    if (text.empty()) return 0;
    if (static_cast<unsigned char>(text.back()) < 0x80) return is_white_space(static_cast<unsigned char>(text.back())) ? 1 : 0;
    for (const std::string& e : white_space_encodings()) {
        if (text.ends_with(e)) return e.size();
    }
    return 0;
}

// Unsigned decimal by hand: one optional '+', then at least one digit and
// nothing else, no value above `max`.
inline std::optional<std::uint64_t> slow_unsigned(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    unsigned __int128 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > max) return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

// Splits at `sep`, keeping empty pieces, the piece after the last separator
// included.
inline std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const std::size_t at = text.find(sep);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

}  // namespace fuzz_support
