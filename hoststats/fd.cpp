#include "hoststats/fd.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace hoststats {

// --- descriptors ------------------------------------------------------------

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() { reset(); }

void Fd::reset() noexcept {
    if (fd_ >= 0) {
        // Not retried on EINTR: Linux has released the descriptor by then, and
        // a retry could close one that another thread just opened.
        ::close(fd_);
        fd_ = -1;
    }
}

// --- interrupted operations -------------------------------------------------

namespace {

thread_local InterruptCheck INTERRUPT_CHECK = nullptr;

Fd open_retrying(int dirfd, const char* path, int flags) {
    return Fd(retry_interrupted([&] { return ::openat(dirfd, path, flags); }));
}

}  // namespace

InterruptCheckScope::InterruptCheckScope(InterruptCheck check) noexcept
    : previous_(INTERRUPT_CHECK) {
    INTERRUPT_CHECK = check;
}

InterruptCheckScope::~InterruptCheckScope() { INTERRUPT_CHECK = previous_; }

void retry_after_interrupt() {
    // errno is the operation's own; the check may run code that changes it.
    const int saved = errno;
    check_between_entries();
    errno = saved;
}

void check_between_entries() {
    if (INTERRUPT_CHECK != nullptr && !INTERRUPT_CHECK()) throw Interrupted();
}

// --- opening ------------------------------------------------------------------

Fd open_read(int dirfd, const char* path) {
    return open_retrying(dirfd, path, O_RDONLY | O_CLOEXEC);
}

Fd open_dir(int dirfd, const char* path, bool path_only) {
    const int access = path_only ? O_PATH : O_RDONLY;
    return open_retrying(dirfd, path, access | O_DIRECTORY | O_CLOEXEC);
}

// --- reading ----------------------------------------------------------------

ssize_t read_some(int fd, char* into, std::size_t bytes) {
    return retry_interrupted([&] { return ::read(fd, into, bytes); });
}

}  // namespace hoststats
