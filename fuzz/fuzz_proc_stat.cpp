// /proc/stat text through the CPU state's own file reader (which reads in
// fixed-size pieces, so long and broken lines cross its buffer edges) and
// through the "btime" reader.
//
// Input: one flag byte, then the first reading; a form feed, if present,
// starts the second reading, taken after the minimum interval.
#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/support.hpp"
#include "hoststats/cpu.hpp"
#include "hoststats/system.hpp"

using fuzz_support::check;

namespace {

std::uint64_t FAKE_NOW = 0;  // ns
std::uint64_t fake_clock() noexcept { return FAKE_NOW; }

// The scratch tree's path, in storage that outlives every exit handler.
char SCRATCH_PATH[64];

void remove_scratch() {
    const std::string dir = SCRATCH_PATH;
    ::unlink((dir + "/proc/stat").c_str());
    ::rmdir((dir + "/proc").c_str());
    ::rmdir(dir.c_str());
}

// One scratch tree per process, laid out as <dir>/proc/stat. On a disk file
// system, rewriting a truncated file flushes it at every close: a memory
// file system keeps the executions fast.
const char* scratch_dir() {
    if (SCRATCH_PATH[0] == '\0') {
        const char* templ = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/pellun-fuzz-stat-XXXXXX"
                                                          : "/tmp/pellun-fuzz-stat-XXXXXX";
        std::strcpy(SCRATCH_PATH, templ);
        check(::mkdtemp(SCRATCH_PATH) != nullptr, "scratch directory");
        check(::mkdir((std::string(SCRATCH_PATH) + "/proc").c_str(), 0700) == 0,
              "scratch proc directory");
        std::atexit(remove_scratch);
    }
    return SCRATCH_PATH;
}

void write_stat(std::string_view content) {
    const std::string path = std::string(scratch_dir()) + "/proc/stat";
    const hoststats::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    check(fd.valid(), "open the scratch stat file");
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        check(n > 0 || (n < 0 && errno == EINTR), "write the scratch stat file");
        if (n > 0) done += static_cast<std::size_t>(n);
    }
}

void check_usage(const hoststats::CpuUsage& usage) {
    check(std::isfinite(usage.percent) && usage.percent >= 0.0f && usage.percent <= 100.0f,
          "a usage share lies in [0, 100]");
}

std::size_t count_lines(std::string_view text) {
    std::size_t lines = 0;
    for (std::string_view line : fuzz_support::split(text, '\n')) lines += !line.empty();
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    const std::string_view text = fuzz_support::as_text(data + 1, size - 1);
    const std::size_t split = text.find('\f');
    const std::string_view first = text.substr(0, split);
    const std::string_view second =
        split == std::string_view::npos ? first : text.substr(split + 1);

    // btime is a pure function of the text; it must not read out of bounds.
    (void)hoststats::parse_btime(text);

    const hoststats::HostRoot root = hoststats::HostRoot::under(scratch_dir());
    hoststats::CpusWrapper cpus;
    cpus.set_clock(&fake_clock);
    const hoststats::CpuLines lines =
        (flags & 1) != 0 ? hoststats::CpuLines::AggregateOnly : hoststats::CpuLines::Every;
    const hoststats::CpuSelection selection{.usage = (flags & 2) != 0};

    FAKE_NOW = 1'000'000'000;
    write_stat(first);
    cpus.refresh(root, lines, selection);
    check_usage(cpus.global_usage());
    check(cpus.cpus().size() <= count_lines(first), "at most one CPU entry per line");
    const std::size_t entries = cpus.cpus().size();
    for (const hoststats::Cpu& cpu : cpus.cpus()) {
        check(cpu.name.starts_with("cpu"), "a CPU entry comes from a cpu line");
    }

    FAKE_NOW += 250'000'000;
    write_stat(second);
    cpus.refresh(root, lines, selection);
    check_usage(cpus.global_usage());
    // Entries are made once, by the first reading that finds CPU lines.
    if (entries != 0) {
        check(cpus.cpus().size() == entries, "a later reading keeps the entries");
    } else {
        check(cpus.cpus().size() <= count_lines(second), "at most one CPU entry per line");
    }
    for (const hoststats::Cpu& cpu : cpus.cpus()) check_usage(cpu.usage);
    return 0;
}
