// Per-process details (ids, links, argument and environment lists, memory,
// storage traffic).
#include "hoststats/process_details.hpp"

#include <utility>

#include "hoststats/numbers.hpp"
#include "hoststats/list_budget.hpp"
#include "hoststats/text.hpp"

namespace hoststats {

namespace {

// The ids of "status", when the selection asks for them; the file is read only if
// `status` has not been read yet.
void refresh_user_group_ids(Process& process, int dirfd, const ProcessSelection& selection,
                            std::uint32_t caller, EntryStatus& status, ReadBuffer& scratch) {
    const FieldPolicy policy = selection.user;
    if (policy == FieldPolicy::Never) return;
    if (policy == FieldPolicy::IfMissing && process.uid) return;
    status.read_once(dirfd, scratch, selection, caller);
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
void refresh_link(OptionalText& field, FieldPolicy policy, Read&& read) {
    if (!wanted(policy, field.has_value())) return;
    std::optional<SharedText> target = read();
    if (target) field = target;
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

void refresh_disk_io(Process& process, int dirfd, ReadBuffer& scratch, ListBudget& budget) {
    if (budget.timed([&] { return scratch.read_file_at(dirfd, "io"); }) != 0) return;
    const std::string_view text = scratch.view();
    if (!is_valid_utf8(text)) return;
    apply_io_text(text, process.io);
}

// Nanoseconds the task has run, the first figure of its "schedstat", which
// waits on no lock of the task's; nothing when it cannot be read.
std::optional<std::uint64_t> schedstat_run_ns(int dirfd, ReadBuffer& scratch) {
    if (scratch.read_file_at(dirfd, "schedstat") != 0) return std::nullopt;
    std::string_view text = scratch.view();
    text = text.substr(0, text.find(' '));
    std::uint64_t ns = 0;
    if (!parse_u64(text, ns)) return std::nullopt;
    return ns;
}

// The CPU time of a record filled from "stat", in nanoseconds.
std::uint64_t ticks_to_ns(const Process& process, std::uint64_t clock_ticks) noexcept {
    if (clock_ticks == 0) return 0;
    const std::uint64_t ticks = saturating_add(process.user_ticks, process.system_ticks);
    const std::uint64_t per_tick = 1'000'000'000 / clock_ticks;
    return saturating_mul(ticks, per_tick);
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

    refresh_user_group_ids(process, dirfd, sel, ctx.caller_uid, status, ctx.scratch);
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
    // Where "stat" could not be read, neither are the other files that wait
    // on the entry's locks.
    const auto may_wait = [&] { return !stat.from_status && ctx.may_wait(status); };
    if (!kernel) {
        if (wanted(sel.exe, process.exe.has_value()) && may_wait()) {
            // Nothing (a failed read) keeps an earlier target.
            if (const std::optional<SharedText>& exe = shared.exe(dirfd)) process.exe = exe;
        }
        const bool want_cmdline = wanted(sel.cmdline, !process.cmdline.empty());
        const bool want_environ = wanted(sel.environ, !process.environ.empty());
        // Another user's lists are not even tried: the group's one attempt
        // is left to a task the caller may read, if the group has one.
        if (want_cmdline || want_environ) status.read_once(dirfd, ctx.scratch, sel, ctx.caller_uid);
        if (status.trusted) {
            if (want_cmdline) apply_list(process.cmdline, shared.cmdline(dirfd, ctx.scratch));
            if (want_environ) apply_list(process.environ, shared.environ(dirfd, ctx.scratch));
        }
    }
    if (may_wait()) {
        refresh_link(process.cwd, sel.cwd, [&] { return shared.cwd(dirfd); });
        refresh_link(process.root, sel.root, [&] { return shared.root(dirfd); });
    }
    if (sel.memory) {
        const StatmBytes* statm =
            kernel ? nullptr : shared.statm(dirfd, ctx.scratch, ctx.host.page_size);
        refresh_memory(process, statm, stat, ctx.host.page_size);
    }

    process.prev_user_ticks = process.user_ticks;
    process.prev_system_ticks = process.system_ticks;
    process.user_ticks = stat.u64(StatFields::UTIME);
    process.system_ticks = stat.u64(StatFields::STIME);
    // "status" tells no start time: the run time stays unknown.
    if (!stat.from_status) {
        process.run_time = saturating_sub(ctx.host.uptime, process.start_since_boot);
    }

    if (sel.disk_io && may_wait()) refresh_disk_io(process, dirfd, ctx.scratch, *ctx.budget);
    if (sel.cpu_usage) {
        // A task's own time, in its group's sum; a process without "stat"
        // is given its leader's and its listed threads' (threads that ended
        // are missing from it, as no file but "stat" keeps them).
        std::uint64_t ns = 0;
        if (!stat.from_status) {
            process.cpu_time_ms =
                ticks_to_ms(process.user_ticks, process.system_ticks, ctx.host.clock_ticks);
            ns = ticks_to_ns(process, ctx.host.clock_ticks);
        } else if (const std::optional<std::uint64_t> run = schedstat_run_ns(dirfd, ctx.scratch)) {
            ns = *run;
            const std::uint64_t total =
                process.thread_class == ThreadClass::UserThread ? ns
                                                                : saturating_add(ns, ctx.group_cpu_ns);
            process.cpu_time_ms = total / 1'000'000;
        }
        ctx.group_cpu_ns = saturating_add(ctx.group_cpu_ns, ns);
    }
    process.updated = true;
}

}  // namespace hoststats
