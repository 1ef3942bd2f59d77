// The UTF-8 validator and the Unicode white-space helpers against reference
// implementations built from the definitions.
#include <cstdint>

#include "fuzz/support.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/text.hpp"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);

    const auto decoded = fuzz_support::decode_utf8(text);
    check(hoststats::is_valid_utf8(text) == decoded.has_value(),
          "is_valid_utf8 agrees with the reference decoder");
    check(hoststats::is_text(text) == decoded.has_value(), "is_text agrees with is_valid_utf8");

    // The first character's code point: the decoded value where the text
    // starts with a valid character, the first byte otherwise.
    const std::uint32_t first = hoststats::first_code_point(text);
    if (text.empty()) {
        check(first == 0, "first_code_point of empty text");
    } else {
        std::uint32_t want = static_cast<unsigned char>(text[0]);
        for (std::size_t len = 1; len <= 4 && len <= text.size(); ++len) {
            const auto head = fuzz_support::decode_utf8(text.substr(0, len));
            if (head && head->size() == 1) {
                want = (*head)[0];
                break;
            }
        }
        check(first == want, "first_code_point agrees with the reference decoder");
    }

    // Trimming: a white-space character counts only where its whole encoding
    // appears, in valid and invalid text alike.
    check(hoststats::unicode_space_len(text) == fuzz_support::leading_space(text),
          "unicode_space_len agrees with the encoded White_Space list");
    std::string_view start = text;
    while (std::size_t w = fuzz_support::leading_space(start)) start.remove_prefix(w);
    check(hoststats::trim_start_unicode(text) == start &&
              hoststats::trim_start_unicode(text).data() == start.data(),
          "trim_start_unicode");
    std::string_view end = text;
    while (std::size_t w = fuzz_support::trailing_space(end)) end.remove_suffix(w);
    check(hoststats::trim_end_unicode(text) == end &&
              hoststats::trim_end_unicode(text).data() == text.data(),
          "trim_end_unicode");
    std::string_view both = start;
    while (std::size_t w = fuzz_support::trailing_space(both)) both.remove_suffix(w);
    check(hoststats::trim_unicode(text) == both, "trim_unicode");

    // For valid text the same trim follows from the decoded code points.
    if (decoded) {
        std::size_t lead = 0;
        while (lead < decoded->size() && fuzz_support::is_white_space((*decoded)[lead])) ++lead;
        std::size_t lead_bytes = 0;
        for (std::size_t k = 0; k < lead; ++k) {
            lead_bytes += fuzz_support::encode_utf8((*decoded)[k]).size();
        }
        check(start.size() == text.size() - lead_bytes, "trim_start_unicode by code points");
    }

    // Splitting: every piece is free of white space at every position, and
    // what lies between pieces is white space only.
    std::size_t cursor = 0;
    hoststats::split_unicode_whitespace(text, [&](std::string_view piece) {
        check(fuzz_support::within(piece, text) && !piece.empty(), "piece inside the text");
        const auto at = static_cast<std::size_t>(piece.data() - text.data());
        check(at >= cursor, "pieces in order");
        std::string_view gap = text.substr(cursor, at - cursor);
        while (std::size_t w = fuzz_support::leading_space(gap)) gap.remove_prefix(w);
        check(gap.empty(), "only white space between pieces");
        for (std::size_t j = at; j < at + piece.size(); ++j) {
            check(fuzz_support::leading_space(text.substr(j)) == 0, "no white space in a piece");
        }
        cursor = at + piece.size();
        return true;
    });
    std::string_view rest = text.substr(cursor);
    while (std::size_t w = fuzz_support::leading_space(rest)) rest.remove_prefix(w);
    check(rest.empty(), "only white space after the last piece");
    return 0;
}
