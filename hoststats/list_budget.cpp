#include "hoststats/list_budget.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <string_view>

#include "hoststats/numbers.hpp"

namespace hoststats {

bool lists_readable_by(const std::optional<UserIds>& uids, std::uint32_t caller) noexcept {
    if (!uids) return false;
    return std::all_of(uids->begin(), uids->end(),
                       [caller](std::uint32_t id) { return id == caller || id == 0; });
}

namespace {

// How often the calling thread has gone to sleep: a wait for a lock counts
// here, being preempted does not. -1 where the kernel does not say.
long voluntary_switches() noexcept {
    rusage usage{};
    return ::getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : -1;
}

}  // namespace

std::optional<std::chrono::nanoseconds> thread_sleep_time() noexcept {
    // Wall time less the time on a CPU and the time waiting for one (the
    // second field of "schedstat", in ns). The calling thread's CPU time
    // comes from its clock, which the kernel brings up to date when asked;
    // "schedstat"'s own run time lags by up to a tick.
    const auto wall = std::chrono::steady_clock::now().time_since_epoch();
    timespec cpu{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) != 0) return std::nullopt;
    // Retried here whatever the interrupt check says: the file never keeps
    // a reader waiting, and a sample must not throw.
    int fd = -1;
    do {
        fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    std::array<char, 96> text{};
    ssize_t got = -1;
    do {
        got = ::read(fd, text.data(), text.size());
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0) return std::nullopt;
    // "<run ns> <run-queue wait ns> <timeslices>\n"
    const std::string_view line(text.data(), static_cast<std::size_t>(got));
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return std::nullopt;
    const std::string_view rest = line.substr(first + 1);
    std::uint64_t queued = 0;
    if (!parse_u64(rest.substr(0, rest.find(' ')), queued)) return std::nullopt;
    using std::chrono::nanoseconds;
    const nanoseconds ran = std::chrono::seconds(cpu.tv_sec) + nanoseconds(cpu.tv_nsec);
    return std::chrono::duration_cast<nanoseconds>(wall) - ran -
           nanoseconds(static_cast<std::int64_t>(queued));
}

ListBudget::ListBudget(std::size_t bytes, std::chrono::nanoseconds wait,
                       SleepClock slept) noexcept
    : left_(bytes), wait_left_(wait), slept_(slept), slept_seen_(slept()),
      sleeps_seen_(voluntary_switches()) {}

bool ListBudget::take(std::size_t bytes) noexcept {
    if (out_of_bytes_ || bytes > left_) {
        out_of_bytes_ = true;
        return false;
    }
    left_ -= bytes;
    return true;
}

void ListBudget::charge_read(std::chrono::nanoseconds elapsed) noexcept {
    // The system calls are made only for the rare read that took long.
    if (elapsed <= LIST_READ_GRACE) return;
    std::chrono::nanoseconds waited = elapsed - LIST_READ_GRACE;
    const std::optional<std::chrono::nanoseconds> slept = slept_();
    if (slept && slept_seen_) {
        // The thread's sleep since the last long read bounds what this one
        // can have waited; it may hold earlier sleeps too, never less than
        // this read's.
        waited = std::min(waited, std::max(*slept - *slept_seen_, std::chrono::nanoseconds{}));
        slept_seen_ = slept;
    } else {
        // Without the sleep's length, a read that slept at all waited for
        // all it took.
        const long sleeps = voluntary_switches();
        const bool any = sleeps != sleeps_seen_ || sleeps < 0;
        sleeps_seen_ = sleeps;
        slept_seen_ = slept;
        if (!any) return;
    }
    if (waited >= wait_left_) {
        wait_left_ = std::chrono::nanoseconds::zero();
        waited_out_ = true;
        return;
    }
    wait_left_ -= waited;
}

}  // namespace hoststats
