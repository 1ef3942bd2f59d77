// Reading an entry's directory under /proc: the reusable read buffers of a
// scan, the files that every task of a thread group shares, the detail
// readers that fill a Process record from the other files beside "stat", and
// the process-wide open-file budget.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>

#include "hoststats/process.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/selection.hpp"

namespace hoststats {

// --- the open-file budget ---------------------------------------------------

// How many more "stat" files may be kept open, process-wide. Initialised on
// first use: the soft RLIMIT_NOFILE is raised to the hard limit, and the
// budget is half the limit that is then in force. The scan keeps no file
// open from one read to the next, so it draws nothing from the budget; every
// scan still initialises it, for the raise of the limit.
std::atomic<std::int64_t>& remaining_files() noexcept;

// --- reading ------------------------------------------------------------------

// One growable byte buffer reused for every file of a scan. It is mapped on
// its own, so that it goes back to the kernel with the scan; and as every
// process's environment passes through it, it is left out of core dumps and
// wiped before it is unmapped. Where the kernel refuses to leave it out of
// dumps, no environment may pass through it (`dump_excluded`).
class ReadBuffer {
public:
    explicit ReadBuffer(std::size_t initial_capacity = 64 * 1024);
    ~ReadBuffer();
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    // Reads fd from its current offset to the end, replacing the content.
    // Returns 0 or the errno of the failing read (content emptied then).
    int read_to_end(int fd);
    // Opens `name` relative to dirfd, reads it whole and closes it.
    int read_file_at(int dirfd, const char* name);

    [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }
    // Whether all of the buffer is left out of core dumps.
    [[nodiscard]] bool dump_excluded() const noexcept { return dump_excluded_; }

private:
    bool grow() noexcept;
    char* data_;
    std::size_t capacity_;    // bytes, a multiple of the page size
    std::size_t size_ = 0;    // bytes
    std::size_t written_ = 0;  // bytes ever written, to be wiped
    bool dump_excluded_ = true;
};

// The host's figures and the selection a scan works with, and its scratch
// space.
struct ScanContext {
    HostClock host;
    ProcessSelection selection;
    ReadBuffer stat_buffer;  // the entry's "stat", parsed fields point into it
    ReadBuffer scratch;      // every other file
};

// What all tasks of one thread group read alike: the files of the address
// space they share ("cmdline", "environ", the "exe" link). Each is read by
// the first entry of the group that wants it and handed to the others, so a
// process of a thousand threads costs one read and one copy, not a thousand.
// Only what was found is handed on: an entry whose read fails or comes back
// empty (a thread that ended, a leader that exited before its threads)
// leaves the next one to read its own.
class SharedSpace {
public:
    // Lists come from `records`, environments from `secrets`.
    SharedSpace(std::pmr::memory_resource* records, std::pmr::memory_resource* secrets)
        : cmdline_(records), environ_(secrets), records_(records), secrets_(secrets) {}

    // A new thread group.
    void reset() noexcept;

    const std::optional<std::string>& exe(int dirfd);
    const ByteStringList& cmdline(int dirfd, ReadBuffer& scratch);
    const ByteStringList& environ(int dirfd, ReadBuffer& scratch);

private:
    std::optional<std::string> exe_;
    ByteStringList cmdline_;
    ByteStringList environ_;
    std::pmr::memory_resource* records_;
    std::pmr::memory_resource* secrets_;
    bool environ_refused_ = false;  // for the scan: environments cannot be kept
};

// The ids of "status", when `policy` asks for them.
void refresh_user_group_ids(Process& process, int dirfd, FieldPolicy policy,
                            ReadBuffer& scratch);

// Refreshes a record from its directory `dirfd` and its parsed "stat": the
// parent (`parent_pid` when given and not 0, else the "stat" field), the
// state, every detail the selection asks for, and the CPU times; marks it
// updated. `space` holds the thread group's shared files.
void update_proc_info(Process& process, std::optional<Pid> parent_pid, const StatFields& stat,
                      int dirfd, ScanContext& ctx, SharedSpace& space);

}  // namespace hoststats
