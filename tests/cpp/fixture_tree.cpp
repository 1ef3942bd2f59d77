#include "fixture_tree.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {

FixtureTree::FixtureTree() {
    std::string templ = (fs::temp_directory_path() / "hoststats-fixture-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
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

}  // namespace testing_support
