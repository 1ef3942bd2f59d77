#include "hoststats/numbers.hpp"

#include <charconv>
#include <limits>
#include <system_error>

namespace hoststats {

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

}  // namespace hoststats
