// The process table scan on hand-made /proc trees: which entries become
// records, how "stat" is split, threads and tasks, details, rescans, and the
// budget of kept "stat" files.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fixture_tree.hpp"
#include "hoststats/fd.hpp"
#include "hoststats/file_budget.hpp"
#include "hoststats/list_budget.hpp"
#include "hoststats/system.hpp"

namespace {

using hoststats::FieldPolicy;
using hoststats::Pid;
using hoststats::Process;
using hoststats::ProcessSelection;
using hoststats::ProcessState;
using hoststats::System;
using hoststats::ThreadClass;
using testing_support::FixtureTree;
using testing_support::open_descriptors;

constexpr std::uint64_t FIXTURE_BOOT_TIME = 1700000000;  // seconds, "btime" below
// The user the made-up processes run as, and whom the scans measure them for.
constexpr std::uint32_t FIXTURE_USER = 1000;

// One "stat" line in the kernel's layout; fields after rss are zeros.
struct StatSpec {
    Pid pid = 100;
    std::string name = "worker";
    char state = 'S';
    Pid ppid = 1;
    std::uint64_t flags = 4194560;
    std::uint64_t utime = 0, stime = 0, starttime = 0, vsize = 0, rss = 0;
};

std::string stat_line(const StatSpec& s) {
    std::string line = std::to_string(s.pid) + " (" + s.name + ") " + s.state + " " +
                       std::to_string(s.ppid) + " 100 100 0 -1 " + std::to_string(s.flags) +
                       " 0 0 0 0 " + std::to_string(s.utime) + " " + std::to_string(s.stime) +
                       " 0 0 20 0 1 0 " + std::to_string(s.starttime) + " " +
                       std::to_string(s.vsize) + " " + std::to_string(s.rss);
    for (int i = 0; i < 29; ++i) line += " 0";
    return line + "\n";
}

// By default a set-user-id root program that user 1000 started.
std::string status_text(Pid tgid, std::string_view uid_line = "Uid:\t1000\t0\t1000\t1000",
                        std::string_view gid_line = "Gid:\t2000\t2001\t2000\t2000") {
    std::string text = "Name:\tworker\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t" +
                       std::to_string(tgid) + "\nNgid:\t0\nPid:\t" + std::to_string(tgid) +
                       "\nPPid:\t1\nTracerPid:\t0\n";
    if (!uid_line.empty()) text.append(uid_line).append("\n");
    if (!gid_line.empty()) text.append(gid_line).append("\n");
    return text + "FDSize:\t64\nGroups:\t\nThreads:\t1\n";
}

// A tree with the host-wide files a scan reads and nothing else.
class ScanTree : public FixtureTree {
public:
    ScanTree() {
        write("proc/uptime", "1000.50 1900.00\n");
        write("proc/stat", "cpu  10 0 10 100 0 0 0 0 0 0\ncpu0 10 0 10 100 0 0 0 0 0 0\n"
                           "btime " + std::to_string(FIXTURE_BOOT_TIME) + "\n");
    }

    // A complete process (or task) directory at `dir` ("proc/PID" or
    // "proc/PID/task/TID").
    void add_entry(const std::string& dir, const StatSpec& s, Pid tgid) const {
        write(dir + "/stat", stat_line(s));
        write(dir + "/status", status_text(tgid));
        write(dir + "/cmdline", std::string("/bin/worker\0--flag\0", 19));
        write(dir + "/environ", std::string("HOME=/root\0LANG=C\0", 18));
        write(dir + "/statm", "300 20 10 5 0 50 0\n");
        write(dir + "/io", "rchar: 10\nwchar: 20\nsyscr: 1\nsyscw: 2\nread_bytes: 4096\n"
                           "write_bytes: 8192\ncancelled_write_bytes: 0\n");
        symlink(dir + "/exe", "/usr/bin/worker");
        symlink(dir + "/cwd", "/home/worker");
        symlink(dir + "/root", "/");
    }
    void add_process(const StatSpec& s) const {
        const std::string dir = "proc/" + std::to_string(s.pid);
        add_entry(dir, s, s.pid);
        mkdir(dir + "/task/" + std::to_string(s.pid));
    }
};

hoststats::HostRoot fixture_root(const FixtureTree& tree) {
    hoststats::HostRoot root = tree.root();
    root.caller_uid = FIXTURE_USER;
    return root;
}

// A snapshot of the tree with known constants and one scan of everything,
// CPU shares aside (their pass reads the tree's /proc/stat).
struct Scanned {
    System sys;
    explicit Scanned(const FixtureTree& tree, std::uint64_t clock_ticks = 100,
                     ProcessSelection sel = ProcessSelection::everything())
        : sys(System::new_with_specifics(hoststats::RefreshSelection{}, fixture_root(tree))) {
        auto& inner = sys.inner();
        inner.page_size = 4096;
        inner.clock_ticks = clock_ticks;
        inner.boot_time = FIXTURE_BOOT_TIME;
        scan(sel);
    }
    void scan(const ProcessSelection& sel = ProcessSelection::everything()) {
        sys.inner().refresh_processes_specifics(sel);
        sys.inner().retain_updated();
    }
    [[nodiscard]] const Process* find(Pid pid) const {
        auto it = sys.processes().find(pid);
        return it == sys.processes().end() ? nullptr : &it->second;
    }
    [[nodiscard]] std::string proc_dir(Pid pid) const {
        return find(pid)->proc_dir(sys.inner().root().proc);
    }
    [[nodiscard]] std::vector<Pid> pids() const {
        std::vector<Pid> out;
        for (const auto& [pid, p] : sys.processes()) out.push_back(pid);
        std::sort(out.begin(), out.end());
        return out;
    }
};


// --- which entries become records ---------------------------------------------

TEST(ProcessWalk, OnlyNumericDirectoriesBecomeRecords) {
    ScanTree tree;
    tree.add_process({.pid = 100});
    tree.symlink("proc/self", "100");
    tree.symlink("proc/thread-self", "100/task/100");
    tree.symlink("proc/300", "100");  // a link named like a pid is still a link
    tree.add_entry("proc/sys", {.pid = 101}, 101);
    tree.add_entry("proc/-5", {.pid = 102}, 102);
    tree.add_entry("proc/+7", {.pid = 7}, 7);
    tree.add_entry("proc/4294967296", {.pid = 103}, 103);  // past 32 bits
    tree.write("proc/200", "a plain file named like a pid");
    Scanned s(tree);
    EXPECT_EQ(s.pids(), (std::vector<Pid>{7, 100}));
    ASSERT_NE(s.find(7), nullptr);
    EXPECT_EQ(s.proc_dir(7), tree.path() + "/proc/+7");
}

TEST(ProcessWalk, MissingProcListsNothing) {
    FixtureTree tree;
    tree.write("proc-is-elsewhere", "");
    Scanned s(tree);
    EXPECT_TRUE(s.sys.processes().empty());
}

// --- "stat" splitting on whole scans --------------------------------------------

TEST(ProcessStat, CommandNamesKeepAnyBytes) {
    ScanTree tree;
    tree.add_process({.pid = 10, .name = "a b) (c"});
    tree.add_process({.pid = 11, .name = "line\nbreak"});
    tree.add_process({.pid = 12, .name = std::string("bad\xff\xfe", 5)});
    tree.add_process({.pid = 13, .name = ""});
    // The longest a user task's name is, and longer ones (a kernel worker's).
    tree.add_process({.pid = 14, .name = "fifteen bytes.."});
    tree.add_process({.pid = 15, .name = "sixteen bytes..."});
    tree.add_process({.pid = 16, .name = "kworker/u8:2-events_unbound"});
    Scanned s(tree);
    ASSERT_EQ(s.pids(), (std::vector<Pid>{10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(s.find(10)->name, "a b) (c");
    EXPECT_EQ(s.find(11)->name, "line\nbreak");
    EXPECT_EQ(std::string_view(s.find(12)->name), std::string("bad\xff\xfe", 5));
    EXPECT_EQ(s.find(13)->name, "");
    std::pmr::memory_resource* heap = std::pmr::get_default_resource();
    for (const Pid pid : {14, 15, 16}) {
        // A copy has a name of its own; a name takes the place of one of
        // either length, even when it is a view of that one.
        const std::string whole(s.find(pid)->name);
        hoststats::TaskName copy = s.find(pid)->name;
        copy.assign(copy.view().substr(1), heap);
        EXPECT_EQ(copy, whole.substr(1));
        copy.assign(copy.view().substr(copy.size() - 3), heap);
        EXPECT_EQ(copy, whole.substr(whole.size() - 3));
        copy = s.find(16)->name;
        EXPECT_EQ(copy, s.find(16)->name);
        EXPECT_EQ(s.find(pid)->name, whole);
    }
    EXPECT_EQ(s.find(15)->name, "sixteen bytes...");
    EXPECT_EQ(s.find(16)->name, "kworker/u8:2-events_unbound");
    // The fields after the name are still where they belong.
    EXPECT_EQ(s.find(10)->state, ProcessState::Sleeping);
    EXPECT_EQ(s.find(10)->parent_pid, 1);
}

TEST(ProcessStat, UnsplittableStatGivesNoRecord) {
    ScanTree tree;
    tree.add_process({.pid = 20});
    tree.write("proc/20/stat", "20(nospace)S");
    tree.add_process({.pid = 21});
    tree.write("proc/21/stat", "21 (no closing S 1 2 3\n");
    tree.add_process({.pid = 22});
    tree.write("proc/22/stat", std::string("22 (x) S 1 \xff 2\n"));  // not UTF-8 after the name
    tree.add_process({.pid = 23});
    tree.remove("proc/23/stat");
    tree.add_process({.pid = 24});
    Scanned s(tree);
    EXPECT_EQ(s.pids(), (std::vector<Pid>{24}));
}

TEST(ProcessStat, ShortLinesLeaveMissingFieldsAtZero) {
    ScanTree tree;
    // Up to utime only (13 fields): no system ticks.
    tree.add_process({.pid = 30});
    tree.write("proc/30/stat", "30 (w) R 5 0 0 0 0 0 0 0 0 0 7\n");
    // Up to flags-1 (12 fields): neither tick count.
    tree.add_process({.pid = 31});
    tree.write("proc/31/stat", "31 (w) R 5 0 0 0 0 0 0 0 0 0\n");
    // Up to itrealvalue (20 fields): no start time; statm missing and too
    // short for the memory fallback too.
    tree.add_process({.pid = 32, .starttime = 0});
    tree.write("proc/32/stat", "32 (w) S 5 0 0 0 0 0 0 0 0 0 3 4 0 0 20 0 1 0\n");
    tree.remove("proc/32/statm");
    // Up to vsize (22 fields): no rss for the fallback.
    tree.add_process({.pid = 33});
    tree.write("proc/33/stat", "33 (w) S 5 0 0 0 0 0 0 0 0 0 3 4 0 0 20 0 1 0 500 65536\n");
    tree.remove("proc/33/statm");
    // Nothing after the name at all.
    tree.add_process({.pid = 34});
    tree.write("proc/34/stat", "34 (w)\n");
    Scanned s(tree);
    ASSERT_EQ(s.pids(), (std::vector<Pid>{30, 31, 32, 33, 34}));

    EXPECT_EQ(s.find(30)->user_ticks, 7u);
    EXPECT_EQ(s.find(30)->system_ticks, 0u);
    EXPECT_EQ(s.find(30)->parent_pid, 5);
    EXPECT_EQ(s.find(31)->user_ticks, 0u);
    EXPECT_EQ(s.find(31)->system_ticks, 0u);
    EXPECT_EQ(s.find(32)->user_ticks, 3u);
    EXPECT_EQ(s.find(32)->system_ticks, 4u);
    EXPECT_EQ(s.find(32)->start_ticks, 0u);
    EXPECT_EQ(s.find(32)->resident_bytes, 0u);
    EXPECT_EQ(s.find(32)->virtual_bytes, 0u);
    EXPECT_EQ(s.find(33)->start_ticks, 500u);
    EXPECT_EQ(s.find(33)->virtual_bytes, 65536u);
    EXPECT_EQ(s.find(33)->resident_bytes, 0u);
    EXPECT_EQ(s.find(34)->state, ProcessState::Unknown);
    EXPECT_EQ(s.find(34)->state_code, 0u);
    EXPECT_FALSE(s.find(34)->parent_pid.has_value());
}

TEST(ProcessStat, StateLettersAndParents) {
    ScanTree tree;
    tree.add_process({.pid = 40, .state = 'D', .ppid = 0});
    tree.add_process({.pid = 41, .state = 'x'});
    tree.add_process({.pid = 42, .state = 'Q'});
    Scanned s(tree);
    EXPECT_EQ(s.find(40)->state, ProcessState::DiskSleep);
    EXPECT_FALSE(s.find(40)->parent_pid.has_value());  // ppid 0 means none
    EXPECT_EQ(s.find(41)->state, ProcessState::Dead);
    EXPECT_EQ(s.find(42)->state, ProcessState::Unknown);
    EXPECT_EQ(s.find(42)->state_code, static_cast<std::uint32_t>('Q'));
}

// --- a real process's files, as this host wrote them -------------------------------

TEST(ProcessStat, CopiedHostFiles) {
    ScanTree tree;
    tree.add_process({.pid = 16781});
    tree.copy_fixture("process/shell.stat", "proc/16781/stat");
    tree.copy_fixture("process/shell.status", "proc/16781/status");
    tree.copy_fixture("process/shell.statm", "proc/16781/statm");
    tree.copy_fixture("process/shell.io", "proc/16781/io");
    tree.add_process({.pid = 2});
    tree.copy_fixture("process/kthreadd.stat", "proc/2/stat");
    Scanned s(tree);
    const Process* shell = s.find(16781);
    ASSERT_NE(shell, nullptr);
    EXPECT_EQ(shell->name, "bash");
    EXPECT_EQ(shell->parent_pid, 16779);
    EXPECT_EQ(shell->state, ProcessState::Sleeping);
    EXPECT_FALSE(shell->thread_class.has_value());
    EXPECT_EQ(shell->start_ticks, 71657u);
    EXPECT_EQ(shell->start_time, FIXTURE_BOOT_TIME + 716);
    EXPECT_EQ(shell->run_time, 1000u - 716u);
    EXPECT_EQ(shell->uid, 0u);
    EXPECT_EQ(shell->egid, 0u);
    EXPECT_EQ(shell->virtual_bytes, 1153u * 4096u);
    EXPECT_EQ(shell->resident_bytes, 497u * 4096u);
    EXPECT_EQ(shell->io.read_bytes, 12288u);
    EXPECT_EQ(shell->io.written_bytes, 16384u);
    const Process* kthreadd = s.find(2);
    ASSERT_NE(kthreadd, nullptr);
    EXPECT_EQ(kthreadd->name, "kthreadd");
    EXPECT_EQ(kthreadd->thread_class, ThreadClass::KernelThread);
    EXPECT_FALSE(kthreadd->parent_pid.has_value());
}

// --- threads and tasks -----------------------------------------------------------

TEST(ProcessTasks, ThreeThreadsGiveThreeRecords) {
    ScanTree tree;
    tree.add_process({.pid = 500, .flags = 0});
    tree.add_entry("proc/500/task/500", {.pid = 500}, 500);
    tree.add_entry("proc/500/task/501", {.pid = 501, .name = "helper", .ppid = 1}, 500);
    tree.add_entry("proc/500/task/502", {.pid = 502, .flags = 0x00200000}, 500);
    tree.write("proc/500/task/notatask", "");
    Scanned s(tree);
    ASSERT_EQ(s.pids(), (std::vector<Pid>{500, 501, 502}));
    const Process* leader = s.find(500);
    ASSERT_TRUE(leader->task_pids.has_value());
    EXPECT_EQ(*leader->task_pids, (hoststats::PidSet{501, 502}));
    EXPECT_FALSE(leader->thread_class.has_value());
    EXPECT_EQ(s.proc_dir(500), tree.path() + "/proc/500");
    for (Pid tid : {501, 502}) {
        const Process* task = s.find(tid);
        EXPECT_EQ(task->parent_pid, 500);  // the process, not the stat's ppid
        EXPECT_FALSE(task->task_pids.has_value());
        EXPECT_EQ(s.proc_dir(tid), tree.path() + "/proc/500/task/" + std::to_string(tid));
    }
    // One address space: its lists were read once and are held once.
    const Process* helper = s.find(501);
    EXPECT_TRUE(helper->cmdline.shares_with(leader->cmdline));
    EXPECT_TRUE(helper->environ.shares_with(leader->environ));
    EXPECT_EQ(helper->exe, leader->exe);
    EXPECT_EQ(s.find(501)->thread_class, ThreadClass::UserThread);
    EXPECT_EQ(s.find(502)->thread_class, ThreadClass::KernelThread);
    EXPECT_EQ(s.find(501)->name, "helper");
}

TEST(ProcessTasks, AnEndedLeaderKeepsItsOwnEmptyFiles) {
    // A leader that ended before its threads (a zombie, or dead) has lost
    // its address space: its own files are empty, and the thread group's,
    // read by a live thread first, are not its.
    for (const char state : {'Z', 'X', 'x'}) {
        ScanTree tree;
        tree.add_process({.pid = 500, .state = state, .flags = 0});
        tree.write("proc/500/cmdline", "");
        tree.write("proc/500/environ", "");
        tree.write("proc/500/statm", "0 0 0 0 0 0 0\n");
        tree.remove("proc/500/exe");
        tree.add_entry("proc/500/task/501", {.pid = 501, .flags = 0}, 500);
        Scanned s(tree);
        const Process* leader = s.find(500);
        const Process* worker = s.find(501);
        ASSERT_TRUE(leader && worker) << state;
        EXPECT_EQ(worker->cmdline.to_vector(), (std::vector<std::string>{"/bin/worker", "--flag"}));
        EXPECT_EQ(worker->resident_bytes, 20u * 4096u);
        EXPECT_TRUE(leader->cmdline.empty()) << state;
        EXPECT_TRUE(leader->environ.empty()) << state;
        EXPECT_FALSE(leader->exe.has_value()) << state;
        EXPECT_EQ(leader->resident_bytes, 0u) << state;
    }
}

TEST(ProcessTasks, WithoutTheTasksFlagNoTaskRecords) {
    ScanTree tree;
    tree.add_process({.pid = 500});
    tree.add_entry("proc/500/task/501", {.pid = 501}, 500);
    ProcessSelection sel = ProcessSelection::everything();
    sel.tasks = false;
    Scanned s(tree, 100, sel);
    EXPECT_EQ(s.pids(), (std::vector<Pid>{500}));
    EXPECT_FALSE(s.find(500)->task_pids.has_value());
}

TEST(ProcessTasks, ThreadDirectoryReachedDirectly) {
    ScanTree tree;
    tree.add_process({.pid = 600});
    // /proc/601 is a thread of 600 (its Tgid says so).
    tree.add_entry("proc/601", {.pid = 601, .ppid = 1}, 600);
    tree.mkdir("proc/601/task/600");
    tree.mkdir("proc/601/task/601");
    Scanned s(tree);
    const Process* thread = s.find(601);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->parent_pid, 600);
    EXPECT_FALSE(thread->task_pids.has_value());
    EXPECT_EQ(thread->thread_class, ThreadClass::UserThread);
    // A process with an unreadable "task" is still a process.
    tree.add_process({.pid = 700});
    tree.remove("proc/700/task");
    Scanned again(tree);
    ASSERT_NE(again.find(700), nullptr);
    ASSERT_TRUE(again.find(700)->task_pids.has_value());
    EXPECT_EQ(*again.find(700)->task_pids, hoststats::PidSet{});
}

TEST(ProcessTasks, KernelThreadFlagOnAProcess) {
    ScanTree tree;
    // The kernel gives a kernel thread no address space: whatever a fixture
    // puts in its files, none of them is read.
    tree.add_process({.pid = 2, .flags = 0x00208040, .vsize = 8192, .rss = 3});
    tree.add_process({.pid = 3, .flags = 0x00400000});
    Scanned s(tree);
    EXPECT_EQ(s.find(2)->thread_class, ThreadClass::KernelThread);
    EXPECT_TRUE(s.find(2)->cmdline.empty());
    EXPECT_TRUE(s.find(2)->environ.empty());
    EXPECT_FALSE(s.find(2)->exe.has_value());
    EXPECT_EQ(s.find(2)->virtual_bytes, 8192u);  // from "stat", not "statm"
    EXPECT_EQ(s.find(2)->resident_bytes, 3u * 4096u);
    EXPECT_FALSE(s.find(3)->thread_class.has_value());
}

// --- times -------------------------------------------------------------------------

TEST(ProcessTimes, StartTimeRoundsDownToWholeSeconds) {
    ScanTree tree;
    tree.add_process({.pid = 50, .utime = 150, .stime = 100, .starttime = 50});
    tree.add_process({.pid = 51, .starttime = 250000});  // started after "now"
    Scanned s(tree);
    const Process* p = s.find(50);
    EXPECT_EQ(p->start_since_boot, 0u);
    EXPECT_EQ(p->start_time, FIXTURE_BOOT_TIME);
    EXPECT_EQ(p->run_time, 1000u);
    EXPECT_EQ(p->cpu_time_ms, 2500u);
    EXPECT_EQ(s.find(51)->run_time, 0u);
}

TEST(ProcessTimes, ZeroTickRateDoesNotDivide) {
    ScanTree tree;
    tree.add_process({.pid = 50, .utime = 150, .stime = 100, .starttime = 5000});
    Scanned s(tree, /*clock_ticks=*/0);
    const Process* p = s.find(50);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->start_ticks, 5000u);
    EXPECT_EQ(p->start_since_boot, 0u);
    EXPECT_EQ(p->start_time, FIXTURE_BOOT_TIME);
    EXPECT_EQ(p->cpu_time_ms, 0u);
    // A failed sysconf reads as 2^64-1 ticks per second: tiny, not a crash.
    Scanned wide(tree, ~std::uint64_t{0});
    EXPECT_EQ(wide.find(50)->start_since_boot, 0u);
    EXPECT_EQ(wide.find(50)->cpu_time_ms, 0u);
}

// --- details -----------------------------------------------------------------------

TEST(ProcessDetails, FilesOfAnOrdinaryProcess) {
    ScanTree tree;
    tree.add_process({.pid = 80});
    tree.write("proc/80/cmdline", std::string("a\0 b \0\0", 7));
    tree.add_process({.pid = 81});
    tree.remove("proc/81/exe");
    tree.symlink("proc/81/exe", "/usr/bin/old-server (deleted)");
    tree.add_process({.pid = 82});
    tree.remove("proc/82/exe");
    tree.symlink("proc/82/exe", "/x/ (deleted)");  // the component is the marker alone
    tree.add_process({.pid = 83});
    tree.write("proc/83/cmdline", std::string("\0 \0\t\0", 5));
    Scanned s(tree);
    const Process* p = s.find(80);
    EXPECT_EQ(p->cmdline.to_vector(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(p->environ.to_vector(), (std::vector<std::string>{"HOME=/root", "LANG=C"}));
    EXPECT_EQ(p->exe, "/usr/bin/worker");
    EXPECT_EQ(p->cwd, "/home/worker");
    EXPECT_EQ(p->root, "/");
    EXPECT_EQ(p->uid, 1000u);
    EXPECT_EQ(p->euid, 0u);
    EXPECT_EQ(p->gid, 2000u);
    EXPECT_EQ(p->egid, 2001u);
    EXPECT_EQ(p->virtual_bytes, 300u * 4096u);
    EXPECT_EQ(p->resident_bytes, 20u * 4096u);
    EXPECT_EQ(p->io.read_bytes, 4096u);
    EXPECT_EQ(p->io.written_bytes, 8192u);
    EXPECT_EQ(p->io.prev_read_bytes, 0u);
    EXPECT_EQ(s.find(81)->exe, "/usr/bin/old-server");
    EXPECT_EQ(s.find(82)->exe, "/x/");
    EXPECT_TRUE(s.find(83)->cmdline.empty());
}

// Whether the mapping that holds `at` is left out of core dumps ("dd" among
// its VmFlags in /proc/self/smaps).
bool left_out_of_core_dumps(const void* at) {
    std::ifstream smaps("/proc/self/smaps");
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        const std::string first = line.substr(0, line.find(' '));
        unsigned long long start = 0, end = 0;
        if (first.back() != ':' && std::sscanf(first.c_str(), "%llx-%llx", &start, &end) == 2) {
            inside = start <= address && address < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return (line + " ").find(" dd ") != std::string::npos;
        }
    }
    return false;
}

TEST(ProcessDetails, EnvironmentsAreLeftOutOfCoreDumps) {
    // Another user's secrets must not reach a core file of the caller.
    ScanTree tree;
    tree.add_process({.pid = 80});
    Scanned s(tree);
    const Process* p = s.find(80);
    ASSERT_FALSE(p->environ.empty());
    EXPECT_TRUE(left_out_of_core_dumps((*p->environ.begin()).data()));
}

TEST(ProcessDetails, IdsNeedBothLines) {
    ScanTree tree;
    tree.add_process({.pid = 90});
    tree.write("proc/90/status", status_text(90, "Uid:\t1\t2\t3\t4", ""));
    tree.add_process({.pid = 91});
    tree.write("proc/91/status", status_text(91, "Uid:\t7\t8", "Gid:\t9"));
    tree.add_process({.pid = 92});
    tree.write("proc/92/status", status_text(92, "Uid:\t-1\t5\t5\t5"));
    Scanned s(tree);
    const Process* p = s.find(90);
    EXPECT_FALSE(p->uid || p->euid || p->gid || p->egid);
    EXPECT_EQ(s.find(91)->uid, 7u);
    EXPECT_EQ(s.find(91)->euid, 8u);
    EXPECT_EQ(s.find(91)->gid, 9u);
    EXPECT_EQ(s.find(91)->egid, 0u);  // a missing value counts as "0"
    EXPECT_FALSE(s.find(92)->uid.has_value());
}

TEST(ProcessDetails, LockedFilesOnlyOfProcessesTheCallerCouldStop) {
    // "cmdline" and "environ" wait on the process's address-space lock,
    // "stat", "io" and the links on its exec lock, and another user's
    // process can hold either for seconds: they are read only where every
    // user id is the caller's or root's. Another's entry is kept, filled
    // from "status", "statm" and "schedstat".
    ScanTree tree;
    const std::vector<std::pair<Pid, std::string_view>> readable = {
        {60, "Uid:\t1000\t1000\t1000\t1000"},
        {61, "Uid:\t0\t0\t0\t0"},
        {62, "Uid:  +1000 0   0 1000"},
    };
    const std::vector<std::pair<Pid, std::string_view>> unreadable = {
        {70, "Uid:\t1001\t1001\t1001\t1001"},
        {71, "Uid:\t1000\t1000\t65534\t1000"},  // a saved id of another user
        {72, "Uid:\t1000\t1000\t1000\t1001"},   // a file-system id of another
        {73, "Uid:\t1000\t1000\t1000"},          // not all four ids
        {74, "Uid:\t1000\t1000\t1000\t1000\t1000"},
        {75, "Uid:\t1000\tx\t1000\t1000"},
        {76, ""},                                  // no ids at all
    };
    const StatSpec times{.utime = 300, .stime = 100, .starttime = 5000};
    const auto add = [&](Pid pid, std::string_view uids) {
        StatSpec spec = times;
        spec.pid = pid;
        tree.add_process(spec);
        tree.write("proc/" + std::to_string(pid) + "/status", status_text(pid, uids));
        tree.write("proc/" + std::to_string(pid) + "/schedstat", "2500000000 100 7\n");
    };
    for (const auto& [pid, uids] : readable) add(pid, uids);
    for (const auto& [pid, uids] : unreadable) add(pid, uids);
    // The first "Uid:" line decides.
    add(78, "Uid:\t1001\t1001\t1001\t1001\nUid:\t0\t0\t0\t0");
    // Another user's thread group: its process is given its threads' time.
    add(79, "Uid:\t1001\t1001\t1001\t1001");
    tree.add_entry("proc/79/task/80", {.pid = 80, .utime = 300}, 79);
    tree.write("proc/79/task/80/status", status_text(79, "Uid:\t1001\t1001\t1001\t1001"));
    tree.write("proc/79/task/80/schedstat", "500000000 0 1\n");
    // Whose ids cannot be read has nothing to be filled from.
    add(77, "");
    tree.remove("proc/77/status");
    Scanned s(tree);
    for (const auto& [pid, uids] : readable) {
        const Process* p = s.find(pid);
        EXPECT_EQ(p->cmdline.size(), 2u) << uids;
        EXPECT_EQ(p->environ.size(), 2u) << uids;
        EXPECT_EQ(p->exe, "/usr/bin/worker") << uids;
        EXPECT_EQ(p->root, "/") << uids;
        EXPECT_EQ(p->io.written_bytes, 8192u) << uids;
        EXPECT_EQ(p->start_ticks, 5000u) << uids;
        EXPECT_EQ(p->run_time, 1000u - 50u) << uids;
        EXPECT_EQ(p->user_ticks, 300u) << uids;
        EXPECT_EQ(p->cpu_time_ms, 4000u) << uids;
        EXPECT_EQ(p->thread_class, std::nullopt) << uids;
    }
    for (Pid pid : {70, 71, 72, 73, 74, 75, 76, 78, 79}) {
        const Process* p = s.find(pid);
        ASSERT_NE(p, nullptr) << pid;
        EXPECT_TRUE(p->cmdline.empty() && p->environ.empty()) << pid;
        EXPECT_FALSE(p->exe || p->cwd || p->root) << pid;
        EXPECT_EQ(p->io.written_bytes, 0u) << pid;
        EXPECT_EQ(p->start_ticks + p->start_time + p->run_time, 0u) << pid;
        EXPECT_EQ(p->user_ticks + p->system_ticks, 0u) << pid;
        // "status" gives the name, the state and the parent; "statm" the
        // memory; "schedstat" the time run.
        EXPECT_EQ(p->name.view(), "worker") << pid;
        EXPECT_EQ(p->state, ProcessState::Sleeping) << pid;
        EXPECT_EQ(p->parent_pid, 1) << pid;
        EXPECT_EQ(p->resident_bytes, 20u * 4096u) << pid;
        EXPECT_EQ(p->cpu_time_ms, pid == 79 ? 3000u : 2500u) << pid;
    }
    EXPECT_EQ(s.find(70)->uid, 1001u);
    EXPECT_EQ(s.find(80)->cpu_time_ms, 500u);
    EXPECT_EQ(s.find(80)->thread_class, ThreadClass::UserThread);
    EXPECT_EQ(s.find(80)->parent_pid, 79);
    EXPECT_EQ(s.find(77), nullptr);
}

TEST(ProcessDetails, ALockedReadThatWaitsIsCharged) {
    // The caller's own process may hold its locks too: a read of its "stat"
    // that sleeps counts against the scan's waits, and once they are spent
    // nothing more that waits on a lock is read.
    ScanTree tree;
    tree.add_process({.pid = 40});
    tree.remove("proc/40/stat");
    const std::string path = tree.path() + "/proc/40/stat";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // The open waits for a writer, which comes after twice the bound.
    std::thread writer([&path] {
        std::this_thread::sleep_for(2 * hoststats::LIST_WAIT_BOUND);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        const std::string line = stat_line({.pid = 40, .utime = 7});
        (void)!::write(fd, line.data(), line.size());
        ::close(fd);
    });
    Scanned s(tree);
    writer.join();
    EXPECT_TRUE(s.sys.inner().last_scan.list_waits_spent);
    const Process* p = s.find(40);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->user_ticks, 7u);  // the read that waited is used
    EXPECT_FALSE(p->exe || p->cwd);
    EXPECT_TRUE(p->cmdline.empty());
    EXPECT_EQ(p->io.read_bytes, 0u);
}

TEST(ProcessDetails, MemoryFallsBackToStat) {
    ScanTree tree;
    tree.add_process({.pid = 95, .vsize = 65536, .rss = 100});
    tree.remove("proc/95/statm");
    tree.add_process({.pid = 96, .vsize = 65536, .rss = 100});
    tree.remove("proc/96/statm");
    tree.mkdir("proc/96/statm");  // a directory cannot be read
    tree.add_process({.pid = 97});
    tree.write("proc/97/statm", "12");  // no second number
    Scanned s(tree);
    for (Pid pid : {95, 96}) {
        EXPECT_EQ(s.find(pid)->resident_bytes, 409600u) << pid;
        EXPECT_EQ(s.find(pid)->virtual_bytes, 65536u) << pid;
    }
    EXPECT_EQ(s.find(97)->virtual_bytes, 12u * 4096u);
    EXPECT_EQ(s.find(97)->resident_bytes, 0u);
}

// --- scanning one snapshot again ------------------------------------------------------

TEST(ProcessRescan, ExistingEntriesAreRefreshedInPlace) {
    ScanTree tree;
    tree.add_process({.pid = 10, .utime = 5, .stime = 5, .starttime = 100});
    tree.add_process({.pid = 11, .starttime = 100});
    tree.add_process({.pid = 12, .name = "first", .starttime = 100});
    Scanned s(tree);
    ASSERT_EQ(s.pids(), (std::vector<Pid>{10, 11, 12}));

    // 10 runs on; 11 ends; 12's id goes to a new process.
    tree.write("proc/10/stat", stat_line({.pid = 10, .utime = 25, .stime = 15, .starttime = 100}));
    tree.write("proc/10/io", "read_bytes: notanumber\nwrite_bytes: 9000\n");
    tree.write("proc/10/cmdline", std::string("/bin/renamed\0", 13));
    tree.remove("proc/11");
    tree.write("proc/12/stat", stat_line({.pid = 12, .name = "second", .starttime = 900}));
    s.scan();

    ASSERT_EQ(s.pids(), (std::vector<Pid>{10, 12}));
    const Process* p = s.find(10);
    // The "stat" file was opened and read again.
    EXPECT_EQ(p->user_ticks, 25u);
    EXPECT_EQ(p->prev_user_ticks, 5u);
    EXPECT_EQ(p->system_ticks, 15u);
    EXPECT_EQ(p->prev_system_ticks, 5u);
    // A value that is not a number keeps the old one in both places.
    EXPECT_EQ(p->io.read_bytes, 4096u);
    EXPECT_EQ(p->io.prev_read_bytes, 4096u);
    EXPECT_EQ(p->io.written_bytes, 9000u);
    EXPECT_EQ(p->io.prev_written_bytes, 8192u);
    // IfMissing leaves what is there.
    EXPECT_EQ(p->cmdline.to_vector(), (std::vector<std::string>{"/bin/worker", "--flag"}));
    EXPECT_FALSE(p->updated);  // cleared again by the retain step

    const Process* reused = s.find(12);
    EXPECT_EQ(reused->name, "second");
    EXPECT_EQ(reused->start_ticks, 900u);
    EXPECT_FALSE(reused->task_pids.has_value());

    // Always reads again; Never leaves alone.
    ProcessSelection sel = ProcessSelection::everything();
    sel.cmdline = FieldPolicy::Always;
    sel.exe = FieldPolicy::Always;
    sel.user = FieldPolicy::Never;
    tree.remove("proc/10/exe");
    tree.symlink("proc/10/exe", "/usr/bin/worker2");
    tree.write("proc/10/status", status_text(10, "Uid:\t0\t0\t0\t0", "Gid:\t5\t5\t5\t5"));
    s.scan(sel);
    p = s.find(10);
    EXPECT_EQ(p->cmdline.to_vector(), (std::vector<std::string>{"/bin/renamed"}));
    EXPECT_EQ(p->exe, "/usr/bin/worker2");
    EXPECT_EQ(p->uid, 1000u);
    // Always with an unreadable file keeps the old value.
    tree.remove("proc/10/cmdline");
    s.scan(sel);
    EXPECT_EQ(s.find(10)->cmdline.to_vector(), (std::vector<std::string>{"/bin/renamed"}));
}

TEST(ProcessRescan, StatReopenedOnEveryScan) {
    ScanTree tree;
    tree.add_process({.pid = 10, .utime = 5});
    Scanned s(tree);
    tree.write("proc/10/stat", stat_line({.pid = 10, .utime = 9}));
    s.scan();
    EXPECT_EQ(s.find(10)->user_ticks, 9u);
}

TEST(ProcessRescan, CpuSharesAfterASecondScan) {
    ScanTree tree;
    tree.add_process({.pid = 10, .utime = 100, .stime = 100});
    Scanned s(tree);
    EXPECT_EQ(s.find(10)->usage_percent, 0.0f);  // one scan: no earlier ticks
    tree.write("proc/10/stat", stat_line({.pid = 10, .utime = 150, .stime = 150}));
    s.sys.inner().cpus.clear_last_reading();
    tree.write("proc/stat", "cpu  110 0 110 200 500 0 0 0 0 0\ncpu0 110 0 110 200 500 0 0 0 0 0\n"
                            "btime 1700000000\n");
    s.scan();
    const Process* p = s.find(10);
    const auto& global = s.sys.cpus().global_usage();
    ASSERT_GT(global.total, global.previous_total);
    const float per_cpu = static_cast<float>(global.total - global.previous_total) /
                          static_cast<float>(s.sys.cpus().cpus().size());
    EXPECT_FLOAT_EQ(p->usage_percent,
                    std::min(100.0f / per_cpu * 100.0f,
                             100.0f * static_cast<float>(s.sys.cpus().cpus().size())));

    // iowait went down by 100 while user and idle grew by 21 ticks: those
    // 21 ticks are the interval, not the 1 tick that the difference of the
    // totals (-79) would leave.
    tree.write("proc/10/stat", stat_line({.pid = 10, .utime = 160, .stime = 150}));
    s.sys.inner().cpus.clear_last_reading();
    tree.write("proc/stat", "cpu  111 0 110 220 400 0 0 0 0 0\ncpu0 111 0 110 220 400 0 0 0 0 0\n"
                            "btime 1700000000\n");
    s.scan();
    ASSERT_EQ(s.sys.cpus().cpus().size(), 1u);
    EXPECT_EQ(s.find(10)->usage_percent, 10.0f / 21.0f * 100.0f);
}

TEST(ProcessRescan, AWalkCutShortPublishesNoneOfItsRecords) {
    // New records are made in the table as the walk goes; a signal handler
    // that raises between two entries must leave the table as the last
    // whole walk left it, without the records made before the raise.
    ScanTree tree;
    tree.add_process({.pid = 10});
    Scanned s(tree);
    for (const Pid pid : {20, 21, 22}) tree.add_process({.pid = pid});
    static int entries_left;
    entries_left = 2;  // the check refuses after the second entry
    {
        const hoststats::InterruptCheckScope scope(+[] { return --entries_left > 0; });
        EXPECT_THROW(s.scan(), hoststats::Interrupted);
    }
    EXPECT_EQ(entries_left, 0);  // the walk did reach a new entry before it ended
    EXPECT_EQ(s.pids(), (std::vector<Pid>{10}));
    s.scan();  // and the next whole walk publishes them all
    EXPECT_EQ(s.pids(), (std::vector<Pid>{10, 20, 21, 22}));
}

// --- the open-file budget during scans ---------------------------------------------

TEST(ProcessBudget, LiveSnapshotHoldsNoDescriptor) {
    // Descriptors a snapshot kept would be taken from the rest of the
    // process for the whole call, however many the budget allowed: every
    // "stat" file is closed once read.
    ScanTree tree;
    for (Pid pid = 10; pid < 20; ++pid) tree.add_process({.pid = pid, .utime = 3});
    ASSERT_GT(hoststats::remaining_files().load(), 20);
    const std::size_t fds = open_descriptors();
    Scanned s(tree);
    s.scan();
    EXPECT_EQ(open_descriptors(), fds);
    ASSERT_EQ(s.sys.processes().size(), 10u);
    for (const auto& [pid, p] : s.sys.processes()) EXPECT_EQ(p.user_ticks, 3u);
}

TEST(ProcessBudget, HostSnapshotLeavesNoDescriptor) {
    const std::size_t fds = open_descriptors();
    for (int i = 0; i < 3; ++i) {
        System sys = System::new_all();
        EXPECT_FALSE(sys.processes().empty());
        // This test process is one of the records, with its own thread.
        EXPECT_NE(sys.processes().find(static_cast<Pid>(::getpid())), sys.processes().end());
    }
    EXPECT_EQ(open_descriptors(), fds);
}

// A process's first scan raises the soft limit to the hard one, and leaves
// the budget it makes whole. The budget is made once per process, so this
// runs in a fresh image of this binary: the child sets its limits, then
// executes itself with the probe variable set, and the probe below scans the
// host and reports through the pipe before any test runs.
constexpr const char* PROBE_VARIABLE = "HOSTSTATS_BUDGET_PROBE_FD";

struct BudgetProbe {
    BudgetProbe() {
        const char* fd_text = std::getenv(PROBE_VARIABLE);
        if (fd_text == nullptr) return;
        const int fd = std::atoi(fd_text);
        (void)System::new_all();
        // The limits as the scan left them, before the budget is looked at.
        long long report[3] = {-1, -1, -1};
        rlimit after{};
        if (::getrlimit(RLIMIT_NOFILE, &after) == 0) {
            report[1] = static_cast<long long>(after.rlim_cur);
            report[2] = static_cast<long long>(after.rlim_max);
        }
        report[0] = hoststats::remaining_files().load();
        const ssize_t written = ::write(fd, report, sizeof report);
        ::_exit(written == static_cast<ssize_t>(sizeof report) ? 0 : 1);
    }
};
const BudgetProbe BUDGET_PROBE;

TEST(ProcessBudget, FirstUseRaisesTheSoftLimit) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe_fds[0]);
        const rlimit limits{1024, 4096};
        if (::setrlimit(RLIMIT_NOFILE, &limits) != 0) ::_exit(3);
        ::setenv(PROBE_VARIABLE, std::to_string(pipe_fds[1]).c_str(), 1);
        ::execl("/proc/self/exe", "test_process_probe", static_cast<char*>(nullptr));
        // ENOEXEC: the kernel cannot run this binary by itself, as under a
        // user-mode emulator without binfmt.
        ::_exit(errno == ENOEXEC ? 5 : 4);
    }
    ::close(pipe_fds[1]);
    long long report[3] = {0, 0, 0};
    const ssize_t got = ::read(pipe_fds[0], report, sizeof report);
    ::close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 5) GTEST_SKIP() << "this binary cannot start itself again here";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof report));
    EXPECT_EQ(report[0], 2048);  // half the hard limit, none of it drawn on
    EXPECT_EQ(report[1], 4096);  // the soft limit raised to it
    EXPECT_EQ(report[2], 4096);
}

}  // namespace
