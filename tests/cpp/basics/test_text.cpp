#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "hoststats/text.hpp"

using namespace hoststats;

TEST(Utf8, ValidityRules) {
    EXPECT_TRUE(is_valid_utf8("plain ascii text that is longer than eight bytes"));
    EXPECT_TRUE(is_valid_utf8("\xC2\xA0 \xE3\x80\x80 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"));
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong '/'
    EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));      // overlong, three bytes
    EXPECT_FALSE(is_valid_utf8("\xF0\x80\x80\xAF"));  // overlong, four bytes
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate U+D800
    EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // U+110000
    EXPECT_FALSE(is_valid_utf8("abcdefgh\xE2\x82"));  // truncated after the fast path
    EXPECT_FALSE(is_valid_utf8("\x80"));              // lone continuation byte
    EXPECT_FALSE(is_valid_utf8("\xFF"));
}

TEST(Utf8, UnicodeWhiteSpaceTrimAndSplit) {
    // U+00A0, U+3000, U+2009, U+0085, U+1680, U+205F, tab
    const std::string_view padded = "\xC2\xA0\xE3\x80\x80\xE2\x80\x89\t7 kB\xC2\x85\xE1\x9A\x80\xE2\x81\x9F";
    EXPECT_EQ(trim_start_unicode(padded), "7 kB\xC2\x85\xE1\x9A\x80\xE2\x81\x9F");
    EXPECT_EQ(trim_unicode(padded), "7 kB");
    // U+200B ZERO WIDTH SPACE is not White_Space; U+00A1 is not either.
    EXPECT_EQ(trim_unicode("\xE2\x80\x8B" "1"), "\xE2\x80\x8B" "1");
    EXPECT_EQ(trim_unicode("\xC2\xA1"), "\xC2\xA1");
    std::string joined;
    split_unicode_whitespace("a\xE2\x80\xA8 bc\xE3\x80\x80" "d ", [&](std::string_view piece) {
        joined += std::string(piece) + "|";
        return true;
    });
    EXPECT_EQ(joined, "a|bc|d|");
}
