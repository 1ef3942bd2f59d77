// Times whole host snapshots with Google Benchmark: each call builds
// System::new_all() and, like one get_memory_mb() call, refreshes the memory
// figures once more before the snapshot is dropped.
//
//   snapshot_bench [-n] [-w WARMUP] [CALLS] [--benchmark_format=json ...]
//   -n  time new_all() alone, without the memory refresh
//
// Each call is one repetition of one iteration (default 20 calls after 1
// warm-up call), so the output holds every call's own time, from which the
// driver takes medians and minimums; the counter "records" is the number of
// records of the snapshot.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "hoststats/system.hpp"

namespace {

bool with_memory = true;

std::size_t one_call() {
    hoststats::System sys = hoststats::System::new_all();
    if (with_memory) sys.refresh_memory();
    return sys.processes().size();
}

void BM_snapshot(benchmark::State& state) {
    std::size_t records = 0;
    for (auto _ : state) records = one_call();
    state.counters["records"] = static_cast<double>(records);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);  // takes out its own --benchmark_* flags
    int calls = 20;
    int warmup = 1;
    int opt;
    while ((opt = getopt(argc, argv, "nw:")) != -1) {
        if (opt == 'n') {
            with_memory = false;
        } else if (opt == 'w') {
            warmup = std::atoi(optarg);
        } else {
            std::fprintf(stderr, "usage: snapshot_bench [-n] [-w WARMUP] [CALLS] [--benchmark_...]\n");
            return 2;
        }
    }
    if (optind < argc) calls = std::max(1, std::atoi(argv[optind]));
    for (int i = 0; i < warmup; ++i) benchmark::DoNotOptimize(one_call());

    benchmark::RegisterBenchmark(with_memory ? "snapshot" : "snapshot_new_all_only", BM_snapshot)
        ->Iterations(1)
        ->Repetitions(calls)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
