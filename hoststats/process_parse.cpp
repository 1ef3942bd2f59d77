// Parsers of the per-process /proc texts. Nothing here reads a file; every
// function works on text that the scan already holds in its buffers.
#include "hoststats/process_parse.hpp"

#include <cstring>
#include <limits>
#include <utility>

#include "hoststats/numbers.hpp"
#include "hoststats/text.hpp"

namespace hoststats {

namespace {

bool is_list_white(char c) noexcept {
    // ASCII white space as the list files know it; the vertical tab is text.
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

}  // namespace

std::uint64_t StatFields::u64(std::size_t i) const noexcept {
    std::uint64_t value = 0;
    if (i >= count || !parse_u64(field(i), value)) return 0;
    return value;
}

bool parse_stat_file(std::string_view bytes, StatFields& out) noexcept {
    out.count = 0;
    out.name = {};
    const std::size_t space = bytes.find(' ');
    if (space == std::string_view::npos) return false;
    const std::string_view pid_text = bytes.substr(0, space);
    if (!is_valid_utf8(pid_text)) return false;

    // The command name may hold spaces and ")" itself; only the last ")" of
    // the line closes it.
    const std::string_view rest = bytes.substr(space + 1);
    const auto* close_at = static_cast<const char*>(::memrchr(rest.data(), ')', rest.size()));
    if (close_at == nullptr) return false;
    const auto close = static_cast<std::size_t>(close_at - rest.data());
    const std::string_view tail = rest.substr(close + 1);
    if (!is_valid_utf8(tail)) return false;

    std::string_view name = rest.substr(0, close);
    if (!name.empty() && name.front() == '(') name.remove_prefix(1);
    out.name = name;

    out.items[0] = pid_text;
    out.count = 1;
    split_unicode_whitespace(tail, [&out](std::string_view piece) {
        out.items[out.count++] = piece;
        return out.count < StatFields::CAPACITY;
    });
    return true;
}

std::pair<std::optional<std::uint32_t>, std::optional<std::uint32_t>> get_uid_and_gid(
    std::string_view line, std::string_view prefix) noexcept {
    if (line.size() < 4 || line.substr(0, 4) != prefix) return {};
    std::string_view pieces[3] = {{}, "0", "0"};
    std::size_t seen = 0;
    split_unicode_whitespace(line, [&](std::string_view piece) {
        pieces[seen++] = piece;
        return seen < 3;
    });
    std::pair<std::optional<std::uint32_t>, std::optional<std::uint32_t>> ids;
    constexpr std::uint32_t NO_ID = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t value = 0;
    if (parse_u32(pieces[1], value) && value != NO_ID) ids.first = value;
    if (parse_u32(pieces[2], value) && value != NO_ID) ids.second = value;
    return ids;
}

namespace {

// The four ids after a "Uid:" key; nothing unless there are exactly four.
std::optional<UserIds> four_user_ids(std::string_view values) noexcept {
    UserIds ids{};
    std::size_t seen = 0;
    bool all_read = true;
    split_unicode_whitespace(values, [&](std::string_view piece) {
        all_read = seen < ids.size() && parse_u32(piece, ids[seen]);
        ++seen;
        return all_read;
    });
    if (!all_read || seen != ids.size()) return std::nullopt;
    return ids;
}

}  // namespace

StatusFields parse_status(std::string_view status, StatusWants wants) noexcept {
    StatusFields out;
    bool tgid_seen = false;
    bool uids_seen = !wants.all_uids;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> user, group;
    bool ids_done = !wants.ids;
    // The kernel writes these three before the ids, so looking for them
    // makes the pass no longer.
    bool name_seen = !wants.stat_stand_in;
    bool state_seen = name_seen;
    bool ppid_seen = name_seen;
    SplitCursor lines(status);
    std::string_view line;
    while (!(tgid_seen && uids_seen && ids_done && name_seen && state_seen && ppid_seen) &&
           lines.next(line)) {
        // A name may end in a carriage return of its own.
        const std::string_view whole = line;
        line = without_cr(line);
        // Most lines are none of those looked for; their first byte tells.
        if (line.empty()) continue;
        const char key = line.front();
        if (key == 'N') {
            if (name_seen || !whole.starts_with("Name:")) continue;
            name_seen = true;
            // One tab after the key; a name may begin with white space.
            out.name = whole.substr(5);
            if (out.name.starts_with('\t')) out.name.remove_prefix(1);
        } else if (key == 'S') {
            if (state_seen || !line.starts_with("State:")) continue;
            state_seen = true;
            out.state = trim_start_unicode(line.substr(6));
        } else if (key == 'P') {
            if (ppid_seen || !line.starts_with("PPid:")) continue;
            ppid_seen = true;
            out.ppid = trim_start_unicode(line.substr(5));
        } else if (key == 'T') {
            if (tgid_seen || !line.starts_with("Tgid:")) continue;
            tgid_seen = true;
            Pid value = 0;
            if (parse_i32(trim_start_unicode(line.substr(5)), value)) out.tgid = value;
        } else if (key == 'U' || key == 'G') {
            if (!uids_seen && line.starts_with("Uid:")) {
                uids_seen = true;
                out.uids = four_user_ids(line.substr(4));
            }
            if (ids_done) continue;
            auto [real, effective] = get_uid_and_gid(line, "Uid:");
            if (real && effective) {
                user.emplace(*real, *effective);
            } else {
                auto [greal, geffective] = get_uid_and_gid(line, "Gid:");
                if (greal && geffective) group.emplace(*greal, *geffective);
            }
            ids_done = user && group;
        }
    }
    if (wants.ids && user && group) {
        out.ids = UserGroupIds{user->first, user->second, group->first, group->second};
    }
    return out;
}

void unescape_status_name(std::string_view escaped, std::string& out) {
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c == '\\' && i + 1 < escaped.size()) {
            const char next = escaped[i + 1];
            if (next == 'n' || next == '\\') {
                out.push_back(next == 'n' ? '\n' : '\\');
                ++i;
                continue;
            }
        }
        out.push_back(c);
    }
}

void split_nul_list(std::string_view bytes, ByteStringList& out) {
    // Every piece and its NUL fit in the room of the text plus one byte.
    out.append_raw(bytes.size() + 1, [bytes](char* room) {
        std::size_t used = 0;
        std::size_t pieces = 0;
        const char* p = bytes.data();
        const char* const end = p + bytes.size();
        while (p < end) {
            const auto* nul = static_cast<const char*>(
                std::memchr(p, '\0', static_cast<std::size_t>(end - p)));
            const char* first = p;
            const char* last = nul == nullptr ? end : nul;
            while (first < last && is_list_white(*first)) ++first;
            while (last > first && is_list_white(last[-1])) --last;
            if (first < last) {
                const auto len = static_cast<std::size_t>(last - first);
                std::memcpy(room + used, first, len);
                room[used + len] = '\0';
                used += len + 1;
                ++pieces;
            }
            p = nul == nullptr ? end : nul + 1;
        }
        return std::pair<std::size_t, std::size_t>(used, pieces);
    });
}

StatmBytes parse_statm(std::string_view text, std::uint64_t page_size) noexcept {
    StatmBytes bytes;
    const std::size_t space = text.find(' ');
    bytes.virtual_bytes = saturating_mul(accumulate_digits(text.substr(0, space)), page_size);
    if (space == std::string_view::npos) return bytes;
    const std::string_view after = text.substr(space + 1);
    bytes.resident_bytes =
        saturating_mul(accumulate_digits(after.substr(0, after.find(' '))), page_size);
    return bytes;
}

void apply_io_text(std::string_view text, IoCounters& io) noexcept {
    int matched = 0;
    SplitCursor lines(text);
    std::string_view line;
    while (matched < 2 && lines.next(line)) {
        line = without_cr(line);
        // The kernel writes "key: value"; only the text up to a further ": "
        // belongs to the value.
        const std::size_t sep = line.find(": ");
        const std::string_view key = line.substr(0, sep);
        std::optional<std::string_view> value;
        if (sep != std::string_view::npos) {
            std::string_view v = line.substr(sep + 2);
            value = v.substr(0, v.find(": "));
        }
        std::uint64_t* current = nullptr;
        std::uint64_t* previous = nullptr;
        if (key == "read_bytes") {
            current = &io.read_bytes;
            previous = &io.prev_read_bytes;
        } else if (key == "write_bytes") {
            current = &io.written_bytes;
            previous = &io.prev_written_bytes;
        } else {
            continue;
        }
        *previous = *current;
        std::uint64_t parsed = 0;
        if (value && parse_u64(*value, parsed)) *current = parsed;
        ++matched;
    }
}

void strip_deleted_suffix(std::string_view& exe) noexcept {
    static constexpr std::string_view DELETED_MARKER = " (deleted)";
    const std::size_t slash = exe.rfind('/');
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    if (exe.substr(start).ends_with(DELETED_MARKER)) exe.remove_suffix(DELETED_MARKER.size());
}

std::optional<Pid> pid_from_entry_name(std::string_view name) noexcept {
    std::uint32_t value = 0;
    if (!is_valid_utf8(name) || !parse_u32(name, value)) return std::nullopt;
    return static_cast<Pid>(value);
}

std::uint32_t first_code_point(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const Utf8Char first = decode_utf8(text);
    return first.valid ? first.code_point : static_cast<unsigned char>(text[0]);
}

std::uint64_t ticks_to_seconds(std::uint64_t ticks, std::uint64_t clock_ticks) noexcept {
    return clock_ticks == 0 ? 0 : ticks / clock_ticks;
}

std::uint64_t ticks_to_ms(std::uint64_t user_ticks, std::uint64_t system_ticks,
                          std::uint64_t clock_ticks) noexcept {
    if (clock_ticks == 0) return 0;
    return saturating_mul(saturating_add(user_ticks, system_ticks), 1000) / clock_ticks;
}

std::int64_t budget_from_limits(bool got_limits, std::uint64_t soft, std::uint64_t hard,
                                bool raised) noexcept {
    if (!got_limits) return 512;
    constexpr std::uint64_t WIDEST = std::numeric_limits<std::uint32_t>::max();
    const std::uint64_t limit = raised ? hard : soft;
    const auto limit32 = static_cast<std::uint32_t>(limit > WIDEST ? WIDEST : limit);
    return static_cast<std::int64_t>(limit32 >> 1);
}

}  // namespace hoststats
