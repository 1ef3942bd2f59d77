// CPU descriptors: vendor and brand from /proc/cpuinfo, the ARM code tables,
// and the per-CPU frequency with its /proc/cpuinfo fallback.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

#include "fixture_tree.hpp"
#include "hoststats/cpu.hpp"
#include "hoststats/system.hpp"

namespace {

using hoststats::arm_implementer_name;
using hoststats::CpuLines;
using hoststats::arm_part_name;
using hoststats::cpuinfo_frequency;
using hoststats::DescriptorTable;
using hoststats::get_hex_value;
using hoststats::get_vendor_id_and_brand_inner;
using testing_support::FixtureTree;
using testing_support::read_fixture;

using Pair = std::pair<std::string, std::string>;

Pair at(const DescriptorTable& table, std::size_t processor) {
    const auto it = table.find(processor);
    if (it == table.end()) return {"<none>", "<none>"};
    return {it->second.vendor_id, it->second.brand};
}

// --- ARM code tables ---------------------------------------------------------------

TEST(ArmTables, CoverEveryCodeOnce) {
    std::set<std::uint32_t> implementers;
    std::size_t parts = 0;
    std::set<std::string> names;
    for (std::uint32_t impl = 0; impl <= 0xff; ++impl) {
        if (!arm_implementer_name(impl)) continue;
        implementers.insert(impl);
        for (std::uint32_t part = 0; part <= 0xfff; ++part) {
            if (auto name = arm_part_name(impl, part)) {
                ++parts;
                names.emplace(*name);
            }
        }
    }
    EXPECT_EQ(implementers.size(), 18u);
    EXPECT_EQ(parts, 148u);
    EXPECT_EQ(names.size(), 143u);
}

TEST(ArmTables, Entries) {
    EXPECT_EQ(arm_implementer_name(0x41), "ARM");
    EXPECT_EQ(arm_implementer_name(0x4d), "Motorola/Freescale");
    EXPECT_EQ(arm_implementer_name(0xc0), "Ampere");
    EXPECT_EQ(arm_implementer_name(0x99), std::nullopt);
    EXPECT_EQ(arm_implementer_name(0x141), std::nullopt) << "whole codes compare";

    EXPECT_EQ(arm_part_name(0x41, 0xc0d), "Cortex-A17");
    EXPECT_EQ(arm_part_name(0x41, 0xc0e), "Cortex-A17");
    EXPECT_EQ(arm_part_name(0x41, 0xc07), "Cortex-A7");
    EXPECT_EQ(arm_part_name(0x41, 0xc0f), "Cortex-A15");
    EXPECT_EQ(arm_part_name(0x41, 0xd03), "Cortex-A53");
    EXPECT_EQ(arm_part_name(0x41, 0xd08), "Cortex-A72");
    EXPECT_EQ(arm_part_name(0x41, 0x810), "ARM810");
    EXPECT_EQ(arm_part_name(0x41, 0xd8e), "Neoverse-N3");
    EXPECT_EQ(arm_part_name(0x42, 0x516), "ThunderX2");
    EXPECT_EQ(arm_part_name(0x48, 0xd01), "Kunpeng-920");
    EXPECT_EQ(arm_part_name(0x4e, 0x003), "Denver 2");
    EXPECT_EQ(arm_part_name(0x51, 0x02d), "Scorpion");
    EXPECT_EQ(arm_part_name(0x51, 0x800), "Falkor-V1/Kryo");
    EXPECT_EQ(arm_part_name(0x61, 0x033), "Avalanche-M2");
    EXPECT_EQ(arm_part_name(0x69, 0x2d0), "PXA250C/PXA255/PXA26x");
    EXPECT_EQ(arm_part_name(0x70, 0x663), "FTC663");

    // A part belongs to its implementer only.
    EXPECT_EQ(arm_part_name(0x42, 0xd03), std::nullopt);
    EXPECT_EQ(arm_part_name(0x48, 0xd08), std::nullopt);
    EXPECT_EQ(arm_part_name(0x41, 0x10d03), std::nullopt);
    EXPECT_EQ(arm_part_name(0x49, 0x000), std::nullopt);
    EXPECT_EQ(arm_part_name(0xc0, 0x000), std::nullopt);
}

TEST(HexValue, CodesOfCpuinfoLines) {
    EXPECT_EQ(get_hex_value("CPU part\t: 0xd03"), 0xd03u);
    EXPECT_EQ(get_hex_value("CPU implementer\t: 0x41   "), 0x41u);
    EXPECT_EQ(get_hex_value("CPU part\t: 0xD0A"), 0xd0au);
    EXPECT_EQ(get_hex_value("CPU part\t: 0x+1f"), 0x1fu);
    EXPECT_EQ(get_hex_value("CPU part\t: 0xffffffff"), 0xffffffffu);
    EXPECT_EQ(get_hex_value("odd: line: 0x10"), 0x10u) << "value after the last ':'";
    EXPECT_EQ(get_hex_value("0x7"), 7u) << "a line without ':' is its own value";

    EXPECT_EQ(get_hex_value("CPU part\t: 0XD03"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: d03"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: 3"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: 0x"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: 0x+"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: 0x-1"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: 0x++1"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: 0xd0g"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: 0x 1"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t: 0x100000000"), 0u);
    EXPECT_EQ(get_hex_value("CPU part\t:"), 0u);
}

// --- descriptor pass ---------------------------------------------------------------

TEST(DescriptorPass, X86FileCopiedFromThisMachine) {
    const DescriptorTable table =
        get_vendor_id_and_brand_inner(read_fixture("cpuinfo/x86_64-amd-epyc"));
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(at(table, 0), Pair("AuthenticAMD", "AMD EPYC"));
    EXPECT_EQ(at(table, 1), Pair("AuthenticAMD", "AMD EPYC"));
}

TEST(DescriptorPass, ArmBoards) {
    const DescriptorTable exynos =
        get_vendor_id_and_brand_inner(read_fixture("cpuinfo/armv7-exynos5422"));
    ASSERT_EQ(exynos.size(), 8u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(at(exynos, i), Pair("ARM", "Cortex-A7")) << i;
    for (std::size_t i = 4; i < 8; ++i) EXPECT_EQ(at(exynos, i), Pair("ARM", "Cortex-A15")) << i;

    const DescriptorTable rk3399 =
        get_vendor_id_and_brand_inner(read_fixture("cpuinfo/arm64-rk3399"));
    ASSERT_EQ(rk3399.size(), 6u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(at(rk3399, i), Pair("ARM", "Cortex-A53")) << i;
    for (std::size_t i = 4; i < 6; ++i) EXPECT_EQ(at(rk3399, i), Pair("ARM", "Cortex-A72")) << i;

    const DescriptorTable rpi4 = get_vendor_id_and_brand_inner(read_fixture("cpuinfo/armv7-rpi4"));
    ASSERT_EQ(rpi4.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(at(rpi4, i), Pair("ARM", "Cortex-A72")) << i;
}

TEST(DescriptorPass, ArmCodes) {
    // A part the table does not know falls back to the "model name" text.
    auto t = get_vendor_id_and_brand_inner(
        "processor\t: 0\nmodel name\t: Some Core rev 1 (v7l)\n"
        "CPU implementer\t: 0x41\nCPU part\t: 0x123\nCPU revision\t: 1\n");
    EXPECT_EQ(at(t, 0), Pair("ARM", "Some Core rev 1 (v7l)"));

    // An unknown implementer: no vendor, even with a vendor_id line.
    t = get_vendor_id_and_brand_inner(
        "processor\t: 0\nvendor_id\t: GenuineIntel\nCPU implementer\t: 0x99\n"
        "CPU part\t: 0xd03\n");
    EXPECT_EQ(at(t, 0), Pair("", ""));

    // 0XD03 and a bare d03 are malformed: part 0, still "present".
    for (std::string_view part : {"0XD03", "d03"}) {
        t = get_vendor_id_and_brand_inner("processor\t: 0\nmodel name\t: Fallback\n"
                                          "CPU implementer\t: 0x41\nCPU part\t: " +
                                          std::string(part) + "\n");
        EXPECT_EQ(at(t, 0), Pair("ARM", "Fallback")) << part;
    }

    // Implementer and part lines are taken even after vendor and brand,
    // as long as no other line came between.
    t = get_vendor_id_and_brand_inner(
        "processor\t: 0\nvendor_id\t: V\nmodel name\t: M\nCPU implementer\t: 0x41\n"
        "CPU part\t: 0xd03\n");
    EXPECT_EQ(at(t, 0), Pair("ARM", "Cortex-A53"));
    // Once vendor and brand are both known, any other line ends the block.
    t = get_vendor_id_and_brand_inner(
        "processor\t: 0\nvendor_id\t: V\nmodel name\t: M\nflags\t: fpu\n"
        "CPU implementer\t: 0x41\nCPU part\t: 0xd03\n");
    EXPECT_EQ(at(t, 0), Pair("V", "M"));
}

TEST(DescriptorPass, X86TextsAndKeys) {
    auto t = get_vendor_id_and_brand_inner(
        "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU\n");
    EXPECT_EQ(at(t, 0), Pair("GenuineIntel", "Intel(R) Xeon(R) CPU"));

    // The value is what follows the last ':'.
    t = get_vendor_id_and_brand_inner("processor\t: 0\nmodel name\t: Weird: Name\n");
    EXPECT_EQ(at(t, 0), Pair("", "Name"));

    // Keys ignore ASCII case but need their tab; values lose Unicode space.
    t = get_vendor_id_and_brand_inner(
        "processor\t: 3\nVENDOR_ID\t: \u00a0Upper\u3000\nmodel name : spaced\n");
    EXPECT_EQ(at(t, 3), Pair("Upper", ""));

    // "processor" is matched with its case, and trimmed before the ':'.
    t = get_vendor_id_and_brand_inner("Processor\t: 0\nvendor_id\t: A\n"
                                      "  processor  : +2 : extra\nvendor_id\t: B\n");
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(at(t, 2), Pair("B", ""));
}

TEST(DescriptorPass, BlocksAndProcessorNumbers) {
    // A processor number that does not parse: its block's lines are ignored.
    auto t = get_vendor_id_and_brand_inner(
        "processor\t: abc\nvendor_id\t: X\nmodel name\t: Y\n\n"
        "processor\t: 1\nvendor_id\t: V1\nmodel name\t: M1\n");
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(at(t, 1), Pair("V1", "M1"));

    for (std::string_view bad : {"processor\t:\n", "processor\n", "processor\t: -1\n",
                                 "processor\t: 1 2\n", "processor\t: +\n",
                                 "processor\t: 99999999999999999999999\n"}) {
        t = get_vendor_id_and_brand_inner(std::string(bad) + "vendor_id\t: X\n");
        EXPECT_TRUE(t.empty()) << bad;
    }

    // The later of two blocks with the same number wins.
    t = get_vendor_id_and_brand_inner(
        "processor\t: 0\nvendor_id\t: First\nmodel name\t: A\n\n"
        "processor\t: 0\nvendor_id\t: Second\nmodel name\t: B\n");
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(at(t, 0), Pair("Second", "B"));

    // A processor line ends an unfinished block; a key seen twice keeps its
    // last value.
    t = get_vendor_id_and_brand_inner(
        "processor\t: 0\nvendor_id\t: V\nvendor_id\t: W\nprocessor\t: 1\nmodel name\t: N\n");
    EXPECT_EQ(at(t, 0), Pair("W", ""));
    EXPECT_EQ(at(t, 1), Pair("", "N"));

    // Lines outside any block are passed over.
    t = get_vendor_id_and_brand_inner("vendor_id\t: X\nmodel name\t: Y\n");
    EXPECT_TRUE(t.empty());
    EXPECT_TRUE(get_vendor_id_and_brand_inner("").empty());
}

TEST(DescriptorPass, ReadsProcCpuinfo) {
    FixtureTree tree;
    // Eight CPUs, as many as the copied file describes.
    std::string stat = "cpu  1 0 0 1\n";
    for (int i = 0; i < 8; ++i) stat += "cpu" + std::to_string(i) + " 1 0 0 1\n";
    tree.write("proc/stat", stat);
    const hoststats::HostRoot root = tree.root();
    // The entries a first refresh gives a descriptor.
    const auto described = [&root] {
        hoststats::CpusWrapper cpus;
        cpus.refresh(root, CpuLines::Every, {.usage = true});
        return std::count_if(cpus.cpus().begin(), cpus.cpus().end(), [](const hoststats::Cpu& cpu) {
            return !cpu.vendor_id.empty() || !cpu.brand.empty();
        });
    };
    EXPECT_EQ(described(), 0) << "missing file";

    tree.write("proc/cpuinfo", "processor\t: 0\nvendor_id\t: V\xff\nmodel name\t: M\n");
    EXPECT_EQ(described(), 0) << "not UTF-8";

    tree.copy_fixture("cpuinfo/armv7-exynos5422", "proc/cpuinfo");
    EXPECT_EQ(described(), 8);
}

TEST(DescriptorPass, EntriesTakeThePairOfTheirPosition) {
    FixtureTree tree;
    tree.write("proc/cpuinfo",
               "processor\t: 0\nvendor_id\t: V0\nmodel name\t: M0\n\n"
               "processor\t: 2\nvendor_id\t: V2\nmodel name\t: M2\n");
    tree.write("proc/stat",
               "cpu  3 0 0 3\ncpu0 1 0 0 1\ncpu5 1 0 0 1\ncpu7 1 0 0 1\nintr 0\n");
    const hoststats::HostRoot root = tree.root();
    hoststats::CpusWrapper cpus;
    cpus.refresh(root, CpuLines::Every, {.usage = true});
    ASSERT_EQ(cpus.cpus().size(), 3u);
    EXPECT_EQ(cpus.cpus()[0].vendor_id, "V0");
    EXPECT_EQ(cpus.cpus()[0].brand, "M0");
    EXPECT_EQ(cpus.cpus()[1].vendor_id, "");
    EXPECT_EQ(cpus.cpus()[1].brand, "");
    EXPECT_EQ(cpus.cpus()[2].vendor_id, "V2");
    EXPECT_EQ(cpus.cpus()[2].brand, "M2");

    // Descriptors are fixed once the entries exist.
    tree.write("proc/cpuinfo", "processor\t: 1\nvendor_id\t: New\nmodel name\t: New\n");
    cpus.clear_last_reading();
    cpus.refresh(root, CpuLines::Every, {.usage = true});
    EXPECT_EQ(cpus.cpus()[1].vendor_id, "");
}

TEST(DescriptorPass, HostEntriesCarryThisMachinesDescriptors) {
    FixtureTree tree;
    tree.copy_fixture("cpuinfo/x86_64-amd-epyc", "proc/cpuinfo");
    tree.copy_fixture("stat/x86_64-2cpu", "proc/stat");
    const hoststats::HostRoot root = tree.root();
    hoststats::CpusWrapper cpus;
    cpus.refresh(root, CpuLines::Every, {.usage = true, .frequency = true});
    ASSERT_EQ(cpus.cpus().size(), 2u);
    for (const auto& cpu : cpus.cpus()) {
        EXPECT_EQ(cpu.vendor_id, "AuthenticAMD");
        EXPECT_EQ(cpu.brand, "AMD EPYC");
        // No cpufreq here: the first "cpu MHz" line of the copied file.
        EXPECT_EQ(cpu.frequency, 2445u);
    }
}

// --- frequency ----------------------------------------------------------------------

class Frequency : public ::testing::Test {
protected:
    void sysfs(std::size_t cpu, std::string_view text) const {
        tree_.write("sys/devices/system/cpu/cpu" + std::to_string(cpu) +
                        "/cpufreq/scaling_cur_freq",
                    text);
    }
    // The figure a refresh gives the CPU at `position`, on a /proc/stat
    // that lists it.
    [[nodiscard]] std::uint64_t frequency(std::size_t position) const {
        std::string stat = "cpu  1 0 0 1\n";
        for (std::size_t i = 0; i <= position; ++i) stat += "cpu" + std::to_string(i) + " 1 0 0 1\n";
        tree_.write("proc/stat", stat);
        hoststats::CpusWrapper cpus;
        cpus.refresh(root_, CpuLines::Every, {.usage = true, .frequency = true});
        return cpus.cpus().at(position).frequency;
    }
    FixtureTree tree_;
    hoststats::HostRoot root_ = tree_.root();
};

TEST_F(Frequency, SysfsInKilohertz) {
    sysfs(0, "1800000\n");
    EXPECT_EQ(frequency(0), 1800u);
    sysfs(0, "999");
    EXPECT_EQ(frequency(0), 0u);
    sysfs(0, " +2400999 \n");
    EXPECT_EQ(frequency(0), 2400u);
    sysfs(0, "1200000\n77\n");
    EXPECT_EQ(frequency(0), 1200u) << "up to the first newline";
    sysfs(11, "600000\n");
    EXPECT_EQ(frequency(11), 600u);
    EXPECT_EQ(frequency(1), 0u) << "no sysfs file, no /proc/cpuinfo";
}

TEST_F(Frequency, FallsBackToProcCpuinfo) {
    tree_.write("proc/cpuinfo", "processor\t: 0\ncpu MHz\t\t: 2400.999\n");
    EXPECT_EQ(frequency(0), 2400u) << "no sysfs file";
    for (std::string_view unusable : {"fast\n", "", "-1\n", "1800000 kHz\n", "18446744073709551616\n"}) {
        sysfs(0, unusable);
        EXPECT_EQ(frequency(0), 2400u) << unusable;
    }
    sysfs(0, "\xff\xfe");
    EXPECT_EQ(frequency(0), 2400u) << "not UTF-8";
    tree_.remove("sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq");
    tree_.mkdir("sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq");
    EXPECT_EQ(frequency(0), 2400u) << "unreadable";
}

TEST(CpuinfoFrequency, Lines) {
    EXPECT_EQ(cpuinfo_frequency("cpu MHz\t\t: 2400.999\n"), 2400u);
    EXPECT_EQ(cpuinfo_frequency("clock\t\t: 1800.000000MHz\n"), 1800u);
    EXPECT_EQ(cpuinfo_frequency("Clock\t: 5 MHz\n"), 5u);
    EXPECT_EQ(cpuinfo_frequency("processor\t: 0\nBogoMIPS\t: 38.40\n"), 38u);
    EXPECT_EQ(cpuinfo_frequency("bogomips\t: 4890.80\n"), 4890u);

    // The first matching line wins, whatever its key.
    EXPECT_EQ(cpuinfo_frequency("bogomips\t: 10\ncpu MHz\t\t: 2000\n"), 10u);
    // The keys need their tab ("cpu MHz" then a space is another line).
    EXPECT_EQ(cpuinfo_frequency("cpu MHz : 100\nclock : 200\ncpu MHz\t: 300\n"), 300u);
    // A line must hold more than its key.
    EXPECT_EQ(cpuinfo_frequency("clock\t\nBogoMIPS\ncpu MHz\t: 300\n"), 300u);
    EXPECT_EQ(cpuinfo_frequency("cpu MHz\t\t: fast\nclock\t: 100\n"), 0u)
        << "a matching line that does not parse gives 0";
    EXPECT_EQ(cpuinfo_frequency("processor\t: 0\nmodel name\t: x\n"), 0u);
    EXPECT_EQ(cpuinfo_frequency(""), 0u);
}

TEST(CpuinfoFrequency, Numbers) {
    auto mhz = [](std::string_view value) {
        return cpuinfo_frequency("cpu MHz\t\t: " + std::string(value) + "\n");
    };
    EXPECT_EQ(mhz("nan"), 0u);
    EXPECT_EQ(mhz("-NaN"), 0u);
    EXPECT_EQ(mhz("-5"), 0u);
    EXPECT_EQ(mhz("-0.5"), 0u);
    EXPECT_EQ(mhz("0.9"), 0u);
    EXPECT_EQ(mhz("+2400.5"), 2400u);
    EXPECT_EQ(mhz(".5e4"), 5000u);
    EXPECT_EQ(mhz("1e30"), UINT64_MAX);
    EXPECT_EQ(mhz("1e400"), UINT64_MAX);
    EXPECT_EQ(mhz("1e-400"), 0u);
    EXPECT_EQ(mhz("18446744073709551615"), UINT64_MAX) << "rounds up to 2^64";
    EXPECT_EQ(mhz("9007199254740992"), 9007199254740992u);
    EXPECT_EQ(mhz("inf"), UINT64_MAX);
    EXPECT_EQ(mhz("+Infinity"), UINT64_MAX);
    EXPECT_EQ(mhz("-inf"), 0u);
    EXPECT_EQ(mhz("2MHz000"), 2000u) << "every MHz is deleted before parsing";

    for (std::string_view bad : {"", "+", "--5", "+-5", "nan(1)", "infinit", "0x10", "1e",
                                 "1,5", "1 5", "."}) {
        EXPECT_EQ(mhz(bad), 0u) << bad;
    }
}


// --- many CPUs without cpufreq ------------------------------------------------------

// A host root with `n` CPUs, each with a block of this machine's kind in
// /proc/cpuinfo, and no cpufreq files (as in most virtual machines).
void write_many_cpus(const FixtureTree& tree, std::size_t n) {
    const std::string epyc = read_fixture("cpuinfo/x86_64-amd-epyc");
    const std::string block = epyc.substr(epyc.find('\n'), epyc.find("\n\n") + 2 - epyc.find('\n'));
    std::string cpuinfo;
    std::string stat = "cpu  100 0 100 800 0 0 0 0 0 0\n";
    for (std::size_t i = 0; i < n; ++i) {
        cpuinfo += "processor\t: " + std::to_string(i) + block;
        stat += "cpu" + std::to_string(i) + " 1 0 1 8 0 0 0 0 0 0\n";
    }
    tree.write("proc/cpuinfo", cpuinfo);
    tree.write("proc/stat", stat + "intr 0\nbtime 1700000000\n");
    tree.write("proc/meminfo", "MemTotal: 1000 kB\nMemAvailable: 500 kB\n");
    tree.write("proc/uptime", "100.00 50.00\n");
}

// Opens of one file, counted by inotify. The kernel merges an event with an
// identical one still unread before it, so closes are watched too: opens
// then never follow each other in the queue.
class OpenCounter {
public:
    explicit OpenCounter(const std::string& path)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE_NOWRITE) < 0) {
            ADD_FAILURE() << "inotify unavailable for " << path;
        }
    }
    ~OpenCounter() { ::close(fd_); }
    OpenCounter(const OpenCounter&) = delete;
    OpenCounter& operator=(const OpenCounter&) = delete;

    // Opens since the last call.
    std::size_t take() {
        std::size_t opens = 0;
        alignas(inotify_event) char buf[4096];
        for (ssize_t got; (got = ::read(fd_, buf, sizeof buf)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
                if (event->mask & IN_OPEN) ++opens;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return opens;
    }

private:
    int fd_;
};

#if !defined(__SANITIZE_THREAD__)
double best_snapshot_seconds(const hoststats::HostRoot& root) {
    // The thread's own CPU time: on a busy machine the elapsed time counts
    // every other program that ran meanwhile (a 64-CPU snapshot measured
    // 1.4 ms and a 256-CPU one 31 ms elapsed, under a load of 14).
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        timespec t0{}, t1{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
        hoststats::System sys = hoststats::System::new_all(root);
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
        EXPECT_FALSE(sys.cpus().cpus().empty());
        best = std::min(best, static_cast<double>(t1.tv_sec - t0.tv_sec) +
                                  static_cast<double>(t1.tv_nsec - t0.tv_nsec) * 1e-9);
    }
    return best;
}
#endif

TEST(FrequencyFallback, CpuinfoReadOncePerPassWhateverTheCpuCount) {
    FixtureTree tree;
    write_many_cpus(tree, 256);
    const hoststats::HostRoot root = tree.root();
    OpenCounter opens(root.proc + "/cpuinfo");

    hoststats::System sys = hoststats::System::new_all(root);
    ASSERT_EQ(sys.cpus().cpus().size(), 256u);
    EXPECT_LE(opens.take(), 2u) << "per snapshot";
    for (const auto& cpu : sys.cpus().cpus()) {
        EXPECT_EQ(cpu.brand, "AMD EPYC");
        EXPECT_EQ(cpu.frequency, 2445u) << "the first \"cpu MHz\" line, as before";
    }
    sys.refresh_cpu_all();
    EXPECT_LE(opens.take(), 1u) << "per refresh of the frequencies";

#if !defined(__SANITIZE_THREAD__)
    // Four times the CPUs: a linear cost grows four times, one read of the
    // whole file per CPU sixteen times (some forty here). The bound leaves
    // room for runs whose memory costs grow faster than the text they touch
    // (under qemu, with other tests beside it: up to some eleven times).
    // ThreadSanitizer's per-byte cost itself grows with the text's size, so
    // there the count of opens above is the measure.
    FixtureTree small;
    write_many_cpus(small, 64);
    const double t64 = best_snapshot_seconds(small.root());
    const double t256 = best_snapshot_seconds(root);
    EXPECT_LT(t256, 16 * t64) << "64 CPUs: " << t64 << " s, 256 CPUs: " << t256 << " s";
#endif
}

}  // namespace
