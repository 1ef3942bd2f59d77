// Per-process details (ids, links, argument and environment lists, memory,
// storage traffic) and the process-wide open-file budget.
#include "hoststats/process_details.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hoststats/arena.hpp"
#include "hoststats/numbers.hpp"
#include "hoststats/utils.hpp"

namespace hoststats {

// --- the open-file budget -----------------------------------------------------

namespace {

// Raises the soft limit on open files to the hard one and keeps half of
// whatever limit is then in force for "stat" files; the other half stays
// with the rest of the process.
std::int64_t initial_budget() noexcept {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return budget_from_limits(false, 0, 0, false);
    const std::uint64_t soft = limits.rlim_cur;
    limits.rlim_cur = limits.rlim_max;
    const bool raised = ::setrlimit(RLIMIT_NOFILE, &limits) == 0;
    return budget_from_limits(true, soft, limits.rlim_max, raised);
}

}  // namespace

std::atomic<std::int64_t>& remaining_files() noexcept {
    // A function-local static: the first caller initialises it, any other
    // thread arriving meanwhile waits for that.
    static std::atomic<std::int64_t> remaining{initial_budget()};
    return remaining;
}

// --- one reading of "status" ---------------------------------------------------

void EntryStatus::read_once(int dirfd, ReadBuffer& scratch) {
    if (tried) return;
    tried = true;
    if (scratch.read_file_at(dirfd, "status") != 0) return;
    // Only the "Name:" line, which the process chooses, may hold bytes that
    // are not UTF-8; the "Tgid:", "Uid:" and "Gid:" lines are ASCII.
    // Requiring the whole file to be text would let a process hide its ids
    // by its name.
    const std::string_view text = scratch.view();
    tgid = parse_tgid(text);
    ids = parse_status_ids(text);
}

// --- the thread group's shared files ------------------------------------------

bool ListBudget::take(std::size_t bytes) noexcept {
    if (spent_ || bytes > left_) {
        spent_ = true;
        return false;
    }
    left_ -= bytes;
    return true;
}

void SharedSpace::reset() noexcept {
    tried_ = 0;
    exe_.reset();
    cmdline_.clear();
    environ_.clear();
    statm_.reset();
}

bool SharedSpace::first_try(Tried file) noexcept {
    if ((tried_ & file) != 0) return false;
    tried_ |= file;
    return true;
}

const std::optional<std::string>& SharedSpace::exe(int dirfd) {
    if (first_try(Exe)) exe_ = realpath(dirfd, "exe");
    return exe_;
}

ByteStringList SharedSpace::read_list(int dirfd, const char* name, ReadBuffer& scratch,
                                      std::pmr::memory_resource* memory) {
    // Empty on any failure, and once the scan's budget is spent.
    ByteStringList list(memory);
    if (budget_->spent() || scratch.read_file_at(dirfd, name) != 0) return list;
    const std::string_view bytes = scratch.view();
    // Counted as read, blanks and all: the budget bounds the reading too.
    if (bytes.empty() || !budget_->take(bytes.size())) return list;
    split_nul_list(bytes, list);
    return list;
}

const ByteStringList& SharedSpace::cmdline(int dirfd, ReadBuffer& scratch) {
    if (first_try(Cmdline)) cmdline_ = read_list(dirfd, "cmdline", scratch, records_);
    return cmdline_;
}

const ByteStringList& SharedSpace::environ(int dirfd, ReadBuffer& scratch) {
    // Another process's environment (its passwords and tokens) may only be
    // held where a core dump of this process cannot take it along; where
    // no memory can be left out of dumps, environments stay empty, as for
    // an unreadable file.
    if (!first_try(Environ) || environ_refused_) return environ_;
    bool refused = !scratch.dump_excluded();
    if (!refused) {
        try {
            environ_ = read_list(dirfd, "environ", scratch, secrets_);
        } catch (const DumpExclusionRefused&) {
            refused = true;
        }
        refused = refused || !scratch.dump_excluded();  // refused as the buffer grew
    }
    if (refused) {
        environ_refused_ = true;
        environ_.clear();
    }
    return environ_;
}

const StatmBytes* SharedSpace::statm(int dirfd, ReadBuffer& scratch, std::uint64_t page_size) {
    if (first_try(Statm) && scratch.read_file_at(dirfd, "statm") == 0) {
        statm_ = parse_statm(scratch.view(), page_size);
    }
    return statm_ ? &*statm_ : nullptr;
}

// --- detail readers -----------------------------------------------------------

namespace {

// The ids of "status", when `policy` asks for them; the file is read only if
// `status` has not been read yet.
void refresh_user_group_ids(Process& process, int dirfd, FieldPolicy policy,
                            EntryStatus& status, ReadBuffer& scratch) {
    if (policy == FieldPolicy::Never) return;
    if (policy == FieldPolicy::IfMissing && process.uid) return;
    status.read_once(dirfd, scratch);
    if (!status.ids) return;
    process.uid = status.ids->uid;
    process.euid = status.ids->euid;
    process.gid = status.ids->gid;
    process.egid = status.ids->egid;
}

// Whether an item under `policy` is to be read, `present` telling whether
// the record holds it already.
bool wanted(FieldPolicy policy, bool present) noexcept {
    return policy == FieldPolicy::Always || (policy == FieldPolicy::IfMissing && !present);
}

// The "cwd" and "root" links, which each task has of its own.
void refresh_link(std::optional<RecordString>& field, std::pmr::memory_resource* memory,
                  int dirfd, const char* name, FieldPolicy policy) {
    if (!wanted(policy, field.has_value())) return;
    // A failed read keeps what an earlier scan found.
    const std::optional<std::string> target = realpath(dirfd, name);
    if (target) field.emplace(*target, memory);
}

// A freshly read "exe" target; nothing (a failed read) keeps an earlier one.
void apply_exe(Process& process, const std::optional<std::string>& target) {
    if (!target) return;
    std::string exe = *target;
    strip_deleted_suffix(exe);
    process.exe.emplace(exe, process.memory());
}

// A freshly read list. An empty one (a kernel thread, a process that just
// ended) keeps the list an earlier scan found.
void apply_list(ByteStringList& field, const ByteStringList& fresh) {
    if (!fresh.empty()) field = fresh;
}

// "statm", falling back to the "stat" fields when it cannot be read.
void refresh_memory(Process& process, const StatmBytes* statm, const StatFields& stat,
                    std::uint64_t page_size) {
    if (statm) {
        process.virtual_bytes = statm->virtual_bytes;
        process.resident_bytes = statm->resident_bytes;
        return;
    }
    // "stat" has the same figures: rss in pages, vsize already in bytes.
    process.resident_bytes = saturating_mul(stat.u64(StatFields::rss), page_size);
    process.virtual_bytes = stat.u64(StatFields::vsize);
}

void refresh_disk_io(Process& process, int dirfd, ReadBuffer& scratch) {
    if (scratch.read_file_at(dirfd, "io") != 0) return;
    const std::string_view text = scratch.view();
    if (!is_text(text)) return;
    apply_io_text(text, process.io);
}

}  // namespace

void update_proc_info(Process& process, std::optional<Pid> parent_pid, const StatFields& stat,
                      int dirfd, ScanContext& ctx, SharedSpace& space, EntryStatus& status) {
    const ProcessSelection& sel = ctx.selection;
    if (parent_pid && *parent_pid != 0) {
        process.parent_pid = parent_pid;
    } else {
        Pid ppid = 0;
        if (stat.size() > StatFields::ppid && parse_i32(stat.field(StatFields::ppid), ppid) &&
            ppid != 0) {
            process.parent_pid = ppid;
        } else {
            process.parent_pid.reset();
        }
    }

    process.state_code = first_code_point(stat.field(StatFields::state));
    process.state = process_state_from_char(process.state_code);

    refresh_user_group_ids(process, dirfd, sel.user, status, ctx.scratch);
    // The address space's files come from the thread group's one reading,
    // except for a task that has no address space left: a leader that
    // exited before its threads has files of its own, empty ones, and the
    // group's would give it a command line it no longer has. A kernel
    // thread never had one: the kernel gives it no "exe", empty lists and
    // no memory beyond what "stat" says, so none of them is read.
    const bool kernel = process.thread_class == ThreadClass::KernelThread;
    std::optional<SharedSpace> own;
    if (process.state == ProcessState::Zombie || process.state == ProcessState::Dead) {
        own.emplace(space.own_space());
    }
    SharedSpace& shared = own ? *own : space;
    if (!kernel) {
        if (wanted(sel.exe, process.exe.has_value())) apply_exe(process, shared.exe(dirfd));
        if (wanted(sel.cmdline, !process.cmdline.empty())) {
            apply_list(process.cmdline, shared.cmdline(dirfd, ctx.scratch));
        }
        if (wanted(sel.environ, !process.environ.empty())) {
            apply_list(process.environ, shared.environ(dirfd, ctx.scratch));
        }
    }
    refresh_link(process.cwd, process.memory(), dirfd, "cwd", sel.cwd);
    refresh_link(process.root, process.memory(), dirfd, "root", sel.root);
    if (sel.memory) {
        const StatmBytes* statm =
            kernel ? nullptr : shared.statm(dirfd, ctx.scratch, ctx.host.page_size);
        refresh_memory(process, statm, stat, ctx.host.page_size);
    }

    process.prev_user_ticks = process.user_ticks;
    process.prev_system_ticks = process.system_ticks;
    process.user_ticks = stat.u64(StatFields::utime);
    process.system_ticks = stat.u64(StatFields::stime);
    process.run_time = saturating_sub(ctx.host.uptime, process.start_since_boot);

    if (sel.disk_io) refresh_disk_io(process, dirfd, ctx.scratch);
    if (sel.cpu_usage) {
        process.cpu_time_ms =
            ticks_to_ms(process.user_ticks, process.system_ticks, ctx.host.clock_ticks);
    }
    process.updated = true;
}

}  // namespace hoststats
