// The buffer that a scan reads the files of every process's directory into.
#pragma once

#include <cstddef>
#include <string_view>

namespace hoststats {

// One growable byte buffer reused for every file of a scan. It is mapped on
// its own, so that it goes back to the kernel with the scan; and as every
// process's environment passes through it, it is left out of core dumps and
// wiped before it is unmapped. Where the kernel refuses to leave it out of
// dumps, no environment may pass through it: a secret read throws
// DumpExclusionRefused, as a secret arena does.
class ReadBuffer {
public:
    // What a file holds: anything, or secrets (another process's
    // environment), which may only pass through memory left out of dumps.
    enum class Contents { Plain, Secret };

    explicit ReadBuffer(std::size_t initial_capacity = std::size_t{64} * 1024);
    ~ReadBuffer();
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    // Reads fd from its current offset to the end, replacing the content.
    // Made for the files of a process's directory: a read that does not
    // fill the room it was offered ends the file (FileEnd::ShortRead).
    // Returns 0 or the errno of the failing read (content emptied then).
    int read_to_end(int fd);
    // Opens `name` relative to dirfd, reads it whole and closes it. Secret
    // contents where the buffer is not left out of core dumps throw
    // DumpExclusionRefused, content emptied: before the file is opened, or
    // once it is read when the room it grew into could not be left out.
    // Every later secret read then throws too.
    int read_file_at(int dirfd, const char* name, Contents contents = Contents::Plain);

    [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }

private:
    bool grow() noexcept;
    char* data_;
    std::size_t capacity_;    // bytes, a multiple of the page size
    std::size_t size_ = 0;    // bytes
    std::size_t written_ = 0;  // bytes ever written, to be wiped
    bool dump_excluded_ = true;  // all of the buffer is left out of core dumps
};

}  // namespace hoststats
