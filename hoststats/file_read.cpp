#include "hoststats/file_read.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>

#include "hoststats/text.hpp"

namespace hoststats {

// --- whole-file reads -------------------------------------------------------

namespace {

// Makes `out` `size` bytes long, keeping its first `keep` bytes. Growing
// past its capacity takes a new allocation of about `size` bytes: the
// string's own growth allocates at least twice the old capacity when asked
// for less (libstdc++: the last step, cut short at the ceiling, took a read
// of an endless file from a hint of 3,000 bytes to 98,304,000) and rounds
// every step up (libc++: 68,157,439 from no hint), past the ceiling either
// way.
void resize_keeping(std::string& out, std::size_t keep, std::size_t size) {
    if (size > out.capacity()) {
        std::string grown;
        grown.reserve(size);
        grown.append(out, 0, keep);
        out.swap(grown);
    }
    out.resize(size);
}

}  // namespace

int get_all_data_from_file(int fd, std::string& out, std::size_t size_hint) {
    // The caller's buffer is reused from file to file: clear() and resize()
    // keep its capacity, so the hint only allocates while the buffer is
    // smaller. Only the first `size_hint` bytes are zeroed before the read,
    // not the whole of a buffer that an earlier large file grew.
    out.clear();
    if (::lseek(fd, 0, SEEK_SET) < 0) return errno;

    constexpr std::size_t MIN_ROOM = 512;  // bytes
    resize_keeping(out, 0, std::clamp(size_hint, MIN_ROOM, LONGEST_WHOLE_FILE));
    std::size_t used = 0;
    const int err = read_until_end(fd, used, [&out](std::size_t filled) {
        if (filled == out.size()) {
            // Below the longest file here: the loop reads the byte past it
            // apart.
            resize_keeping(out, filled, std::min(filled * 2, LONGEST_WHOLE_FILE));
        }
        return std::span<char>(out.data() + filled, out.size() - filled);
    });
    out.resize(err == 0 ? used : 0);
    return err;
}

int get_all_utf8_data_from_file(int fd, std::string& out, std::size_t size_hint) {
    int err = get_all_data_from_file(fd, out, size_hint);
    if (err != 0) return err;
    if (!is_valid_utf8(out)) {
        out.clear();
        return EILSEQ;
    }
    return 0;
}

namespace {

int read_file_with(int (*read_whole)(int, std::string&, std::size_t), int dirfd,
                   const char* path, std::string& out, std::size_t size_hint) {
    const Fd fd = open_read(dirfd, path);
    if (!fd.valid()) {
        out.clear();
        return errno;
    }
    return read_whole(fd.get(), out, size_hint);
}

}  // namespace

int read_file(int dirfd, const char* path, std::string& out, std::size_t size_hint) {
    return read_file_with(&get_all_data_from_file, dirfd, path, out, size_hint);
}

int read_utf8_file(int dirfd, const char* path, std::string& out, std::size_t size_hint) {
    return read_file_with(&get_all_utf8_data_from_file, dirfd, path, out, size_hint);
}

bool LinkTarget::read(int dirfd, const char* path) {
    const ssize_t n = retry_interrupted([&] { return ::readlinkat(dirfd, path, bytes_.data(), bytes_.size()); });
    const bool whole = n >= 0 && static_cast<std::size_t>(n) < bytes_.size();
    size_ = whole ? static_cast<std::size_t>(n) : 0;
    return whole;
}

std::optional<std::string> realpath(int dirfd, const char* path) {
    LinkTarget target;
    if (!target.read(dirfd, path)) return std::nullopt;
    return std::string(target.view());
}

std::optional<std::string> realpath(const std::string& path) {
    return realpath(AT_FDCWD, path.c_str());
}

}  // namespace hoststats
