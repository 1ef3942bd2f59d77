#include "hoststats/shared_space.hpp"

#include <chrono>

#include "hoststats/pages.hpp"
#include "hoststats/utils.hpp"

namespace hoststats {

// --- one reading of "status" ---------------------------------------------------

void EntryStatus::read_once(int dirfd, ReadBuffer& scratch, const ProcessSelection& selection,
                            std::uint32_t caller) {
    if (tried) return;
    tried = true;
    if (scratch.read_file_at(dirfd, "status") != 0) return;
    read = true;
    // Only the "Name:" line, which the process chooses, may hold bytes that
    // are not UTF-8; the "Tgid:", "Uid:" and "Gid:" lines are ASCII.
    // Requiring the whole file to be text would let a process hide its ids
    // by its name.
    const std::string_view text = scratch.view();
    // The four user ids decide whether the locked files may be read.
    const StatusWants wants{
        .ids = selection.user != FieldPolicy::Never,
        .all_uids = true,
        .stat_stand_in = true,
    };
    StatusFields fields = parse_status(text, wants);
    tgid = fields.tgid;
    ids = fields.ids;
    uids = fields.uids;
    trusted = may_wait_on(uids, caller);
    // Kept for a trusted entry too: the scan's waits may run out before
    // its "stat" is read.
    unescape_status_name(fields.name, stand_in.name);
    stand_in.state = fields.state;
    stand_in.ppid = fields.ppid;
}

bool EntryStatus::stat_stand_in(StatFields& out) const noexcept {
    out = StatFields{};
    if (!read) return false;
    out.from_status = true;
    out.name = stand_in.name;
    out.items[StatFields::STATE] = stand_in.state;
    out.items[StatFields::PPID] = stand_in.ppid;
    out.count = StatFields::PPID + 1;
    return true;
}

// --- the thread group's shared files ------------------------------------------

void SharedSpace::reset() noexcept {
    tried_ = 0;
    exe_.reset();
    cwd_.reset();
    root_.reset();
    cmdline_.clear();
    environ_.clear();
    statm_.reset();
}

bool SharedSpace::first_try(Tried file) noexcept {
    if ((tried_ & file) != 0) return false;
    tried_ |= file;
    return true;
}

std::optional<SharedText> SharedSpace::keep_link(std::string_view text,
                                                  std::optional<SharedText>& last) {
    if (last && *last == text) return last;
    // Counted against the scan's budget: a neighbour's threads could each
    // stand in a directory of its own whose path is some KiB long.
    if (!budget_->take(text.size())) return std::nullopt;
    last.emplace(text, records_);
    return last;
}

const std::optional<SharedText>& SharedSpace::exe(int dirfd) {
    if (!first_try(Exe)) return exe_;
    LinkTarget target;
    if (budget_->timed([&] { return target.read(dirfd, "exe"); })) {
        std::string_view text = target.view();
        strip_deleted_suffix(text);
        keep_link(text, exe_);
    }
    return exe_;
}

std::optional<SharedText> SharedSpace::task_link(int dirfd, const char* name,
                                                  std::optional<SharedText>& last) {
    LinkTarget target;
    if (!budget_->timed([&] { return target.read(dirfd, name); })) return std::nullopt;
    return keep_link(target.view(), last);
}

ByteStringList SharedSpace::read_list(int dirfd, const char* name, ReadBuffer& scratch,
                                      std::pmr::memory_resource* memory,
                                      ReadBuffer::Contents contents) {
    // Empty on any failure, and once the scan's budget is spent.
    ByteStringList list(memory);
    if (budget_->spent()) return list;
    // A refused read (it throws) may have waited all the same.
    const int error =
        budget_->timed([&] { return scratch.read_file_at(dirfd, name, contents); });
    if (error != 0) return list;
    const std::string_view bytes = scratch.view();
    // Counted as read, blanks and all: the budget bounds the reading too.
    if (bytes.empty() || !budget_->take(bytes.size())) return list;
    split_nul_list(bytes, list);
    return list;
}

const ByteStringList& SharedSpace::cmdline(int dirfd, ReadBuffer& scratch) {
    if (first_try(Cmdline)) {
        cmdline_ = read_list(dirfd, "cmdline", scratch, records_, ReadBuffer::Contents::Plain);
    }
    return cmdline_;
}

const ByteStringList& SharedSpace::environ(int dirfd, ReadBuffer& scratch) {
    // Another process's environment (its passwords and tokens) may only be
    // held where a core dump of this process cannot take it along; where
    // no memory can be left out of dumps, environments stay empty, as for
    // an unreadable file.
    // The read buffer and the secret arena both refuse by throwing.
    if (!first_try(Environ) || environ_refused_) return environ_;
    try {
        environ_ = read_list(dirfd, "environ", scratch, secrets_, ReadBuffer::Contents::Secret);
    } catch (const DumpExclusionRefused&) {
        environ_refused_ = true;
    }
    return environ_;
}

const StatmBytes* SharedSpace::statm(int dirfd, ReadBuffer& scratch, std::uint64_t page_size) {
    if (first_try(Statm) && scratch.read_file_at(dirfd, "statm") == 0) {
        statm_ = parse_statm(scratch.view(), page_size);
    }
    return statm_ ? &*statm_ : nullptr;
}

}  // namespace hoststats
