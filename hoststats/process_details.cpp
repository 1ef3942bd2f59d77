// Per-process details (ids, links, argument and environment lists, memory,
// storage traffic) and the process-wide budget of kept-open "stat" files.
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "hoststats/process_files.hpp"
#include "hoststats/utils.hpp"

namespace hoststats {

// --- the open-file budget -----------------------------------------------------

namespace {

// Raises the soft limit on open files to the hard one and keeps half of
// whatever limit is then in force for "stat" files; the other half stays
// with the rest of the process.
std::int64_t initial_budget() noexcept {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return budget_from_limits(false, 0, 0, false);
    const std::uint64_t soft = limits.rlim_cur;
    limits.rlim_cur = limits.rlim_max;
    const bool raised = ::setrlimit(RLIMIT_NOFILE, &limits) == 0;
    return budget_from_limits(true, soft, limits.rlim_max, raised);
}

}  // namespace

std::atomic<std::int64_t>& remaining_files() noexcept {
    // A function-local static: the first caller initialises it, any other
    // thread arriving meanwhile waits for that.
    static std::atomic<std::int64_t> remaining{initial_budget()};
    return remaining;
}

std::optional<FileCounter> FileCounter::keep_or_close(Fd fd) noexcept {
    std::atomic<std::int64_t>& remaining = remaining_files();
    std::int64_t seen = remaining.load();
    do {
        if (seen < 1) return std::nullopt;  // `fd` closes on the way out
    } while (!remaining.compare_exchange_weak(seen, seen - 1));
    return FileCounter(std::move(fd));
}

FileCounter::FileCounter(FileCounter&& other) noexcept : fd_(std::move(other.fd_)) {}

FileCounter& FileCounter::operator=(FileCounter&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::move(other.fd_);
    }
    return *this;
}

FileCounter::~FileCounter() { release(); }

void FileCounter::release() noexcept {
    if (!fd_.valid()) return;
    // The budget goes back before the descriptor is closed, so a concurrent
    // scan may briefly keep one file more, never one less than allowed.
    remaining_files().fetch_add(1);
    fd_.reset();
}

// --- reading ------------------------------------------------------------------

namespace {

// Maps `bytes` of private memory left out of core dumps; nullptr on failure.
char* map_secret(std::size_t bytes) noexcept {
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    (void)::madvise(at, bytes, MADV_DONTDUMP);
    return static_cast<char*>(at);
}

std::size_t whole_pages(std::size_t bytes) noexcept {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

ReadBuffer::ReadBuffer(std::size_t initial_capacity)
    : data_(map_secret(whole_pages(initial_capacity))), capacity_(whole_pages(initial_capacity)) {
    if (data_ == nullptr) throw std::bad_alloc();
}

ReadBuffer::~ReadBuffer() {
    ::explicit_bzero(data_, written_);
    ::munmap(data_, capacity_);
}

bool ReadBuffer::grow() noexcept {
    // The kernel moves the pages rather than copying them, so no stale copy
    // of the text is left behind.
    const std::size_t wanted_bytes = capacity_ * 2;
    void* at = ::mremap(data_, capacity_, wanted_bytes, MREMAP_MAYMOVE);
    if (at == MAP_FAILED) return false;
    (void)::madvise(at, wanted_bytes, MADV_DONTDUMP);
    data_ = static_cast<char*>(at);
    capacity_ = wanted_bytes;
    return true;
}

int ReadBuffer::read_to_end(int fd) {
    size_ = 0;
    for (;;) {
        if (size_ == capacity_ && !grow()) {
            size_ = 0;
            return ENOMEM;
        }
        const ssize_t n = retry_interrupted(
            [&] { return ::read(fd, data_ + size_, capacity_ - size_); });
        if (n < 0) {
            const int err = errno;
            size_ = 0;
            return err;
        }
        // /proc hands out text in pieces; only a read of nothing is the end.
        if (n == 0) return 0;
        size_ += static_cast<std::size_t>(n);
        written_ = std::max(written_, size_);
    }
}

int ReadBuffer::read_file_at(int dirfd, const char* name) {
    Fd fd = open_read(dirfd, name);
    if (!fd.valid()) {
        size_ = 0;
        return errno != 0 ? errno : ENOENT;
    }
    return read_to_end(fd.get());
}

// --- detail readers -----------------------------------------------------------

void refresh_user_group_ids(Process& process, int dirfd, FieldPolicy policy,
                            ReadBuffer& scratch) {
    if (policy == FieldPolicy::Never) return;
    if (policy == FieldPolicy::IfMissing && process.uid) return;
    if (scratch.read_file_at(dirfd, "status") != 0) return;
    // Only the "Name:" line, which the process chooses, may hold bytes that
    // are not UTF-8; the "Uid:" and "Gid:" lines are ASCII. Requiring the
    // whole file to be text would let a process hide its ids by its name.
    const std::optional<UserGroupIds> ids = parse_status_ids(scratch.view());
    if (!ids) return;
    process.uid = ids->uid;
    process.euid = ids->euid;
    process.gid = ids->gid;
    process.egid = ids->egid;
}

bool wanted(FieldPolicy policy, bool present) noexcept {
    return policy == FieldPolicy::Always || (policy == FieldPolicy::IfMissing && !present);
}

void refresh_link(std::optional<RecordString>& field, std::pmr::memory_resource* memory,
                  int dirfd, const char* name, FieldPolicy policy) {
    if (!wanted(policy, field.has_value())) return;
    // A failed read keeps what an earlier scan found.
    const std::optional<std::string> target = realpath(dirfd, name);
    if (target) field.emplace(*target, memory);
}

void apply_exe(Process& process, const std::optional<std::string>& target) {
    if (!target) return;
    std::string exe = *target;
    strip_deleted_suffix(exe);
    process.exe.emplace(exe, process.memory());
}

ByteStringList copy_from_file(int dirfd, const char* name, ReadBuffer& scratch,
                              std::pmr::memory_resource* memory) {
    ByteStringList list(memory);
    if (scratch.read_file_at(dirfd, name) != 0) return list;
    const std::string_view bytes = scratch.view();
    if (bytes.empty()) return list;
    split_nul_list(bytes, list);
    return list;
}

void apply_list(ByteStringList& field, const ByteStringList& fresh) {
    // An empty read (a kernel thread, a process that just ended) keeps the
    // list an earlier scan found.
    if (!fresh.empty()) field = fresh;
}

void refresh_memory(Process& process, int dirfd, const StatFields& stat,
                    std::uint64_t page_size, ReadBuffer& scratch) {
    if (scratch.read_file_at(dirfd, "statm") == 0) {
        const StatmBytes bytes = parse_statm(scratch.view(), page_size);
        process.virtual_bytes = bytes.virtual_bytes;
        process.resident_bytes = bytes.resident_bytes;
        return;
    }
    // "stat" has the same figures: rss in pages, vsize already in bytes.
    process.resident_bytes = saturating_mul(stat.u64(22), page_size);
    process.virtual_bytes = stat.u64(21);
}

void refresh_disk_io(Process& process, int dirfd, ReadBuffer& scratch) {
    if (scratch.read_file_at(dirfd, "io") != 0) return;
    const std::string_view text = scratch.view();
    if (!is_text(text)) return;
    IoCounters io{process.read_bytes, process.written_bytes, process.prev_read_bytes,
                  process.prev_written_bytes};
    apply_io_text(text, io);
    process.read_bytes = io.read_bytes;
    process.written_bytes = io.written_bytes;
    process.prev_read_bytes = io.prev_read_bytes;
    process.prev_written_bytes = io.prev_written_bytes;
}

}  // namespace hoststats
