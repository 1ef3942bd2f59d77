// What the tasks of one thread group read alike, read once for all of them.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string_view>

#include "hoststats/compact_values.hpp"
#include "hoststats/list_budget.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/read_buffer.hpp"

namespace hoststats {

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
