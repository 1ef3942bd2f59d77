#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "hoststats/hash.hpp"

using namespace hoststats;

// Expected hashes come from this reference, written from the SipHash paper
// and checked there against the paper's SipHash-2-4 example (key 00..0f,
// message 00..0e -> 0xa129ca6149be45e5):
//
//   M = (1 << 64) - 1
//   def rotl(x, b): return ((x << b) | (x >> (64 - b))) & M
//   def siphash(k0, k1, data, c, d):
//       v = [k0 ^ 0x736f6d6570736575, k1 ^ 0x646f72616e646f6d,
//            k0 ^ 0x6c7967656e657261, k1 ^ 0x7465646279746573]
//       def rnd():
//           v[0] = (v[0] + v[1]) & M; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
//           v[2] = (v[2] + v[3]) & M; v[3] = rotl(v[3], 16) ^ v[2]
//           v[0] = (v[0] + v[3]) & M; v[3] = rotl(v[3], 21) ^ v[0]
//           v[2] = (v[2] + v[1]) & M; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)
//       full = len(data) // 8 * 8
//       words = [int.from_bytes(data[i:i+8], "little") for i in range(0, full, 8)]
//       words.append(int.from_bytes(data[full:], "little") | ((len(data) & 0xFF) << 56))
//       for m in words:
//           v[3] ^= m
//           for _ in range(c): rnd()
//           v[0] ^= m
//       v[2] ^= 0xFF
//       for _ in range(d): rnd()
//       return v[0] ^ v[1] ^ v[2] ^ v[3]
namespace {
const SeedPair PAPER_KEY{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
std::string counting_bytes(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
    return s;
}
}  // namespace

TEST(SeededHashing, SipHashAgainstTheReference) {
    const std::string m15 = counting_bytes(15);
    EXPECT_EQ(siphash(PAPER_KEY, m15.data(), m15.size(), 2, 4), 0xa129ca6149be45e5ULL);
    const std::pair<std::size_t, std::uint64_t> cases[] = {
        {0, 0xabac0158050fc4dcULL},  {1, 0xc9f49bf37d57ca93ULL},  {7, 0xd3927d989bb11140ULL},
        {8, 0x369095118d299a8eULL},  {15, 0xd320d86d2a519956ULL}, {16, 0xcc4fdd1a7d908b66ULL},
        {63, 0x9d199062b7bbb3a8ULL},
    };
    for (auto [len, expected] : cases) {
        const std::string m = counting_bytes(len);
        EXPECT_EQ(siphash13(PAPER_KEY, m.data(), m.size()), expected) << len << " bytes";
    }
}

TEST(SeededHashing, KeysAreFramedAndLittleEndian) {
    SeededHash h;
    h.key = PAPER_KEY;
    if constexpr (sizeof(std::size_t) == 8) {
        EXPECT_EQ(h(std::string_view("ram_total_mb")), 0x83297955529128bfULL);
        EXPECT_EQ(h(std::int32_t{1234}), 0x7fc3256c428bc6adULL);
        EXPECT_EQ(h(std::uint64_t{0x0102030405060708ULL}), 0xf5a1b46847d6fa91ULL);
    }
    EXPECT_NE(h(std::string_view("ab")), h(std::string_view("ab\xFF")));
    SeededHash other = h;
    other.key.k1 ^= 1;
    EXPECT_NE(h(std::string_view("ram_total_mb")), other(std::string_view("ram_total_mb")));
}

TEST(SeededHashing, EachMapTakesTheNextSeedAndThreadsDiffer) {
    SeededHash first;
    SeededHash second;
    EXPECT_EQ(second.key.k0, first.key.k0 + 1);
    EXPECT_EQ(second.key.k1, first.key.k1);
    SeedPair a{}, b{};
    std::thread([&] { a = next_seed_pair(); }).join();
    std::thread([&] { b = next_seed_pair(); }).join();
    EXPECT_FALSE(a.k0 == b.k0 && a.k1 == b.k1);
    EXPECT_FALSE(a.k1 == first.key.k1) << "a new thread draws its own pair";
}
