#include "hoststats/process.hpp"

#include <charconv>
#include <cstddef>

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

namespace {

// Whether `path` is <proc_root>/<group>/task/<name>, or <proc_root>/<name>
// when `group` is empty.
bool path_is(std::string_view path, std::string_view proc_root, std::string_view group,
             std::string_view name) noexcept {
    const auto take = [&path](std::string_view piece) {
        if (!path.starts_with(piece)) return false;
        path.remove_prefix(piece.size());
        return true;
    };
    if (!take(proc_root) || !take("/")) return false;
    if (!group.empty() && (!take(group) || !take("/task/"))) return false;
    return take(name) && path.empty();
}

}  // namespace

bool Process::proc_dir_is(std::string_view proc_root, const EntryDir& dir) const noexcept {
    if (unusual_dir_) return path_is(*unusual_dir_, proc_root, dir.group, dir.name);
    // Names hold no "/": the two paths are one when their pieces are.
    if (under_process && parent_pid) {
        if (dir.group != IdText(*parent_pid).view()) return false;
    } else if (!dir.group.empty()) {
        return false;
    }
    return dir.name == IdText(pid).view();
}

bool Process::proc_dir_is(std::string_view proc_root, std::string_view path) const noexcept {
    if (unusual_dir_) return std::string_view(*unusual_dir_) == path;
    const bool derived_under = under_process && parent_pid;
    return path_is(path, proc_root, derived_under ? IdText(*parent_pid).view() : std::string_view{},
                   IdText(pid).view());
}

void Process::set_proc_dir(std::string_view proc_root, const EntryDir& dir,
                           std::pmr::memory_resource* memory) {
    unusual_dir_.reset();
    under_process = !dir.group.empty();
    if (proc_dir_is(proc_root, dir)) return;
    RecordString& text = unusual_dir_.emplace(memory);
    text.append(proc_root).append("/");
    if (under_process) text.append(dir.group).append("/task/");
    text.append(dir.name);
}

void Process::set_proc_dir(std::string_view proc_root, std::string_view path, bool under,
                           std::pmr::memory_resource* memory) {
    unusual_dir_.reset();
    under_process = under;
    if (!proc_dir_is(proc_root, path)) unusual_dir_.emplace(memory, path);
}

}  // namespace hoststats
