// A process's "stat" line: the name between the first "(" and the last ")",
// then the white-space separated fields, every view inside the buffer.
#include <cstdint>

#include "fuzz/support.hpp"
#include "hoststats/process.hpp"
#include "hoststats/process_parse.hpp"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);
    hoststats::StatFields fields;
    if (!hoststats::parse_stat_file(text, fields)) {
        check(fields.size() == 0, "a rejected line leaves no fields");
        return 0;
    }
    check(fields.size() >= 1 && fields.size() <= hoststats::StatFields::CAPACITY,
          "field count within the array");
    check(fuzz_support::within(fields.name, text), "the name inside the buffer");
    // The name ends at the last ")" of the text.
    const std::size_t last_close = text.rfind(')');
    check(last_close != std::string_view::npos, "an accepted line has a ')'");
    check(fields.name.data() + fields.name.size() == text.data() + last_close,
          "the name ends at the last ')'");
    check(fields.field(0).find(' ') == std::string_view::npos, "the pid text has no space");
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string_view f = fields.field(i);
        check(fuzz_support::within(f, text), "a field inside the buffer");
        if (i > 0) {
            check(!f.empty() && fuzz_support::leading_space(f) == 0, "a field is not blank");
        }
        std::uint64_t want = 0;
        if (auto v = fuzz_support::slow_unsigned(f, UINT64_MAX)) want = *v;
        check(fields.u64(i) == want, "u64 of a field agrees with the reference");
    }
    check(fields.field(fields.size()).empty(), "a missing field reads empty");
    const std::uint32_t state = hoststats::first_code_point(fields.field(1));
    (void)hoststats::to_string(hoststats::process_state_from_char(state));
    return 0;
}
