// A process's "io" text: only "read_bytes" and "write_bytes" lines move the
// counters, each move first keeping the current value as the previous one.
#include <cstdint>

#include "fuzz/support.hpp"
#include "hoststats/process_parse.hpp"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);
    const hoststats::IoCounters before{11, 22, 33, 44};
    hoststats::IoCounters io = before;
    hoststats::apply_io_text(text, io);

    // The reference walk: at most two matching lines are applied.
    hoststats::IoCounters want = before;
    int matched = 0;
    for (std::string_view line : fuzz_support::split(text, '\n')) {
        if (matched == 2) break;
        if (line.ends_with('\r')) line.remove_suffix(1);
        const std::size_t sep = line.find(": ");
        const std::string_view key = line.substr(0, sep);
        std::uint64_t* current = nullptr;
        std::uint64_t* previous = nullptr;
        if (key == "read_bytes") {
            current = &want.read_bytes;
            previous = &want.prev_read_bytes;
        } else if (key == "write_bytes") {
            current = &want.written_bytes;
            previous = &want.prev_written_bytes;
        } else {
            continue;
        }
        *previous = *current;
        if (sep != std::string_view::npos) {
            std::string_view value = line.substr(sep + 2);
            value = value.substr(0, value.find(": "));
            if (auto v = fuzz_support::slow_unsigned(value, UINT64_MAX)) *current = *v;
        }
        ++matched;
    }
    check(io.read_bytes == want.read_bytes && io.written_bytes == want.written_bytes &&
              io.prev_read_bytes == want.prev_read_bytes &&
              io.prev_written_bytes == want.prev_written_bytes,
          "io counters agree with the reference walk");
    return 0;
}
