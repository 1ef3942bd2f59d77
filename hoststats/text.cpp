#include "hoststats/text.hpp"

#include <cerrno>
#include <cstring>

#include "hoststats/fd.hpp"

namespace hoststats {

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

// --- LineReader -----------------------------------------------------------------

bool LineReader::peek_head(std::size_t want, std::string_view& head) {
    for (;;) {
        const std::size_t avail = end_ - begin_;
        const std::size_t span = avail < want ? avail : want;
        const char* start = buf_.data() + begin_;
        const void* nl = std::memchr(start, '\n', span);
        if (nl != nullptr) {
            head = std::string_view(start, static_cast<const char*>(nl) - start);
            return true;
        }
        if (avail >= want) {
            head = std::string_view(start, want);
            return true;
        }
        if (!fill()) {
            if (end_ == begin_) return false;
            head = std::string_view(buf_.data() + begin_, end_ - begin_);
            return true;
        }
    }
}

bool LineReader::next_line(std::string_view& line) {
    spill_.clear();
    bool spilled = false;
    std::size_t scanned = 0;  // bytes after begin_ known to hold no newline
    for (;;) {
        const char* start = buf_.data() + begin_;
        const std::size_t avail = end_ - begin_;
        const void* nl = std::memchr(start + scanned, '\n', avail - scanned);
        if (nl != nullptr) {
            const auto len = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
            begin_ += len + 1;
            line = finish(spilled, start, len);
            return true;
        }
        scanned = avail;
        if (avail == buf_.size()) {
            // No newline in a full buffer: keep what we have aside, up
            // to the longest line allowed; a line without end fails like
            // a read.
            if (spill_.size() + avail > longest_line_) {
                error_ = EFBIG;
                eof_ = true;
                begin_ = end_ = 0;
                return false;
            }
            spill_.append(start, avail);
            spilled = true;
            begin_ = end_ = 0;
            scanned = 0;
        }
        if (!fill()) {
            if (end_ == begin_ && !spilled) return false;
            const char* rest = buf_.data() + begin_;
            const std::size_t len = end_ - begin_;
            begin_ = end_;
            line = finish(spilled, rest, len);
            return true;
        }
    }
}

std::string_view LineReader::finish(bool spilled, const char* start, std::size_t len) {
    if (!spilled) return {start, len};
    spill_.append(start, len);
    return spill_;
}

// Moves the unread bytes to the front and reads more after them. False
// at end of file, after a read error (which ends the lines like the end
// of the file does, and is kept in error_) or when the buffer is
// already full.
bool LineReader::fill() {
    if (eof_) return false;
    if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buf_.size()) return false;
    const ssize_t n = read_some(fd_, buf_.data() + end_, buf_.size() - end_);
    if (n <= 0) {
        if (n < 0) error_ = errno;
        eof_ = true;
        return false;
    }
    end_ += static_cast<std::size_t>(n);
    return true;
}

}  // namespace hoststats
