// The pause between the two readings of the CPU report: a wait of the calling
// thread that is measured on the monotonic clock, however it is made.
#pragma once

#include <cstdint>

namespace pellun::measure {

constexpr std::uint64_t CPU_PAUSE_NS = 100'000'000;

// Returns once at least `duration_ns` has passed on the monotonic clock since
// the call began: 0, or the errno of the last failure when no way of waiting
// works or the clock cannot be read.
//
// The ways of waiting, in order: clock_nanosleep on the monotonic clock; on
// 32-bit hosts built with a 64-bit time_t, the kernel's older 32-bit time
// call, which seccomp profiles written before the 64-bit calls existed still
// allow; nanosleep; poll with a timeout and nothing to poll. A way that fails
// other than with EINTR is dropped for the next, and so is one that answers
// success before the time asked has passed (ETIME when it is the last). A
// signal does not shorten the pause: the wait is resumed for the time left,
// and the signal's Python handler runs after the call.
[[nodiscard]] int pause_for(std::uint64_t duration_ns) noexcept;

}  // namespace pellun::measure
