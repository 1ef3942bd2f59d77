#include "hoststats/hash.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hoststats/fd.hpp"

namespace hoststats {

namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int bits) noexcept {
    return (x << bits) | (x >> (64 - bits));
}

std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// SipHash state fed in pieces: eight-byte little-endian words, the last one
// padded with zeros and carrying the total length (mod 256) in its top byte.
class SipState {
public:
    SipState(SeedPair key, int c_rounds, int d_rounds) noexcept
        : v0_(key.k0 ^ 0x736f6d6570736575ULL),
          v1_(key.k1 ^ 0x646f72616e646f6dULL),
          v2_(key.k0 ^ 0x6c7967656e657261ULL),
          v3_(key.k1 ^ 0x7465646279746573ULL),
          c_(c_rounds),
          d_(d_rounds) {}

    void write(const void* data, std::size_t len) noexcept {
        const auto* p = static_cast<const unsigned char*>(data);
        length_ += len;
        if (tail_len_ != 0) {
            while (len != 0 && tail_len_ < 8) {
                tail_[tail_len_++] = *p++;
                --len;
            }
            if (tail_len_ < 8) return;
            compress(load_le64(tail_));
            tail_len_ = 0;
        }
        while (len >= 8) {
            compress(load_le64(p));
            p += 8;
            len -= 8;
        }
        std::memcpy(tail_, p, len);
        tail_len_ = len;
    }

    std::uint64_t finish() noexcept {
        std::uint64_t last = static_cast<std::uint64_t>(length_ & 0xFF) << 56;
        for (std::size_t i = 0; i < tail_len_; ++i) {
            last |= static_cast<std::uint64_t>(tail_[i]) << (8 * i);
        }
        compress(last);
        v2_ ^= 0xFF;
        for (int i = 0; i < d_; ++i) round();
        return v0_ ^ v1_ ^ v2_ ^ v3_;
    }

private:
    void round() noexcept {
        v0_ += v1_;
        v1_ = rotl(v1_, 13);
        v1_ ^= v0_;
        v0_ = rotl(v0_, 32);
        v2_ += v3_;
        v3_ = rotl(v3_, 16);
        v3_ ^= v2_;
        v0_ += v3_;
        v3_ = rotl(v3_, 21);
        v3_ ^= v0_;
        v2_ += v1_;
        v1_ = rotl(v1_, 17);
        v1_ ^= v2_;
        v2_ = rotl(v2_, 32);
    }

    void compress(std::uint64_t m) noexcept {
        v3_ ^= m;
        for (int i = 0; i < c_; ++i) round();
        v0_ ^= m;
    }

    std::uint64_t v0_, v1_, v2_, v3_;
    int c_, d_;
    unsigned char tail_[8] = {};
    std::size_t tail_len_ = 0;
    std::uint64_t length_ = 0;  // bytes written so far
};

// 16 bytes from the kernel's random source: getrandom(2) where the kernel
// has it, /dev/urandom otherwise. The seeds only spread hash-map keys, so if
// both fail (no entropy yet, /dev not mounted) the clock and the stack
// address stand in.
SeedPair fresh_seed_pair() noexcept {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, GRND_NONBLOCK);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof bytes) {
        got = 0;
        // Nothing may be thrown from here, and the random source never
        // blocks: an interrupted open is simply retried.
        const InterruptCheckScope always_retry(nullptr);
        Fd fd = open_read(AT_FDCWD, "/dev/urandom");
        while (fd.valid() && got < sizeof bytes) {
            ssize_t n = ::read(fd.get(), bytes + got, sizeof bytes - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    }
    SeedPair pair;
    if (got == sizeof bytes) {
        pair.k0 = load_le64(bytes);
        pair.k1 = load_le64(bytes + 8);
    } else {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        pair.k0 = static_cast<std::uint64_t>(ts.tv_nsec) ^
                  (static_cast<std::uint64_t>(ts.tv_sec) << 30);
        pair.k1 = reinterpret_cast<std::uintptr_t>(&ts) ^ static_cast<std::uint64_t>(::getpid());
    }
    return pair;
}

struct ThreadSeeds {
    bool filled = false;
    SeedPair pair;
};

thread_local ThreadSeeds KEYS;

}  // namespace

SeedPair next_seed_pair() noexcept {
    if (!KEYS.filled) {
        KEYS.pair = fresh_seed_pair();
        KEYS.filled = true;
    }
    SeedPair current = KEYS.pair;
    KEYS.pair.k0 += 1;  // unsigned: wraps
    return current;
}

std::uint64_t siphash(SeedPair key, const void* bytes, std::size_t len, int c_rounds,
                      int d_rounds) noexcept {
    SipState state(key, c_rounds, d_rounds);
    state.write(bytes, len);
    return state.finish();
}

std::uint64_t siphash13(SeedPair key, const void* bytes, std::size_t len) noexcept {
    return siphash(key, bytes, len, 1, 3);
}

std::size_t SeededHash::operator()(std::string_view text) const noexcept {
    // The 0xFF byte ends the text, so texts hashed one after another cannot
    // run into each other; no UTF-8 text holds that byte.
    SipState state(key, 1, 3);
    state.write(text.data(), text.size());
    const unsigned char end = 0xFF;
    state.write(&end, 1);
    return static_cast<std::size_t>(state.finish());
}

std::size_t SeededHash::operator()(std::int32_t value) const noexcept {
    const auto u = static_cast<std::uint32_t>(value);
    const unsigned char le[4] = {
        static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
        static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
    return static_cast<std::size_t>(siphash13(key, le, sizeof le));
}

std::size_t SeededHash::operator()(std::uint32_t value) const noexcept {
    const unsigned char le[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return static_cast<std::size_t>(siphash13(key, le, sizeof le));
}

std::size_t SeededHash::operator()(std::uint64_t value) const noexcept {
    unsigned char le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(value >> (8 * i));
    return static_cast<std::size_t>(siphash13(key, le, sizeof le));
}

}  // namespace hoststats
