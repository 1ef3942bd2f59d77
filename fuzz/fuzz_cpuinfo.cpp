// /proc/cpuinfo text: the processor blocks with their vendor and brand, the
// hexadecimal ARM codes, and the clock-rate fallback.
#include <cstdint>
#include <string>

#include "fuzz/support.hpp"
#include "hoststats/cpuinfo.hpp"

using fuzz_support::check;

namespace {

// The value of a line as "0x" then hex digits (after one optional '+')
// fitting 32 bits, read by hand; 0 otherwise.
std::uint32_t slow_hex(std::string_view line) {
    const std::size_t colon = line.rfind(':');
    std::string_view value = colon == std::string_view::npos ? line : line.substr(colon + 1);
    while (std::size_t w = fuzz_support::leading_space(value)) value.remove_prefix(w);
    while (std::size_t w = fuzz_support::trailing_space(value)) value.remove_suffix(w);
    if (!value.starts_with("0x")) return 0;
    value.remove_prefix(2);
    if (value.starts_with("+")) value.remove_prefix(1);
    if (value.empty()) return 0;
    std::uint64_t code = 0;
    for (char c : value) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return 0;
        }
        code = code * 16 + static_cast<std::uint64_t>(digit);
        if (code > UINT32_MAX) return 0;
    }
    return static_cast<std::uint32_t>(code);
}

bool is_implementer_name(std::string_view name) {
    for (std::uint32_t code = 0; code < 256; ++code) {
        if (hoststats::arm_implementer_name(code) == name) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);

    for (std::string_view line : fuzz_support::split(text, '\n')) {
        check(hoststats::get_hex_value(line) == slow_hex(line),
              "get_hex_value agrees with the reference");
    }

    (void)hoststats::cpuinfo_frequency(text);

    const hoststats::DescriptorTable table = hoststats::get_vendor_id_and_brand_inner(text);
    for (const auto& [index, descriptor] : table) {
        const auto& [vendor, brand] = descriptor;
        check(vendor.empty() || text.find(vendor) != std::string_view::npos ||
                  is_implementer_name(vendor),
              "a vendor comes from the text or from the implementer table");
        // A brand from the text never holds a line break: values are cut at
        // the end of their line.
        if (text.find(brand) != std::string_view::npos) {
            check(brand.find('\n') == std::string::npos, "a brand from one line");
        }
        (void)index;
    }
    return 0;
}
