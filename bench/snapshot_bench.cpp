// Times whole host snapshots: each round builds System::new_all() and, like
// one get_memory_mb() call, refreshes the memory figures once more before
// the snapshot is dropped.
//
//   snapshot_bench [-n] [-w WARMUP] [ITERATIONS]   (default 200, warm-up 2)
//   -n  time new_all() alone, without the memory refresh
//
// Prints the median, min and p90 microseconds per round and the records of
// the last snapshot.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "hoststats/system.hpp"

namespace {

std::uint64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    int iterations = 200;
    int warmup = 2;
    bool with_memory = true;
    int opt;
    while ((opt = getopt(argc, argv, "nw:")) != -1) {
        if (opt == 'n') {
            with_memory = false;
        } else if (opt == 'w') {
            warmup = std::atoi(optarg);
        } else {
            std::fprintf(stderr, "usage: snapshot_bench [-n] [-w WARMUP] [ITERATIONS]\n");
            return 2;
        }
    }
    if (optind < argc) iterations = std::max(1, std::atoi(argv[optind]));

    std::size_t records = 0;
    auto round = [&] {
        hoststats::System sys = hoststats::System::new_all();
        if (with_memory) sys.refresh_memory();
        records = sys.processes().size();
    };
    for (int i = 0; i < warmup; ++i) round();

    std::vector<std::uint64_t> times;
    times.reserve(static_cast<std::size_t>(iterations));
    for (int i = 0; i < iterations; ++i) {
        const std::uint64_t t0 = now_ns();
        round();
        times.push_back(now_ns() - t0);
    }
    std::sort(times.begin(), times.end());
    const auto at = [&](std::size_t k) { return static_cast<double>(times[k]) / 1e3; };
    std::printf("snapshot%s: %d iters, %zu records\n", with_memory ? "" : " -n", iterations,
                records);
    std::printf("snapshot%s: median %.1f us/call  (min %.1f, p90 %.1f)\n", with_memory ? "" : " -n",
                at(times.size() / 2), at(0), at(times.size() * 9 / 10));
    return 0;
}
