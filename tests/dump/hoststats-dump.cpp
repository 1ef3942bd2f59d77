// hoststats-dump: builds one host snapshot and prints it as JSON on stdout,
// for cross-checking the scan against other tools.
//
//   hoststats-dump [--root DIR] [--scans N] [--policy always|if-missing|never]
//                  [--wait-bound-ms MS]
//
// --root DIR   read DIR/proc and DIR/sys instead of the host's
// --scans N    scan the same snapshot N times in all (default 1): the first
//              scan is the snapshot's own, each further one refreshes the
//              table as it stands and drops what it did not see again
// --policy P   the field policy of every detail item on the further scans
// --wait-bound-ms MS  how long the scan may wait on the locks of the
//              caller's and root's processes (under a tracer every slow read
//              counts as a wait)
//
// Byte strings that are not UTF-8 are written with each stray byte as the
// escape \udcXX, so that Python's bytes.decode("utf-8", "surrogateescape")
// convention (s.encode("utf-8", "surrogateescape")) gives the bytes back.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hoststats/file_budget.hpp"
#include "hoststats/host_root.hpp"
#include "hoststats/list_budget.hpp"
#include "hoststats/numbers.hpp"
#include "hoststats/system.hpp"
#include "hoststats/text.hpp"

namespace {

using hoststats::FieldPolicy;

class Json {
public:
    void raw(std::string_view text) { out_.append(text); }

    void key(std::string_view name) {
        comma();
        quoted(name);
        out_.push_back(':');
        fresh_ = true;
    }
    void open(char bracket) {
        comma();
        out_.push_back(bracket);
        fresh_ = true;
    }
    void close(char bracket) {
        out_.push_back(bracket);
        fresh_ = false;
    }

    void number(std::uint64_t value) {
        comma();
        out_.append(std::to_string(value));
    }
    void number(std::int64_t value) {
        comma();
        out_.append(std::to_string(value));
    }
    void number(double value) {
        comma();
        if (!std::isfinite(value)) {
            out_.append("null");
            return;
        }
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.9g", value);
        out_.append(buf);
    }
    void boolean(bool value) {
        comma();
        out_.append(value ? "true" : "false");
    }
    void null() {
        comma();
        out_.append("null");
    }
    // `value` reads like a std::optional of a number.
    template <class T>
    void optional_number(const T& value) {
        if (value) {
            number(static_cast<std::int64_t>(*value));
        } else {
            null();
        }
    }
    void optional_string(const hoststats::OptionalText& value) {
        if (value) {
            string(*value);
        } else {
            null();
        }
    }
    void strings(const hoststats::ByteStringList& list) {
        open('[');
        for (std::string_view item : list) string(item);
        close(']');
    }

    // A JSON string of arbitrary bytes.
    void string(std::string_view bytes) {
        comma();
        quoted(bytes);
    }

    [[nodiscard]] const std::string& text() const noexcept { return out_; }

private:
    void quoted(std::string_view bytes) {
        out_.push_back('"');
        std::size_t i = 0;
        while (i < bytes.size()) {
            const auto c = static_cast<unsigned char>(bytes[i]);
            if (c >= 0x80) {
                const hoststats::Utf8Char decoded = hoststats::decode_utf8(bytes.substr(i));
                if (!decoded.valid) {
                    escape_u(0xDC00u | c);  // one stray byte
                    ++i;
                } else {
                    out_.append(bytes.substr(i, decoded.length));
                    i += decoded.length;
                }
                continue;
            }
            switch (c) {
                case '"': out_.append("\\\""); break;
                case '\\': out_.append("\\\\"); break;
                case '\n': out_.append("\\n"); break;
                case '\t': out_.append("\\t"); break;
                case '\r': out_.append("\\r"); break;
                case '\b': out_.append("\\b"); break;
                case '\f': out_.append("\\f"); break;
                default:
                    if (c < 0x20) {
                        escape_u(c);
                    } else {
                        out_.push_back(static_cast<char>(c));
                    }
            }
            ++i;
        }
        out_.push_back('"');
    }

    void comma() {
        if (!fresh_ && !out_.empty() && out_.back() != ':') out_.push_back(',');
        fresh_ = false;
    }
    void escape_u(unsigned code) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", code);
        out_.append(buf);
    }
    std::string out_;
    bool fresh_ = true;
};

const char* thread_class_name(const std::optional<hoststats::ThreadClass>& cls) {
    if (!cls) return nullptr;
    return *cls == hoststats::ThreadClass::KernelThread ? "KernelThread" : "UserThread";
}

void dump_process(Json& j, const hoststats::Process& p, const std::string& proc_root) {
    j.open('{');
    j.key("pid"); j.number(static_cast<std::int64_t>(p.pid));
    j.key("parent_pid"); j.optional_number(p.parent_pid);
    j.key("name"); j.string(p.name);
    j.key("state"); j.string(hoststats::to_string(p.state));
    j.key("state_code"); j.number(static_cast<std::uint64_t>(p.state_code));
    j.key("thread_class");
    if (const char* cls = thread_class_name(p.thread_class)) j.string(cls); else j.null();
    j.key("start_ticks"); j.number(p.start_ticks);
    j.key("start_since_boot"); j.number(p.start_since_boot);
    j.key("start_time"); j.number(p.start_time);
    j.key("run_time"); j.number(p.run_time);
    j.key("user_ticks"); j.number(p.user_ticks);
    j.key("system_ticks"); j.number(p.system_ticks);
    j.key("prev_user_ticks"); j.number(p.prev_user_ticks);
    j.key("prev_system_ticks"); j.number(p.prev_system_ticks);
    j.key("cpu_time_ms"); j.number(p.cpu_time_ms);
    j.key("usage_percent"); j.number(static_cast<double>(p.usage_percent));
    j.key("task_pids");
    if (p.task_pids) {
        std::vector<hoststats::Pid> tids(p.task_pids->begin(), p.task_pids->end());
        std::sort(tids.begin(), tids.end());
        j.open('[');
        for (hoststats::Pid tid : tids) j.number(static_cast<std::int64_t>(tid));
        j.close(']');
    } else {
        j.null();
    }
    j.key("proc_dir"); j.string(p.proc_dir(proc_root));
    j.key("updated"); j.boolean(p.updated);
    j.key("uid"); j.optional_number(p.uid);
    j.key("euid"); j.optional_number(p.euid);
    j.key("gid"); j.optional_number(p.gid);
    j.key("egid"); j.optional_number(p.egid);
    j.key("exe"); j.optional_string(p.exe);
    j.key("cwd"); j.optional_string(p.cwd);
    j.key("root"); j.optional_string(p.root);
    j.key("cmdline"); j.strings(p.cmdline);
    j.key("environ"); j.strings(p.environ);
    j.key("resident_bytes"); j.number(p.resident_bytes);
    j.key("virtual_bytes"); j.number(p.virtual_bytes);
    j.key("read_bytes"); j.number(p.io.read_bytes);
    j.key("written_bytes"); j.number(p.io.written_bytes);
    j.key("prev_read_bytes"); j.number(p.io.prev_read_bytes);
    j.key("prev_written_bytes"); j.number(p.io.prev_written_bytes);
    j.close('}');
}

void dump_snapshot(Json& j, const hoststats::System& sys) {
    const hoststats::MemoryFigures& m = sys.memory();
    j.key("memory");
    j.open('{');
    j.key("mem_total"); j.number(m.mem_total);
    j.key("mem_free"); j.number(m.mem_free);
    j.key("mem_available"); j.number(m.mem_available);
    j.key("buffers"); j.number(m.buffers);
    j.key("cached"); j.number(m.cached);
    j.key("shmem"); j.number(m.shmem);
    j.key("s_reclaimable"); j.number(m.s_reclaimable);
    j.key("swap_total"); j.number(m.swap_total);
    j.key("swap_free"); j.number(m.swap_free);
    j.close('}');

    const hoststats::SystemInner& inner = sys.inner();
    j.key("constants");
    j.open('{');
    j.key("page_size"); j.number(inner.page_size);
    j.key("clock_ticks"); j.number(inner.clock_ticks);
    j.key("boot_time"); j.number(inner.boot_time);
    j.key("kept_list_bytes"); j.number(std::uint64_t{hoststats::KEPT_LIST_BYTES});
    j.close('}');
    // Whether the last scan stopped reading lists because processes held
    // their locks: a test that looks for a list then knows it was not read.
    j.key("list_waits_spent"); j.boolean(inner.last_scan.list_waits_spent);

    const hoststats::CpuUsage& global = sys.cpus().global_usage();
    j.key("global_cpu");
    j.open('{');
    j.key("percent"); j.number(static_cast<double>(global.percent));
    j.key("total"); j.number(global.total);
    j.key("previous_total"); j.number(global.previous_total);
    j.close('}');

    j.key("cpus");
    j.open('[');
    for (const hoststats::Cpu& cpu : sys.cpus().cpus()) {
        j.open('{');
        j.key("name"); j.string(cpu.name);
        j.key("vendor_id"); j.string(cpu.vendor_id);
        j.key("brand"); j.string(cpu.brand);
        j.key("frequency"); j.number(cpu.frequency);
        j.key("percent"); j.number(static_cast<double>(cpu.usage.percent));
        j.close('}');
    }
    j.close(']');

    std::vector<const hoststats::Process*> records;
    records.reserve(sys.processes().size());
    for (const auto& entry : sys.processes()) records.push_back(&entry.second);
    std::sort(records.begin(), records.end(),
              [](const auto* a, const auto* b) { return a->pid < b->pid; });
    j.key("processes");
    j.open('[');
    for (const hoststats::Process* p : records) dump_process(j, *p, sys.inner().root().proc);
    j.close(']');
}

[[noreturn]] void usage() {
    std::fputs("usage: hoststats-dump [--root DIR] [--scans N] [--policy always|if-missing|never]"
               " [--wait-bound-ms MS]\n",
               stderr);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::string> root_dir;
    unsigned long scans = 1;
    FieldPolicy policy = FieldPolicy::IfMissing;
    std::optional<std::chrono::milliseconds> wait_bound;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) usage();
        const std::string_view value = argv[++i];
        if (arg == "--root") {
            root_dir = std::string(value);
        } else if (arg == "--scans") {
            std::uint64_t n = 0;
            if (!hoststats::parse_u64(value, n) || n < 1) usage();
            scans = static_cast<unsigned long>(n);
        } else if (arg == "--wait-bound-ms") {
            std::uint64_t ms = 0;
            if (!hoststats::parse_u64(value, ms) || ms > 86'400'000) usage();
            wait_bound = std::chrono::milliseconds(ms);
        } else if (arg == "--policy") {
            if (value == "always") {
                policy = FieldPolicy::Always;
            } else if (value == "if-missing") {
                policy = FieldPolicy::IfMissing;
            } else if (value == "never") {
                policy = FieldPolicy::Never;
            } else {
                usage();
            }
        } else {
            usage();
        }
    }

    Json j;
    {
        hoststats::HostRoot root =
            root_dir ? hoststats::HostRoot::under(*root_dir) : hoststats::HostRoot{};
        root.wait_bound = wait_bound;
        hoststats::System sys = hoststats::System::new_all(std::move(root));
        hoststats::ProcessSelection rescan = hoststats::ProcessSelection::everything();
        rescan.user = rescan.cwd = rescan.root = rescan.environ = rescan.cmdline = rescan.exe =
            policy;
        for (unsigned long n = 1; n < scans; ++n) {
            sys.inner().refresh_processes_specifics(rescan);
            sys.inner().retain_updated();
        }
        j.open('{');
        dump_snapshot(j, sys);
    }  // the snapshot and its kept files are gone from here on

    rlimit limits{};
    const bool got = ::getrlimit(RLIMIT_NOFILE, &limits) == 0;
    j.key("budget");
    j.open('{');
    j.key("remaining_files_after_drop"); j.number(hoststats::remaining_files().load());
    j.key("rlimit_nofile_soft");
    if (got) j.number(static_cast<std::uint64_t>(limits.rlim_cur)); else j.null();
    j.key("rlimit_nofile_hard");
    if (got) j.number(static_cast<std::uint64_t>(limits.rlim_max)); else j.null();
    j.close('}');
    j.close('}');
    j.raw("\n");

    const std::string& text = j.text();
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        std::perror("hoststats-dump: stdout");
        return 1;
    }
    return 0;
}
