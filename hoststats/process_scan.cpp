// The process table scan: walks /proc, reads each process's and task's
// "stat" file and builds or refreshes its record.
//
// This runs inside every call of the module, so it does the least I/O the
// records allow: each entry's directory is opened once (O_PATH) and every
// file is opened relative to it; listings go through getdents64 into a
// reused buffer; every file is read into one of two buffers reused for the
// whole scan, and the "stat" fields are views into the first.
#include "hoststats/process_scan.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

#include "hoststats/dir_lister.hpp"
#include "hoststats/fd.hpp"
#include "hoststats/file_budget.hpp"
#include "hoststats/list_budget.hpp"
#include "hoststats/numbers.hpp"
#include "hoststats/process_details.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/shared_space.hpp"

namespace hoststats {

namespace {

// Kernel threads carry PF_KTHREAD in the "stat" flags field.
constexpr std::uint32_t KERNEL_THREAD_FLAG = 0x00200000;

// One work item: a process, or one of its tasks.
struct ProcAndTasks {
    Pid pid = 0;
    std::optional<Pid> parent_pid;
    EntryDir dir;        // where it was listed
    TaskSet task_pids;   // processes only, with the tasks flag
    bool is_task = false;
    EntryStatus status;  // read when first needed, once
};

// A task of the process at hand, by its directory entry's name.
struct TaskItem {
    Pid tid;
    std::string name;
};

// What a scan reuses from entry to entry, so that it allocates little but
// its records; all of it in the snapshot's memory.
struct ScanWorkspace {
    ScanWorkspace(SnapshotMemory& arenas, const std::string& root,
                  std::chrono::nanoseconds wait_bound)
        : memory(arenas),
          proc_root(root),
          proc_lister(&arenas.records),
          task_lister(&arenas.records),
          tasks(&arenas.records),
          list_budget(KEPT_LIST_BYTES, wait_bound),
          space(&arenas.records, &arenas.secrets, list_budget) {
        ctx.budget = &list_budget;
    }

    // A new thread group: nothing of it read yet.
    void new_group() noexcept {
        space.reset();
        ctx.group_cpu_ns = 0;
        tasks.clear();
    }

    // Lists the tasks of the process `pid` at `dirfd` into `tasks` and
    // their ids into `set`; the listed directory stays open for them.
    Fd list_tasks(int dirfd, Pid pid, TaskSet& set) {
        PidSet& ids = set.emplace(&memory.records);
        Fd task_dir = open_dir(dirfd, "task");
        if (task_dir.valid()) {
            task_lister.list(task_dir.get(), [&](const char* task_name, Pid tid) {
                if (tid == pid) return;  // the leader is the process itself
                tasks.push_back({tid, task_name});
            });
        }
        // Sized once: what the snapshot's memory is given back is not reused.
        ids.reserve(tasks.size());
        for (const TaskItem& task : tasks) ids.push_back(task.tid);
        std::sort(ids.begin(), ids.end());
        // A listing read while threads come and go may name one twice.
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        return task_dir;
    }

    SnapshotMemory& memory;
    const std::string& proc_root;
    ScanContext ctx;
    DirLister proc_lister;
    DirLister task_lister;
    std::pmr::vector<TaskItem> tasks;
    ListBudget list_budget;           // the scan's waits, and what it keeps of the lists
    SharedSpace space;                // of the thread group at hand
};

// The entry's "stat" fields: read where the entry's locks may be waited on,
// else stood in for by its "status". False when neither could be read.
bool stat_fields(ProcAndTasks& item, int dirfd, ScanContext& ctx, StatFields& stat) {
    // The ids are read before "stat": a setuid execve() commits its new ids
    // only while it holds the lock that reading "stat" waits for.
    item.status.read_once(dirfd, ctx.scratch, ctx.selection, ctx.caller_uid);
    if (!ctx.may_wait(item.status)) return item.status.stat_stand_in(stat);
    // The file is closed as soon as it is read, so a scan holds a handful of
    // descriptors at once. Kept open for a later scan of the same snapshot
    // (which no call makes), it would hold one descriptor per process and
    // thread, taken from the rest of the caller's process: its other
    // threads would meet EMFILE, or descriptors above FD_SETSIZE.
    return ctx.budget->timed([&] { return ctx.stat_buffer.read_file_at(dirfd, "stat") == 0; }) &&
           parse_stat_file(ctx.stat_buffer.view(), stat);
}

// Fills `process`, a record in its starting state, for the item's id; its
// directory is left to the caller, which knows it once the parent is known.
void retrieve_all_new_process_info(Process& process, ProcAndTasks& item, const StatFields& stat,
                                   int dirfd, ScanWorkspace& work) {
    process.pid = item.pid;
    process.start_ticks = stat.u64(StatFields::STARTTIME);
    process.start_since_boot = ticks_to_seconds(process.start_ticks, work.ctx.host.clock_ticks);
    // "status" tells no start: the time of day stays unknown too.
    if (!stat.from_status) {
        process.start_time = saturating_add(process.start_since_boot, work.ctx.host.boot_time);
    }
    process.name.assign(stat.name, &work.memory.records);

    std::uint32_t flags = 0;
    const bool flags_read =
        stat.size() > StatFields::FLAGS && parse_u32(stat.field(StatFields::FLAGS), flags);
    const bool kernel = flags_read && (flags & KERNEL_THREAD_FLAG) != 0;
    if (item.is_task) {
        process.thread_class = kernel ? ThreadClass::KernelThread : ThreadClass::UserThread;
    } else if (kernel) {
        process.thread_class = ThreadClass::KernelThread;
    }

    update_proc_info(process, item.parent_pid, stat, dirfd, work.ctx, work.space, item.status);
}

// Refreshes `process`, a published record with the item's id.
void existing_entry(Process& process, ProcAndTasks& item, int dirfd, ScanWorkspace& work) {
    // The record's own directory is the one to read; it is the item's in
    // all but the rarest cases (an id seen as a task before, as a process now).
    const std::string& root = work.proc_root;
    Fd own_dir;
    if (!process.proc_dir_is(root, item.dir)) {
        own_dir = open_dir(AT_FDCWD, process.proc_dir(root).c_str(), /*path_only=*/true);
        dirfd = own_dir.valid() ? own_dir.get() : -1;
    }

    StatFields stat;
    if (dirfd < 0 || !stat_fields(item, dirfd, work.ctx, stat)) return;
    process.task_pids = std::move(item.task_pids);

    if (stat.u64(StatFields::STARTTIME) == process.start_ticks) {
        if (item.is_task && !process.thread_class) process.thread_class = ThreadClass::UserThread;
        // A task's directory is derived from its parent, which the update
        // may change: it is then kept as a text.
        const bool same_parent = item.parent_pid && *item.parent_pid != 0 &&
                                 item.parent_pid == process.parent_pid;
        if (process.under_process && !same_parent) {
            process.set_proc_dir(root, process.proc_dir(root), false, &work.memory.records);
        }
        // The ids are refreshed from the entry's one reading of "status".
        update_proc_info(process, item.parent_pid, stat, dirfd, work.ctx, work.space,
                         item.status);
    } else {
        // The id now belongs to another process: start over in the same
        // directory, without the old record's task set.
        const bool under_process = process.under_process;
        const std::string path = process.proc_dir(root);
        process = Process(&work.memory.records, &work.memory.secrets);
        retrieve_all_new_process_info(process, item, stat, dirfd, work);
        process.set_proc_dir(root, path, under_process, &work.memory.records);
    }
}

// Publishes a walk's `built` new records, or takes them out again when it
// was cut short: a pass over the table, none when the walk built none.
void publish(ProcessTable& table, std::size_t built) noexcept {
    if (built == 0) return;
    for (auto& [pid, process] : table) process.unpublished = false;
}

void withdraw(ProcessTable& table, std::size_t built) noexcept {
    if (built == 0) return;
    for (auto it = table.begin(); it != table.end();) {
        it = it->second.unpublished ? table.erase(it) : std::next(it);
    }
}

// One walk of /proc into a table. A new record is built once, in the table
// node where it stays, so that no record exists twice at the peak; but it
// is published only once the walk is over. Until then the walk's own
// lookups pass it by (an id met again later in the walk gets a new record
// in its place, as if the two had been inserted in turn), and a walk cut
// short takes its unpublished records out again.
class Scanner {
public:
    Scanner(ProcessTable& table, ScanWorkspace& work) : table_(table), work_(work) {}

    void refresh_procs();

private:
    void get_proc_and_tasks(int proc_fd, const char* name, Pid pid);
    void entry_step(ProcAndTasks& item, int dirfd);

    ProcessTable& table_;
    ScanWorkspace& work_;
    std::size_t unpublished_ = 0;  // records the walk has built so far
};

void Scanner::refresh_procs() {
    Fd proc_fd = open_dir(AT_FDCWD, work_.proc_root.c_str());
    if (!proc_fd.valid()) return;
    // Room for the host as the last walk left it, and some more: the table
    // grows in few steps, and the walk's records are never moved anyway.
    table_.reserve(table_.size() + 256);
    try {
        work_.proc_lister.list(proc_fd.get(), [&](const char* name, Pid pid) {
            get_proc_and_tasks(proc_fd.get(), name, pid);
        });
    } catch (...) {
        withdraw(table_, unpublished_);
        throw;
    }
    publish(table_, unpublished_);
}

void Scanner::get_proc_and_tasks(int proc_fd, const char* name, Pid pid) {
    // Everything below is read relative to this descriptor; if the process
    // is gone already, nothing of it could be read anyway.
    const Fd dir = open_dir(proc_fd, name, /*path_only=*/true);
    if (!dir.valid()) return;

    ProcAndTasks process;
    process.pid = pid;
    process.dir.name = name;

    work_.new_group();
    Fd task_dir;
    if (work_.ctx.selection.tasks) task_dir = work_.list_tasks(dir.get(), pid, process.task_pids);

    // A thread's directory is reachable from /proc by its id too; its
    // thread-group id tells it apart from a process. The same reading gives
    // the entry's ids later.
    process.status.read_once(dir.get(), work_.ctx.scratch, work_.ctx.selection,
                             work_.ctx.caller_uid);
    const std::optional<Pid> tgid = process.status.tgid;
    if (tgid && *tgid != pid) {
        process.parent_pid = tgid;
        process.task_pids.reset();
        process.is_task = true;
    } else {
        for (TaskItem& task : work_.tasks) {
            const Fd task_entry = open_dir(task_dir.get(), task.name.c_str(), /*path_only=*/true);
            if (!task_entry.valid()) continue;  // the thread ended meanwhile
            ProcAndTasks item;
            item.pid = task.tid;
            item.parent_pid = pid;
            item.dir = {.name = task.name, .group = process.dir.name};
            item.is_task = true;
            entry_step(item, task_entry.get());
            check_between_entries();
        }
    }
    entry_step(process, dir.get());
    check_between_entries();
}

void Scanner::entry_step(ProcAndTasks& item, int dirfd) {
    Process* met = nullptr;  // a record of this walk with the same id
    if (!table_.empty()) {
        auto found = table_.find(item.pid);
        if (found != table_.end()) {
            if (!found->second.unpublished) {
                existing_entry(found->second, item, dirfd, work_);
                return;
            }
            met = &found->second;
        }
    }
    StatFields stat;
    if (!stat_fields(item, dirfd, work_.ctx, stat)) return;
    SnapshotMemory& memory = work_.memory;
    Process* process = met;
    if (process != nullptr) {
        *process = Process(&memory.records, &memory.secrets);
    } else {
        process = &table_.try_emplace(item.pid, &memory.records, &memory.secrets).first->second;
        ++unpublished_;
    }
    process->unpublished = true;
    retrieve_all_new_process_info(*process, item, stat, dirfd, work_);
    // After the parent is known: a task's directory is derived from it.
    process->set_proc_dir(work_.proc_root, item.dir, &memory.records);
    process->task_pids = std::move(item.task_pids);
}

}  // namespace

ScanOutcome scan_processes(ProcessTable& table, const std::string& proc_root,
                           SnapshotMemory& memory, const HostFigures& host,
                           const ProcessSelection& selection, std::uint32_t caller_uid,
                           std::optional<std::chrono::nanoseconds> wait_bound) {
    // The first scan of the process raises its soft limit on open files to
    // the hard one, once; callers see that and may rely on it.
    (void)remaining_files();
    // Scratch space for this scan only, in the snapshot's memory: a call
    // keeps nothing once its snapshot is gone, however large the files it met.
    ScanWorkspace work(memory, proc_root, wait_bound.value_or(LIST_WAIT_BOUND));
    work.ctx.host = host;
    work.ctx.selection = selection;
    work.ctx.caller_uid = caller_uid;
    Scanner(table, work).refresh_procs();
    return ScanOutcome{.list_waits_spent = work.list_budget.waited_out()};
}

}  // namespace hoststats
