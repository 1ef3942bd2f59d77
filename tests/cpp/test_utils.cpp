#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>

#include "fixture_tree.hpp"
#include "hoststats/hash.hpp"
#include "hoststats/numbers.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/read_buffer.hpp"
#include "hoststats/text.hpp"
#include "hoststats/utils.hpp"

using namespace hoststats;
using testing_support::FixtureTree;
using testing_support::open_descriptors;

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

TEST(FileReads, WholeFileFromOffsetZeroIntoAReusedBuffer) {
    FixtureTree tree;
    const std::string big(100000, 'x');  // far past the hint and the first read
    tree.write("proc/big", big);
    tree.write("proc/small", "abc");
    Fd fd = open_read(AT_FDCWD, (tree.root().proc + "/big").c_str());
    ASSERT_TRUE(fd.valid());
    std::string buf;
    ASSERT_EQ(get_all_data_from_file(fd.get(), buf, 16), 0);
    EXPECT_EQ(buf, big);
    // A second read of the same descriptor starts again at offset 0.
    ASSERT_EQ(get_all_data_from_file(fd.get(), buf, 16), 0);
    EXPECT_EQ(buf.size(), big.size());
    const std::size_t capacity = buf.capacity();
    ASSERT_EQ(read_file(AT_FDCWD, (tree.root().proc + "/small").c_str(), buf, 4), 0);
    EXPECT_EQ(buf, "abc");
    EXPECT_GE(buf.capacity(), capacity) << "the caller's buffer must keep its room";
}

TEST(FileReads, ErrorsAreReported) {
    FixtureTree tree;
    tree.write("proc/latin1", "caf\xE9\n");
    tree.mkdir("proc/dir");
    const std::string dir = tree.root().proc + "/dir";
    const std::string latin1 = tree.root().proc + "/latin1";
    std::string buf = "stale";
    const std::size_t fds = open_descriptors();
    EXPECT_EQ(read_file(AT_FDCWD, (tree.root().proc + "/missing").c_str(), buf, 0), ENOENT);
    // A directory opens, and its read fails: the descriptor is closed all
    // the same, by every reader that opens the file itself.
    EXPECT_EQ(read_file(AT_FDCWD, dir.c_str(), buf, 0), EISDIR);
    EXPECT_TRUE(buf.empty());
    EXPECT_EQ(read_utf8_file(AT_FDCWD, dir.c_str(), buf, 0), EISDIR);
    EXPECT_EQ(read_utf8_file(AT_FDCWD, latin1.c_str(), buf, 0), EILSEQ);
    {
        ReadBuffer scratch;
        EXPECT_EQ(scratch.read_file_at(AT_FDCWD, dir.c_str()), EISDIR);
        EXPECT_TRUE(scratch.view().empty());
    }
    EXPECT_EQ(open_descriptors(), fds);
    Fd fd = open_read(AT_FDCWD, (tree.root().proc + "/latin1").c_str());
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(get_all_utf8_data_from_file(fd.get(), buf, 8), EILSEQ);
    EXPECT_TRUE(buf.empty());
    EXPECT_EQ(get_all_data_from_file(fd.get(), buf, 8), 0);
    EXPECT_EQ(buf, "caf\xE9\n");

    // A source without end stops at the ceiling, in every reader, and no
    // buffer grows past it, whatever size the first allocation had.
    EXPECT_EQ(read_file(AT_FDCWD, "/dev/zero", buf, 0), EFBIG);
    EXPECT_TRUE(buf.empty());
    EXPECT_LE(buf.capacity(), WHOLE_FILE_CEILING);
    for (const std::size_t hint : {std::size_t{3000}, WHOLE_FILE_CEILING + 1}) {
        std::string endless;
        EXPECT_EQ(read_file(AT_FDCWD, "/dev/zero", endless, hint), EFBIG);
        EXPECT_LE(endless.capacity(), WHOLE_FILE_CEILING) << "hint " << hint;
    }
    ReadBuffer scratch;
    EXPECT_EQ(scratch.read_file_at(AT_FDCWD, "/dev/zero"), EFBIG);
    EXPECT_TRUE(scratch.view().empty());
    // A file one byte short of the ceiling is read whole; one byte more
    // fails. (Sparse files: they read as zeros and take no room.)
    const std::string longest = tree.root().proc + "/longest";
    tree.write("proc/longest", "");
    ASSERT_EQ(::truncate(longest.c_str(), static_cast<off_t>(WHOLE_FILE_CEILING - 1)), 0);
    EXPECT_EQ(read_file(AT_FDCWD, longest.c_str(), buf, 0), 0);
    EXPECT_EQ(buf.size(), WHOLE_FILE_CEILING - 1);
    EXPECT_EQ(scratch.read_file_at(AT_FDCWD, longest.c_str()), 0);
    EXPECT_EQ(scratch.view().size(), WHOLE_FILE_CEILING - 1);
    ASSERT_EQ(::truncate(longest.c_str(), static_cast<off_t>(WHOLE_FILE_CEILING)), 0);
    EXPECT_EQ(read_file(AT_FDCWD, longest.c_str(), buf, 0), EFBIG);
    EXPECT_EQ(scratch.read_file_at(AT_FDCWD, longest.c_str()), EFBIG);
}

TEST(FileReads, FilesHandedOutInPiecesAreReadWhole) {
    // Outside a process's directory a read that returns less than it was
    // offered does not end the file: the kernel hands out a file built
    // record by record (/proc/cpuinfo of many CPUs, the maps of a process)
    // one page of records per read. 256 mappings of alternating protection
    // make this process's maps many pages long.
    constexpr std::size_t PAGES = 256;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* at = ::mmap(nullptr, PAGES * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(at, MAP_FAILED);
    auto* base = static_cast<char*>(at);
    for (std::size_t i = 1; i < PAGES; i += 2) {
        ASSERT_EQ(::mprotect(base + i * page, page, PROT_NONE), 0);
    }
    std::string maps;
    ASSERT_EQ(read_file(AT_FDCWD, "/proc/self/maps", maps, 0), 0);
    maps.insert(0, "\n");  // the lowest mapping may be the first line
    std::size_t found = 0;
    for (std::size_t i = 0; i < PAGES; ++i) {
        char start[32];
        std::snprintf(start, sizeof start, "\n%08llx-",
                      static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(base + i * page)));
        if (maps.find(start) != std::string::npos) ++found;
    }
    ::munmap(at, PAGES * page);
    EXPECT_EQ(found, PAGES) << maps.size() << " bytes read";
}

TEST(FileReads, RealpathReadsTheLinkOnce) {
    FixtureTree tree;
    tree.write("proc/1/file", "x");
    tree.symlink("proc/1/cwd", "/some/where/else");
    tree.symlink("proc/1/chain", tree.root().proc + "/1/cwd");
    const std::string long_target = "/" + std::string(1000, 'd') + "/tail";
    tree.symlink("proc/1/exe", long_target);
    const std::string dir = tree.root().proc + "/1/";
    EXPECT_EQ(realpath(dir + "cwd"), "/some/where/else");
    EXPECT_EQ(realpath(dir + "chain"), dir + "cwd") << "one level only, nothing resolved";
    EXPECT_EQ(realpath(dir + "exe"), long_target);
    EXPECT_EQ(realpath(dir + "file"), std::nullopt);
    EXPECT_EQ(realpath(dir + "missing"), std::nullopt);
    Fd base = open_dir(AT_FDCWD, dir.c_str(), true);
    ASSERT_TRUE(base.valid());
    EXPECT_EQ(realpath(base.get(), "cwd"), "/some/where/else");
}

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

// --- interrupted operations -----------------------------------------------------

namespace {

std::atomic<int> CHECKS_RUN{0};
bool refuse_retry() {
    CHECKS_RUN.fetch_add(1);
    return false;
}
bool allow_retry() {
    CHECKS_RUN.fetch_add(1);
    return true;
}
void ignore_signal(int) {}

// SIGUSR1 with a handler installed without SA_RESTART, as the interpreter
// installs its own: a blocked open or read then fails with EINTR.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = &ignore_signal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGUSR1, &action, &previous_);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &previous_, nullptr); }
    InterruptingSignal(const InterruptingSignal&) = delete;
    InterruptingSignal& operator=(const InterruptingSignal&) = delete;

    // Signals `thread` every 10 ms until `until()` holds (at most 10 s).
    template <class Until>
    static bool interrupt(std::thread& thread, Until&& until) {
        for (int round = 0; round < 1000; ++round) {
            if (until()) return true;
            ::pthread_kill(thread.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return until();
    }

private:
    struct sigaction previous_ {};
};

}  // namespace

// An open of a FIFO blocks until a writer comes, like a hung FUSE-backed file.
TEST(InterruptedOperations, TheInstalledCheckDecidesWhetherTheOperationGoesOn) {
    FixtureTree tree;
    const std::string fifo = tree.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    InterruptingSignal signal;

    // Refused: the open ends with Interrupted at the first interruption.
    CHECKS_RUN = 0;
    std::atomic<bool> ended{false};
    bool thrown = false;
    std::thread refused([&] {
        const InterruptCheckScope scope(&refuse_retry);
        try {
            const Fd fd = open_read(AT_FDCWD, fifo.c_str());
        } catch (const Interrupted&) {
            thrown = true;
        }
        ended = true;
    });
    EXPECT_TRUE(InterruptingSignal::interrupt(refused, [&] { return ended.load(); }));
    refused.join();
    EXPECT_TRUE(thrown);
    EXPECT_EQ(CHECKS_RUN.load(), 1);

    // Allowed: the open goes on through every interruption until a writer
    // comes, and the read after it until the writer writes.
    CHECKS_RUN = 0;
    ended = false;
    int err = -1;
    std::string text;
    std::thread allowed([&] {
        const InterruptCheckScope scope(&allow_retry);
        const Fd fd = open_read(AT_FDCWD, fifo.c_str());
        ReadBuffer buffer(64);
        err = fd.valid() ? buffer.read_to_end(fd.get()) : errno;
        text = buffer.view();
        ended = true;
    });
    EXPECT_TRUE(InterruptingSignal::interrupt(allowed, [&] { return CHECKS_RUN.load() >= 3; }));
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_TRUE(InterruptingSignal::interrupt(allowed, [&] { return CHECKS_RUN.load() >= 6; }));
    ASSERT_EQ(::write(writer, "MemTotal: 1 kB\n", 15), 15);
    ::close(writer);
    EXPECT_TRUE(InterruptingSignal::interrupt(allowed, [&] { return ended.load(); }));
    allowed.join();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(text, "MemTotal: 1 kB\n");
}
