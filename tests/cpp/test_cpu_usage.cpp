// CPU usage accounting: the single-precision share between two readings of
// /proc/stat, and the rules that decide when and how the file is read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture_tree.hpp"
#include "hoststats/cpu.hpp"

namespace {

using hoststats::CpuLines;
using hoststats::CpuSelection;
using hoststats::CpusWrapper;
using hoststats::CpuTimes;
using hoststats::CpuUsage;
using testing_support::FixtureTree;

constexpr std::uint64_t MS = 1'000'000;  // ns

// --- CpuUsage arithmetic ------------------------------------------------------

TEST(CpuUsageArithmetic, WorkedExampleTwentyThenFifty) {
    CpuUsage usage;
    usage.set({100, 0, 100, 800, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(usage.percent, 20.0f);
    EXPECT_EQ(usage.total, 1000u);
    EXPECT_EQ(usage.previous_total, 0u);

    usage.set({150, 0, 150, 900, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(usage.percent, 50.0f);
    EXPECT_EQ(usage.total, 1200u);
    EXPECT_EQ(usage.previous_total, 1000u);
    EXPECT_EQ(usage.previous.user, 100u);
    EXPECT_EQ(usage.current.user, 150u);
}

TEST(CpuUsageArithmetic, EachShareDividedBeforeScaling) {
    CpuUsage usage;
    usage.set({1, 0, 0, 2, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(usage.percent, 33.333336f);
    EXPECT_EQ(static_cast<double>(usage.percent), 33.333335876464844);
    // Scaling first and dividing after gives the neighbouring float.
    EXPECT_NE(usage.percent, 100.0f / 3.0f);
}

TEST(CpuUsageArithmetic, SharesAddInOrderUserNiceSystemOther) {
    // Nice 1, system 1 and steal 4 over a total of seven. The four quotients
    // summed in order give 85.714294; dividing the summed deltas once, or
    // adding the quotients the other way round, gives 85.71429.
    CpuUsage usage;
    usage.set({0, 1, 1, 1, 0, 0, 0, 4, 0, 0});
    EXPECT_EQ(usage.total, 7u);
    EXPECT_EQ(usage.percent, 85.714294f);
    EXPECT_NE(usage.percent, 6.0f / 7.0f * 100.0f);
}

TEST(CpuUsageArithmetic, GuestTimeIsTakenOutOfUserAndNice) {
    CpuUsage usage;
    usage.set({100, 50, 0, 0, 0, 0, 0, 0, 30, 20});
    EXPECT_EQ(usage.current.user, 70u);
    EXPECT_EQ(usage.current.nice, 30u);
    EXPECT_EQ(usage.current.guest, 30u);
    EXPECT_EQ(usage.current.guest_nice, 20u);

    usage.set({100, 10, 0, 0, 0, 0, 0, 0, 150, 80});
    EXPECT_EQ(usage.current.user, 0u);
    EXPECT_EQ(usage.current.nice, 0u);
}

TEST(CpuUsageArithmetic, StealAndGuestCountAsWorkIdleAndIowaitDoNot) {
    CpuUsage usage;
    usage.set({0, 0, 0, 100, 0, 0, 0, 0, 0, 0});
    // The kernel counts the 10 guest ticks inside user too.
    usage.set({10, 0, 0, 150, 30, 0, 0, 10, 10, 0});
    // Work: steal 10 + guest 10 = 20, over a total growth of 100.
    EXPECT_EQ(usage.percent, 20.0f);
    // irq and softirq belong to the system part.
    usage.set({10, 0, 0, 150, 30, 5, 5, 10, 10, 0});
    EXPECT_EQ(usage.percent, 100.0f);
}

TEST(CpuUsageArithmetic, BackwardsCountersAndFlatTotals) {
    CpuUsage usage;
    usage.set({500, 0, 500, 1000, 0, 0, 0, 0, 0, 0});
    usage.set({500, 0, 500, 1000, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(usage.percent, 0.0f) << "identical readings";

    // A CPU taken offline and back: everything went backwards.
    usage.set({10, 0, 10, 20, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(usage.percent, 0.0f);
    EXPECT_EQ(usage.total, 40u);
    EXPECT_EQ(usage.previous_total, 2000u);

    // Work grew while idle went back as much: one busy tick of one.
    usage.set({0, 0, 0, 1000, 0, 0, 0, 0, 0, 0});
    usage.set({1, 0, 0, 999, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(usage.total, usage.previous_total);
    EXPECT_EQ(usage.percent, 100.0f);

    // iowait may go down. The interval is what each counter gave, so one
    // busy tick of 21 whether iowait lost 100 (the totals' difference is
    // negative) or 15 (it is 6).
    for (const std::uint64_t iowait_after : {400u, 485u}) {
        usage.set({0, 0, 0, 1000, 500, 0, 0, 0, 0, 0});
        usage.set({1, 0, 0, 1020, iowait_after, 0, 0, 0, 0, 0});
        EXPECT_EQ(usage.interval(), 21u);
        EXPECT_EQ(usage.percent, 1.0f / 21.0f * 100.0f) << iowait_after;
    }
}

TEST(CpuUsageArithmetic, TotalSaturates) {
    CpuTimes times;
    times.user = UINT64_MAX - 1;
    times.idle = 5;
    times.steal = 7;
    EXPECT_EQ(times.total(), UINT64_MAX);

    CpuUsage usage;
    usage.set({UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(usage.total, UINT64_MAX);
    // The shares are taken of the whole time, however far past 2^64 - 1 it
    // adds up: three busy counters and idle, each grown by 2^64 - 1.
    EXPECT_EQ(usage.percent, 75.0f);
}

TEST(CpuUsageArithmetic, SharesOfIntervalsPastSixtyFourBits) {
    constexpr std::uint64_t M = UINT64_MAX;
    constexpr hoststats::CpuCounters ZERO{};
    struct Case {
        hoststats::CpuCounters before, after;
        float percent;
    };
    const Case cases[] = {
        {ZERO, {M, 0, 0, M, 0, 0, 0, 0, 0, 0}, 50.0f},  // user and idle
        {ZERO, {0, 0, M, M, 0, M, M, 0, 0, 0}, 75.0f},  // system part of 3 (2^64 - 1) ticks
        {ZERO, {0, 0, 0, M, 0, 0, 0, M, M, M}, 75.0f},  // steal and guest part of 3 (2^64 - 1) ticks
        {ZERO, {0, 0, 0, M, M, 0, 0, 0, M, M}, 50.0f},  // guest part against idle part
        {ZERO, {0, 0, 0, M, M, 0, 0, 0, 0, 0}, 0.0f},
        // The system part goes from 2^64 - 1 to 2^64 + 1: its difference
        // borrows from the high word, and is 2 ticks of 4.
        {{0, 0, M, 0, 0, 0, 0, 0, 0, 0}, {0, 0, M, 2, 0, 2, 0, 0, 0, 0}, 50.0f},
        // 2^64 + 2^40 + 1 ticks lie just past the midpoint between the
        // floats 2^64 and 2^64 + 2^41: only the bit shifted out of the top
        // word says so, and the whole rounds up. The 2^64 - 1 busy ticks
        // (2^64 as a float) come to 1 - 2^-23 of it, not to all of it.
        {ZERO, {M, 0, 0, (std::uint64_t{1} << 40) + 2, 0, 0, 0, 0, 0, 0}, 100.0f * (1.0f - 0x1p-23f)},
        // Below 2^64 the figure is the plain one: 2^64 - 2 busy ticks of
        // 2^64 - 1 round, in single precision, to the whole.
        {ZERO, {M - 1, 0, 0, 1, 0, 0, 0, 0, 0, 0}, 100.0f},
    };
    for (const Case& c : cases) {
        CpuUsage usage;
        usage.set(c.before);
        usage.set(c.after);
        EXPECT_EQ(usage.percent, c.percent)
            << "case " << &c - cases << ": " << std::setprecision(9) << usage.percent << " for "
            << c.percent;
    }
}

// --- refresh ---------------------------------------------------------------------

std::uint64_t NOW = 0;  // ns, the fake monotonic clock
std::uint64_t fake_clock() noexcept { return NOW; }

constexpr CpuSelection USAGE{.usage = true};
constexpr CpuSelection USAGE_AND_FREQUENCY{.usage = true, .frequency = true};

class CpuRefresh : public ::testing::Test {
protected:
    CpuRefresh() : root_(tree_.root()) {
        NOW = 10'000 * MS;
        cpus_.set_clock(&fake_clock);
    }

    void stat(std::string_view text) const { tree_.write("proc/stat", text); }
    void freq(int cpu, std::string_view khz) const {
        tree_.write("sys/devices/system/cpu/cpu" + std::to_string(cpu) +
                        "/cpufreq/scaling_cur_freq",
                    khz);
    }

    FixtureTree tree_;
    hoststats::HostRoot root_;
    CpusWrapper cpus_;
};

TEST_F(CpuRefresh, FirstReadingCreatesEntriesInFileOrder) {
    EXPECT_TRUE(cpus_.cpus().empty());
    EXPECT_FALSE(cpus_.last_reading().has_value());
    stat("cpu  100 0 100 800 0 0 0 0 0 0\n"
         "cpu0 60 5 40 400 0 0 0 0 20 5\n"
         "cpu1 40 0 60 400 0 0 0 0 0 0\n"
         "intr 1 2 3\nctxt 7\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE);

    EXPECT_EQ(cpus_.global_usage().percent, 20.0f);
    EXPECT_EQ(cpus_.global_usage().total, 1000u);
    EXPECT_EQ(cpus_.last_reading(), NOW);
    ASSERT_EQ(cpus_.cpus().size(), 2u);
    const auto& cpu0 = cpus_.cpus()[0];
    EXPECT_EQ(cpu0.name, "cpu0");
    EXPECT_EQ(cpus_.cpus()[1].name, "cpu1");
    EXPECT_EQ(cpu0.usage.percent, 0.0f);
    EXPECT_EQ(cpu0.usage.total, 0u);
    EXPECT_EQ(cpu0.usage.previous_total, 0u);
    EXPECT_EQ(cpu0.usage.previous.system, 0u);
    EXPECT_EQ(cpu0.usage.current.user, 40u) << "guest taken out at creation too";
    EXPECT_EQ(cpu0.usage.current.nice, 0u);
    EXPECT_EQ(cpu0.usage.current.idle, 400u);
    EXPECT_EQ(cpu0.frequency, 0u);

    // The next reading computes each entry's figure against the saved
    // counters: cpu1 did 50 ticks of work in 100.
    NOW += 200 * MS;
    stat("cpu  150 0 150 900 0 0 0 0 0 0\n"
         "cpu0 60 5 40 400 0 0 0 0 20 5\n"
         "cpu1 70 0 80 450 0 0 0 0 0 0\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.global_usage().percent, 50.0f);
    EXPECT_EQ(cpus_.cpus()[0].usage.percent, 0.0f);
    EXPECT_EQ(cpus_.cpus()[0].usage.previous_total, 40u + 40u + 400u + 20u + 5u);
    EXPECT_EQ(cpus_.cpus()[1].usage.percent, 50.0f);
}

TEST_F(CpuRefresh, CountersThatGrowByTheLargestValue) {
    // user and idle each grow by 2^64 - 1 between two readings: half busy.
    stat("cpu  0 0 0 0 0 0 0 0 0 0\ncpu0 0 0 0 0 0 0 0 0 0 0\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    NOW += 200 * MS;
    stat("cpu  18446744073709551615 0 0 18446744073709551615 0 0 0 0 0 0\n"
         "cpu0 18446744073709551615 0 0 18446744073709551615 0 0 0 0 0 0\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.global_usage().percent, 50.0f);
    EXPECT_EQ(cpus_.cpus()[0].usage.percent, 50.0f);
}

TEST_F(CpuRefresh, ReadingsCloserThanTwoHundredMillisecondsAreSkipped) {
    stat("cpu  100 0 100 800 0 0 0 0 0 0\ncpu0 1 0 0 1 0 0 0 0 0 0\n");
    const std::uint64_t start = NOW;
    cpus_.refresh(root_, CpuLines::Every, USAGE);

    stat("cpu  150 0 150 900 0 0 0 0 0 0\ncpu0 2 0 0 2 0 0 0 0 0 0\n");
    NOW = start + 100 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.global_usage().total, 1000u) << "read within 200 ms";
    EXPECT_EQ(cpus_.global_usage().percent, 20.0f);
    EXPECT_EQ(cpus_.last_reading(), start);

    NOW = start + 200 * MS - 1;
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.global_usage().total, 1000u);

    NOW = start + 200 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.global_usage().total, 1200u);
    EXPECT_EQ(cpus_.global_usage().percent, 50.0f);
    EXPECT_EQ(cpus_.cpus()[0].usage.current.user, 2u);
    EXPECT_EQ(cpus_.last_reading(), NOW);
}

TEST_F(CpuRefresh, ClearedReadingTimeAndBackwardsClock) {
    stat("cpu  100 0 100 800 0 0 0 0 0 0\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    stat("cpu  150 0 150 900 0 0 0 0 0 0\n");

    // A clock that went backwards counts as no time elapsed.
    NOW -= 5'000 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.global_usage().total, 1000u);

    // The CPU report's refreshes read whatever the interval says.
    cpus_.clear_last_reading();
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.global_usage().total, 1200u);
    EXPECT_EQ(cpus_.last_reading(), NOW);
}

TEST_F(CpuRefresh, EntriesAreFixedByPosition) {
    stat("cpu  4 0 0 4 0 0 0 0 0 0\n"
         "cpu0 1 0 0 1 0 0 0 0 0 0\ncpu1 1 0 0 1 0 0 0 0 0 0\n"
         "cpu2 1 0 0 1 0 0 0 0 0 0\ncpu3 1 0 0 1 0 0 0 0 0 0\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    ASSERT_EQ(cpus_.cpus().size(), 4u);

    // Eight CPU lines now; lines are matched by position, not by label.
    std::string text = "cpu  8 0 0 8 0 0 0 0 0 0\n";
    for (int i = 0; i < 8; ++i) {
        text += "cpu" + std::to_string(7 - i) + " " + std::to_string(10 + i) +
                " 0 0 1 0 0 0 0 0 0\n";
    }
    stat(text);
    NOW += 200 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    ASSERT_EQ(cpus_.cpus().size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(cpus_.cpus()[i].usage.current.user, 10 + i);
        EXPECT_EQ(cpus_.cpus()[i].name, "cpu" + std::to_string(i)) << "labels are kept";
    }

    // Fewer lines: the rest keep their last figures.
    stat("cpu  8 0 0 8 0 0 0 0 0 0\ncpu0 20 0 0 1 0 0 0 0 0 0\n");
    NOW += 200 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.cpus()[0].usage.current.user, 20u);
    EXPECT_EQ(cpus_.cpus()[1].usage.current.user, 11u);
    EXPECT_EQ(cpus_.cpus()[3].usage.current.user, 13u);
}

TEST_F(CpuRefresh, EarlyEndsSkipTheFrequencyPass) {
    stat("cpu  1 0 0 1 0 0 0 0 0 0\ncpu0 1 0 0 1 0 0 0 0 0 0\n");
    freq(0, "1000000\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE_AND_FREQUENCY);
    ASSERT_EQ(cpus_.cpus().size(), 1u);
    EXPECT_EQ(cpus_.cpus()[0].frequency, 1000u);
    freq(0, "2000000\n");

    // Lines that are not an aggregate CPU line end the refresh at once.
    for (std::string_view first : {"intr 1 2\ncpu  9 0 0 9 0 0 0 0 0 0\n", "cpu\n", "cpu",
                                   "\ncpu  9 0 0 9\n", "cpu0 9 0 0 9 0 0 0 0 0 0\n",
                                   "cpu\t9 0 0 9\n"}) {
        stat(first);
        NOW += 200 * MS;
        cpus_.refresh(root_, CpuLines::Every, USAGE_AND_FREQUENCY);
        EXPECT_EQ(cpus_.global_usage().total, 2u) << first;
        EXPECT_EQ(cpus_.cpus()[0].usage.current.user, 1u) << first;
        EXPECT_EQ(cpus_.cpus()[0].frequency, 1000u) << first;
        EXPECT_EQ(cpus_.last_reading(), NOW) << "stamped before the file is read";
    }

    // A missing file ends it too, after starting a new interval.
    tree_.remove("proc/stat");
    NOW += 200 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE_AND_FREQUENCY);
    EXPECT_EQ(cpus_.cpus()[0].frequency, 1000u);
    EXPECT_EQ(cpus_.last_reading(), NOW);

    // An empty file changes no counter but lets the frequency pass run.
    stat("");
    NOW += 200 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE_AND_FREQUENCY);
    EXPECT_EQ(cpus_.global_usage().total, 2u);
    EXPECT_EQ(cpus_.cpus()[0].frequency, 2000u);

    // So does a reading that is not due.
    freq(0, "3000000\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE_AND_FREQUENCY);
    EXPECT_EQ(cpus_.cpus()[0].frequency, 3000u);
}

TEST_F(CpuRefresh, MissingStatLeavesEverythingAtZero) {
    freq(0, "1000000\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE_AND_FREQUENCY);
    EXPECT_EQ(cpus_.global_usage().percent, 0.0f);
    EXPECT_TRUE(cpus_.cpus().empty());
    EXPECT_EQ(cpus_.last_reading(), NOW);

    // Within the interval nothing is read even once the file is there.
    stat("cpu  1 0 0 1 0 0 0 0 0 0\ncpu0 1 0 0 1 0 0 0 0 0 0\n");
    NOW += 100 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE_AND_FREQUENCY);
    EXPECT_TRUE(cpus_.cpus().empty());

    // A reading that found no CPU lines leaves the list to the next one.
    NOW += 100 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE_AND_FREQUENCY);
    ASSERT_EQ(cpus_.cpus().size(), 1u);
    EXPECT_EQ(cpus_.cpus()[0].frequency, 1000u);
}

TEST_F(CpuRefresh, AnAggregateLineWithoutEndFailsLikeARead) {
    // A FIFO fed without end: "cpu " and then digits, never a newline.
    tree_.mkdir("proc");
    const std::string path = tree_.path() + "/proc/stat";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::thread writer([&path] {
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);  // EPIPE ends the loop instead
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        const std::string digits(1 << 20, '1');
        bool open = ::write(fd, "cpu  ", 5) == 5;
        while (open) open = ::write(fd, digits.data(), digits.size()) > 0;
        ::close(fd);
    });
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    writer.join();
    ASSERT_TRUE(cpus_.last_error().has_value());
    EXPECT_EQ(cpus_.last_error()->error, EFBIG);
    EXPECT_EQ(cpus_.global_usage().total, 0u);
    EXPECT_TRUE(cpus_.cpus().empty());
}

TEST_F(CpuRefresh, FieldConversion) {
    // Runs of spaces separate like one space; tabs do not separate, and
    // their byte is accumulated like a digit: '1', '\t', '2' gives
    // (1*10 + (9-48 mod 256))*10 + 2 = 2272.
    stat("cpu     5   6  7 8 0 0 0 0 0 0   \n"
         "cpu0 7 8\n"
         "cpu1 1\t2 3 4 5 6 7 8 9 10 11 12 13 14\n"
         "cpu2 18446744073709551616 0 0 0\n");
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    const auto& g = cpus_.global_usage().current;
    EXPECT_EQ(g.user, 5u);
    EXPECT_EQ(g.nice, 6u);
    EXPECT_EQ(g.system, 7u);
    EXPECT_EQ(g.idle, 8u);

    ASSERT_EQ(cpus_.cpus().size(), 3u);
    const auto& short_line = cpus_.cpus()[0].usage.current;
    EXPECT_EQ(short_line.user, 7u);
    EXPECT_EQ(short_line.nice, 8u);
    EXPECT_EQ(short_line.system, 0u);
    EXPECT_EQ(short_line.guest_nice, 0u);

    const auto& tabbed = cpus_.cpus()[1].usage.current;
    EXPECT_EQ(tabbed.user, 2272u - 10u) << "guest (10) is taken out";
    EXPECT_EQ(tabbed.nice, 0u) << "3 less guest_nice 11, clamped at 0";
    EXPECT_EQ(tabbed.system, 4u);
    EXPECT_EQ(tabbed.guest, 10u);
    EXPECT_EQ(tabbed.guest_nice, 11u) << "pieces after the tenth counter are ignored";

    // 2^64 wraps to 0: the digits are not checked for overflow.
    EXPECT_EQ(cpus_.cpus()[2].usage.current.user, 0u);
}

TEST_F(CpuRefresh, LongLinesAndLinesWithoutNewline) {
    // A line longer than the read buffer still parses whole.
    const std::string long_label = "cpu0" + std::string(9'000, 'x');
    std::string text = "cpu" + std::string(20'000, ' ') + "3 0 0 1\n";
    text += long_label + " 5";
    stat(text);
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.global_usage().current.user, 3u);
    EXPECT_EQ(cpus_.global_usage().total, 4u);
    ASSERT_EQ(cpus_.cpus().size(), 1u);
    EXPECT_EQ(cpus_.cpus()[0].usage.current.user, 5u);
    EXPECT_EQ(cpus_.cpus()[0].name, long_label);

    // Many CPUs: the lines cross buffer boundaries at every offset.
    std::string many = "cpu  1 0 0 1 0 0 0 0 0 0\n";
    for (int i = 0; i < 700; ++i) {
        many += "cpu" + std::to_string(i) + " " + std::to_string(i) + " 0 0 1000 0 0 0 0 0 0\n";
    }
    many += "intr" + std::string(50'000, ' ') + "1\n";
    FixtureTree other;
    other.write("proc/stat", many);
    const hoststats::HostRoot root = other.root();
    CpusWrapper big;
    big.refresh(root, CpuLines::Every, USAGE);
    ASSERT_EQ(big.cpus().size(), 700u);
    for (std::size_t i = 0; i < 700; ++i) {
        ASSERT_EQ(big.cpus()[i].usage.current.user, i);
        ASSERT_EQ(big.cpus()[i].name, "cpu" + std::to_string(i));
    }
}

TEST_F(CpuRefresh, SelectionAndGlobalOnly) {
    stat("cpu  1 0 0 1 0 0 0 0 0 0\ncpu0 1 0 0 1 0 0 0 0 0 0\n");
    // Without usage the first reading still fills the list.
    cpus_.refresh(root_, CpuLines::Every, CpuSelection{});
    ASSERT_EQ(cpus_.cpus().size(), 1u);
    EXPECT_EQ(cpus_.global_usage().total, 2u);

    // Later, without usage, no counter is read.
    stat("cpu  5 0 0 5 0 0 0 0 0 0\ncpu0 5 0 0 5 0 0 0 0 0 0\n");
    NOW += 200 * MS;
    cpus_.refresh(root_, CpuLines::Every, CpuSelection{});
    EXPECT_EQ(cpus_.global_usage().total, 2u);
    EXPECT_EQ(cpus_.cpus()[0].usage.current.user, 1u);

    // The aggregate line alone.
    NOW += 200 * MS;
    cpus_.refresh(root_, CpuLines::AggregateOnly, USAGE);
    EXPECT_EQ(cpus_.global_usage().total, 10u);
    EXPECT_EQ(cpus_.cpus()[0].usage.current.user, 1u);

    NOW += 200 * MS;
    cpus_.refresh(root_, CpuLines::Every, USAGE);
    EXPECT_EQ(cpus_.cpus()[0].usage.current.user, 5u);
}

TEST_F(CpuRefresh, GlobalOnlyOnAnEmptyListCreatesEntries) {
    stat("cpu  1 0 0 1 0 0 0 0 0 0\ncpu0 1 0 0 1 0 0 0 0 0 0\ncpu1 1 0 0 1 0 0 0 0 0 0\n");
    cpus_.refresh(root_, CpuLines::AggregateOnly, USAGE);
    EXPECT_EQ(cpus_.cpus().size(), 2u);
}

// Sums the ten counters of a /proc/stat line the plain way, for comparison.
std::uint64_t plain_total(const std::string& line, std::string* label) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (label != nullptr) *label = word;
    std::vector<std::uint64_t> v;
    std::uint64_t x;
    while (v.size() < 10 && in >> x) v.push_back(x);
    v.resize(10, 0);
    // user and nice include guest and guest_nice, which are counted once.
    return (v[0] - v[8]) + (v[1] - v[9]) + v[2] + v[3] + v[4] + v[5] + v[6] + v[7] + v[8] +
           v[9];
}

TEST_F(CpuRefresh, FileCopiedFromThisMachine) {
    const std::string text = testing_support::read_fixture("stat/x86_64-2cpu");
    tree_.write("proc/stat", text);
    cpus_.refresh(root_, CpuLines::Every, USAGE);

    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(cpus_.global_usage().total, plain_total(line, nullptr));
    std::size_t i = 0;
    while (std::getline(lines, line) && line.rfind("cpu", 0) == 0) {
        ASSERT_LT(i, cpus_.cpus().size());
        std::string label;
        const std::uint64_t total = plain_total(line, &label);
        EXPECT_EQ(cpus_.cpus()[i].name, label);
        EXPECT_EQ(cpus_.cpus()[i].usage.current.total(), total);
        ++i;
    }
    EXPECT_EQ(cpus_.cpus().size(), i);
    EXPECT_EQ(i, 2u);
    const float p = cpus_.global_usage().percent;
    EXPECT_GT(p, 0.0f);
    EXPECT_LE(p, 100.0f);
}

std::uint64_t clock_monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

TEST(CpuRefreshHost, RealProcStat) {
    const hoststats::HostRoot root;
    CpusWrapper cpus;
    // Readings are timed on the monotonic clock, which neither jumps with
    // the time of day nor stops while the host sleeps.
    const std::uint64_t before = clock_monotonic_ns();
    cpus.refresh(root, CpuLines::Every, USAGE_AND_FREQUENCY);
    ASSERT_TRUE(cpus.last_reading().has_value());
    EXPECT_GE(*cpus.last_reading(), before);
    EXPECT_LE(*cpus.last_reading(), clock_monotonic_ns());

    std::ifstream in("/proc/stat");
    std::string line;
    std::size_t lines = 0;
    while (std::getline(in, line) && line.rfind("cpu", 0) == 0) ++lines;
    EXPECT_EQ(cpus.cpus().size() + 1, lines);

    const std::uint64_t first_total = cpus.global_usage().total;
    cpus.clear_last_reading();
    struct timespec pause {0, 50'000'000};
    nanosleep(&pause, nullptr);
    cpus.refresh(root, CpuLines::Every, USAGE_AND_FREQUENCY);
    EXPECT_GE(cpus.global_usage().total, first_total);
    EXPECT_EQ(cpus.global_usage().previous_total, first_total);
    EXPECT_GE(cpus.global_usage().percent, 0.0f);
    EXPECT_LE(cpus.global_usage().percent, 100.0f);
}

}  // namespace
