// Preloaded (LD_PRELOAD) into a test interpreter: the ways of waiting named
// in PELLUN_FAIL_WAITS, a comma-separated list of clock_nanosleep,
// clock_nanosleep_time32 (the older call of 32-bit hosts, made through
// syscall(2)), nanosleep and poll, fail with EPERM, as a seccomp profile that
// refuses their system calls makes them fail. Those named in
// PELLUN_HOLLOW_WAITS answer success at once without waiting, as a sandbox
// that stubs them out does; pellun_hollow_answers() counts those answers.
// The others go on to the C library.
//
// No system header declares these functions here: on 32-bit hosts with a
// 64-bit time_t the headers rename them, and both names are defined below.
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>

namespace {

unsigned long hollow_answers = 0;

// Whether `name` is in the comma-separated list of the environment variable.
bool listed(const char* variable, const char* name) {
    const char* list = getenv(variable);
    if (list == nullptr) return false;
    const size_t length = strlen(name);
    for (const char* at = strstr(list, name); at != nullptr; at = strstr(at + 1, name)) {
        const bool starts = at == list || at[-1] == ',';
        const bool ends = at[length] == '\0' || at[length] == ',';
        if (starts && ends) return true;
    }
    return false;
}

bool refused(const char* name) { return listed("PELLUN_FAIL_WAITS", name); }

bool hollow(const char* name) {
    if (!listed("PELLUN_HOLLOW_WAITS", name)) return false;
    ++hollow_answers;
    return true;
}

template <class F>
F next(const char* symbol) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

using ClockNanosleep = int (*)(int, int, const void*, void*);
using Nanosleep = int (*)(const void*, void*);

int clock_nanosleep_as(const char* symbol, int clock, int flags, const void* request,
                       void* remaining) {
    if (refused("clock_nanosleep")) return EPERM;  // the error is the result here
    if (hollow("clock_nanosleep")) return 0;
    return next<ClockNanosleep>(symbol)(clock, flags, request, remaining);
}

int nanosleep_as(const char* symbol, const void* request, void* remaining) {
    if (refused("nanosleep")) {
        errno = EPERM;
        return -1;
    }
    if (hollow("nanosleep")) return 0;
    return next<Nanosleep>(symbol)(request, remaining);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) unsigned long pellun_hollow_answers() {
    return hollow_answers;
}

__attribute__((visibility("default"))) int clock_nanosleep(int clock, int flags,
                                                           const void* request, void* remaining) {
    return clock_nanosleep_as("clock_nanosleep", clock, flags, request, remaining);
}

// The C library's names for the 64-bit-time entries on 32-bit hosts: the
// shim must answer under them too.
__attribute__((visibility("default"))) int __clock_nanosleep_time64(  // NOLINT(bugprone-reserved-identifier)
    int clock, int flags, const void* request, void* remaining) {
    return clock_nanosleep_as("__clock_nanosleep_time64", clock, flags, request, remaining);
}

__attribute__((visibility("default"))) int nanosleep(const void* request, void* remaining) {
    return nanosleep_as("nanosleep", request, remaining);
}

// The same, for nanosleep.
__attribute__((visibility("default"))) int __nanosleep64(  // NOLINT(bugprone-reserved-identifier)
    const void* request, void* remaining) {
    return nanosleep_as("__nanosleep64", request, remaining);
}

__attribute__((visibility("default"))) int poll(void* fds, unsigned long count, int timeout) {
    if (refused("poll")) {
        errno = EPERM;
        return -1;
    }
    if (hollow("poll")) return 0;  // as if the timeout had passed
    return next<int (*)(void*, unsigned long, int)>("poll")(fds, count, timeout);
}

#if defined(SYS_clock_nanosleep_time64) && defined(SYS_clock_nanosleep)
__attribute__((visibility("default"))) long syscall(long number, ...) {
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& arg : a) arg = va_arg(args, long);
    va_end(args);
    if (number == SYS_clock_nanosleep && refused("clock_nanosleep_time32")) {
        errno = EPERM;
        return -1;
    }
    if (number == SYS_clock_nanosleep && hollow("clock_nanosleep_time32")) return 0;
    return next<long (*)(long, ...)>("syscall")(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
#endif

}  // extern "C"
