// /proc/uptime text: the whole seconds are the strict number before the
// first '.'.
#include <cstdint>

#include "fuzz/support.hpp"
#include "hoststats/system.hpp"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);
    std::uint64_t seconds = 42;
    const bool ok = hoststats::parse_uptime(text, seconds);
    const auto want = fuzz_support::slow_unsigned(text.substr(0, text.find('.')), UINT64_MAX);
    check(ok == want.has_value(), "parse_uptime accepts what the reference accepts");
    check(ok ? want == seconds : seconds == 42, "parse_uptime value, or output untouched");
    return 0;
}
