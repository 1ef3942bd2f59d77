// A process's "status" text: the thread-group id, the real and effective
// user and group ids, the four user ids, and the name, state and parent
// that stand in for "stat".
#include <cstdint>
#include <string>

#include "fuzz/support.hpp"
#include "hoststats/process_parse.hpp"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);

    const hoststats::StatusFields fields =
        hoststats::parse_status(text, {.ids = true, .all_uids = true, .stat_stand_in = true});
    if (fields.tgid) check(text.find("Tgid:") != std::string_view::npos, "Tgid without its key");
    if (fields.ids) {
        check(text.find("Uid:") != std::string_view::npos &&
                  text.find("Gid:") != std::string_view::npos,
              "ids without both keys");
    }
    if (fields.uids) check(text.find("Uid:") != std::string_view::npos, "uids without the key");
    // What is not asked for is never given, and asking changes nothing else.
    const hoststats::StatusFields bare = hoststats::parse_status(text, {});
    check(!bare.ids && !bare.uids && bare.tgid == fields.tgid, "wants changed the thread group");
    check(bare.name.empty() && bare.state.empty() && bare.ppid.empty(), "stand-in not asked for");
    if (!fields.name.empty()) {
        check(text.find("Name:") != std::string_view::npos, "name without its key");
        // Unescaping only ever shortens: two bytes become one.
        std::string name;
        hoststats::unescape_status_name(fields.name, name);
        check(name.size() <= fields.name.size(), "unescaped name grew");
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
