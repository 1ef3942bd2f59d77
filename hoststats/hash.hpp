// Keyed hashing for the library's hash maps. Every map takes a fresh seed
// pair from its thread, so iteration orders differ from process to process
// and keys chosen by other processes (pids, names) cannot be aimed at one
// bucket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hoststats {

struct SeedPair {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// The calling thread's current pair; the thread's k0 then goes up by one
// (wrapping), so the next map gets another seed. The pair is filled on the
// thread's first need from getrandom(2), or /dev/urandom where that call is
// unavailable.
SeedPair next_seed_pair() noexcept;

// SipHash-c-d of `bytes` under the key (k0, k1): c compression rounds per
// eight-byte word, d finalisation rounds.
std::uint64_t siphash(SeedPair key, const void* bytes, std::size_t len, int c_rounds,
                      int d_rounds) noexcept;
// SipHash-1-3 of `bytes` under the key (k0, k1).
std::uint64_t siphash13(SeedPair key, const void* bytes, std::size_t len) noexcept;

// Hasher for std::unordered_map/set. Text keys hash their bytes followed by
// one 0xFF byte, so "ab"+"c" and "a"+"bc" differ in composite keys; integer
// keys hash their little-endian bytes.
struct SeededHash {
    SeedPair key = next_seed_pair();

    std::size_t operator()(std::string_view text) const noexcept;
    std::size_t operator()(const std::string& text) const noexcept {
        return (*this)(std::string_view(text));
    }
    std::size_t operator()(std::int32_t value) const noexcept;
    // Also std::size_t where it is 32 bits wide (32-bit ARM).
    std::size_t operator()(std::uint32_t value) const noexcept;
    std::size_t operator()(std::uint64_t value) const noexcept;
};

}  // namespace hoststats
