// The pieces of a scan that read an entry's directory, on hand-made trees:
// the one reading of "status", the files a thread group shares, and the
// budget of kept argument and environment lists.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fixture_tree.hpp"
#include "hoststats/arena.hpp"
#include "hoststats/fd.hpp"
#include "hoststats/list_budget.hpp"
#include "hoststats/pages.hpp"
#include "hoststats/process_details.hpp"
#include "hoststats/shared_space.hpp"

namespace {

// While set, the kernel is made to refuse leaving memory out of core dumps,
// as a seccomp profile that denies madvise would.
std::atomic<bool> refuse_dump_exclusion{false};

// While set, every range about to be unmapped is searched for this text,
// and the ranges that still hold it are counted.
std::atomic<const char*> unwiped_text{nullptr};
std::atomic<int> unmapped_unwiped{0};

}  // namespace

// Declared as the C library declares it: glibc's C++ declarations promise
// not to throw, musl's promise nothing, and a redeclaration must agree.
#if defined(__GLIBC__)
#define LIBC_NOEXCEPT noexcept
#else
#define LIBC_NOEXCEPT
#endif

extern "C" int madvise(void* at, std::size_t bytes, int advice) LIBC_NOEXCEPT {
    if (advice == MADV_DONTDUMP && refuse_dump_exclusion.load()) {
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_madvise, at, bytes, advice));
}

extern "C" int munmap(void* at, std::size_t bytes) LIBC_NOEXCEPT {
    if (const char* text = unwiped_text.load(); text != nullptr) {
        const std::string_view range(static_cast<const char*>(at), bytes);
        if (range.find(text) != std::string_view::npos) ++unmapped_unwiped;
    }
    // The next definition, which a sanitizer's tracks what is unmapped by;
    // the kernel itself where there is none.
    static std::atomic<void*> slot{nullptr};
    if (void* next = testing_support::next_definition(slot, "munmap"); next != nullptr) {
        return reinterpret_cast<int (*)(void*, std::size_t)>(next)(at, bytes);
    }
    return static_cast<int>(::syscall(SYS_munmap, at, bytes));
}

namespace {

using hoststats::ByteStringList;
using hoststats::DumpExclusionRefused;
using hoststats::EntryStatus;
using hoststats::Fd;
using hoststats::ListBudget;
using hoststats::ReadBuffer;
using hoststats::SharedSpace;
using testing_support::FixtureTree;
using Strings = std::vector<std::string>;

std::pmr::memory_resource* heap() { return std::pmr::new_delete_resource(); }

// Counts the opens of the given files from the moment it is made.
class OpenCount {
public:
    explicit OpenCount(const std::vector<std::string>& paths)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(fd_.get(), 0);
        for (const std::string& path : paths) {
            EXPECT_GE(::inotify_add_watch(fd_.get(), path.c_str(), IN_OPEN), 0) << path;
        }
    }
    [[nodiscard]] int opens() {
        alignas(inotify_event) char events[4096];
        for (ssize_t got; (got = ::read(fd_.get(), events, sizeof events)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                opens_ += (event->mask & IN_OPEN) != 0 ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return opens_;
    }

private:
    Fd fd_;
    int opens_ = 0;
};

// An entry's directory, opened as the scan opens it.
Fd entry(const FixtureTree& tree, const std::string& relative) {
    Fd dir = hoststats::open_dir(AT_FDCWD, (tree.path() + "/" + relative).c_str(), true);
    EXPECT_TRUE(dir.valid()) << relative;
    return dir;
}

// --- the budget of kept lists ---------------------------------------------------

TEST(ListBudget, TakesWhatFitsAndEndsAtTheFirstListThatDoesNot) {
    ListBudget exact(10);
    EXPECT_TRUE(exact.take(4));
    EXPECT_TRUE(exact.take(6));  // the last byte fits as well
    EXPECT_FALSE(exact.spent());
    EXPECT_FALSE(exact.take(1));
    EXPECT_TRUE(exact.spent());

    // Once a list does not fit, a smaller one after it is refused as well:
    // which lists a scan keeps must not depend on their order by size.
    ListBudget budget(10);
    EXPECT_FALSE(budget.take(11));
    EXPECT_TRUE(budget.spent());
    EXPECT_FALSE(budget.take(1));
    EXPECT_FALSE(budget.take(0));
}

TEST(ListBudget, ReadsThatSleptEndTheListsAndLeaveTheLinks) {
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    // A long read during which the thread never slept lost its time to
    // other programs, not to a lock: it is no wait.
    ListBudget preempted(1 << 20);
    preempted.charge_read(std::chrono::seconds(1), false);
    EXPECT_FALSE(preempted.spent());

    // A read that slept waited for what it took past 0.1 ms, and a scan's
    // waits end its lists once they come to 20 ms. The figures are spelled
    // out: a grace or a bound off by a microsecond either way fails here.
    ListBudget budget(1 << 20);
    budget.charge_read(microseconds(100), true);  // within the grace: nothing waited
    EXPECT_FALSE(budget.spent());
    budget.charge_read(microseconds(100) + milliseconds(20) - microseconds(1), true);
    EXPECT_FALSE(budget.spent());
    budget.charge_read(microseconds(101), true);
    EXPECT_TRUE(budget.spent()) << "the waits reached their bound";
    // Link targets wait on no other process, and are still kept.
    EXPECT_TRUE(budget.take(100));
}

TEST(ListBudget, OnlyASleepDuringTheReadMakesItAWait) {
    // Timed by the real clock against a bound below the read's time: a
    // sleep before the read began (elsewhere in the scan) does not make a
    // read that ran through a wait, and a sleep during it does.
    const auto spin = [](std::chrono::microseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
        }
    };
    ListBudget budget(1 << 20, std::chrono::microseconds(200));
    const ListBudget::ReadStart slept = ListBudget::read_starts();
    ::usleep(1000);
    budget.charge_read(slept);
    EXPECT_TRUE(budget.waited_out());
    // After that sleep, later reads count their own sleeps: one that ran
    // through is no wait, whatever the thread did before it began.
    // The spin can still be put to sleep by the machine (under an
    // emulator, by its own threads): one of a few tries must run through.
    bool charged_every_try = true;
    for (int attempt = 0; attempt < 5 && charged_every_try; ++attempt) {
        ListBudget before(1 << 20, std::chrono::microseconds(200));
        ::usleep(1000);
        const ListBudget::ReadStart ran_through = ListBudget::read_starts();
        spin(std::chrono::milliseconds(2));
        before.charge_read(ran_through);
        charged_every_try = before.spent();
    }
    EXPECT_FALSE(charged_every_try) << "a sleep before the read was charged to it";
}

// --- the thread group's shared files ----------------------------------------------

class GroupTree : public FixtureTree {
public:
    // A thread group's files at `dir`, each naming `tag`.
    void add_space(const std::string& dir, const std::string& tag) const {
        write(dir + "/cmdline", "/bin/" + tag + std::string("\0--run\0", 7));
        write(dir + "/environ", "WHO=" + tag + std::string("\0", 1));
        write(dir + "/statm", "300 20 0 0 0 0 0\n");
        symlink(dir + "/exe", "/usr/bin/" + tag);
    }
};

TEST(ThreadGroupFiles, EachFileTriedOnceWhateverCameOfIt) {
    GroupTree tree;
    tree.add_space("proc/10", "leader");
    tree.add_space("proc/10/task/11", "thread");
    tree.mkdir("proc/20");  // nothing readable
    ListBudget budget(1 << 20);
    ReadBuffer scratch;
    SharedSpace space(heap(), heap(), budget);

    const Fd leader = entry(tree, "proc/10");
    EXPECT_EQ(space.cmdline(leader.get(), scratch).to_vector(), (Strings{"/bin/leader", "--run"}));
    EXPECT_EQ(space.environ(leader.get(), scratch).to_vector(), Strings{"WHO=leader"});
    EXPECT_EQ(space.exe(leader.get()), "/usr/bin/leader");
    const hoststats::StatmBytes* statm = space.statm(leader.get(), scratch, 4096);
    ASSERT_NE(statm, nullptr);
    EXPECT_EQ(statm->virtual_bytes, 300u * 4096u);
    EXPECT_EQ(statm->resident_bytes, 20u * 4096u);

    // Another task of the group gets the group's files, not its own.
    const Fd thread = entry(tree, "proc/10/task/11");
    EXPECT_EQ(space.cmdline(thread.get(), scratch).to_vector(), (Strings{"/bin/leader", "--run"}));
    EXPECT_EQ(space.environ(thread.get(), scratch).to_vector(), Strings{"WHO=leader"});
    EXPECT_EQ(space.exe(thread.get()), "/usr/bin/leader");
    EXPECT_EQ(space.statm(thread.get(), scratch, 4096), statm);

    // A new group reads again; what failed for the group stays failed,
    // even once the file can be read.
    space.reset();
    const Fd empty = entry(tree, "proc/20");
    EXPECT_TRUE(space.cmdline(empty.get(), scratch).empty());
    EXPECT_TRUE(space.environ(empty.get(), scratch).empty());
    EXPECT_FALSE(space.exe(empty.get()).has_value());
    EXPECT_EQ(space.statm(empty.get(), scratch, 4096), nullptr);
    tree.add_space("proc/20", "late");
    EXPECT_TRUE(space.cmdline(empty.get(), scratch).empty());
    EXPECT_TRUE(space.environ(empty.get(), scratch).empty());
    EXPECT_FALSE(space.exe(empty.get()).has_value());
    EXPECT_EQ(space.statm(empty.get(), scratch, 4096), nullptr);
    space.reset();
    EXPECT_EQ(space.cmdline(empty.get(), scratch).to_vector(), (Strings{"/bin/late", "--run"}));
    EXPECT_EQ(space.exe(empty.get()), "/usr/bin/late");
    EXPECT_NE(space.statm(empty.get(), scratch, 4096), nullptr);

    // Link targets are kept once: the group's executable, and each task's
    // "cwd" and "root" while they equal the ones kept last.
    tree.symlink("proc/10/cwd", "/srv/a");
    tree.symlink("proc/10/task/11/cwd", "/srv/a");
    tree.symlink("proc/10/task/12/cwd", "/srv/b");
    tree.symlink("proc/10/task/11/root", "/");
    space.reset();
    const std::optional<hoststats::SharedText> exe = space.exe(leader.get());
    const std::optional<hoststats::SharedText> first = space.cwd(leader.get());
    const std::optional<hoststats::SharedText> same = space.cwd(thread.get());
    const std::optional<hoststats::SharedText> other = space.cwd(entry(tree, "proc/10/task/12").get());
    ASSERT_TRUE(exe && first && same && other);
    const std::optional<hoststats::SharedText>& exe_again = space.exe(thread.get());
    ASSERT_TRUE(exe_again);
    EXPECT_TRUE(exe_again->shares_with(*exe));
    EXPECT_EQ(*same, "/srv/a");
    EXPECT_TRUE(same->shares_with(*first));
    EXPECT_EQ(*other, "/srv/b");
    EXPECT_FALSE(other->shares_with(*first));
    EXPECT_EQ(space.root(thread.get()), "/");
    EXPECT_FALSE(space.root(leader.get()).has_value());

    // An address space of its own starts with nothing tried, and leaves the
    // group's files as they were.
    SharedSpace own = space.own_space();
    EXPECT_EQ(own.cmdline(thread.get(), scratch).to_vector(), (Strings{"/bin/thread", "--run"}));
    EXPECT_EQ(own.exe(thread.get()), "/usr/bin/thread");
    EXPECT_EQ(space.cmdline(empty.get(), scratch).to_vector(), (Strings{"/bin/late", "--run"}));
}

TEST(ThreadGroupFiles, TheListBudgetCountsTheBytesRead) {
    // Ten bytes read, of which two letters are kept: the blanks cost too,
    // since the budget bounds the reading as well as what is kept.
    GroupTree tree;
    tree.write("proc/30/cmdline", std::string("a\0 b \0\0\0\0\0", 10));
    tree.write("proc/31/cmdline", std::string("c\0", 2));
    tree.write("proc/31/environ", std::string("D=1\0", 4));
    const Fd padded = entry(tree, "proc/30");
    const Fd small = entry(tree, "proc/31");
    ReadBuffer scratch;

    ListBudget short_by_one(9);
    SharedSpace refused(heap(), heap(), short_by_one);
    EXPECT_TRUE(refused.cmdline(padded.get(), scratch).empty());
    EXPECT_TRUE(short_by_one.spent());

    ListBudget exact(10);
    SharedSpace space(heap(), heap(), exact);
    EXPECT_EQ(space.cmdline(padded.get(), scratch).to_vector(), (Strings{"a", "b"}));
    // Nothing is left for the next group, nor for an own address space.
    space.reset();
    EXPECT_TRUE(space.cmdline(small.get(), scratch).empty());
    EXPECT_TRUE(space.own_space().environ(small.get(), scratch).empty());

    // Lists share one budget: the environment counts as the command line does.
    ListBudget both(6);
    SharedSpace shared(heap(), heap(), both);
    EXPECT_EQ(shared.cmdline(small.get(), scratch).to_vector(), Strings{"c"});
    EXPECT_EQ(shared.environ(small.get(), scratch).to_vector(), Strings{"D=1"});
    EXPECT_FALSE(both.take(1));

    // So do link targets: a 20-byte working directory takes all of 20
    // bytes, and is not kept at all in 10.
    const std::string workdir = "/srv/" + std::string(15, 'w');
    tree.symlink("proc/32/cwd", workdir);
    const Fd linked = entry(tree, "proc/32");
    ListBudget twenty(20);
    EXPECT_EQ(SharedSpace(heap(), heap(), twenty).cwd(linked.get()), workdir);
    EXPECT_FALSE(twenty.take(1));
    ListBudget ten(10);
    EXPECT_FALSE(SharedSpace(heap(), heap(), ten).cwd(linked.get()).has_value());
    EXPECT_TRUE(ten.spent());
}

TEST(ThreadGroupFiles, NoEnvironmentWhereTheReadBufferCannotBeLeftOutOfDumps) {
    // Another process's environment may only pass through memory that a
    // core dump leaves out. Where the kernel refuses that, environments
    // stay empty; the command lines are still read.
    GroupTree tree;
    tree.add_space("proc/40", "first");
    tree.add_space("proc/41", "second");
    tree.write("proc/41/environ", "BIG=" + std::string(std::size_t{200} * 1024, 'x') + std::string("\0", 1));
    const Fd first = entry(tree, "proc/40");
    const Fd second = entry(tree, "proc/41");
    ListBudget budget(1 << 20);

    constexpr auto SECRET = ReadBuffer::Contents::Secret;
    refuse_dump_exclusion = true;
    ReadBuffer unprotected;
    refuse_dump_exclusion = false;
    ASSERT_THROW(unprotected.read_file_at(first.get(), "environ", SECRET),
                 DumpExclusionRefused);
    SharedSpace space(heap(), heap(), budget);
    OpenCount environ_opens({tree.path() + "/proc/40/environ", tree.path() + "/proc/41/environ"});
    EXPECT_EQ(space.cmdline(first.get(), unprotected).to_vector(), (Strings{"/bin/first", "--run"}));
    EXPECT_TRUE(space.environ(first.get(), unprotected).empty());
    space.reset();
    EXPECT_TRUE(space.environ(second.get(), unprotected).empty());
    EXPECT_EQ(environ_opens.opens(), 0) << "an environment was opened, not refused first";

    // A buffer left out of dumps at first, refused as it grows for a large
    // environment: that environment is dropped, and no later one is read.
    ReadBuffer protected_at_first(4096);
    ASSERT_EQ(protected_at_first.read_file_at(first.get(), "environ", SECRET), 0);
    SharedSpace grown(heap(), heap(), budget);
    refuse_dump_exclusion = true;
    EXPECT_TRUE(grown.environ(second.get(), protected_at_first).empty());
    refuse_dump_exclusion = false;
    EXPECT_EQ(protected_at_first.view().find("BIG="), std::string_view::npos);
    EXPECT_THROW(protected_at_first.read_file_at(first.get(), "environ", SECRET),
                 DumpExclusionRefused);
    grown.reset();
    EXPECT_TRUE(grown.environ(first.get(), protected_at_first).empty());

    // A read refused as it grew may have slept on the way, and is charged
    // to the waits like any other.
    std::thread writer = tree.slow_fifo("proc/42/environ", std::chrono::milliseconds(2),
                                        "SLOW=" + std::string(std::size_t{3} * 4096, 's'));
    ListBudget waits(1 << 20, std::chrono::microseconds(500));
    SharedSpace slow(heap(), heap(), waits);
    ReadBuffer small(4096);
    refuse_dump_exclusion = true;
    EXPECT_TRUE(slow.environ(entry(tree, "proc/42").get(), small).empty());
    refuse_dump_exclusion = false;
    writer.join();
    EXPECT_TRUE(waits.waited_out());
}

TEST(ThreadGroupFiles, EnvironmentsAreWipedBeforeTheirPagesGo) {
    GroupTree tree;
    tree.add_space("proc/45", "wiped");
    tree.write("proc/45/environ", std::string("TOKEN=not-for-the-next-mapping\0", 31));
    const Fd dir = entry(tree, "proc/45");
    ListBudget budget(1 << 20);
    unmapped_unwiped = 0;
    {
        ReadBuffer scratch;
        hoststats::Arena secrets(hoststats::Arena::Kind::Secret);
        SharedSpace space(heap(), &secrets, budget);
        ASSERT_EQ(space.environ(dir.get(), scratch).to_vector().size(), 1u);
        unwiped_text = "TOKEN=not-for";
    }  // the list's arena and the read buffer go here
    unwiped_text = nullptr;
    EXPECT_EQ(unmapped_unwiped.load(), 0) << "pages unmapped with the environment still in them";
}

// --- the one reading of "status" ---------------------------------------------------

TEST(EntryStatusReading, ReadOnceWhateverCameOfIt) {
    FixtureTree tree;
    const std::string ids = "Uid:\t1\t2\t1\t1\nGid:\t3\t4\t3\t3\n";
    // A name that is not UTF-8 hides neither the thread-group id nor the ids.
    tree.write("proc/50/status",
               "Name:\t\\\\a\\nb \xff\xfe\nState:\tD (disk sleep)\nTgid:\t49\nPPid:\t7\n" + ids);
    tree.mkdir("proc/51");
    const Fd read = entry(tree, "proc/50");
    const Fd missing = entry(tree, "proc/51");
    ReadBuffer scratch;

    const auto everything = hoststats::ProcessSelection::everything();
    EntryStatus status;
    status.read_once(read.get(), scratch, everything, /*caller=*/1);
    EXPECT_TRUE(status.tried);
    EXPECT_EQ(status.tgid, 49);
    ASSERT_TRUE(status.ids.has_value());
    EXPECT_EQ(status.ids->euid, 2u);
    EXPECT_EQ(status.ids->egid, 4u);
    EXPECT_EQ(status.uids, (hoststats::UserIds{1, 2, 1, 1}));
    EXPECT_FALSE(status.trusted);  // the effective id is another user's
    // What stands in for "stat": the name as it was before the kernel
    // escaped it, the state and the parent, and no times.
    hoststats::StatFields stat;
    ASSERT_TRUE(status.stat_stand_in(stat));
    EXPECT_TRUE(stat.from_status);
    EXPECT_EQ(stat.name, "\\a\nb \xff\xfe");
    EXPECT_EQ(stat.field(hoststats::StatFields::STATE), "D (disk sleep)");
    EXPECT_EQ(stat.u64(hoststats::StatFields::PPID), 7u);
    EXPECT_EQ(stat.u64(hoststats::StatFields::UTIME), 0u);
    EXPECT_EQ(stat.u64(hoststats::StatFields::STARTTIME), 0u);
    // The entry's later needs take that reading: ids and thread-group id
    // tell of one instant.
    tree.write("proc/50/status", "Name:\tx\nTgid:\t50\nUid:\t9\t9\t9\t9\nGid:\t9\t9\t9\t9\n");
    status.read_once(read.get(), scratch, everything, 1);
    EXPECT_EQ(status.tgid, 49);
    EXPECT_EQ(status.ids->uid, 1u);

    EntryStatus failed;
    failed.read_once(missing.get(), scratch, everything, 1);
    EXPECT_TRUE(failed.tried);
    EXPECT_FALSE(failed.tgid || failed.ids || failed.trusted);
    EXPECT_FALSE(failed.stat_stand_in(stat));
    tree.write("proc/51/status", "Tgid:\t51\n" + ids);
    failed.read_once(missing.get(), scratch, everything, 1);
    EXPECT_FALSE(failed.tgid || failed.ids);
}

}  // namespace
