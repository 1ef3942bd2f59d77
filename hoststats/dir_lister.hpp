// The listings of /proc and of a process's "task" directory, read with
// getdents64(2) into a buffer reused for every listing of the same kind.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>

#include "hoststats/process.hpp"

namespace hoststats {

// One record of a getdents64(2) listing as the kernel lays it out (its
// struct linux_dirent64): the fixed part, then the name, NUL-terminated,
// padded to the next record at d_reclen. Declared here rather than taken
// from a C library: glibc calls it dirent64, a name musl no longer declares.
struct linux_dirent64 {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;  // a DT_* value of <dirent.h>

    [[nodiscard]] const char* d_name() const noexcept {
        return reinterpret_cast<const char*>(this) + offsetof(linux_dirent64, d_type) + 1;
    }
};
static_assert(offsetof(linux_dirent64, d_type) + 1 == 19, "the kernel's name starts at byte 19");

// A directory listing read through getdents64 into a buffer reused for
// every listing of the same kind.
class DirLister {
public:
    explicit DirLister(std::pmr::memory_resource* memory)
        : buffer_(static_cast<char*>(memory->allocate(BUFFER_BYTES)), Release{memory}) {}

    // Calls fn(name, pid) for each entry that is a directory of its own (a
    // link to one does not count) and whose name is an id. Stops at the end
    // of the listing or at the first entry that cannot be read. `name` lives
    // until fn returns.
    template <class Fn>
    void list(int dirfd, Fn&& fn) {
        for (;;) {
            const ssize_t got = fill(dirfd);
            if (got <= 0) return;
            for (ssize_t off = 0; off < got;) {
                const auto* entry = reinterpret_cast<const linux_dirent64*>(buffer_.get() + off);
                off += entry->d_reclen;
                const std::optional<Pid> pid = filter_pid_entries(dirfd, *entry);
                if (pid) fn(entry->d_name(), *pid);
            }
        }
    }

private:
    static constexpr std::size_t BUFFER_BYTES = std::size_t{32} * 1024;  // bytes, some 1000 entries

    // The next records of the listing: their bytes, 0 at its end, or -1.
    ssize_t fill(int dirfd);
    static std::optional<Pid> filter_pid_entries(int dirfd, const linux_dirent64& entry);

    struct Release {
        std::pmr::memory_resource* memory;
        void operator()(char* p) const noexcept { memory->deallocate(p, BUFFER_BYTES); }
    };
    std::unique_ptr<char[], Release> buffer_;
};

}  // namespace hoststats
