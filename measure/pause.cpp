#include "measure/pause.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>

namespace pellun::measure {

namespace {

constexpr std::uint64_t NS_PER_S = 1'000'000'000;
constexpr std::uint64_t NS_PER_MS = 1'000'000;

// A 32-bit host whose time_t is 64 bits wide has two calls for each clock
// operation; the older one takes 32-bit seconds. Container runtimes whose
// seccomp profiles predate the newer calls answer those with EPERM, and the
// C library then does not fall back by itself.
#if defined(SYS_clock_nanosleep_time64) && defined(SYS_clock_nanosleep) && \
    defined(SYS_clock_gettime64) && defined(SYS_clock_gettime)
#define PELLUN_TIME32_CALLS 1
struct Timespec32 {
    std::int32_t tv_sec;
    std::int32_t tv_nsec;
};
#endif

timespec to_timespec(std::uint64_t ns) noexcept {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / NS_PER_S);
    ts.tv_nsec = static_cast<long>(ns % NS_PER_S);
    return ts;
}

// Monotonic time in ns: 0, or the errno of the failing call.
int read_monotonic(std::uint64_t& ns) noexcept {
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) == 0) {
        ns = static_cast<std::uint64_t>(now.tv_sec) * NS_PER_S + static_cast<std::uint64_t>(now.tv_nsec);
        return 0;
    }
    int error = errno;
#ifdef PELLUN_TIME32_CALLS
    Timespec32 now32{};
    if (::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now32) == 0) {
        ns = static_cast<std::uint64_t>(static_cast<std::uint32_t>(now32.tv_sec)) * NS_PER_S +
             static_cast<std::uint64_t>(now32.tv_nsec);
        return 0;
    }
    error = errno;
#endif
    return error;
}

// The ways of waiting for `ns` nanoseconds: each returns 0, or the errno of
// the failing call (EINTR when a signal cut it short).
using Wait = int (*)(std::uint64_t ns) noexcept;

int wait_clock_nanosleep(std::uint64_t ns) noexcept {
    const timespec request = to_timespec(ns);
    return ::clock_nanosleep(CLOCK_MONOTONIC, 0, &request, nullptr);
}

#ifdef PELLUN_TIME32_CALLS
int wait_clock_nanosleep_time32(std::uint64_t ns) noexcept {
    // At most the pause itself: the seconds always fit.
    const Timespec32 request{static_cast<std::int32_t>(ns / NS_PER_S),
                             static_cast<std::int32_t>(ns % NS_PER_S)};
    return ::syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, 0, &request, nullptr) == 0 ? 0 : errno;
}
#endif

int wait_nanosleep(std::uint64_t ns) noexcept {
    const timespec request = to_timespec(ns);
    return ::nanosleep(&request, nullptr) == 0 ? 0 : errno;
}

int wait_poll(std::uint64_t ns) noexcept {
    // Whole milliseconds, rounded up.
    const std::uint64_t ms = (ns + NS_PER_MS - 1) / NS_PER_MS;
    const int timeout = ms > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
    return ::poll(nullptr, 0, timeout) >= 0 ? 0 : errno;
}

constexpr std::array WAYS_OF_WAITING = {
    &wait_clock_nanosleep,
#ifdef PELLUN_TIME32_CALLS
    &wait_clock_nanosleep_time32,
#endif
    &wait_nanosleep,
    &wait_poll,
};

}  // namespace

int pause_for(std::uint64_t duration_ns) noexcept {
    std::uint64_t start = 0;
    if (const int error = read_monotonic(start)) return error;
    const std::uint64_t deadline = start + duration_ns;
    int last_error = 0;
    for (const Wait wait : WAYS_OF_WAITING) {
        // The clock, not the call's own answer, says when the pause is over:
        // an interrupted wait goes on for the time that is left.
        for (;;) {
            std::uint64_t now = 0;
            if (const int error = read_monotonic(now)) return error;
            if (now >= deadline) return 0;
            const int error = wait(deadline - now);
            if (error == EINTR) continue;
            if (error == 0) {
                // Each way sleeps on the monotonic clock for at least the
                // time asked. One that answers success sooner did not wait
                // (a sandbox that stubs the call out): calling it again would
                // spin on the clock for the whole pause, and the busy share
                // would then count that spinning.
                if (const int clock_error = read_monotonic(now)) return clock_error;
                if (now >= deadline) return 0;
                last_error = ETIME;
            } else {
                last_error = error;
            }
            break;
        }
    }
    return last_error;
}

}  // namespace pellun::measure
