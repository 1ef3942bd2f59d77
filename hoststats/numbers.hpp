// The number readers every parser of this library is built on, and the
// saturating arithmetic its counters use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace hoststats {

// Strict decimal readers: one optional leading '+', then only the digits 0-9,
// the whole text used, no overflow. Empty text, a lone sign, any other byte or
// an overflow fail and leave `out` untouched.
[[nodiscard]] bool parse_u64(std::string_view text, std::uint64_t& out) noexcept;
[[nodiscard]] bool parse_u32(std::string_view text, std::uint32_t& out) noexcept;
[[nodiscard]] bool parse_usize(std::string_view text, std::size_t& out) noexcept;
// Signed 32-bit: one optional '+' or '-', then digits.
[[nodiscard]] bool parse_i32(std::string_view text, std::int32_t& out) noexcept;

// The kernel's unchecked digit accumulation: x = x*10 + (byte - '0') for
// every byte, the difference taken modulo 256, wrapping at 64 bits. Only runs
// of decimal digits give their decimal value.
std::uint64_t accumulate_digits(std::string_view text) noexcept;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept;
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept;
std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) noexcept;

}  // namespace hoststats
