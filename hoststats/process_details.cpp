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

// Raises the soft limit on open files to the hard one; the budget is half of
// whatever limit is then in force, the other half being the rest of the
// process's.
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
    static std::atomic<std::int64_t> REMAINING_FILES{initial_budget()};
    return REMAINING_FILES;
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
    uids = parse_status_uids(text);
}

bool lists_readable_by(const std::optional<UserIds>& uids, std::uint32_t caller) noexcept {
    if (!uids) return false;
    return std::all_of(uids->begin(), uids->end(),
                       [caller](std::uint32_t id) { return id == caller || id == 0; });
}

// --- the thread group's shared files ------------------------------------------

bool ListBudget::take(std::size_t bytes) noexcept {
    if (out_of_bytes_ || bytes > left_) {
        out_of_bytes_ = true;
        return false;
    }
    left_ -= bytes;
    return true;
}

namespace {

// How often the calling thread has gone to sleep: a wait for a lock counts
// here, being preempted does not. -1 where the kernel does not say.
long voluntary_switches() noexcept {
    rusage usage{};
    return ::getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : -1;
}

}  // namespace

ListBudget::ListBudget(std::size_t bytes, std::chrono::nanoseconds wait) noexcept
    : left_(bytes), wait_left_(wait), sleeps_seen_(voluntary_switches()) {}

void ListBudget::charge_read(std::chrono::nanoseconds elapsed) noexcept {
    // The system call is made only for the rare read that took long.
    if (elapsed <= LIST_READ_GRACE) return;
    const long sleeps = voluntary_switches();
    const bool slept = sleeps != sleeps_seen_ || sleeps < 0;
    sleeps_seen_ = sleeps;
    if (!slept) return;
    const std::chrono::nanoseconds waited = elapsed - LIST_READ_GRACE;
    if (waited >= wait_left_) {
        wait_left_ = std::chrono::nanoseconds::zero();
        waited_out_ = true;
        return;
    }
    wait_left_ -= waited;
}

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
    if (target.read(dirfd, "exe")) {
        std::string_view text = target.view();
        strip_deleted_suffix(text);
        keep_link(text, exe_);
    }
    return exe_;
}

std::optional<SharedText> SharedSpace::task_link(int dirfd, const char* name,
                                                  std::optional<SharedText>& last) {
    LinkTarget target;
    if (!target.read(dirfd, name)) return std::nullopt;
    return keep_link(target.view(), last);
}

ByteStringList SharedSpace::read_list(int dirfd, const char* name, ReadBuffer& scratch,
                                      std::pmr::memory_resource* memory) {
    // Empty on any failure, and once the scan's budget is spent.
    ByteStringList list(memory);
    if (budget_->spent()) return list;
    const auto start = std::chrono::steady_clock::now();
    const int error = scratch.read_file_at(dirfd, name);
    budget_->charge_read(std::chrono::steady_clock::now() - start);
    if (error != 0) return list;
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

// The "cwd" and "root" links, which each task has of its own. A failed
// read keeps what an earlier scan found.
template <class Read>
void refresh_link(std::optional<SharedText>& field, FieldPolicy policy, Read&& read) {
    if (!wanted(policy, field.has_value())) return;
    std::optional<SharedText> target = read();
    if (target) field = std::move(target);
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
    process.resident_bytes = saturating_mul(stat.u64(StatFields::RSS), page_size);
    process.virtual_bytes = stat.u64(StatFields::VSIZE);
}

void refresh_disk_io(Process& process, int dirfd, ReadBuffer& scratch) {
    if (scratch.read_file_at(dirfd, "io") != 0) return;
    const std::string_view text = scratch.view();
    if (!is_valid_utf8(text)) return;
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
        if (stat.size() > StatFields::PPID && parse_i32(stat.field(StatFields::PPID), ppid) &&
            ppid != 0) {
            process.parent_pid = ppid;
        } else {
            process.parent_pid.reset();
        }
    }

    process.state_code = first_code_point(stat.field(StatFields::STATE));
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
        if (wanted(sel.exe, process.exe.has_value())) {
            // Nothing (a failed read) keeps an earlier target.
            if (const std::optional<SharedText>& exe = shared.exe(dirfd)) process.exe = exe;
        }
        const bool want_cmdline = wanted(sel.cmdline, !process.cmdline.empty());
        const bool want_environ = wanted(sel.environ, !process.environ.empty());
        // Another user's lists are not even tried: the group's one attempt
        // is left to a task the caller may read, if the group has one.
        if (want_cmdline || want_environ) status.read_once(dirfd, ctx.scratch);
        if (lists_readable_by(status.uids, ctx.caller_uid)) {
            if (want_cmdline) apply_list(process.cmdline, shared.cmdline(dirfd, ctx.scratch));
            if (want_environ) apply_list(process.environ, shared.environ(dirfd, ctx.scratch));
        }
    }
    refresh_link(process.cwd, sel.cwd, [&] { return shared.cwd(dirfd); });
    refresh_link(process.root, sel.root, [&] { return shared.root(dirfd); });
    if (sel.memory) {
        const StatmBytes* statm =
            kernel ? nullptr : shared.statm(dirfd, ctx.scratch, ctx.host.page_size);
        refresh_memory(process, statm, stat, ctx.host.page_size);
    }

    process.prev_user_ticks = process.user_ticks;
    process.prev_system_ticks = process.system_ticks;
    process.user_ticks = stat.u64(StatFields::UTIME);
    process.system_ticks = stat.u64(StatFields::STIME);
    process.run_time = saturating_sub(ctx.host.uptime, process.start_since_boot);

    if (sel.disk_io) refresh_disk_io(process, dirfd, ctx.scratch);
    if (sel.cpu_usage) {
        process.cpu_time_ms =
            ticks_to_ms(process.user_ticks, process.system_ticks, ctx.host.clock_ticks);
    }
    process.updated = true;
}

}  // namespace hoststats
