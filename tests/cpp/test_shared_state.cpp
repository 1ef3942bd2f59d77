// What threads share in the library: each thread's hash seeds, and the
// process-wide open-file budget with its once-only initialisation and its
// arithmetic. Written to be run under ThreadSanitizer as well as plainly;
// every case starts its threads together so they collide.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fixture_tree.hpp"
#include "hoststats/file_budget.hpp"
#include "hoststats/hash.hpp"
#include "hoststats/system.hpp"

namespace {

using hoststats::SeedPair;

constexpr int THREADS = 16;

// Runs body(thread_index) on THREADS threads released together.
template <class Body>
void on_threads(Body&& body) {
    std::barrier start(THREADS);
    std::vector<std::thread> threads;
    threads.reserve(THREADS);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    }
    for (std::thread& thread : threads) thread.join();
}

// --- per-thread seeds ------------------------------------------------------

TEST(ThreadSeeds, EachThreadStepsItsOwnPair) {
    constexpr int DRAWS = 1000;
    std::vector<std::vector<SeedPair>> drawn(THREADS);
    on_threads([&](int t) {
        for (int i = 0; i < DRAWS; ++i) drawn[t].push_back(hoststats::next_seed_pair());
    });

    std::set<std::uint64_t> second_keys;
    for (const std::vector<SeedPair>& pairs : drawn) {
        ASSERT_EQ(pairs.size(), static_cast<std::size_t>(DRAWS));
        // Within a thread only k0 moves, by exactly one per draw: no other
        // thread's draws interleave with this thread's.
        for (int i = 1; i < DRAWS; ++i) {
            EXPECT_EQ(pairs[i].k0, pairs[i - 1].k0 + 1);
            EXPECT_EQ(pairs[i].k1, pairs[0].k1);
        }
        second_keys.insert(pairs[0].k1);
    }
    // Every thread drew its own random key: 16 equal 64-bit values would
    // mean the seeds are shared or not random.
    EXPECT_EQ(second_keys.size(), static_cast<std::size_t>(THREADS));
}

TEST(ThreadSeeds, MapsBuiltOnManyThreadsHashAlike) {
    // A hasher keeps the pair it was made with, so it hashes the same on any
    // thread later; hashers made on different threads differ.
    std::vector<hoststats::SeededHash> hashers(THREADS);
    on_threads([&](int t) { hashers[t] = hoststats::SeededHash{}; });
    std::set<std::size_t> of_one_key;
    for (const hoststats::SeededHash& h : hashers) {
        of_one_key.insert(h(std::string_view("kthreadd")));
        std::size_t elsewhere = 0;
        std::thread other([&] { elsewhere = h(std::string_view("kthreadd")); });
        other.join();
        EXPECT_EQ(elsewhere, h(std::string_view("kthreadd")));
    }
    EXPECT_GT(of_one_key.size(), 1u);
}

// --- the open-file budget ---------------------------------------------------

TEST(FileBudget, FirstUseFromManyThreadsSeesOneBudget) {
    // Each test runs in a process of its own, so this is the first use:
    // every thread must find the budget made, whichever thread makes it,
    // and the soft limit raised once to the hard one.
    std::vector<std::int64_t> seen(THREADS, -1);
    on_threads([&](int t) { seen[t] = hoststats::remaining_files().load(); });
    rlimit limits{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
    EXPECT_EQ(limits.rlim_cur, limits.rlim_max);
    const std::uint64_t limit32 = std::min<std::uint64_t>(limits.rlim_max, 0xFFFFFFFFu);
    for (const std::int64_t budget : seen) {
        EXPECT_EQ(budget, static_cast<std::int64_t>(limit32 / 2));
    }
}

// --- whole snapshots on many threads -----------------------------------------

TEST(Budget, FromLimitsNoTestCanSet) {
    // The limits a test can set are checked through a real first use
    // (ProcessBudget.FirstUseRaisesTheSoftLimit); these are the ones it
    // cannot: getrlimit or setrlimit failing, and limits past 32 bits.
    using hoststats::budget_from_limits;
    EXPECT_EQ(budget_from_limits(false, 1024, 4096, true), 512);
    EXPECT_EQ(budget_from_limits(true, 1024, 4096, false), 512);
    // An unlimited hard limit, all 64 bits set on a 64-bit host, must not
    // wrap to a negative or tiny budget.
    EXPECT_EQ(budget_from_limits(true, 1024, RLIM_INFINITY, true), 2147483647);
    EXPECT_EQ(budget_from_limits(true, 1024, (std::uint64_t{1} << 32) + 10, true), 2147483647);
    EXPECT_EQ(budget_from_limits(true, 0xFFFFFFFFu, 0, false), 2147483647);
}

TEST(Snapshots, ConcurrentHostSnapshotsAreIndependent) {
    // The same call the module makes, on four threads at once: each snapshot
    // has its own maps, buffers and descriptors, and they share only the
    // budget, which none draws on, and the thread's seeds.
    constexpr int SNAPSHOTS = 4;
    (void)hoststats::remaining_files();  // made before the descriptors are counted
    const std::size_t fds = testing_support::open_descriptors();
    std::vector<std::uint64_t> totals(SNAPSHOTS);
    std::vector<char> saw_self(SNAPSHOTS);  // not vector<bool>: its elements share words
    std::barrier start(SNAPSHOTS);
    std::vector<std::thread> threads;
    threads.reserve(SNAPSHOTS);
    for (int t = 0; t < SNAPSHOTS; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            hoststats::System system = hoststats::System::new_all();
            system.refresh_memory();
            totals[t] = system.mem_total();
            const auto self = static_cast<hoststats::Pid>(::getpid());
            saw_self[t] = system.processes().contains(self) ? 1 : 0;
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < SNAPSHOTS; ++t) {
        EXPECT_GT(totals[t], 0u);
        EXPECT_EQ(totals[t], totals[0]);
        EXPECT_TRUE(saw_self[t]);
    }
    EXPECT_EQ(testing_support::open_descriptors(), fds);
}

}  // namespace
