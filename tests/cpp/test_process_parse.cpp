// The per-process text parsers, on their own.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hoststats/process_parse.hpp"

namespace {

using hoststats::StatFields;

TEST(StatSplit, NameRunsToTheLastParenthesis) {
    StatFields f;
    ASSERT_TRUE(hoststats::parse_stat_file("42 (a) b (c)) R 1 2\n", f));
    EXPECT_EQ(f.name, "a) b (c)");
    EXPECT_EQ(f.field(0), "42");
    EXPECT_EQ(f.field(1), "R");
    EXPECT_EQ(f.field(2), "1");
    EXPECT_EQ(f.field(3), "2");
    EXPECT_EQ(f.size(), 4u);
    EXPECT_EQ(f.field(4), "");  // past the end
    EXPECT_EQ(f.u64(4), 0u);

    // No "(" in front of the name: nothing to drop. Unicode white space
    // separates fields too.
    ASSERT_TRUE(hoststats::parse_stat_file("7 x) S\xe2\x80\x83" "9\t10", f));
    EXPECT_EQ(f.name, "x");
    EXPECT_EQ(f.size(), 4u);
    EXPECT_EQ(f.field(2), "9");
    EXPECT_EQ(f.u64(3), 10u);
}

TEST(StatSplit, Failures) {
    StatFields f;
    EXPECT_FALSE(hoststats::parse_stat_file("", f));
    EXPECT_FALSE(hoststats::parse_stat_file("42(a)R", f));
    EXPECT_FALSE(hoststats::parse_stat_file("42 (a R 1", f));
    EXPECT_FALSE(hoststats::parse_stat_file(")42 (a R 1", f));  // ")" before the space only
    EXPECT_FALSE(hoststats::parse_stat_file("4\xff (a) R", f));
    EXPECT_FALSE(hoststats::parse_stat_file("42 (a) R \xc3", f));
    EXPECT_TRUE(hoststats::parse_stat_file("42 (\xc3) R", f));  // the name may be any bytes
}

TEST(StatSplit, NumbersOfFields) {
    StatFields f;
    ASSERT_TRUE(hoststats::parse_stat_file("1 (a) S +5 -3 18446744073709551616 12", f));
    EXPECT_EQ(f.u64(2), 5u);  // one "+" is allowed
    EXPECT_EQ(f.u64(3), 0u);
    EXPECT_EQ(f.u64(4), 0u);  // overflow
    EXPECT_EQ(f.u64(5), 12u);
    // A line longer than the fields ever read: those are all there, and
    // what follows must still be text.
    std::string line = "1 (a)";
    for (int i = 1; i < 80; ++i) line.append(" ").append(std::to_string(i));
    ASSERT_TRUE(hoststats::parse_stat_file(line, f));
    EXPECT_GE(f.size(), 23u);
    EXPECT_EQ(f.u64(22), 22u);
    EXPECT_EQ(f.u64(StatFields::CAPACITY), 0u);
    EXPECT_FALSE(hoststats::parse_stat_file(line + " \xff", f));
}

TEST(StatusLines, UidAndGid) {
    using hoststats::get_uid_and_gid;
    auto ids = get_uid_and_gid("Uid:\t1000\t1001\t1002\t1003", "Uid:");
    EXPECT_EQ(ids.first, 1000u);
    EXPECT_EQ(ids.second, 1001u);
    ids = get_uid_and_gid("Uid:\t5", "Uid:");
    EXPECT_EQ(ids.first, 5u);
    EXPECT_EQ(ids.second, 0u);  // missing counts as "0"
    ids = get_uid_and_gid("Uid:", "Uid:");
    EXPECT_EQ(ids.first, 0u);
    EXPECT_EQ(ids.second, 0u);
    ids = get_uid_and_gid("Gid:\t1\t2", "Uid:");
    EXPECT_FALSE(ids.first || ids.second);
    ids = get_uid_and_gid("Ui", "Uid:");
    EXPECT_FALSE(ids.first || ids.second);
    ids = get_uid_and_gid("Uid:\t4294967296\t+7", "Uid:");
    EXPECT_FALSE(ids.first);
    EXPECT_EQ(ids.second, 7u);
    ids = get_uid_and_gid("Gid:\t4294967295\t4294967294", "Gid:");  // (gid_t)-1 is no id
    EXPECT_FALSE(ids.first);
    EXPECT_EQ(ids.second, 4294967294u);

}

// One pass gives all three, as each would be found alone.
TEST(StatusLines, OnePassFindsEachAsAlone) {
    using hoststats::parse_status;
    constexpr hoststats::StatusWants EVERYTHING{.ids = true, .all_uids = true};
    auto all = parse_status("Name:\tx\r\nGid:\t3\t4\r\nUid:\t1\t2\t5\t6\r\nTgid:\t7\n", EVERYTHING);
    ASSERT_TRUE(all.ids);
    EXPECT_EQ(all.ids->uid, 1u);
    EXPECT_EQ(all.ids->euid, 2u);
    EXPECT_EQ(all.ids->gid, 3u);
    EXPECT_EQ(all.ids->egid, 4u);
    EXPECT_EQ(all.uids, (hoststats::UserIds{1, 2, 5, 6}));
    EXPECT_EQ(all.tgid, 7);
    EXPECT_FALSE(parse_status("Uid:\t1\t2\n", EVERYTHING).ids);
    // A "Uid:" line that does not read leaves the ids to a later one, but
    // decides the four ids: the first line is the kernel's.
    all = parse_status("Uid:\tx\t2\t2\t2\nGid:\t3\t4\nUid:\t1\t2\t1\t1\n", EVERYTHING);
    ASSERT_TRUE(all.ids);
    EXPECT_EQ(all.ids->uid, 1u);
    EXPECT_FALSE(all.uids);
    // Three ids, or five, are not the kernel's line.
    EXPECT_FALSE(parse_status("Uid:\t1\t1\t1\nGid:\t1\t1\n", EVERYTHING).uids);
    EXPECT_FALSE(parse_status("Uid:\t1\t1\t1\t1\t1\n", EVERYTHING).uids);
    // Once both ids are found, a later line changes nothing.
    all = parse_status("Uid:\t1\t2\t1\t1\nGid:\t3\t4\nUid:\t8\t9\t8\t8\n", EVERYTHING);
    EXPECT_EQ(all.ids->uid, 1u);
    EXPECT_EQ(all.uids, (hoststats::UserIds{1, 2, 1, 1}));
    // What is not asked for is not given, and the thread-group id always is.
    all = parse_status("Tgid:\t4\nUid:\t1\t2\t1\t1\nGid:\t3\t4\t3\t3\n", {});
    EXPECT_FALSE(all.ids || all.uids);
    EXPECT_EQ(all.tgid, 4);
}

TEST(StatusLines, Tgid) {
    const auto tgid = [](std::string_view text) { return hoststats::parse_status(text, {}).tgid; };
    EXPECT_EQ(tgid("Name:\ta\nTgid:\t  42\nPid:\t43\n"), 42);
    EXPECT_EQ(tgid("Tgid:\t-3\n"), -3);
    EXPECT_FALSE(tgid("Name:\ta\nPid:\t43\n"));
    // The first "Tgid:" line decides, even when it does not read.
    EXPECT_FALSE(tgid("Tgid:\tx\nTgid:\t5\n"));
    EXPECT_FALSE(tgid("Tgid\t5\n"));
    EXPECT_FALSE(tgid("TracerPid:\t5\n"));
}

TEST(ListFiles, NulSeparatedPieces) {
    hoststats::ByteStringList out;
    hoststats::split_nul_list(std::string_view("a\0 b \0\0", 7), out);
    EXPECT_EQ(out.to_vector(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(out.size(), 2u);
    out.clear();
    hoststats::split_nul_list(std::string_view("\0 \0\r\n\f\t", 7), out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.begin(), out.end());
    // The vertical tab is kept; text after the last NUL is a piece.
    hoststats::split_nul_list(std::string_view("\va\v\0tail", 8), out);
    EXPECT_EQ(out.to_vector(), (std::vector<std::string>{"\va\v", "tail"}));
    EXPECT_EQ(out, (hoststats::ByteStringList{"\va\v", "tail"}));
}

TEST(MemoryAndIo, StatmAndIoTexts) {
    auto m = hoststats::parse_statm("10 3 1 0 0 4 0\n", 4096);
    EXPECT_EQ(m.virtual_bytes, 40960u);
    EXPECT_EQ(m.resident_bytes, 12288u);
    m = hoststats::parse_statm("10", 4096);
    EXPECT_EQ(m.virtual_bytes, 40960u);
    EXPECT_EQ(m.resident_bytes, 0u);
    m = hoststats::parse_statm("18446744073709551615 1", 4096);
    EXPECT_EQ(m.virtual_bytes, std::numeric_limits<std::uint64_t>::max());  // saturates

    hoststats::IoCounters io{100, 200, 1, 2};
    hoststats::apply_io_text("rchar: 5\nread_bytes: 300\nwrite_bytes: 400\n", io);
    EXPECT_EQ(io.read_bytes, 300u);
    EXPECT_EQ(io.prev_read_bytes, 100u);
    EXPECT_EQ(io.written_bytes, 400u);
    EXPECT_EQ(io.prev_written_bytes, 200u);
    hoststats::apply_io_text("read_bytes: 1x\nwrite_bytes\n", io);
    EXPECT_EQ(io.read_bytes, 300u);
    EXPECT_EQ(io.prev_read_bytes, 300u);
    EXPECT_EQ(io.written_bytes, 400u);
    EXPECT_EQ(io.prev_written_bytes, 400u);
    // Reading stops after the second matching line.
    hoststats::apply_io_text("read_bytes: 1\nread_bytes: 2\nwrite_bytes: 3\n", io);
    EXPECT_EQ(io.read_bytes, 2u);
    EXPECT_EQ(io.written_bytes, 400u);
}

TEST(EntryNames, IdRule) {
    EXPECT_EQ(hoststats::pid_from_entry_name("123"), 123);
    EXPECT_EQ(hoststats::pid_from_entry_name("+7"), 7);
    EXPECT_FALSE(hoststats::pid_from_entry_name("-5"));
    EXPECT_FALSE(hoststats::pid_from_entry_name("+"));
    EXPECT_FALSE(hoststats::pid_from_entry_name("self"));
    EXPECT_FALSE(hoststats::pid_from_entry_name("12a"));
    EXPECT_FALSE(hoststats::pid_from_entry_name("4294967296"));
    EXPECT_FALSE(hoststats::pid_from_entry_name(""));
}

TEST(ExePath, DeletedMarker) {
    auto strip = [](std::string_view s) {
        hoststats::strip_deleted_suffix(s);
        return std::string(s);
    };
    EXPECT_EQ(strip("/usr/bin/app (deleted)"), "/usr/bin/app");
    EXPECT_EQ(strip(" (deleted)"), "");  // exactly the marker
    EXPECT_EQ(strip("/a/ (deleted)/b"), "/a/ (deleted)/b");
    EXPECT_EQ(strip("/usr/bin/app"), "/usr/bin/app");
    EXPECT_EQ(strip("/x/(deleted)"), "/x/(deleted)");  // 9 bytes: too short
}

TEST(Ticks, GuardedDivisions) {
    EXPECT_EQ(hoststats::ticks_to_seconds(250, 100), 2u);
    EXPECT_EQ(hoststats::ticks_to_seconds(250, 0), 0u);
    EXPECT_EQ(hoststats::ticks_to_ms(150, 100, 100), 2500u);
    EXPECT_EQ(hoststats::ticks_to_ms(150, 100, 0), 0u);
    EXPECT_EQ(hoststats::ticks_to_ms(~std::uint64_t{0}, 1, 1000),
              std::numeric_limits<std::uint64_t>::max() / 1000);  // sum and product saturate
}

TEST(StateLetter, FirstCodePoint) {
    EXPECT_EQ(hoststats::first_code_point(""), 0u);
    EXPECT_EQ(hoststats::first_code_point("R"), static_cast<std::uint32_t>('R'));
    EXPECT_EQ(hoststats::first_code_point("\xc3\xa9x"), 0xE9u);
    EXPECT_EQ(hoststats::process_state_from_char(0xE9), hoststats::ProcessState::Unknown);
}

}  // namespace
