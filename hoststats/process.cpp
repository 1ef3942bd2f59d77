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
    DirLister() : buffer_(new char[size]) {}

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

    std::unique_ptr<char[]> buffer_;
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

// What a scan reuses from entry to entry, so that it allocates little but
// its records.
struct ScanWorkspace {
    ScanContext ctx;
    DirLister proc_lister;
    DirLister task_lister;
    std::vector<TaskItem> tasks;
    std::vector<Process> fresh;  // inserted only once the walk is over
};

class Scanner {
public:
    Scanner(ProcessTable& table, const std::string& proc_root, ScanWorkspace& work)
        : table_(table),
          proc_root_(proc_root),
          ctx_(work.ctx),
          proc_lister_(work.proc_lister),
          task_lister_(work.task_lister),
          tasks_(work.tasks),
          fresh_(work.fresh) {}

    void refresh_procs();

private:
    void get_proc_and_tasks(int proc_fd, const char* name, Pid pid);
    void entry_step(ProcAndTasks& item, int dirfd);
    void existing_entry(Process& process, ProcAndTasks& item, int dirfd);
    bool get_stat_data(int dirfd, std::optional<FileCounter>& slot);
    Process retrieve_all_new_process_info(bool is_task, Pid pid, std::optional<Pid> parent_pid,
                                          const StatFields& stat, std::string path, int dirfd);
    void update_proc_info(Process& process, std::optional<Pid> parent_pid,
                          const StatFields& stat, int dirfd);

    ProcessTable& table_;
    const std::string& proc_root_;
    ScanContext& ctx_;
    DirLister& proc_lister_;
    DirLister& task_lister_;
    std::vector<TaskItem>& tasks_;
    std::vector<Process>& fresh_;
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

    tasks_.clear();
    Fd task_dir;
    if (ctx_.selection.tasks) {
        PidSet& set = process.task_pids.emplace();
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
    std::optional<FileCounter> slot;
    if (!get_stat_data(dirfd, slot)) return;
    StatFields stat;
    if (!parse_stat_file(ctx_.stat_buffer.view(), stat)) return;
    Process process = retrieve_all_new_process_info(item.is_task, item.pid, item.parent_pid, stat,
                                                    std::move(item.path), dirfd);
    process.kept_stat_file = std::move(slot);
    process.task_pids = std::move(item.task_pids);
    fresh_.push_back(std::move(process));
}

void Scanner::existing_entry(Process& process, ProcAndTasks& item, int dirfd) {
    // The record's own directory is the one to read; it is the item's in
    // all but the rarest cases (an id seen as a task before, as a process now).
    Fd own_dir;
    if (process.proc_dir != item.path) {
        own_dir = open_dir(AT_FDCWD, process.proc_dir.c_str(), /*path_only=*/true);
        dirfd = own_dir.valid() ? own_dir.get() : -1;
    }

    bool read = false;
    std::optional<FileCounter> kept = std::move(process.kept_stat_file);
    process.kept_stat_file.reset();
    if (kept) {
        if (::lseek(kept->fd(), 0, SEEK_SET) == 0 && ctx_.stat_buffer.read_to_end(kept->fd()) == 0) {
            process.kept_stat_file = std::move(kept);
            read = true;
        } else {
            read = dirfd >= 0 && get_stat_data(dirfd, process.kept_stat_file);
            kept.reset();  // budget back, then the descriptor closed
        }
    } else {
        read = dirfd >= 0 && get_stat_data(dirfd, process.kept_stat_file);
    }
    if (!read) return;

    process.task_pids = std::move(item.task_pids);
    StatFields stat;
    if (!parse_stat_file(ctx_.stat_buffer.view(), stat)) return;

    if (stat.u64(stat_starttime) == process.start_ticks) {
        if (item.is_task && !process.thread_class) process.thread_class = ThreadClass::UserThread;
        update_proc_info(process, item.parent_pid, stat, dirfd);
        refresh_user_group_ids(process, dirfd, ctx_.selection.user, ctx_.scratch);
    } else {
        // The id now belongs to another process: start over, without the old
        // record's kept file or task set.
        process = retrieve_all_new_process_info(item.is_task, process.pid, item.parent_pid, stat,
                                                process.proc_dir, dirfd);
    }
}

bool Scanner::get_stat_data(int dirfd, std::optional<FileCounter>& slot) {
    // _get_stat_data_and_file: a fresh descriptor is at offset 0 already.
    Fd file = open_read(dirfd, "stat");
    if (!file.valid()) return false;
    if (ctx_.stat_buffer.read_to_end(file.get()) != 0) return false;
    // _get_stat_data: the new file is counted (or closed) first, then the
    // slot's old one is released.
    slot = FileCounter::keep_or_close(std::move(file));
    return true;
}

Process Scanner::retrieve_all_new_process_info(bool is_task, Pid pid,
                                               std::optional<Pid> parent_pid,
                                               const StatFields& stat, std::string path,
                                               int dirfd) {
    Process process;
    process.pid = pid;
    process.proc_dir = std::move(path);
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
    refresh_exe(process, dirfd, sel.exe);
    refresh_list(process.cmdline, dirfd, "cmdline", sel.cmdline, ctx_.scratch);
    refresh_list(process.environ, dirfd, "environ", sel.environ, ctx_.scratch);
    refresh_link(process.cwd, dirfd, "cwd", sel.cwd);
    refresh_link(process.root, dirfd, "root", sel.root);
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
    // Scratch space for this scan only: a call keeps no memory once its
    // snapshot is gone, however large the files it met.
    ScanWorkspace work;
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
