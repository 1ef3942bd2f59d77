#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "hoststats/numbers.hpp"

using namespace hoststats;

namespace {
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
}

TEST(NumberReaders, UnsignedAcceptsOnePlusAndDigitsOnly) {
    std::uint64_t v = 7;
    EXPECT_TRUE(parse_u64("+100", v));
    EXPECT_EQ(v, 100u);
    EXPECT_TRUE(parse_u64("0", v));
    EXPECT_EQ(v, 0u);
    v = 7;
    for (const char* bad : {"", "+", "-", "-1", "++1", "+-1", " 1", "1 ", "12a", "0x10", "1.5"}) {
        EXPECT_FALSE(parse_u64(bad, v)) << bad;
        EXPECT_EQ(v, 7u) << "a failed read must leave the value alone: " << bad;
    }
}

TEST(NumberReaders, OverflowAtTheTypeLimit) {
    std::uint64_t v64 = 0;
    EXPECT_TRUE(parse_u64("18446744073709551615", v64));
    EXPECT_EQ(v64, U64_MAX);
    EXPECT_FALSE(parse_u64("18446744073709551616", v64));

    std::uint32_t v32 = 0;
    EXPECT_TRUE(parse_u32("4294967295", v32));
    EXPECT_EQ(v32, 4294967295u);
    EXPECT_FALSE(parse_u32("4294967296", v32));

    std::size_t vs = 0;
    EXPECT_TRUE(parse_usize("+42", vs));
    EXPECT_EQ(vs, 42u);
}

TEST(NumberReaders, SignedTakesEitherSignOnce) {
    std::int32_t v = 0;
    EXPECT_TRUE(parse_i32("-2147483648", v));
    EXPECT_EQ(v, std::numeric_limits<std::int32_t>::min());
    EXPECT_TRUE(parse_i32("+2147483647", v));
    EXPECT_EQ(v, std::numeric_limits<std::int32_t>::max());
    v = 5;
    for (const char* bad : {"", "+", "-", "2147483648", "-2147483649", "+-1", "-+1", "--1", "1-"}) {
        EXPECT_FALSE(parse_i32(bad, v)) << bad;
    }
    EXPECT_EQ(v, 5);
}

TEST(NumberReaders, AccumulateDigitsWrapsAndTakesAnyByte) {
    EXPECT_EQ(accumulate_digits(""), 0u);
    EXPECT_EQ(accumulate_digits("1796629319"), 1796629319u);
    // 2^64 + 4 wraps to 4.
    EXPECT_EQ(accumulate_digits("18446744073709551620"), 4u);
    // 'a' - '0' = 49, unchecked; ' ' - '0' wraps to 240 modulo 256.
    EXPECT_EQ(accumulate_digits("1a"), 10u + 49u);
    EXPECT_EQ(accumulate_digits(" "), 240u);
}

TEST(NumberReaders, SaturatingArithmetic) {
    EXPECT_EQ(saturating_add(U64_MAX - 1, 2), U64_MAX);
    EXPECT_EQ(saturating_mul(std::uint64_t{1} << 54, 1024), U64_MAX);
    EXPECT_EQ(saturating_mul((std::uint64_t{1} << 54) - 1, 1024), U64_MAX - 1023);
    EXPECT_EQ(saturating_sub(3, 5), 0u);
    EXPECT_EQ(saturating_sub(5, 3), 2u);
}
