// A process's "statm" text: the first two numbers in pages, digits taken
// unchecked, the byte figures saturating.
#include <cstdint>
#include <cstring>

#include "fuzz/support.hpp"
#include "hoststats/process_parse.hpp"

using fuzz_support::check;

namespace {

std::uint64_t slow_accumulate(std::string_view digits) {
    std::uint64_t x = 0;
    for (unsigned char c : digits) x = x * 10 + static_cast<std::uint8_t>(c - '0');
    return x;
}

std::uint64_t slow_bytes(std::uint64_t pages, std::uint64_t page_size) {
    const unsigned __int128 p = static_cast<unsigned __int128>(pages) * page_size;
    return p > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Two bytes choose a page size, 2^0 .. 2^31 or an odd one.
    const std::uint64_t page_size =
        (data[0] & 0x80) ? (std::uint64_t{1} << (data[0] & 31)) : data[0] * 257u + data[1];
    const std::string_view text = fuzz_support::as_text(data + 2, size - 2);

    const hoststats::StatmBytes got = hoststats::parse_statm(text, page_size);
    const std::vector<std::string_view> pieces = fuzz_support::split(text, ' ');
    check(got.virtual_bytes == slow_bytes(slow_accumulate(pieces[0]), page_size),
          "statm virtual size");
    const std::uint64_t resident =
        pieces.size() > 1 ? slow_bytes(slow_accumulate(pieces[1]), page_size) : 0;
    check(got.resident_bytes == resident, "statm resident size");
    return 0;
}
