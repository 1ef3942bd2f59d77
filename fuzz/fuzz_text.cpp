// The UTF-8 validator and the Unicode white-space helpers against reference
// implementations built from the definitions.
#include <cstdint>
#include <string>

#include "fuzz/support.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/text.hpp"

using fuzz_support::check;

namespace {

// Whether `head` begins some well-formed character, by the reference
// decoder: completed with continuation bytes, the second one tried at the
// edges of every range a lead byte allows.
bool begins_a_character(std::string_view head) {
    static constexpr unsigned char SECOND_BYTES[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF};
    for (std::size_t total = head.size(); total <= 4; ++total) {
        for (const unsigned char second : SECOND_BYTES) {
            std::string candidate(head);
            while (candidate.size() < total) {
                candidate += static_cast<char>(candidate.size() == 1 ? second : 0x80);
            }
            const auto one = fuzz_support::decode_utf8(candidate);
            if (one && one->size() == 1) return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);

    const auto decoded = fuzz_support::decode_utf8(text);
    check(hoststats::is_valid_utf8(text) == decoded.has_value(),
          "is_valid_utf8 agrees with the reference decoder");

    // The decoder's steps tile the text: a valid step is one character of
    // the reference decoding; an ill-formed one is a maximal subpart: it
    // begins some character, and one byte more would not.
    std::size_t steps = 0;
    for (std::size_t at = 0; at < text.size();) {
        const hoststats::Utf8Char c = hoststats::decode_utf8(text.substr(at));
        check(c.length >= 1 && c.length <= 4 && at + c.length <= text.size(), "a step inside the text");
        const auto one = fuzz_support::decode_utf8(text.substr(at, c.length));
        if (c.valid) {
            check(one && one->size() == 1 && (*one)[0] == c.code_point, "a valid step decodes");
            if (decoded) {
                check(steps < decoded->size() && (*decoded)[steps] == c.code_point,
                      "steps follow the reference");
            }
        } else {
            check(!one && c.code_point == U'\uFFFD', "an ill-formed step");
            check(!decoded, "an ill-formed step only in ill-formed text");
            check(c.length == 1 || begins_a_character(text.substr(at, c.length)),
                  "an ill-formed step begins a character");
            check(at + c.length == text.size() ||
                      !begins_a_character(text.substr(at, c.length + 1)),
                  "an ill-formed step is maximal");
        }
        ++steps;
        at += c.length;
    }
    if (decoded) check(steps == decoded->size(), "as many steps as characters");

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
