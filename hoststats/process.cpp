// The process table scan: walks /proc, reads each process's and task's
// "stat" file and builds or refreshes its record.
//
// This runs inside every call of the module, so it does the least I/O the
// records allow: each entry's directory is opened once (O_PATH) and every
// file is opened relative to it; listings go through getdents64 into a
// reused buffer; every file is read into one of two buffers reused for the
// whole scan, and the "stat" fields are views into the first.
#include "hoststats/process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <iterator>
#include <memory_resource>
#include <string>

#include "hoststats/fd.hpp"
#include "hoststats/file_budget.hpp"
#include "hoststats/list_budget.hpp"
#include "hoststats/numbers.hpp"
#include "hoststats/process_details.hpp"
#include "hoststats/process_parse.hpp"
#include "hoststats/shared_space.hpp"

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

void TaskName::assign(std::string_view text, std::pmr::memory_resource* memory) {
    if (text.size() <= INLINE) {
        // Copied out first: `text` may be a view of the name it replaces.
        char copy[INLINE];
        text.copy(copy, INLINE);
        release();
        std::memcpy(bytes_, copy, text.size());
        bytes_[INLINE] = static_cast<char>(text.size());
        return;
    }
    // Made before the old name goes: `text` may be a view of it.
    void* at = memory->allocate(sizeof(Spill) + text.size(), alignof(Spill));
    auto* fresh = ::new (at) Spill{memory, text.size()};
    std::memcpy(fresh + 1, text.data(), text.size());
    release();
    const auto address = std::bit_cast<std::array<char, sizeof(void*)>>(fresh);
    std::copy(address.begin(), address.end(), bytes_);
    bytes_[INLINE] = static_cast<char>(SPILLED);
}

std::string_view TaskName::view() const noexcept {
    if (!spilled()) return {bytes_, static_cast<unsigned char>(bytes_[INLINE])};
    const Spill* long_name = spill();
    return {reinterpret_cast<const char*>(long_name + 1), long_name->size};
}

TaskName::Spill* TaskName::spill() const noexcept {
    std::array<char, sizeof(void*)> address{};
    std::copy_n(bytes_, address.size(), address.begin());
    return std::bit_cast<Spill*>(address);
}

std::pmr::memory_resource* TaskName::memory() const noexcept {
    return spilled() ? spill()->memory : std::pmr::get_default_resource();
}

void TaskName::take(TaskName& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memset(other.bytes_, 0, sizeof other.bytes_);
}

void TaskName::release() noexcept {
    if (!spilled()) return;
    Spill* long_name = spill();
    long_name->memory->deallocate(long_name, sizeof(Spill) + long_name->size, alignof(Spill));
    std::memset(bytes_, 0, sizeof bytes_);
}

namespace {

// The decimal text of an id, as the kernel names its directories.
struct IdText {
    explicit IdText(Pid id) noexcept : end(std::to_chars(text, text + sizeof text, id).ptr) {}
    [[nodiscard]] std::string_view view() const noexcept {
        return {text, static_cast<std::size_t>(end - text)};
    }
    char text[16];
    char* end;
};

}  // namespace

std::string Process::proc_dir(std::string_view proc_root) const {
    if (unusual_dir_) return std::string(*unusual_dir_);
    std::string dir(proc_root);
    dir += '/';
    if (under_process && parent_pid) dir.append(IdText(*parent_pid).view()).append("/task/");
    dir.append(IdText(pid).view());
    return dir;
}

bool Process::proc_dir_is(std::string_view proc_root, std::string_view path) const noexcept {
    if (unusual_dir_) return std::string_view(*unusual_dir_) == path;
    const auto take = [&path](std::string_view piece) {
        if (!path.starts_with(piece)) return false;
        path.remove_prefix(piece.size());
        return true;
    };
    if (!take(proc_root) || !take("/")) return false;
    if (under_process && parent_pid) {
        if (!take(IdText(*parent_pid).view()) || !take("/task/")) return false;
    }
    return take(IdText(pid).view()) && path.empty();
}

void Process::set_proc_dir(std::string_view proc_root, std::string_view path, bool under,
                           std::pmr::memory_resource* memory) {
    unusual_dir_.reset();
    under_process = under;
    if (!proc_dir_is(proc_root, path)) unusual_dir_.emplace(memory, path);
}

namespace {

// Kernel threads carry PF_KTHREAD in the "stat" flags field.
constexpr std::uint32_t KERNEL_THREAD_FLAG = 0x00200000;

// One record of a getdents64(2) listing as the kernel lays it out (its
// struct linux_dirent64): the fixed part, then the name, NUL-terminated,
// padded to the next record at d_reclen. Declared here rather than taken
// from a C library: glibc calls it dirent64, a name musl no longer declares.
struct linux_dirent64 {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;  // a DT_* value of <dirent.h>

    [[nodiscard]] const char* d_name() const noexcept {
        return reinterpret_cast<const char*>(this) + offsetof(linux_dirent64, d_type) + 1;
    }
};
static_assert(offsetof(linux_dirent64, d_type) + 1 == 19, "the kernel's name starts at byte 19");

// A directory listing read through getdents64 into a buffer reused for
// every listing of the same kind.
class DirLister {
public:
    explicit DirLister(std::pmr::memory_resource* memory)
        : buffer_(static_cast<char*>(memory->allocate(BUFFER_BYTES)), Release{memory}) {}

    // Calls fn(name, pid) for each entry that is a directory of its own (a
    // link to one does not count) and whose name is an id. Stops at the end
    // of the listing or at the first entry that cannot be read.
    template <class Fn>
    void list(int dirfd, Fn&& fn) {
        for (;;) {
            // The system call itself: glibc has wrapped it only since 2.30,
            // and the module loads on older C libraries.
            const ssize_t got = retry_interrupted([&] {
                return static_cast<ssize_t>(::syscall(SYS_getdents64, dirfd, buffer_.get(), BUFFER_BYTES));
            });
            if (got <= 0) return;
            for (ssize_t off = 0; off < got;) {
                const auto* entry = reinterpret_cast<const linux_dirent64*>(buffer_.get() + off);
                off += entry->d_reclen;
                const std::optional<Pid> pid = filter_pid_entries(dirfd, *entry);
                if (pid) fn(entry->d_name(), *pid);
            }
        }
    }

private:
    static constexpr std::size_t BUFFER_BYTES = std::size_t{32} * 1024;  // bytes, some 1000 entries

    static std::optional<Pid> filter_pid_entries(int dirfd, const linux_dirent64& entry) {
        if (entry.d_type == DT_UNKNOWN) {
            // Some file systems leave the type out of the listing.
            struct stat st {};
            if (::fstatat(dirfd, entry.d_name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
            if (!S_ISDIR(st.st_mode)) return std::nullopt;
        } else if (entry.d_type != DT_DIR) {
            return std::nullopt;  // "self", "thread-self" and the plain files
        }
        return pid_from_entry_name(entry.d_name());
    }

    struct Release {
        std::pmr::memory_resource* memory;
        void operator()(char* p) const noexcept { memory->deallocate(p, BUFFER_BYTES); }
    };
    std::unique_ptr<char[], Release> buffer_;
};

// One work item: a process, or one of its tasks.
struct ProcAndTasks {
    Pid pid = 0;
    std::optional<Pid> parent_pid;
    std::string path;                // the entry's directory
    TaskSet task_pids;  // processes only, with the tasks flag
    bool is_task = false;
    bool under_process = false;  // a task listed in its process's "task"
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
    explicit ScanWorkspace(SnapshotMemory& arenas)
        : memory(arenas),
          proc_lister(&arenas.records),
          task_lister(&arenas.records),
          tasks(&arenas.records),
          list_budget(KEPT_LIST_BYTES),
          space(&arenas.records, &arenas.secrets, list_budget) {
        ctx.budget = &list_budget;
    }

    SnapshotMemory& memory;
    ScanContext ctx;
    DirLister proc_lister;
    DirLister task_lister;
    std::pmr::vector<TaskItem> tasks;
    ListBudget list_budget;           // the scan's waits, and what it keeps of the lists
    SharedSpace space;                // of the thread group at hand
};

// One walk of /proc into a table. A new record is built once, in the table
// node where it stays, so that no record exists twice at the peak; but it
// is published only once the walk is over. Until then the walk's own
// lookups pass it by (an id met again later in the walk gets a new record
// in its place, as if the two had been inserted in turn), and a walk cut
// short takes its unpublished records out again.
class Scanner {
public:
    Scanner(ProcessTable& table, const std::string& proc_root, ScanWorkspace& work)
        : table_(table), proc_root_(proc_root), work_(work) {}

    void refresh_procs();

private:
    void get_proc_and_tasks(int proc_fd, const char* name, Pid pid);
    void entry_step(ProcAndTasks& item, int dirfd);
    void existing_entry(Process& process, ProcAndTasks& item, int dirfd);
    bool get_stat_data(int dirfd);
    // The entry's "stat" fields: read where the entry's locks may be waited
    // on, else stood in for by its "status". False when neither could be read.
    bool stat_fields(ProcAndTasks& item, int dirfd, StatFields& stat);
    // Fills `process`, a record in its starting state, for a new id.
    void retrieve_all_new_process_info(Process& process, bool is_task, Pid pid,
                                       std::optional<Pid> parent_pid, const StatFields& stat,
                                       std::string_view path, bool under_process, int dirfd,
                                       EntryStatus& status);
    // Publishes the walk's new records, or takes them out again when the
    // walk was cut short.
    void publish() noexcept;
    void withdraw() noexcept;

    ProcessTable& table_;
    const std::string& proc_root_;
    ScanWorkspace& work_;
    std::size_t unpublished_ = 0;  // records the walk has built so far
};

void Scanner::refresh_procs() {
    Fd proc_fd = open_dir(AT_FDCWD, proc_root_.c_str());
    if (!proc_fd.valid()) return;
    // Room for the host as the last walk left it, and some more: the table
    // grows in few steps, and the walk's records are never moved anyway.
    table_.reserve(table_.size() + 256);
    try {
        work_.proc_lister.list(proc_fd.get(), [&](const char* name, Pid pid) {
            get_proc_and_tasks(proc_fd.get(), name, pid);
        });
    } catch (...) {
        withdraw();
        throw;
    }
    publish();
}

void Scanner::publish() noexcept {
    if (unpublished_ == 0) return;
    for (auto& [pid, process] : table_) process.unpublished = false;
    unpublished_ = 0;
}

void Scanner::withdraw() noexcept {
    if (unpublished_ == 0) return;
    for (auto it = table_.begin(); it != table_.end();) {
        it = it->second.unpublished ? table_.erase(it) : std::next(it);
    }
    unpublished_ = 0;
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

    work_.space.reset();
    work_.ctx.group_cpu_ns = 0;
    work_.tasks.clear();
    Fd task_dir;
    if (work_.ctx.selection.tasks) {
        PidSet& set = process.task_pids.emplace(&work_.memory.records);
        task_dir = open_dir(dir.get(), "task");
        if (task_dir.valid()) {
            work_.task_lister.list(task_dir.get(), [&](const char* task_name, Pid tid) {
                if (tid == pid) return;  // the leader is the process itself
                work_.tasks.push_back({tid, task_name});
            });
        }
        // Sized once: what the snapshot's memory is given back is not reused.
        set.reserve(work_.tasks.size());
        for (const TaskItem& task : work_.tasks) set.push_back(task.tid);
        std::sort(set.begin(), set.end());
        // A listing read while threads come and go may name one twice.
        set.erase(std::unique(set.begin(), set.end()), set.end());
    }

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
        entry_step(process, dir.get());
        check_between_entries();
        return;
    }

    for (TaskItem& task : work_.tasks) {
        const Fd task_entry = open_dir(task_dir.get(), task.name.c_str(), /*path_only=*/true);
        if (!task_entry.valid()) continue;  // the thread ended meanwhile
        ProcAndTasks item;
        item.pid = task.tid;
        item.parent_pid = pid;
        item.path.reserve(process.path.size() + 6 + task.name.size());
        item.path.append(process.path).append("/task/").append(task.name);
        item.is_task = true;
        item.under_process = true;
        entry_step(item, task_entry.get());
        check_between_entries();
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
                existing_entry(found->second, item, dirfd);
                return;
            }
            met = &found->second;
        }
    }
    StatFields stat;
    if (!stat_fields(item, dirfd, stat)) return;
    SnapshotMemory& memory = work_.memory;
    Process* process = met;
    if (process != nullptr) {
        *process = Process(&memory.records, &memory.secrets);
    } else {
        process = &table_.try_emplace(item.pid, &memory.records, &memory.secrets).first->second;
        ++unpublished_;
    }
    process->unpublished = true;
    retrieve_all_new_process_info(*process, item.is_task, item.pid, item.parent_pid, stat,
                                  item.path, item.under_process, dirfd, item.status);
    process->task_pids = std::move(item.task_pids);
}

void Scanner::existing_entry(Process& process, ProcAndTasks& item, int dirfd) {
    // The record's own directory is the one to read; it is the item's in
    // all but the rarest cases (an id seen as a task before, as a process now).
    Fd own_dir;
    if (!process.proc_dir_is(proc_root_, item.path)) {
        own_dir = open_dir(AT_FDCWD, process.proc_dir(proc_root_).c_str(), /*path_only=*/true);
        dirfd = own_dir.valid() ? own_dir.get() : -1;
    }

    StatFields stat;
    if (dirfd < 0 || !stat_fields(item, dirfd, stat)) return;
    process.task_pids = std::move(item.task_pids);

    if (stat.u64(StatFields::STARTTIME) == process.start_ticks) {
        if (item.is_task && !process.thread_class) process.thread_class = ThreadClass::UserThread;
        // A task's directory is derived from its parent, which the update
        // may change: it is then kept as a text.
        const bool same_parent = item.parent_pid && *item.parent_pid != 0 &&
                                 item.parent_pid == process.parent_pid;
        if (process.under_process && !same_parent) {
            process.set_proc_dir(proc_root_, process.proc_dir(proc_root_), false,
                                 &work_.memory.records);
        }
        // The ids are refreshed from the entry's one reading of "status".
        update_proc_info(process, item.parent_pid, stat, dirfd, work_.ctx, work_.space,
                         item.status);
    } else {
        // The id now belongs to another process: start over, without the old
        // record's task set.
        const Pid pid = process.pid;
        const bool under_process = process.under_process;
        const std::string path = process.proc_dir(proc_root_);
        process = Process(&work_.memory.records, &work_.memory.secrets);
        retrieve_all_new_process_info(process, item.is_task, pid, item.parent_pid, stat, path,
                                      under_process, dirfd, item.status);
    }
}

bool Scanner::stat_fields(ProcAndTasks& item, int dirfd, StatFields& stat) {
    // The ids are read before "stat": a setuid execve() commits its new ids
    // only while it holds the lock that reading "stat" waits for.
    ScanContext& ctx = work_.ctx;
    item.status.read_once(dirfd, ctx.scratch, ctx.selection, ctx.caller_uid);
    if (!ctx.may_wait(item.status)) return item.status.stat_stand_in(stat);
    return ctx.budget->timed([&] { return get_stat_data(dirfd); }) &&
           parse_stat_file(ctx.stat_buffer.view(), stat);
}

bool Scanner::get_stat_data(int dirfd) {
    // The file is closed as soon as it is read, so a scan holds a handful of
    // descriptors at once. Kept open for a later scan of the same snapshot
    // (which no call makes), it would hold one descriptor per process and
    // thread, taken from the rest of the caller's process: its other
    // threads would meet EMFILE, or descriptors above FD_SETSIZE.
    return work_.ctx.stat_buffer.read_file_at(dirfd, "stat") == 0;
}

void Scanner::retrieve_all_new_process_info(Process& process, bool is_task, Pid pid,
                                            std::optional<Pid> parent_pid,
                                            const StatFields& stat, std::string_view path,
                                            bool under_process, int dirfd, EntryStatus& status) {
    process.pid = pid;
    process.start_ticks = stat.u64(StatFields::STARTTIME);
    process.start_since_boot = ticks_to_seconds(process.start_ticks, work_.ctx.host.clock_ticks);
    // "status" tells no start: the time of day stays unknown too.
    if (!stat.from_status) {
        process.start_time = saturating_add(process.start_since_boot, work_.ctx.host.boot_time);
    }
    process.name.assign(stat.name, &work_.memory.records);

    std::uint32_t flags = 0;
    const bool flags_read =
        stat.size() > StatFields::FLAGS && parse_u32(stat.field(StatFields::FLAGS), flags);
    const bool kernel = flags_read && (flags & KERNEL_THREAD_FLAG) != 0;
    if (is_task) {
        process.thread_class = kernel ? ThreadClass::KernelThread : ThreadClass::UserThread;
    } else if (kernel) {
        process.thread_class = ThreadClass::KernelThread;
    }

    update_proc_info(process, parent_pid, stat, dirfd, work_.ctx, work_.space, status);
    // After the parent is known: a task's directory is derived from it.
    process.set_proc_dir(proc_root_, path, under_process, &work_.memory.records);
}

}  // namespace

ScanOutcome scan_processes(ProcessTable& table, const std::string& proc_root,
                           SnapshotMemory& memory, const HostFigures& host,
                           const ProcessSelection& selection, std::uint32_t caller_uid) {
    // The first scan of the process raises its soft limit on open files to
    // the hard one, once; callers see that and may rely on it.
    (void)remaining_files();
    // Scratch space for this scan only, in the snapshot's memory: a call
    // keeps nothing once its snapshot is gone, however large the files it met.
    ScanWorkspace work(memory);
    work.ctx.host = host;
    work.ctx.selection = selection;
    work.ctx.caller_uid = caller_uid;
    Scanner(table, proc_root, work).refresh_procs();
    return ScanOutcome{.list_waits_spent = work.list_budget.waited_out()};
}

}  // namespace hoststats
