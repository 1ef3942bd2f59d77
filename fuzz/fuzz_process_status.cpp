// A process's "status" text: the thread-group id, and the real and effective
// user and group ids.
#include <cstdint>

#include "fuzz/support.hpp"
#include "hoststats/process_parse.hpp"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);

    const auto tgid = hoststats::parse_tgid(text);
    if (tgid) check(text.find("Tgid:") != std::string_view::npos, "Tgid without its key");

    const auto ids = hoststats::parse_status_ids(text);
    if (ids) {
        check(text.find("Uid:") != std::string_view::npos &&
                  text.find("Gid:") != std::string_view::npos,
              "ids without both keys");
    }

    for (std::string_view line : fuzz_support::split(text, '\n')) {
        for (std::string_view prefix : {"Uid:", "Gid:"}) {
            const auto [real, effective] = hoststats::get_uid_and_gid(line, prefix);
            if (!line.starts_with(prefix)) {
                check(!real && !effective, "ids from a line with another key");
            }
        }
    }
    return 0;
}
