#include "hoststats/text.hpp"

#include <cerrno>
#include <cstring>

#include "hoststats/fd.hpp"

namespace hoststats {

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
