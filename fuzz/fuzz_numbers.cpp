// The strict number readers against a slow reference, the kernel-style digit
// accumulator, the saturating arithmetic and the /proc entry-name reader.
#include <cstdint>
#include <cstring>
#include <limits>

#include "fuzz/support.hpp"
#include "hoststats/numbers.hpp"
#include "hoststats/process_parse.hpp"

using fuzz_support::check;

namespace {

std::optional<std::int64_t> slow_i32(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::int64_t{1} << 31) return std::nullopt;
    }
    value = negative ? -value : value;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return value;
}

void check_readers(std::string_view text) {
    constexpr std::uint64_t SENTINEL = 0xDEADBEEFCAFEF00DULL;

    std::uint64_t u64 = SENTINEL;
    const auto want64 = fuzz_support::slow_unsigned(text, UINT64_MAX);
    const bool ok64 = hoststats::parse_u64(text, u64);
    check(ok64 == want64.has_value(), "parse_u64 accepts what the reference accepts");
    check(ok64 ? want64 == u64 : u64 == SENTINEL, "parse_u64 value, or output untouched");

    std::uint32_t u32 = 0xA5A5A5A5u;
    const auto want32 = fuzz_support::slow_unsigned(text, UINT32_MAX);
    const bool ok32 = hoststats::parse_u32(text, u32);
    check(ok32 == want32.has_value(), "parse_u32 accepts what the reference accepts");
    check(ok32 ? want32 == u32 : u32 == 0xA5A5A5A5u, "parse_u32 value, or output untouched");

    std::size_t usize = 7;
    const bool oks = hoststats::parse_usize(text, usize);
    const auto wants = fuzz_support::slow_unsigned(text, SIZE_MAX);
    check(oks == wants.has_value() && (!oks || wants == usize), "parse_usize");

    std::int32_t i32 = -12345;
    const auto wanti = slow_i32(text);
    const bool oki = hoststats::parse_i32(text, i32);
    check(oki == wanti.has_value(), "parse_i32 accepts what the reference accepts");
    check(oki ? wanti == i32 : i32 == -12345, "parse_i32 value, or output untouched");

    // A /proc entry name is a pid only when it is UTF-8 and reads as u32.
    const auto pid = hoststats::pid_from_entry_name(text);
    check(pid.has_value() == want32.has_value(), "pid_from_entry_name follows parse_u32");
    if (pid) check(want32 == static_cast<std::uint32_t>(*pid), "pid_from_entry_name value");

    // The accumulator agrees with the strict reader on plain digit runs that
    // cannot overflow; on anything else it only has to terminate.
    const std::uint64_t acc = hoststats::accumulate_digits(text);
    bool all_digits = !text.empty() && text.size() <= 19;
    for (char c : text) all_digits = all_digits && c >= '0' && c <= '9';
    if (all_digits) check(want64 == acc, "accumulate_digits on a short digit run");
}

void check_saturating(const std::uint8_t* data, std::size_t size) {
    if (size < 16) return;
    std::uint64_t a, b;
    std::memcpy(&a, data, 8);
    std::memcpy(&b, data + 8, 8);
    const unsigned __int128 sum = static_cast<unsigned __int128>(a) + b;
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    check(hoststats::saturating_add(a, b) == (sum > UINT64_MAX ? UINT64_MAX : sum),
          "saturating_add");
    check(hoststats::saturating_mul(a, b) == (product > UINT64_MAX ? UINT64_MAX : product),
          "saturating_mul");
    check(hoststats::saturating_sub(a, b) == (a > b ? a - b : 0), "saturating_sub");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);
    check_readers(text);
    // Every line on its own too: the corpus seeds are whole /proc files.
    for (std::string_view line : fuzz_support::split(text, '\n')) {
        for (std::string_view piece : fuzz_support::split(line, ' ')) check_readers(piece);
    }
    check_saturating(data, size);
    return 0;
}
