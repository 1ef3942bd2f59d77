// The process table scan: walks /proc, reads each process's and task's
// "stat" file and builds or refreshes its record, then computes CPU shares.
//
// This runs inside every call of the module, so it does the least I/O the
// records allow: each entry's directory is opened once (O_PATH) and every
// file is opened relative to it; listings go through getdents64 into a
// reused buffer; every file is read into one of two buffers reused for the
// whole scan, and the "stat" fields are views into the first.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory_resource>
#include <string>

#include "hoststats/process_files.hpp"
#include "hoststats/system.hpp"
#include "hoststats/utils.hpp"

namespace hoststats {

ProcessState process_state_from_char(std::uint32_t code) noexcept {
    switch (code) {
        case 'I': return ProcessState::Idle;
        case 'R': return ProcessState::Running;
        case 'S': return ProcessState::Sleeping;
        case 'T': return ProcessState::Stopped;
        case 'Z': return ProcessState::Zombie;
        case 't': return ProcessState::Tracing;
        case 'X':
        case 'x': return ProcessState::Dead;
        case 'K': return ProcessState::Wakekill;
        case 'W': return ProcessState::Waking;
        case 'P': return ProcessState::Parked;
        case 'D': return ProcessState::DiskSleep;
        default: return ProcessState::Unknown;
    }
}

std::string_view to_string(ProcessState state) noexcept {
    switch (state) {
        case ProcessState::Idle: return "Idle";
        case ProcessState::Running: return "Running";
        case ProcessState::Sleeping: return "Sleeping";
        case ProcessState::Stopped: return "Stopped";
        case ProcessState::Zombie: return "Zombie";
        case ProcessState::Tracing: return "Tracing";
        case ProcessState::Dead: return "Dead";
        case ProcessState::Wakekill: return "Wakekill";
        case ProcessState::Waking: return "Waking";
        case ProcessState::Parked: return "Parked";
        case ProcessState::DiskSleep: return "DiskSleep";
        case ProcessState::Unknown: break;
    }
    return "Unknown";
}

namespace {

// Kernel threads carry PF_KTHREAD in the "stat" flags field.
constexpr std::uint32_t kernel_thread_flag = 0x00200000;

// Indexes into the "stat" fields (index k is the kernel's field k+2).
constexpr std::size_t stat_state = 1;
constexpr std::size_t stat_ppid = 2;
constexpr std::size_t stat_flags = 7;
constexpr std::size_t stat_utime = 12;
constexpr std::size_t stat_stime = 13;
constexpr std::size_t stat_starttime = 20;

// A directory listing read through getdents64 into a buffer reused for
// every listing of the same kind.
class DirLister {
public:
    explicit DirLister(std::pmr::memory_resource* memory)
        : buffer_(static_cast<char*>(memory->allocate(size)), Release{memory}) {}

    // Calls fn(name, pid) for each entry that is a directory of its own (a
    // link to one does not count) and whose name is an id. Stops at the end
    // of the listing or at the first entry that cannot be read.
    template <class Fn>
    void list(int dirfd, Fn&& fn) {
        for (;;) {
            const ssize_t got =
                retry_interrupted([&] { return ::getdents64(dirfd, buffer_.get(), size); });
            if (got <= 0) return;
            for (ssize_t off = 0; off < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer_.get() + off);
                off += entry->d_reclen;
                const std::optional<Pid> pid = filter_pid_entries(dirfd, *entry);
                if (pid) fn(static_cast<const char*>(entry->d_name), *pid);
            }
        }
    }

private:
    static constexpr std::size_t size = 32 * 1024;  // bytes, some 1000 entries

    static std::optional<Pid> filter_pid_entries(int dirfd, const dirent64& entry) {
        if (entry.d_type == DT_UNKNOWN) {
            // Some file systems leave the type out of the listing.
            struct stat st {};
            if (::fstatat(dirfd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
            if (!S_ISDIR(st.st_mode)) return std::nullopt;
        } else if (entry.d_type != DT_DIR) {
            return std::nullopt;  // "self", "thread-self" and the plain files
        }
        return pid_from_entry_name(entry.d_name);
    }

    struct Release {
        std::pmr::memory_resource* memory;
        void operator()(char* p) const noexcept { memory->deallocate(p, size); }
    };
    std::unique_ptr<char[], Release> buffer_;
};

// One work item: a process, or one of its tasks.
struct ProcAndTasks {
    Pid pid = 0;
    std::optional<Pid> parent_pid;
    std::string path;                // the entry's directory
    std::optional<PidSet> task_pids;  // processes only, with the tasks flag
    bool is_task = false;
};

// A task of the process at hand, by its directory entry's name.
struct TaskItem {
    Pid tid;
    std::string name;
};

// What all tasks of one thread group read alike: the files of the address
// space they share ("cmdline", "environ", the "exe" link). Each is read by
// the first entry of the group that wants it and handed to the others, so a
// process of a thousand threads costs one read and one copy, not a thousand.
// Only what was found is handed on: an entry whose read fails or comes back
// empty (a thread that ended, a leader that exited before its threads)
// leaves the next one to read its own.
class SharedSpace {
public:
    SharedSpace(std::pmr::memory_resource* records, std::pmr::memory_resource* secrets)
        : cmdline_(records), environ_(secrets), records_(records), secrets_(secrets) {}

    // A new thread group.
    void reset() noexcept {
        exe_.reset();
        cmdline_.clear();
        environ_.clear();
    }

    const std::optional<std::string>& exe(int dirfd) {
        if (!exe_) exe_ = realpath(dirfd, "exe");
        return exe_;
    }
    const ByteStringList& cmdline(int dirfd, ReadBuffer& scratch) {
        if (cmdline_.empty()) cmdline_ = copy_from_file(dirfd, "cmdline", scratch, records_);
        return cmdline_;
    }
    const ByteStringList& environ(int dirfd, ReadBuffer& scratch) {
        if (environ_.empty()) environ_ = copy_from_file(dirfd, "environ", scratch, secrets_);
        return environ_;
    }

private:
    std::optional<std::string> exe_;
    ByteStringList cmdline_;
    ByteStringList environ_;
    std::pmr::memory_resource* records_;
    std::pmr::memory_resource* secrets_;
};

// What a scan reuses from entry to entry, so that it allocates little but
// its records; all of it in the snapshot's memory.
struct ScanWorkspace {
    explicit ScanWorkspace(SnapshotMemory& arenas)
        : memory(arenas),
          proc_lister(&arenas.records),
          task_lister(&arenas.records),
          tasks(&arenas.records),
          fresh(&arenas.records),
          space(&arenas.records, &arenas.secrets) {}

    SnapshotMemory& memory;
    ScanContext ctx;
    DirLister proc_lister;
    DirLister task_lister;
    std::pmr::vector<TaskItem> tasks;
    std::pmr::vector<Process> fresh;  // inserted only once the walk is over
    SharedSpace space;                // of the thread group at hand
};

class Scanner {
public:
    Scanner(ProcessTable& table, const std::string& proc_root, ScanWorkspace& work)
        : table_(table),
          proc_root_(proc_root),
          memory_(work.memory),
          ctx_(work.ctx),
          proc_lister_(work.proc_lister),
          task_lister_(work.task_lister),
          tasks_(work.tasks),
          fresh_(work.fresh),
          space_(work.space) {}

    void refresh_procs();

private:
    void get_proc_and_tasks(int proc_fd, const char* name, Pid pid);
    void entry_step(ProcAndTasks& item, int dirfd);
    void existing_entry(Process& process, ProcAndTasks& item, int dirfd);
    bool get_stat_data(int dirfd);
    Process retrieve_all_new_process_info(bool is_task, Pid pid, std::optional<Pid> parent_pid,
                                          const StatFields& stat, std::string_view path, int dirfd);
    void update_proc_info(Process& process, std::optional<Pid> parent_pid,
                          const StatFields& stat, int dirfd);

    ProcessTable& table_;
    const std::string& proc_root_;
    SnapshotMemory& memory_;
    ScanContext& ctx_;
    DirLister& proc_lister_;
    DirLister& task_lister_;
    std::pmr::vector<TaskItem>& tasks_;
    std::pmr::vector<Process>& fresh_;
    SharedSpace& space_;
};

void Scanner::refresh_procs() {
    Fd proc_fd = open_dir(AT_FDCWD, proc_root_.c_str());
    if (!proc_fd.valid()) return;
    fresh_.clear();  // nothing left over from a scan that was cut short
    fresh_.reserve(table_.size() + 256);
    proc_lister_.list(proc_fd.get(), [&](const char* name, Pid pid) {
        get_proc_and_tasks(proc_fd.get(), name, pid);
    });
    if (table_.bucket_count() < table_.size() + fresh_.size()) {
        table_.reserve(table_.size() + fresh_.size());
    }
    for (Process& process : fresh_) {
        const Pid pid = process.pid;
        table_.insert_or_assign(pid, std::move(process));
    }
    // The moved-from records own nothing now but their kept-file slots,
    // which are empty; clearing keeps the room for the next scan.
    fresh_.clear();
}

void Scanner::get_proc_and_tasks(int proc_fd, const char* name, Pid pid) {
    // Everything below is read relative to this descriptor; if the process
    // is gone already, nothing of it could be read anyway.
    const Fd dir = open_dir(proc_fd, name, /*path_only=*/true);
    if (!dir.valid()) return;

    ProcAndTasks process;
    process.pid = pid;
    process.path.reserve(proc_root_.size() + 24);
    process.path.append(proc_root_).append("/").append(name);

    space_.reset();
    tasks_.clear();
    Fd task_dir;
    if (ctx_.selection.tasks) {
        PidSet& set = process.task_pids.emplace(&memory_.records);
        task_dir = open_dir(dir.get(), "task");
        if (task_dir.valid()) {
            task_lister_.list(task_dir.get(), [&](const char* task_name, Pid tid) {
                if (tid == pid) return;  // the leader is the process itself
                tasks_.push_back({tid, task_name});
                set.insert(tid);
            });
        }
    }

    // A thread's directory is reachable from /proc by its id too; its
    // thread-group id tells it apart from a process.
    // The kernel writes the command name raw into "status", so the file as
    // a whole need not be UTF-8; the "Tgid:" line always is.
    std::optional<Pid> tgid;
    if (ctx_.scratch.read_file_at(dir.get(), "status") == 0) {
        tgid = parse_tgid(ctx_.scratch.view());
    }
    if (tgid && *tgid != pid) {
        process.parent_pid = tgid;
        process.task_pids.reset();
        process.is_task = true;
        entry_step(process, dir.get());
        return;
    }

    for (TaskItem& task : tasks_) {
        const Fd task_entry = open_dir(task_dir.get(), task.name.c_str(), /*path_only=*/true);
        if (!task_entry.valid()) continue;  // the thread ended meanwhile
        ProcAndTasks item;
        item.pid = task.tid;
        item.parent_pid = pid;
        item.path.reserve(process.path.size() + 6 + task.name.size());
        item.path.append(process.path).append("/task/").append(task.name);
        item.is_task = true;
        entry_step(item, task_entry.get());
    }
    entry_step(process, dir.get());
}

void Scanner::entry_step(ProcAndTasks& item, int dirfd) {
    if (!table_.empty()) {
        auto found = table_.find(item.pid);
        if (found != table_.end()) {
            existing_entry(found->second, item, dirfd);
            return;
        }
    }
    if (!get_stat_data(dirfd)) return;
    StatFields stat;
    if (!parse_stat_file(ctx_.stat_buffer.view(), stat)) return;
    Process process = retrieve_all_new_process_info(item.is_task, item.pid, item.parent_pid, stat,
                                                    item.path, dirfd);
    process.task_pids = std::move(item.task_pids);
    fresh_.push_back(std::move(process));
}

void Scanner::existing_entry(Process& process, ProcAndTasks& item, int dirfd) {
    // The record's own directory is the one to read; it is the item's in
    // all but the rarest cases (an id seen as a task before, as a process now).
    Fd own_dir;
    if (std::string_view(process.proc_dir) != item.path) {
        own_dir = open_dir(AT_FDCWD, process.proc_dir.c_str(), /*path_only=*/true);
        dirfd = own_dir.valid() ? own_dir.get() : -1;
    }

    // No "stat" file is kept between scans (see get_stat_data); one that a
    // record still holds is given back here.
    process.kept_stat_file.reset();
    if (dirfd < 0 || !get_stat_data(dirfd)) return;

    process.task_pids = std::move(item.task_pids);
    StatFields stat;
    if (!parse_stat_file(ctx_.stat_buffer.view(), stat)) return;

    if (stat.u64(stat_starttime) == process.start_ticks) {
        if (item.is_task && !process.thread_class) process.thread_class = ThreadClass::UserThread;
        update_proc_info(process, item.parent_pid, stat, dirfd);
        refresh_user_group_ids(process, dirfd, ctx_.selection.user, ctx_.scratch);
    } else {
        // The id now belongs to another process: start over, without the old
        // record's task set.
        process = retrieve_all_new_process_info(item.is_task, process.pid, item.parent_pid, stat,
                                                process.proc_dir, dirfd);
    }
}

bool Scanner::get_stat_data(int dirfd) {
    // The file is closed as soon as it is read. Keeping it open for a later
    // scan of the same snapshot (which no call makes) made every call slower
    // and held one descriptor per process and thread, taken from the rest of
    // the caller's process: its other threads met EMFILE, or descriptors
    // above FD_SETSIZE, and the scan itself left processes out once the
    // limit was reached. A scan now holds a handful of descriptors at once.
    const Fd file = open_read(dirfd, "stat");
    if (!file.valid()) return false;
    return ctx_.stat_buffer.read_to_end(file.get()) == 0;
}

Process Scanner::retrieve_all_new_process_info(bool is_task, Pid pid,
                                               std::optional<Pid> parent_pid,
                                               const StatFields& stat, std::string_view path,
                                               int dirfd) {
    Process process(&memory_.records, &memory_.secrets);
    process.pid = pid;
    process.proc_dir.assign(path);
    process.start_ticks = stat.u64(stat_starttime);
    process.start_since_boot = ticks_to_seconds(process.start_ticks, ctx_.clock_ticks);
    process.start_time = saturating_add(process.start_since_boot, ctx_.boot_time);
    process.name.assign(stat.name);

    std::uint32_t flags = 0;
    const bool flags_read = stat.size() > stat_flags && parse_u32(stat.field(stat_flags), flags);
    const bool kernel = flags_read && (flags & kernel_thread_flag) != 0;
    if (is_task) {
        process.thread_class = kernel ? ThreadClass::KernelThread : ThreadClass::UserThread;
    } else if (kernel) {
        process.thread_class = ThreadClass::KernelThread;
    }

    update_proc_info(process, parent_pid, stat, dirfd);
    return process;
}

void Scanner::update_proc_info(Process& process, std::optional<Pid> parent_pid,
                               const StatFields& stat, int dirfd) {
    const ProcessSelection& sel = ctx_.selection;
    if (parent_pid && *parent_pid != 0) {
        process.parent_pid = parent_pid;
    } else {
        Pid ppid = 0;
        if (stat.size() > stat_ppid && parse_i32(stat.field(stat_ppid), ppid) && ppid != 0) {
            process.parent_pid = ppid;
        } else {
            process.parent_pid.reset();
        }
    }

    process.state_code = first_code_point(stat.field(stat_state));
    process.state = process_state_from_char(process.state_code);

    refresh_user_group_ids(process, dirfd, sel.user, ctx_.scratch);
    // The address space's files come from the thread group's one reading.
    if (wanted(sel.exe, process.exe.has_value())) apply_exe(process, space_.exe(dirfd));
    if (wanted(sel.cmdline, !process.cmdline.empty())) {
        apply_list(process.cmdline, space_.cmdline(dirfd, ctx_.scratch));
    }
    if (wanted(sel.environ, !process.environ.empty())) {
        apply_list(process.environ, space_.environ(dirfd, ctx_.scratch));
    }
    refresh_link(process.cwd, process.memory(), dirfd, "cwd", sel.cwd);
    refresh_link(process.root, process.memory(), dirfd, "root", sel.root);
    if (sel.memory) refresh_memory(process, dirfd, stat, ctx_.page_size, ctx_.scratch);

    process.prev_user_ticks = process.user_ticks;
    process.prev_system_ticks = process.system_ticks;
    process.user_ticks = stat.u64(stat_utime);
    process.system_ticks = stat.u64(stat_stime);
    process.run_time = saturating_sub(ctx_.uptime, process.start_since_boot);

    if (sel.disk_io) refresh_disk_io(process, dirfd, ctx_.scratch);
    if (sel.cpu_usage) {
        process.cpu_time_ms = ticks_to_ms(process.user_ticks, process.system_ticks, ctx_.clock_ticks);
    }
    process.updated = true;
}

// Each record's share of the CPU time that passed between the last two
// readings of the aggregate line, 100 per fully used CPU.
void compute_cpu_shares(ProcessTable& table, const CpusWrapper& cpus) {
    const std::size_t n = cpus.cpus().size();
    if (n == 0) return;
    const CpuUsage& global = cpus.global_usage();
    const float interval = global.total > global.previous_total
                               ? static_cast<float>(global.total - global.previous_total)
                               : 1.0f;
    const float per_cpu = interval / static_cast<float>(n);
    const float max = static_cast<float>(n) * 100.0f;
    for (auto& [pid, process] : table) {
        if (process.prev_user_ticks == 0 && process.prev_system_ticks == 0) continue;
        const std::uint64_t delta =
            saturating_add(saturating_sub(process.user_ticks, process.prev_user_ticks),
                           saturating_sub(process.system_ticks, process.prev_system_ticks));
        const float usage = static_cast<float>(delta) / per_cpu * 100.0f;
        process.usage_percent = std::min(usage, max);
    }
}

}  // namespace

void SystemInner::refresh_processes_specifics(const ProcessSelection& selection) {
    // The first scan of the process raises its soft limit on open files to
    // the hard one, once; callers see that and may rely on it.
    (void)remaining_files();
    // Scratch space for this scan only, in the snapshot's memory: a call
    // keeps nothing once its snapshot is gone, however large the files it met.
    ScanWorkspace work(*arenas_);
    ScanContext& ctx = work.ctx;
    ctx.uptime = uptime();
    ctx.page_size = page_size;
    ctx.clock_ticks = clock_ticks;
    ctx.boot_time = boot_time;
    ctx.selection = selection;
    Scanner(processes, root().proc, work).refresh_procs();

    if (selection.cpu_usage) {
        cpus.refresh(true, CpuSelection{true, false});
        compute_cpu_shares(processes, cpus);
    }
}

}  // namespace hoststats
