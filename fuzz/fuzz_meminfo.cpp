// /proc/meminfo text: the nine figures are whole KiB counts (or saturated),
// and "MemAvailable" is reported seen exactly when a line set it.
#include <cstdint>

#include "fuzz/support.hpp"
#include "hoststats/system.hpp"

using fuzz_support::check;

namespace {

bool whole_kib(std::uint64_t bytes) { return bytes % 1024 == 0 || bytes == UINT64_MAX; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);

    // Figures start from a marker, so a field that no line sets stays put.
    constexpr std::uint64_t MARKER = 3;  // not a multiple of 1024
    hoststats::MemoryFigures f{MARKER, MARKER, MARKER, MARKER, MARKER,
                               MARKER, MARKER, MARKER, MARKER};
    const bool available = hoststats::parse_meminfo(text, f);
    for (std::uint64_t v : {f.mem_total, f.mem_free, f.mem_available, f.buffers, f.cached,
                            f.shmem, f.s_reclaimable, f.swap_total, f.swap_free}) {
        check(v == MARKER || whole_kib(v), "a meminfo figure is a whole number of KiB");
    }
    check(available == (f.mem_available != MARKER), "MemAvailable seen iff it was set");
    // Without a "MemAvailable:" key anywhere no line can have set it.
    if (text.find("MemAvailable:") == std::string_view::npos) {
        check(!available, "MemAvailable reported without its key");
    }

    const std::uint64_t estimate = hoststats::estimate_available(f);
    const unsigned __int128 sum = static_cast<unsigned __int128>(f.mem_free) + f.buffers +
                                  f.cached + f.s_reclaimable;
    const std::uint64_t capped = sum > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(sum);
    check(estimate == (capped > f.shmem ? capped - f.shmem : 0),
          "estimate_available saturates at both ends");
    return 0;
}
