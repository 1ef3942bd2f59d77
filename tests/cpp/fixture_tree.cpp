#include "fixture_tree.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "hoststats/fd.hpp"

namespace fs = std::filesystem;

namespace testing_support {

FixtureTree::FixtureTree() {
    std::string templ = (fs::temp_directory_path() / "hoststats-fixture-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

std::thread FixtureTree::slow_fifo(std::string_view relative, std::chrono::nanoseconds hold,
                                   std::string content) const {
    const std::string path = (fs::path(path_) / relative).string();
    fs::create_directories(fs::path(path).parent_path());
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
    return std::thread([path, hold, content = std::move(content)] {
        // Without a reader, a non-blocking open fails: polled.
        hoststats::Fd writer;
        for (int tries = 0; tries < 10000 && !writer.valid(); ++tries) {
            writer = hoststats::Fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            if (!writer.valid()) ::usleep(1000);
        }
        ASSERT_TRUE(writer.valid()) << "nothing opened " << path;
        std::this_thread::sleep_for(hold);
        EXPECT_EQ(::write(writer.get(), content.data(), content.size()),
                  static_cast<ssize_t>(content.size()));
    });
}

FixtureTree::~FixtureTree() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void FixtureTree::write(std::string_view relative, std::string_view content) const {
    fs::path p = fs::path(path_) / relative;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write fixture " + p.string());
}

void FixtureTree::symlink(std::string_view relative, std::string_view target) const {
    fs::path p = fs::path(path_) / relative;
    fs::create_directories(p.parent_path());
    fs::create_symlink(fs::path(target), p);
}

void FixtureTree::mkdir(std::string_view relative) const {
    fs::create_directories(fs::path(path_) / relative);
}

void FixtureTree::remove(std::string_view relative) const {
    fs::remove_all(fs::path(path_) / relative);
}

void FixtureTree::copy_fixture(std::string_view fixture, std::string_view relative) const {
    write(relative, read_fixture(fixture));
}

std::string read_fixture(std::string_view relative) {
    fs::path p = fs::path(PELLUN_FIXTURES) / relative;
    std::ifstream in(p, std::ios::binary);
    if (!in) throw std::runtime_error("missing fixture " + p.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) throw std::runtime_error("cannot list /proc/self/fd");
    while (::readdir(dir) != nullptr) ++n;
    ::closedir(dir);
    return n;
}

namespace {
char no_definition;                // what a slot holds once a lookup found none
thread_local bool looking = false;  // a lookup runs on this thread
}  // namespace

void* next_definition(std::atomic<void*>& slot, const char* name) noexcept {
    void* found = slot.load(std::memory_order_acquire);
    if (found == nullptr) {
        if (looking) return nullptr;
        looking = true;
        found = ::dlsym(RTLD_NEXT, name);
        looking = false;
        if (found == nullptr) found = &no_definition;
        slot.store(found, std::memory_order_release);
    }
    return found == &no_definition ? nullptr : found;
}

}  // namespace testing_support
