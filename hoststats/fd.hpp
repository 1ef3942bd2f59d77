// File descriptors: owned, opened and read with every interruption by a
// signal retried, or refused by the check the snapshot's builder installed.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <exception>

namespace hoststats {

// An owned file descriptor, closed on destruction.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() noexcept;

private:
    int fd_ = -1;
};

// --- interrupted operations -------------------------------------------------
// A file operation that a signal interrupts (EINTR) is retried. Whoever
// builds a snapshot may install a check on its thread for the time of the
// build; it runs at every interruption and decides whether the operation is
// retried, and the process scan runs it between entries too, since most
// reads of /proc are never interrupted and a signal would otherwise wait for
// the end of a scan. With no check installed the operation is always
// retried and the scan never stops.
//
// A check that refuses ends the whole snapshot: Interrupted is thrown out of
// the operation, every descriptor on the way out is closed, and the
// snapshot being built is abandoned.
using InterruptCheck = bool (*)();

class Interrupted : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override {
        return "a file operation was interrupted and its retry refused";
    }
};

// Installs `check` (null: always retry) on this thread until the scope ends,
// then puts back the check that was installed before.
class InterruptCheckScope {
public:
    explicit InterruptCheckScope(InterruptCheck check) noexcept;
    InterruptCheckScope(const InterruptCheckScope&) = delete;
    InterruptCheckScope& operator=(const InterruptCheckScope&) = delete;
    ~InterruptCheckScope();

private:
    InterruptCheck previous_;
};

// For an operation that has just failed with EINTR: returns when it may be
// retried, throws Interrupted when the installed check refuses.
void retry_after_interrupt();
// Between two entries of a scan: returns when the scan may go on, throws
// Interrupted when the installed check refuses.
void check_between_entries();

// op() until it succeeds or fails other than with EINTR; op returns a
// negative value with errno set on failure, as the system calls do. An
// interruption goes through retry_after_interrupt().
template <class Op>
auto retry_interrupted(Op&& op) {
    for (;;) {
        auto result = op();
        if (result >= 0 || errno != EINTR) return result;
        retry_after_interrupt();
    }
}

// open(2) read-only and close-on-exec, relative to dirfd (AT_FDCWD for an
// absolute path), retried after an interruption. Invalid Fd on failure,
// with errno telling why.
Fd open_read(int dirfd, const char* path);
// The same for a directory to be listed or used as an openat() base.
Fd open_dir(int dirfd, const char* path, bool path_only = false);

// read(2), retried after an interruption.
ssize_t read_some(int fd, char* into, std::size_t bytes);

}  // namespace hoststats
