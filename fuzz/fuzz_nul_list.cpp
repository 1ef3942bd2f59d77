// "cmdline" and "environ" splitting: NUL-separated pieces trimmed of ASCII
// white space except the vertical tab, empty pieces dropped.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support.hpp"
#include "hoststats/process.hpp"
#include "hoststats/process_parse.hpp"

using fuzz_support::check;

namespace {

bool list_white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);

    std::vector<std::string> want;
    for (std::string_view piece : fuzz_support::split(text, '\0')) {
        while (!piece.empty() && list_white(piece.front())) piece.remove_prefix(1);
        while (!piece.empty() && list_white(piece.back())) piece.remove_suffix(1);
        if (!piece.empty()) want.emplace_back(piece);
    }

    // Appending to a list that already holds a piece keeps that piece first.
    hoststats::ByteStringList list{"kept"};
    hoststats::split_nul_list(text, list);
    std::vector<std::string> got = list.to_vector();
    check(list.size() == got.size(), "size() counts the pieces iterated");
    check(!got.empty() && got.front() == "kept", "earlier pieces kept");
    got.erase(got.begin());
    check(got == want, "pieces agree with the reference split");
    return 0;
}
