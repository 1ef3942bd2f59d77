"""Where the time goes and what one call does: perf samples of the native
timers, and strace's record of the system calls of one get_memory_mb()
call, counted per entry and per file."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import psutil

from benchlib import Load, parse_benchmark_json, ratio
from commands import note_command, rel
from loads import holding

# --- where the time goes ------------------------------------------------------

PERF_LINE = re.compile(r"^\s*([0-9.]+)%\s+(\S+)\s+\[(.)\]\s+(.*?)\s*$")
# The C library's entry points that do nothing but enter the kernel: samples
# there are the cost of the system call itself, not of work in user space.
SYSCALL_STUBS = {
    "read", "__read", "__libc_read", "__libc_openat64", "openat", "__openat64", "open64",
    "__libc_open64", "__close", "close", "readlinkat", "__GI___getdents64", "getdents64",
    "__getdents64", "__GI___readlinkat", "__GI___close", "__GI___libc_read",
}
PERF_DSO_LINE = re.compile(r"^\s*([0-9.]+)%\s+(\S+)\s*$")


@dataclass
class Profile:
    """Shares of cpu-clock samples (percent) of one native timer."""

    samples_by_dso: dict[str, float]
    top_symbols: list[tuple[float, str, str]]  # (percent, dso, symbol), user space
    syscall_wrappers: float = 0.0  # percent in the C library's system call stubs


def perf_profile(name: str, argv: list[str], build: Path, calls: int) -> Profile | None:
    """Samples a native timer with perf's cpu-clock software event (hardware
    counters are often missing in virtual machines); None when perf cannot
    run here."""
    if shutil.which("perf") is None:
        return None
    data = build / f"perf-{name}.data"
    cmd = ["perf", "record", "-q", "-e", "cpu-clock", "-o", str(data), *argv, "-w", "1", str(calls)]
    note_command(["perf", "record", "-q", "-e", "cpu-clock", "-o", str(data), *argv, "-w", "1", "N"])
    if subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
        return None

    def report(sort: str) -> list[str]:
        argv_r = ["perf", "report", "-i", str(data), "--stdio", "--no-children", "-g", "none",
                  "--sort", sort]
        note_command(argv_r)
        out = subprocess.run(argv_r, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True).stdout
        return [line for line in out.splitlines() if line and not line.startswith("#")]

    by_dso: dict[str, float] = {}
    for line in report("dso"):
        m = PERF_DSO_LINE.match(line)
        if m:
            by_dso[m[2]] = by_dso.get(m[2], 0.0) + float(m[1])
    top: list[tuple[float, str, str]] = []
    wrappers = 0.0
    for line in report("dso,sym"):
        m = PERF_LINE.match(line)
        if m and m[3] == ".":
            top.append((float(m[1]), m[2], m[4]))
            if m[2].startswith("libc") and m[4] in SYSCALL_STUBS:
                wrappers += float(m[1])
    top.sort(reverse=True)
    return Profile(by_dso, top[:16], wrappers)


# --- what one call does, counted with strace -------------------------------

# A failed open of each of these paths brackets the one call in the trace.
MARK_START = "/nonexistent/pellun-bench-call-start"
MARK_END = "/nonexistent/pellun-bench-call-end"
STRACE_SNIPPET = """
import os
if {user!r}:
    import pwd
    pw = pwd.getpwnam({user!r})
    os.setgroups([])
    os.setgid(pw.pw_gid)
    os.setuid(pw.pw_uid)
import pellun_core
def mark(path):
    try:
        os.close(os.open(path, os.O_RDONLY))
    except OSError:
        pass
mark({start!r})
pellun_core.get_memory_mb()
mark({end!r})
"""
# "1234  openat(3</proc>, "5/stat", O_RDONLY|O_CLOEXEC) = 4</proc/5/stat>"
STRACE_CALL = re.compile(r"^\d+\s+(?P<name>\w+)\((?P<args>.*)\)\s+=\s+(?P<ret>-?\d+)")
# The file argument of open, openat, readlink and readlinkat: a directory
# descriptor as -y shows it (its path in angle brackets) and a path.
STRACE_FILE_ARG = re.compile(
    r'^(?:(?:AT_FDCWD|\d+<(?P<dir>[^>]*)>),\s*)?"(?P<path>[^"]*)"')
PROC_ENTRY_FILE = re.compile(r"^/proc/(?P<pid>\d+)/(?:task/\d+/)?(?P<file>[a-z_]+)$")
OPENS = {"open", "openat"}
LINK_READS = {"readlink", "readlinkat"}


@dataclass
class CallTrace:
    """The system calls of one call, from an strace -f -y log."""

    syscalls: int = 0
    reads: int = 0
    files_opened: int = 0  # successful opens of files, not of directories
    # (thread group id, file name) -> opens or link reads tried, failed ones too
    tries: dict[tuple[int, str], int] = field(default_factory=dict)

    def tries_of(self, name: str, pid: int | None = None) -> int:
        return sum(n for (p, f), n in self.tries.items() if f == name and pid in (None, p))

    def groups(self) -> int:
        return len({p for p, _ in self.tries})


def parse_call_trace(lines: list[str]) -> CallTrace:
    """Counts the calls between the two marks (the marks left out)."""
    starts = [i for i, line in enumerate(lines) if MARK_START in line]
    ends = [i for i, line in enumerate(lines) if MARK_END in line]
    if not starts or not ends:
        raise ValueError("the call's marks are not in the trace")
    trace = CallTrace()
    for line in lines[starts[0] + 1:ends[-1]]:
        m = STRACE_CALL.match(line)
        if not m:
            continue
        trace.syscalls += 1
        name, args, ret = m["name"], m["args"], int(m["ret"])
        if name in ("read", "pread64", "readv"):
            trace.reads += 1
        if name not in OPENS and name not in LINK_READS:
            continue
        if name in OPENS and ret >= 0 and "O_DIRECTORY" not in args:
            trace.files_opened += 1
        f = STRACE_FILE_ARG.match(args)
        if not f:
            continue
        path = f["path"] if f["path"].startswith("/") or not f["dir"] else f"{f['dir']}/{f['path']}"
        entry = PROC_ENTRY_FILE.match(path)
        if entry:
            key = (int(entry["pid"]), entry["file"])
            trace.tries[key] = trace.tries.get(key, 0) + 1
    return trace


def trace_one_call(build: Path, user: str = "") -> CallTrace | None:
    """One get_memory_mb() call in a fresh interpreter under strace -f -y,
    made as `user` when one is named (the interpreter drops to it before the
    import); None when strace is not there."""
    if shutil.which("strace") is None:
        return None
    log = build / f"strace-{user or 'root'}.log"
    code = STRACE_SNIPPET.format(user=user, start=MARK_START, end=MARK_END)
    argv = ["strace", "-f", "-y", "-qq", "-o", str(log), sys.executable, "-c", code]
    note_command([*argv[:6], rel(sys.executable), "-c", "STRACE_SNIPPET of bench/tracing.py"
                  + (f" (as {user})" if user else "")])
    subprocess.run(argv, check=True, cwd="/")
    return parse_call_trace(log.read_text(errors="replace").splitlines())



@dataclass(frozen=True)
class IdleCounts:
    """One get_memory_mb() call at idle, counted by strace, beside one call
    of the floor, which counts its own."""

    entries: int  # processes plus other threads, the floor's count just after
    groups: int  # thread groups (processes), the floor's count
    syscalls: int
    reads: int
    files_opened: int  # successful opens of files, not of directories
    status_opens: int  # opens of a "status" file, failed ones too
    statm_opens: int
    floor_syscalls_per_entry: float
    floor_reads_per_file: float  # NaN when the floor opened no file

    @property
    def syscalls_per_entry(self) -> float:
        return self.syscalls / self.entries

    @property
    def reads_per_file(self) -> float:
        """NaN when the call opened no file."""
        return ratio(self.reads, self.files_opened)


def count_idle(build: Path) -> IdleCounts | None:
    """System calls per entry and reads per file opened by one call at
    idle, and the same of one floor call, which counts its own; the entries
    are the floor's count, taken just after."""
    trace = trace_one_call(build)
    if trace is None:
        return None
    floor = parse_benchmark_json(subprocess.run(
        [str(build / "bench" / "floor"), "-w", "0", "1"], stdout=subprocess.PIPE, text=True,
        check=True).stdout)
    entries = floor.entries or 1
    return IdleCounts(
        entries=entries, groups=floor.procs or 1, syscalls=trace.syscalls, reads=trace.reads,
        files_opened=trace.files_opened, status_opens=trace.tries_of("status"),
        statm_opens=trace.tries_of("statm"),
        floor_syscalls_per_entry=floor.counters["syscalls"] / entries,
        floor_reads_per_file=ratio(floor.counters["reads"], floor.counters["files"]))


@dataclass(frozen=True)
class UnprivilegedCounts:
    """One call made as a user that is not root, with a root process of
    many threads on the host: the opens and link reads it tried (failed ones
    too), for that process and on average over every thread group."""

    pid: int  # the root process's
    threads: int  # its threads, its own included
    groups: int  # thread groups the call tried any file of
    environ: int  # tries of the root process's "environ"
    exe: int
    cmdline: int
    environ_per_group: float  # NaN when the call tried no group's files
    exe_per_group: float


def count_unprivileged(build: Path, load: Load) -> UnprivilegedCounts | None:
    """Under `load` (one root process of many threads), the opens of
    "environ" and the reads of "exe" by one call made as load.caller, for
    that process and on average over every thread group."""
    with holding(build / "bench" / "load", load) as holder:
        holder.ensure(60)
        assert holder.proc is not None
        children = psutil.Process(holder.proc.pid).children()
        if len(children) != 1:
            raise RuntimeError(f"expected one loaded process, found {len(children)}")
        pid = children[0].pid
        threads = children[0].num_threads()
        trace = trace_one_call(build, load.caller)
    if trace is None:
        return None
    groups = trace.groups()
    return UnprivilegedCounts(
        pid=pid, threads=threads, groups=groups, environ=trace.tries_of("environ", pid),
        exe=trace.tries_of("exe", pid), cmdline=trace.tries_of("cmdline", pid),
        environ_per_group=ratio(trace.tries_of("environ"), groups),
        exe_per_group=ratio(trace.tries_of("exe"), groups))
