#include "hoststats/read_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>

#include "hoststats/file_read.hpp"
#include "hoststats/pages.hpp"

namespace hoststats {

ReadBuffer::ReadBuffer(std::size_t initial_capacity)
    : data_(pages::map(pages::whole(initial_capacity))), capacity_(pages::whole(initial_capacity)) {
    if (data_ == nullptr) throw std::bad_alloc();
    dump_excluded_ = pages::exclude_from_dumps(data_, capacity_);
}

ReadBuffer::~ReadBuffer() { pages::unmap(data_, capacity_, written_); }

bool ReadBuffer::grow() noexcept {
    const std::size_t wanted_bytes = capacity_ * 2;
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not see mremap(2) move pages: the range left
    // behind keeps its history, and another thread's buffer mapped there
    // later reads as a race with this one. Under it the buffer grows by a
    // copy, the old pages wiped and unmapped as at the end of a scan.
    char* at = pages::map(wanted_bytes);
    if (at == nullptr) return false;
    std::memcpy(at, data_, capacity_);
    pages::unmap(data_, capacity_, capacity_);  // full: it grows only then
#else
    // The kernel moves the pages rather than copying them, so no stale copy
    // of the text is left behind.
    void* at = ::mremap(data_, capacity_, wanted_bytes, MREMAP_MAYMOVE);
    if (at == MAP_FAILED) return false;
#endif
    dump_excluded_ = dump_excluded_ && pages::exclude_from_dumps(at, wanted_bytes);
    data_ = static_cast<char*>(at);
    capacity_ = wanted_bytes;
    return true;
}

int ReadBuffer::read_to_end(int fd) {
    const auto more_room = [this](std::size_t used) {
        if (used == capacity_ && !grow()) return std::span<char>();
        return std::span<char>(data_ + used, capacity_ - used);
    };
    const int err = read_until_end(fd, size_, more_room, FileEnd::ShortRead);
    written_ = std::max(written_, size_);
    if (err != 0) size_ = 0;
    return err;
}

int ReadBuffer::read_file_at(int dirfd, const char* name, Contents contents) {
    const bool secret = contents == Contents::Secret;
    if (secret && !dump_excluded_) {
        size_ = 0;
        throw DumpExclusionRefused();
    }
    Fd fd = open_read(dirfd, name);
    if (!fd.valid()) {
        size_ = 0;
        return errno != 0 ? errno : ENOENT;
    }
    const int err = read_to_end(fd.get());
    if (secret && !dump_excluded_) {  // refused as the buffer grew
        size_ = 0;
        throw DumpExclusionRefused();
    }
    return err;
}

}  // namespace hoststats
