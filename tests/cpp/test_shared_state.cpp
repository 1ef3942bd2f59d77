// What threads share in the library: each thread's hash seeds, and the
// process-wide budget of kept "stat" files with its compare-and-swap taking
// and its give-back on release. Written to be run under ThreadSanitizer as
// well as plainly; every case starts its threads together so they collide.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "hoststats/hash.hpp"
#include "hoststats/process.hpp"
#include "hoststats/system.hpp"

namespace {

using hoststats::Fd;
using hoststats::FileCounter;
using hoststats::SeedPair;

constexpr int kThreads = 16;

// A fresh descriptor to hand to the budget.
Fd null_fd() {
    Fd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd.valid()) << "errno " << errno;
    return fd;
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Runs body(thread_index) on kThreads threads released together.
template <class Body>
void on_threads(Body&& body) {
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    }
    for (std::thread& thread : threads) thread.join();
}

// Sets the budget for one test and puts the process-wide value back after.
class BudgetOverride {
public:
    explicit BudgetOverride(std::int64_t value)
        : saved_(hoststats::remaining_files().exchange(value)) {}
    ~BudgetOverride() { hoststats::remaining_files().store(saved_); }
    BudgetOverride(const BudgetOverride&) = delete;
    BudgetOverride& operator=(const BudgetOverride&) = delete;

private:
    std::int64_t saved_;
};

// --- per-thread seeds ------------------------------------------------------

TEST(ThreadSeeds, EachThreadStepsItsOwnPair) {
    constexpr int kDraws = 1000;
    std::vector<std::vector<SeedPair>> drawn(kThreads);
    on_threads([&](int t) {
        for (int i = 0; i < kDraws; ++i) drawn[t].push_back(hoststats::next_seed_pair());
    });

    std::set<std::uint64_t> second_keys;
    for (const std::vector<SeedPair>& pairs : drawn) {
        ASSERT_EQ(pairs.size(), static_cast<std::size_t>(kDraws));
        // Within a thread only k0 moves, by exactly one per draw: no other
        // thread's draws interleave with this thread's.
        for (int i = 1; i < kDraws; ++i) {
            EXPECT_EQ(pairs[i].k0, pairs[i - 1].k0 + 1);
            EXPECT_EQ(pairs[i].k1, pairs[0].k1);
        }
        second_keys.insert(pairs[0].k1);
    }
    // Every thread drew its own random key: 16 equal 64-bit values would
    // mean the seeds are shared or not random.
    EXPECT_EQ(second_keys.size(), static_cast<std::size_t>(kThreads));
}

TEST(ThreadSeeds, MapsBuiltOnManyThreadsHashAlike) {
    // A hasher keeps the pair it was made with, so it hashes the same on any
    // thread later; hashers made on different threads differ.
    std::vector<hoststats::SeededHash> hashers(kThreads);
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
    // Each test runs in a process of its own, so this may be the first use:
    // every thread must see the same initialised counter.
    std::vector<std::atomic<std::int64_t>*> seen(kThreads);
    on_threads([&](int t) { seen[t] = &hoststats::remaining_files(); });
    for (auto* counter : seen) EXPECT_EQ(counter, seen[0]);
    EXPECT_GT(seen[0]->load(), 0);
}

TEST(FileBudget, NeverMoreKeptThanTheBudgetAllows) {
    constexpr std::int64_t kBudget = 40;
    constexpr int kAttempts = 10;  // per thread: 160 attempts on 40 places
    BudgetOverride budget(kBudget);

    std::vector<std::vector<FileCounter>> kept(kThreads);
    std::atomic<int> refused{0};
    on_threads([&](int t) {
        for (int i = 0; i < kAttempts; ++i) {
            if (auto counter = FileCounter::keep_or_close(null_fd())) {
                kept[t].push_back(std::move(*counter));
            } else {
                refused.fetch_add(1);
            }
        }
    });

    std::size_t total = 0;
    for (const auto& mine : kept) total += mine.size();
    EXPECT_EQ(total, static_cast<std::size_t>(kBudget));
    EXPECT_EQ(refused.load(), kThreads * kAttempts - static_cast<int>(kBudget));
    EXPECT_EQ(hoststats::remaining_files().load(), 0);
    for (const auto& mine : kept) {
        for (const FileCounter& c : mine) EXPECT_TRUE(is_open(c.fd()));
    }

    // Releasing on every thread at once gives every place back.
    on_threads([&](int t) { kept[t].clear(); });
    EXPECT_EQ(hoststats::remaining_files().load(), kBudget);
}

TEST(FileBudget, ChurnKeepsTheCountExact) {
    // Threads keep and release in a loop, moving counters around as the scan
    // does; the number held at any moment never exceeds the budget, and the
    // budget is whole again at the end.
    constexpr std::int64_t kBudget = 5;
    constexpr int kRounds = 2000;
    BudgetOverride budget(kBudget);
    std::atomic<std::int64_t> held{0};
    std::atomic<std::int64_t> most{0};

    on_threads([&](int t) {
        std::optional<FileCounter> slot;
        for (int i = 0; i < kRounds; ++i) {
            std::optional<FileCounter> fresh = FileCounter::keep_or_close(null_fd());
            if (fresh) {
                const std::int64_t now = held.fetch_add(1) + 1;
                std::int64_t prev = most.load();
                while (now > prev && !most.compare_exchange_weak(prev, now)) {
                }
            }
            // The slot's old counter goes first (counted out before it gives
            // its place back), then the fresh one moves in.
            if (slot) held.fetch_sub(1);
            if ((i + t) % 3 == 0) {
                slot.reset();
                if (fresh) held.fetch_sub(1);
            } else {
                slot = std::move(fresh);
            }
            EXPECT_GE(hoststats::remaining_files().load(), 0);
        }
        if (slot) held.fetch_sub(1);
    });

    EXPECT_LE(most.load(), kBudget);
    EXPECT_GT(most.load(), 0);
    EXPECT_EQ(held.load(), 0);
    EXPECT_EQ(hoststats::remaining_files().load(), kBudget);
}

TEST(FileBudget, RefusedAndReleasedDescriptorsAreClosed) {
    BudgetOverride budget(1);
    Fd first = null_fd();
    const int first_fd = first.get();
    std::optional<FileCounter> kept = FileCounter::keep_or_close(std::move(first));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->fd(), first_fd);

    Fd second = null_fd();
    const int second_fd = second.get();
    EXPECT_FALSE(FileCounter::keep_or_close(std::move(second)));
    EXPECT_FALSE(is_open(second_fd)) << "a refused descriptor must not leak";

    // Move-assigning over a held counter releases the old one first.
    FileCounter moved = std::move(*kept);
    kept.reset();  // the moved-from shell gives nothing back
    EXPECT_EQ(hoststats::remaining_files().load(), 0);
    EXPECT_TRUE(is_open(first_fd));
    {
        FileCounter gone = std::move(moved);
        (void)gone;
    }
    EXPECT_FALSE(is_open(first_fd));
    EXPECT_EQ(hoststats::remaining_files().load(), 1);
}

// --- whole snapshots on many threads -----------------------------------------

TEST(Snapshots, ConcurrentHostSnapshotsAreIndependent) {
    // The same call the module makes, on four threads at once: each snapshot
    // has its own maps and buffers, and they share only the budget and the
    // thread's seeds.
    constexpr int kSnapshots = 4;
    const std::int64_t budget_before = hoststats::remaining_files().load();
    std::vector<std::uint64_t> totals(kSnapshots);
    std::vector<char> saw_self(kSnapshots);  // not vector<bool>: its elements share words
    std::barrier start(kSnapshots);
    std::vector<std::thread> threads;
    for (int t = 0; t < kSnapshots; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            hoststats::System system = hoststats::System::new_all();
            system.refresh_memory();
            totals[t] = system.mem_total();
            saw_self[t] = system.processes().contains(static_cast<hoststats::Pid>(::getpid()));
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kSnapshots; ++t) {
        EXPECT_GT(totals[t], 0u);
        EXPECT_EQ(totals[t], totals[0]);
        EXPECT_TRUE(saw_self[t]);
    }
    // Every kept "stat" file went back with its snapshot.
    EXPECT_EQ(hoststats::remaining_files().load(), budget_before);
}

}  // namespace
