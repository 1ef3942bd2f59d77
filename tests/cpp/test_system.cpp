#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <new>
#include <string>

#include "fixture_tree.hpp"

namespace {

// While not negative, the allocations (or anonymous mappings) still to go
// before one is refused, as a full address space refuses it.
std::atomic<long> allocations_to_refusal{-1};
std::atomic<long> mappings_to_refusal{-1};

bool refused(std::atomic<long>& countdown) noexcept {
    long left = countdown.load();
    while (left >= 0 && !countdown.compare_exchange_weak(left, left - 1)) {
    }
    return left == 0;
}

}  // namespace

// The replacement delete frees what the replacement new took from malloc;
// GCC, once it has inlined both into a caller, takes the pair for a
// mismatch (at the sanitizers' optimisation level).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t bytes) {
    if (refused(allocations_to_refusal)) throw std::bad_alloc();
    if (void* at = std::malloc(bytes == 0 ? 1 : bytes)) return at;
    throw std::bad_alloc();
}
void operator delete(void* at) noexcept { std::free(at); }
void operator delete(void* at, std::size_t /*bytes*/) noexcept { std::free(at); }

// Declared as the C library declares it (see test_process_details.cpp).
#if defined(__GLIBC__)
#define LIBC_NOEXCEPT noexcept
#else
#define LIBC_NOEXCEPT
#endif

extern "C" void* mmap(void* at, std::size_t bytes, int prot, int flags, int fd,
                      off_t offset) LIBC_NOEXCEPT {
    if ((flags & MAP_ANONYMOUS) != 0 && refused(mappings_to_refusal)) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    // The next definition, which a sanitizer's tracks what is mapped by;
    // the kernel itself where there is none.
    using Mmap = void* (*)(void*, std::size_t, int, int, int, off_t);
    // Where off_t is wider than a long, the headers name the definition
    // that takes it mmap64 (and so is this one).
    constexpr const char* NAME = sizeof(off_t) > sizeof(long) ? "mmap64" : "mmap";
    static std::atomic<void*> slot{nullptr};
    if (void* next = testing_support::next_definition(slot, NAME); next != nullptr) {
        return reinterpret_cast<Mmap>(next)(at, bytes, prot, flags, fd, offset);
    }
#if defined(SYS_mmap)
    // The kernel hands the address back as a long.
    return reinterpret_cast<void*>(  // NOLINT(performance-no-int-to-ptr)
        ::syscall(SYS_mmap, at, bytes, prot, flags, fd, offset));
#else
    errno = ENOSYS;  // 32-bit machines map by pages (mmap2); none links statically here
    return MAP_FAILED;
#endif
}

#include "hoststats/system.hpp"

using namespace hoststats;
using testing_support::FixtureTree;
using testing_support::read_fixture;

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// A snapshot on `tree` with nothing refreshed yet.
System empty_snapshot(const FixtureTree& tree) {
    return System::new_with_specifics(RefreshSelection{}, tree.root());
}

System memory_snapshot(const FixtureTree& tree, std::string_view meminfo) {
    tree.write("proc/meminfo", meminfo);
    return System::new_with_specifics({.processes = std::nullopt,
                                       .memory = MemorySelection{.ram = true},
                                       .cpu = std::nullopt},
                                      tree.root());
}

// The kB figure of `key` in a meminfo text, found the plain way.
std::uint64_t fixture_kb(const std::string& text, const std::string& key) {
    const std::string lines = "\n" + text;
    const std::size_t at = lines.find("\n" + key + ":");
    if (at == std::string::npos) {
        ADD_FAILURE() << key << " not in fixture";
        return 0;
    }
    return std::strtoull(lines.c_str() + at + key.size() + 2, nullptr, 10);
}

std::uint64_t clock_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec);
}

}  // namespace

TEST(Meminfo, NumberRules) {
    MemoryFigures f;
    f.mem_free = f.buffers = f.cached = f.shmem = 5;
    const bool seen = parse_meminfo(
        "MemTotal:       +100 kB\n"
        "MemFree:        -100 kB\n"
        "Buffers:        100kB\n"
        "Cached:\n"
        "Shmem:          +\n"
        "SwapTotal:\xC2\xA0\xE3\x80\x80\t 7 kB\n"  // U+00A0, U+3000, tab before the number
        "SwapFree:       9: kB\n"
        "no colon here 12\n",
        f);
    EXPECT_FALSE(seen);
    EXPECT_EQ(f.mem_total, 102400u);
    EXPECT_EQ(f.mem_free, 5u);
    EXPECT_EQ(f.buffers, 5u);
    EXPECT_EQ(f.cached, 5u);
    EXPECT_EQ(f.shmem, 5u);
    EXPECT_EQ(f.swap_total, 7u * 1024);
    EXPECT_EQ(f.swap_free, 9u * 1024);
}

TEST(Meminfo, SaturationKeysAndOverwrites) {
    MemoryFigures f;
    const bool seen = parse_meminfo(
        "MemTotal: 18014398509481984 kB\n"  // 2^54 units
        "MemFree: 18014398509481983 kB\n"   // 2^54 - 1 units
        "Buffers: 18446744073709551616 kB\n"  // 2^64: not a number at all
        "memtotal: 1 kB\n"
        "SwapCached: 3 kB\n"
        "Cached: 1 kB\n"
        "Cached: 2 kB\n"
        "MemAvailable: 4 kB",  // the last line needs no newline
        f);
    EXPECT_TRUE(seen);
    EXPECT_EQ(f.mem_total, U64_MAX);
    EXPECT_EQ(f.mem_free, U64_MAX - 1023);
    EXPECT_EQ(f.buffers, 0u);
    EXPECT_EQ(f.cached, 2048u);
    EXPECT_EQ(f.mem_available, 4096u);
    EXPECT_EQ(f.swap_total + f.swap_free + f.shmem + f.s_reclaimable, 0u);
}

TEST(Meminfo, EstimateWithoutMemAvailable) {
    FixtureTree tree;
    System plain = memory_snapshot(tree,
                                   "MemFree: 10 kB\nBuffers: 20 kB\nCached: 30 kB\n"
                                   "SReclaimable: 40 kB\nShmem: 5 kB\n");
    EXPECT_EQ(plain.mem_available(), 95u * 1024);
    System shmem_heavy = memory_snapshot(tree,
                                         "MemTotal: 500 kB\nMemFree: 10 kB\nBuffers: 20 kB\n"
                                         "Cached: 30 kB\nSReclaimable: 40 kB\nShmem: 101 kB\n");
    EXPECT_EQ(shmem_heavy.mem_available(), 0u);
    System saturated = memory_snapshot(tree,
                                       "MemFree: 18014398509481984 kB\nBuffers: 20 kB\nShmem: 1 kB\n");
    EXPECT_EQ(saturated.mem_available(), U64_MAX - 1024);
    System zero = memory_snapshot(tree, "MemFree: 10 kB\nCached: 30 kB\nMemAvailable: 0 kB\n");
    EXPECT_EQ(zero.mem_available(), 0u) << "a stated 0 is kept, not estimated";
}

TEST(Meminfo, UnreadableFileKeepsFiguresAndEstimates) {
    FixtureTree tree;
    System missing = empty_snapshot(tree);
    missing.refresh_memory();
    EXPECT_EQ(missing.mem_total(), 0u);
    EXPECT_EQ(missing.mem_available(), 0u);

    System sys = memory_snapshot(tree, "MemTotal: 100 kB\nMemFree: 10 kB\nMemAvailable: 50 kB\n");
    ASSERT_EQ(sys.mem_available(), 50u * 1024);
    // A directory where the file should be: the open works, the read fails.
    tree.remove("proc/meminfo");
    tree.mkdir("proc/meminfo");
    sys.refresh_memory();
    EXPECT_EQ(sys.mem_total(), 100u * 1024);
    EXPECT_EQ(sys.mem_available(), 10u * 1024) << "re-estimated from the figures held";

    // Text that is not UTF-8 counts as unreadable too.
    tree.remove("proc/meminfo");
    tree.write("proc/meminfo", "MemTotal: 7 kB\nMemFree: 1 kB\xFF\n");
    sys.refresh_memory();
    EXPECT_EQ(sys.mem_total(), 100u * 1024);
}

TEST(Meminfo, RefreshOverwritesAndNothingSelectedReadsNothing) {
    FixtureTree tree;
    System sys = memory_snapshot(tree, "MemTotal: 100 kB\nBuffers: 2 kB\nMemAvailable: 50 kB\n");
    tree.write("proc/meminfo", "MemTotal: 300 kB\nMemFree: 9 kB\n");
    sys.inner().refresh_memory_specifics(false, false);
    EXPECT_EQ(sys.mem_total(), 100u * 1024);
    EXPECT_EQ(sys.mem_available(), 50u * 1024) << "no read and no estimate";
    sys.inner().refresh_memory_specifics(false, true);  // swap alone still reads everything
    EXPECT_EQ(sys.mem_total(), 300u * 1024);
    EXPECT_EQ(sys.memory().buffers, 2u * 1024) << "a line that went away keeps its figure";
    EXPECT_EQ(sys.mem_available(), 11u * 1024);
}

TEST(Meminfo, RealFileFromThisMachine) {
    const std::string text = read_fixture("meminfo/x86_64-debian");
    FixtureTree tree;
    System sys = memory_snapshot(tree, text);
    const MemoryFigures& m = sys.memory();
    EXPECT_EQ(m.mem_total, fixture_kb(text, "MemTotal") * 1024);
    EXPECT_EQ(m.mem_free, fixture_kb(text, "MemFree") * 1024);
    EXPECT_EQ(m.mem_available, fixture_kb(text, "MemAvailable") * 1024);
    EXPECT_EQ(m.cached, fixture_kb(text, "Cached") * 1024);
    EXPECT_EQ(m.s_reclaimable, fixture_kb(text, "SReclaimable") * 1024);
    EXPECT_EQ(m.swap_free, fixture_kb(text, "SwapFree") * 1024);
    EXPECT_GT(m.mem_total, m.mem_free);
}

TEST(Uptime, ParsesWholeSecondsOrFallsBack) {
    FixtureTree tree;
    System sys = empty_snapshot(tree);
    struct sysinfo info {};
    ASSERT_EQ(sysinfo(&info), 0);
    const auto host_uptime = static_cast<std::uint64_t>(info.uptime);
    ASSERT_GT(host_uptime, 0u);

    const std::pair<const char*, std::uint64_t> parsed[] = {
        {"350735.47 234388.90\n", 350735}, {"42", 42}, {"+42.9 1.0\n", 42}, {"0.00 0.00\n", 0}};
    for (auto [text, expected] : parsed) {
        tree.write("proc/uptime", text);
        EXPECT_EQ(sys.inner().uptime(), expected) << text;
    }
    for (const char* text : {"abc.de 1.0\n", " 42.5 1.0\n", "-42.5\n", ".5\n", "\xFF"}) {
        tree.write("proc/uptime", text);
        const std::uint64_t got = sys.inner().uptime();
        EXPECT_GE(got, host_uptime) << text;
        EXPECT_LE(got, host_uptime + 5) << text;
    }
    tree.remove("proc/uptime");
    EXPECT_GE(sys.inner().uptime(), host_uptime);

    const std::string real = read_fixture("uptime/x86_64-debian");
    tree.write("proc/uptime", real);
    EXPECT_EQ(sys.inner().uptime(), std::strtoull(real.c_str(), nullptr, 10));
}

TEST(BootTime, BtimeLineRules) {
    EXPECT_EQ(parse_btime("cpu  1 2 3\nbtime 1700000000\nprocesses 5\n"), 1700000000u);
    EXPECT_EQ(parse_btime("btime    1700000000\n"), 1700000000u);
    EXPECT_EQ(parse_btime("btime 12 34"), 12u);
    EXPECT_EQ(parse_btime("btime\n"), 0u);
    EXPECT_EQ(parse_btime("btime   \nbtime 9\n"), 0u) << "the first btime line decides";
    EXPECT_EQ(parse_btime("btimestamp 5\n"), 5u);
    EXPECT_EQ(parse_btime("btime 1x"), 10u + ('x' - '0'));  // digits are not checked
    EXPECT_EQ(parse_btime("btim\nbtim 5\n"), std::nullopt);
    EXPECT_EQ(parse_btime(" btime 5\n"), std::nullopt);
    EXPECT_EQ(parse_btime(""), std::nullopt);
}

TEST(BootTime, FallbackIsSecondsSinceTheEpoch) {
    FixtureTree tree;
    const std::uint64_t expected = static_cast<std::uint64_t>(std::time(nullptr)) -
                                   clock_seconds(CLOCK_BOOTTIME);
    tree.write("proc/stat", "cpu  1 2 3 4\nintr 0\nctxt 7\n");
    const std::uint64_t without_line = boot_time(tree.root());
    EXPECT_LE(without_line > expected ? without_line - expected : expected - without_line, 2u);
    tree.remove("proc/stat");
    const std::uint64_t without_file = boot_time(tree.root());
    EXPECT_LE(without_file > expected ? without_file - expected : expected - without_file, 2u);

    const std::string real = read_fixture("stat/x86_64-debian");
    tree.write("proc/stat", real);
    const std::size_t at = real.find("\nbtime ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(boot_time(tree.root()), std::strtoull(real.c_str() + at + 7, nullptr, 10));
    EXPECT_EQ(empty_snapshot(tree).inner().boot_time, boot_time(tree.root()));
}

TEST(Snapshot, NothingSelectedReadsNothing) {
    // On the real host: every file is there, and still nothing is read.
    System sys = System::new_with_specifics(RefreshSelection{});
    EXPECT_TRUE(sys.cpus().cpus().empty());
    EXPECT_TRUE(sys.processes().empty());
    const MemoryFigures& m = sys.memory();
    EXPECT_EQ(m.mem_total + m.mem_free + m.mem_available + m.buffers + m.cached + m.shmem +
                  m.s_reclaimable + m.swap_total + m.swap_free,
              0u);
    EXPECT_EQ(sys.inner().page_size, static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(sys.inner().clock_ticks, static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK)));
}

TEST(Snapshot, NewAllOnATreeWithOnlyMeminfo) {
    FixtureTree tree;
    tree.write("proc/meminfo", "MemTotal: 100 kB\nMemAvailable: 60 kB\n");
    tree.mkdir("sys");
    System sys = System::new_all(tree.root());
    EXPECT_EQ(sys.mem_total(), 100u * 1024);
    EXPECT_EQ(sys.mem_available(), 60u * 1024);
    EXPECT_TRUE(sys.cpus().cpus().empty());
    EXPECT_TRUE(sys.processes().empty());
    System moved = std::move(sys);
    EXPECT_EQ(moved.inner().root().proc, tree.root().proc);
}

TEST(Snapshot, RetainKeepsOnlyRefreshedRecords) {
    FixtureTree tree;
    System sys = empty_snapshot(tree);
    ProcessTable& table = sys.inner().processes;
    for (Pid pid : {1, 2, 3}) {
        Process p;
        p.pid = pid;
        p.updated = pid != 2;
        table.emplace(pid, std::move(p));
    }
    sys.inner().retain_updated();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_FALSE(table.contains(2));
    for (const auto& [pid, p] : table) EXPECT_FALSE(p.updated) << pid;
    sys.inner().retain_updated();
    EXPECT_TRUE(table.empty()) << "not refreshed since the last retain";
}

TEST(Snapshot, EachRefusedAllocationThrowsBadAllocAndNothingElse) {
    // A host's processes decide how much a snapshot needs; when the memory
    // is not there, the snapshot throws std::bad_alloc (the caller's
    // MemoryError) from wherever it ran short, never ends the process nor
    // writes through a missing block. Each allocation, then each mapping,
    // of a snapshot of everything is refused in turn.
    FixtureTree tree;
    tree.write("proc/meminfo", "MemTotal: 100 kB\nMemAvailable: 60 kB\n");
    tree.write("proc/stat", "cpu  10 0 10 100 0 0 0 0 0 0\ncpu0 10 0 10 100 0 0 0 0 0 0\n");
    tree.write("proc/uptime", "1000.50 1900.00\n");
    for (const std::string dir : {"proc/300", "proc/300/task/301"}) {
        tree.write(dir + "/stat", "300 (worker) S 1 300 300 0 -1 4194560 0 0 0 0 5 5 0 0 20 0 2 0 "
                                  "100 8192 2 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
        tree.write(dir + "/status", "Name:\tworker\nTgid:\t300\nUid:\t0\t0\t0\t0\n"
                                    "Gid:\t0\t0\t0\t0\n");
        tree.write(dir + "/cmdline", std::string("/bin/worker\0--flag\0", 19));
        tree.write(dir + "/environ", std::string("HOME=/root\0", 11));
        tree.write(dir + "/statm", "300 20 10 5 0 50 0\n");
        tree.symlink(dir + "/exe", "/usr/bin/worker");
        tree.symlink(dir + "/cwd", "/srv/" + std::string(200, 'w'));
    }
    const HostRoot root = tree.root();
    for (std::atomic<long>* countdown : {&allocations_to_refusal, &mappings_to_refusal}) {
        long thrown = 0;
        for (long skipped = 0;; ++skipped) {
            ASSERT_LT(skipped, 100000) << "no snapshot completes";
            std::size_t records = 0;
            bool threw = false;
            countdown->store(skipped);
            try {
                records = System::new_all(root).processes().size();
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            const bool reached = countdown->exchange(-1) < 0;
            if (!reached) {
                EXPECT_FALSE(threw);
                EXPECT_EQ(records, 2u);
                break;
            }
            thrown += threw ? 1 : 0;
        }
        EXPECT_GT(thrown, 0) << (countdown == &mappings_to_refusal ? "mappings" : "allocations");
    }
}
