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
#include <string>
#include <thread>

#include "fixture_tree.hpp"
#include "hoststats/file_read.hpp"
#include "hoststats/read_buffer.hpp"

using namespace hoststats;
using testing_support::FixtureTree;
using testing_support::open_descriptors;

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
