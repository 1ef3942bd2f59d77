// A throw-away directory tree laid out like a host's /proc and /sys, for
// pointing the library at hand-made or copied files.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>

#include "hoststats/host_root.hpp"

namespace testing_support {

class FixtureTree {
public:
    FixtureTree();
    ~FixtureTree();
    FixtureTree(const FixtureTree&) = delete;
    FixtureTree& operator=(const FixtureTree&) = delete;

    // Writes `content` to <tree>/<relative>, creating parent directories.
    void write(std::string_view relative, std::string_view content) const;
    // Creates <tree>/<relative> as a symbolic link to `target`.
    void symlink(std::string_view relative, std::string_view target) const;
    void mkdir(std::string_view relative) const;
    // Makes <tree>/<relative> a FIFO whose writer, once a reader has opened
    // it, sleeps `hold` and then writes `content`: the reader's read sleeps
    // all that time. Join the thread returned. A reader that never comes
    // fails the test after 10 s rather than hanging it.
    [[nodiscard]] std::thread slow_fifo(std::string_view relative, std::chrono::nanoseconds hold,
                                        std::string content) const;
    // Removes a file or directory (tests run as root, so an unreadable mode
    // would not make a read fail; a missing file, or a directory in the
    // file's place, does).
    void remove(std::string_view relative) const;
    // Copies the contents of a file under the fixture directory of the
    // source tree to <tree>/<relative>.
    void copy_fixture(std::string_view fixture, std::string_view relative) const;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] hoststats::HostRoot root() const { return hoststats::HostRoot::under(path_); }

private:
    std::string path_;
};

// The text of a file under the source tree's tests/fixtures directory.
std::string read_fixture(std::string_view relative);

// How many descriptors this process has open, counted in /proc/self/fd.
std::size_t open_descriptors();

// The definition of the C library function `name` that comes after the
// test binary's own (the C library's, or a sanitizer's in front of it),
// looked up once into `slot`. Null where there is none to find, as in a
// static binary, and to a call made while the lookup runs: a lookup that
// fails may free memory, so call the very function being looked up.
[[nodiscard]] void* next_definition(std::atomic<void*>& slot, const char* name) noexcept;

}  // namespace testing_support
