// What the tasks of one thread group read alike, read once for all of them,
// and what one entry reads of its "status" once for all its needs.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

#include "hoststats/list_budget.hpp"
#include "hoststats/process.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/read_buffer.hpp"

namespace hoststats {

// An entry's "status", read at most once: its thread-group id, its user
// and group ids, and whether its locked files may be read come from the one
// reading, so they tell of one instant.
struct EntryStatus {
    bool tried = false;  // the one reading was made, whatever came of it
    bool read = false;   // and it succeeded
    // Every user id is the caller's or root's (see `may_wait_on`).
    bool trusted = false;
    std::optional<Pid> tgid;
    std::optional<UserGroupIds> ids;  // only when the selection asks for them
    std::optional<UserIds> uids;      // all four
    // What stands in for "stat" where it may not be read.
    struct StatStandIn {
        std::string name;  // unescaped
        std::string state, ppid;
    };
    StatStandIn stand_in;

    // Every entry of a scan reads for one `selection`, by one `caller`.
    void read_once(int dirfd, ReadBuffer& scratch, const ProcessSelection& selection,
                   std::uint32_t caller);
    // The fields of "stat" that "status" has too, the state and the parent,
    // and the name: nothing else, so every other field reads as missing.
    // False when "status" could not be read. The views point into this.
    [[nodiscard]] bool stat_stand_in(StatFields& out) const noexcept;
};

// What all tasks of one thread group read alike: the files of the address
// space they share ("cmdline", "environ", "statm" and the "exe" link). Each
// is tried by the first entry of the group that wants it, and what came of
// that one attempt (a list, an empty list, a failure) is what every other
// task of the group gets: a process of a thousand threads costs one read,
// whatever its files hold or refuse. The "cwd" and "root" links, which a
// task may change for itself alone, are read for each task, but a target
// equal to the one the group kept last is kept only once.
class SharedSpace {
public:
    // Lists and link targets come from `records`, environments from
    // `secrets`; `budget` bounds what the whole scan keeps of them.
    SharedSpace(std::pmr::memory_resource* records, std::pmr::memory_resource* secrets,
                ListBudget& budget)
        : cmdline_(records), environ_(secrets), records_(records), secrets_(secrets),
          budget_(&budget) {}

    // A new thread group.
    void reset() noexcept;
    // An address space of its own, with nothing read yet, drawing on the
    // same budget.
    [[nodiscard]] SharedSpace own_space() const { return {records_, secrets_, *budget_}; }

    // The executable, " (deleted)" taken off; nothing when it could not be
    // read or kept.
    const std::optional<SharedText>& exe(int dirfd);
    // The task's links, read now; nothing when they could not be read or
    // kept.
    std::optional<SharedText> cwd(int dirfd) { return task_link(dirfd, "cwd", cwd_); }
    std::optional<SharedText> root(int dirfd) { return task_link(dirfd, "root", root_); }
    const ByteStringList& cmdline(int dirfd, ReadBuffer& scratch);
    const ByteStringList& environ(int dirfd, ReadBuffer& scratch);
    // Null when "statm" could not be read.
    const StatmBytes* statm(int dirfd, ReadBuffer& scratch, std::uint64_t page_size);

private:
    // Which files the group has tried, one bit each.
    enum Tried : unsigned { Exe = 1, Cmdline = 2, Environ = 4, Statm = 8 };
    bool first_try(Tried file) noexcept;
    // Throws DumpExclusionRefused where secret contents cannot be kept.
    ByteStringList read_list(int dirfd, const char* name, ReadBuffer& scratch,
                             std::pmr::memory_resource* memory, ReadBuffer::Contents contents);

    // Reads the link `name`; its target is kept as `last` says.
    std::optional<SharedText> task_link(int dirfd, const char* name,
                                        std::optional<SharedText>& last);
    // The target kept of `text` for the group: `last` when it holds the
    // same text, else a new copy that `last` then holds.
    std::optional<SharedText> keep_link(std::string_view text, std::optional<SharedText>& last);

    unsigned tried_ = 0;
    std::optional<SharedText> exe_;
    std::optional<SharedText> cwd_;   // the group's last "cwd" target
    std::optional<SharedText> root_;  // and "root" target
    ByteStringList cmdline_;
    ByteStringList environ_;
    std::optional<StatmBytes> statm_;
    std::pmr::memory_resource* records_;
    std::pmr::memory_resource* secrets_;
    ListBudget* budget_;
    bool environ_refused_ = false;  // for the scan: environments cannot be kept
};

}  // namespace hoststats
