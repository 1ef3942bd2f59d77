#include "boundary/panic.hpp"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace pellun {

namespace {

// The calling thread's name as the kernel knows it (at most 15 bytes), or
// "<unnamed>"; the thread id tells apart threads of the same name. Asked of
// the kernel directly: pthread_getname_np came to musl only in 1.2.3, and
// the musllinux_1_2 wheel also installs on musl 1.2.0 to 1.2.2.
std::string thread_label() {
    char name[16] = {};
    std::string label = "'";
    if (::prctl(PR_GET_NAME, name) == 0 && name[0] != '\0') {
        label += name;
    } else {
        label += "<unnamed>";
    }
    label += "' (";
    label += std::to_string(static_cast<long>(::syscall(SYS_gettid)));
    label += ")";
    return label;
}

}  // namespace

void write_stderr(std::string_view text) noexcept {
    // stderr is unbuffered; one fwrite keeps concurrent reports apart.
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void write_fault_report(std::string_view message, const std::source_location& loc) noexcept {
    try {
        std::string report = "thread ";
        report += thread_label();
        report += " panicked at ";
        report += loc.file_name();
        report += ':';
        report += std::to_string(loc.line());
        report += ':';
        report += std::to_string(loc.column());
        report += ":\n";
        report += message;
        report += '\n';
        write_stderr(report);
    } catch (const std::bad_alloc&) {
        // No room for the report's first line: the message alone still says
        // what went wrong, and the panic goes on to the boundary as it
        // would have.
        write_stderr(message);
        write_stderr("\n");
    }
}

void handle_alloc_error() noexcept {
    write_stderr("memory allocation failed\n");
    std::abort();
}

void panic(std::string message, std::source_location loc) {
    write_fault_report(message, loc);
    throw Panic(std::any(std::move(message)));
}

void panic_static(const char* message, std::source_location loc) {
    write_fault_report(message, loc);
    throw Panic(std::any(message));
}

void panic_any(std::any payload, std::source_location loc) {
    write_fault_report("<panic payload that is not text>", loc);
    throw Panic(std::move(payload));
}

void resume_unwind(std::any payload) { throw Panic(std::move(payload)); }

PoisonMutex::Guard::Guard(PoisonMutex& mutex) noexcept
    : mutex_(mutex), uncaught_at_lock_(std::uncaught_exceptions()) {}

PoisonMutex::Guard::~Guard() {
    // More exceptions in flight than at lock time: this guard is being
    // destroyed by an unwinding panic.
    if (std::uncaught_exceptions() > uncaught_at_lock_) mutex_.poisoned_.store(true);
    mutex_.mutex_.unlock();
}

PoisonMutex::Guard PoisonMutex::lock(std::source_location loc) {
    mutex_.lock();
    if (poisoned_.load()) {
        mutex_.unlock();
        panic("a mutex was poisoned by an earlier panic while it was held", loc);
    }
    return Guard(*this);
}

}  // namespace pellun
