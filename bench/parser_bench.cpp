// Throughput of the /proc text parsers on text copied from a real host
// (tests/fixtures), so that a slower hot path shows as fewer bytes per
// second. Each benchmark feeds one whole file per iteration.
//
//   parser_bench [--benchmark_format=json] [--benchmark_min_time=0.2]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "fixture_tree.hpp"
#include "hoststats/cpu.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/system.hpp"

namespace {

using testing_support::read_fixture;

void set_bytes(benchmark::State& state, std::size_t bytes_per_iteration) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes_per_iteration));
}

void BM_meminfo(benchmark::State& state) {
    const std::string text = read_fixture("meminfo/x86_64-debian");
    for (auto _ : state) {
        hoststats::MemoryFigures figures;
        benchmark::DoNotOptimize(hoststats::parse_meminfo(text, figures));
        benchmark::DoNotOptimize(figures);
    }
    set_bytes(state, text.size());
}
BENCHMARK(BM_meminfo);

// The CPU lines are only reachable through a refresh, which also opens and
// reads the file: this one measures open + read + parse of a /proc/stat copy
// on the temporary directory's file system.
void BM_proc_stat_refresh(benchmark::State& state) {
    const std::string text = read_fixture("stat/x86_64-2cpu");
    testing_support::FixtureTree tree;
    tree.write("proc/stat", text);
    const hoststats::HostRoot root = tree.root();
    hoststats::CpusWrapper cpus;
    for (auto _ : state) {
        cpus.clear_last_reading();
        cpus.refresh(root, hoststats::CpuLines::Every, hoststats::CpuSelection{.usage = true});
        benchmark::DoNotOptimize(cpus.global_usage().percent);
    }
    set_bytes(state, text.size());
}
BENCHMARK(BM_proc_stat_refresh);

void BM_btime(benchmark::State& state) {
    const std::string text = read_fixture("stat/x86_64-debian");
    for (auto _ : state) benchmark::DoNotOptimize(hoststats::parse_btime(text));
    set_bytes(state, text.size());
}
BENCHMARK(BM_btime);

void BM_cpuinfo_descriptors(benchmark::State& state) {
    const std::string text = read_fixture("cpuinfo/x86_64-amd-epyc");
    for (auto _ : state) {
        hoststats::DescriptorTable table = hoststats::get_vendor_id_and_brand_inner(text);
        benchmark::DoNotOptimize(table);
    }
    set_bytes(state, text.size());
}
BENCHMARK(BM_cpuinfo_descriptors);

void BM_cpuinfo_frequency(benchmark::State& state) {
    const std::string text = read_fixture("cpuinfo/x86_64-amd-epyc");
    for (auto _ : state) benchmark::DoNotOptimize(hoststats::cpuinfo_frequency(text));
    set_bytes(state, text.size());
}
BENCHMARK(BM_cpuinfo_frequency);

// Every task of a scan parses one "stat" line and, from "status", its ids.
void BM_process_stat(benchmark::State& state) {
    const std::string text = read_fixture("process/shell.stat");
    for (auto _ : state) {
        hoststats::StatFields fields;
        benchmark::DoNotOptimize(hoststats::parse_stat_file(text, fields));
        benchmark::DoNotOptimize(fields.u64(19));
    }
    set_bytes(state, text.size());
}
BENCHMARK(BM_process_stat);

void BM_process_status(benchmark::State& state) {
    const std::string text = read_fixture("process/shell.status");
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            hoststats::parse_status(text, {.ids = true, .all_uids = true}));
    }
    set_bytes(state, text.size());
}
BENCHMARK(BM_process_status);

void BM_process_statm(benchmark::State& state) {
    const std::string text = read_fixture("process/shell.statm");
    for (auto _ : state) benchmark::DoNotOptimize(hoststats::parse_statm(text, 4096));
    set_bytes(state, text.size());
}
BENCHMARK(BM_process_statm);

void BM_process_io(benchmark::State& state) {
    const std::string text = read_fixture("process/shell.io");
    for (auto _ : state) {
        hoststats::IoCounters io;
        hoststats::apply_io_text(text, io);
        benchmark::DoNotOptimize(io);
    }
    set_bytes(state, text.size());
}
BENCHMARK(BM_process_io);

// A NUL-separated list shaped like a login shell's environment: the
// "status" fixture's lines as "KEY=value" pieces, a few of them padded with
// the white space the splitter trims. Built once, so every run feeds the
// same bytes.
std::string environ_like_text() {
    const std::string status = read_fixture("process/shell.status");
    std::string out;
    std::size_t start = 0;
    int n = 0;
    while (start < status.size()) {
        std::size_t end = status.find('\n', start);
        if (end == std::string::npos) end = status.size();
        std::string piece = status.substr(start, end - start);
        for (char& c : piece) {
            if (c == ':') c = '=';
            if (c == '\t') c = ' ';
        }
        if (++n % 5 == 0) piece.insert(0, "  ").push_back(' ');
        out += piece;
        out.push_back('\0');
        start = end + 1;
    }
    return out;
}

void BM_nul_list_split(benchmark::State& state) {
    const std::string text = environ_like_text();
    for (auto _ : state) {
        hoststats::ByteStringList list;
        hoststats::split_nul_list(text, list);
        benchmark::DoNotOptimize(list);
    }
    set_bytes(state, text.size());
}
BENCHMARK(BM_nul_list_split);

void BM_is_valid_utf8(benchmark::State& state) {
    const std::string text = read_fixture("process/shell.status");
    for (auto _ : state) benchmark::DoNotOptimize(hoststats::is_valid_utf8(text));
    set_bytes(state, text.size());
}
BENCHMARK(BM_is_valid_utf8);

}  // namespace

BENCHMARK_MAIN();
