"""Measures pellun_core side by side with the I/O floor and with psutil, at
an idle host and under generated loads, and writes docs/performance.md and
docs/performance.png. `make bench` runs it; see that target for the set-up.

    python bench/run_bench.py --build build/bench [--out docs/performance.md]
                              [--quick] [--shapes idle,spaces1x1000,...]

Every figure in the report comes from this run. The contenders are
measured interleaved, round after round, so that the drift of a shared
machine hits them all alike: in each round the I/O floor (bench/floor.c),
the native snapshot (snapshot_bench), get_memory_mb(), get_cpu_percent(),
psutil gathering the same facts, psutil.virtual_memory() and
psutil.cpu_percent(interval=0.1). The loads come from bench/load.c. Besides
times, strace counts what one call does: system calls per entry and reads
per file at idle, and the opens of a caller that is not root.
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import pickle
import platform
import resource
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator

import psutil

import pellun_core

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchlib import (  # noqa: E402
    Load,
    NativeRun,
    Side,
    fmt_ms,
    fmt_ratio,
    md_table,
    median,
    parse_benchmark_json,
    ratio,
)

REPO = Path(__file__).resolve().parent.parent
# The load curve: the idle host and three generated loads.
LOADS = [Load(0, 0), Load(200, 1), Load(200, 10), Load(1000, 10)]
# Shapes off the curve. One process whose thousand threads share one
# command line of 19 arguments of 100,000 bytes, of letters and of spaces
# alike (a list of nothing but white space must not cost more than one of
# letters); 300 forked processes, each with its own copy of a 1.8 MB
# environment (what a call keeps of them); the idle host seen with 256 CPUs
# and no cpufreq files (as in most virtual machines); and a root process of
# a thousand threads seen by a caller that is not root, counted, not timed.
LETTERS = Load(1, 1000, arg_bytes=1_900_000)
SPACES = Load(1, 1000, arg_bytes=1_900_000, fill=" ")
ENVIRONMENTS = Load(300, 1, env_bytes=1_800_000)
UNPRIVILEGED = Load(1, 1000, caller="nobody")
# Neighbours that would hold a call, each beside the same processes without
# the trait: eight processes that keep their own address-space locks busy
# (a read of their "cmdline" or "environ" waits out a whole hold), and 4,000
# threads standing in a directory whose path is some 4 KB long.
STORMS = Load(8, 1, storm_gib=2)
DEEP = Load(1, 4000, cwd_bytes=4000)
# And one process of another user whose flipping thread holds its lock while
# it waits for a CPU (at SCHED_IDLE, beside two busy threads of its own),
# against the same process with the thread spinning without the lock: the
# pair is measured in alternating turns, get_memory_mb() and SIGINT alone
# (the floor and psutil read its lists and would wait out every hold). The
# other 997 threads sleep; they make a call last well past the 50 ms at
# which SIGINT is sent into it.
STARVED = Load(1, 1000, storm_gib=2, starved="holding", owner="nobody")
STARVED_SPINNING = Load(1, 1000, storm_gib=2, starved="spinning", owner="nobody")
SHAPES = [LETTERS, SPACES, ENVIRONMENTS, Load(0, 0, cpus=256), UNPRIVILEGED,
          Load(8, 1), STORMS, Load(1, 4000), DEEP, STARVED, STARVED_SPINNING]
# The load generator is asked to hold this long, and ends itself then; a
# load is started afresh when a round might outlast it.
LOAD_SECONDS = 600
PAUSE_S = 0.1  # get_cpu_percent()'s pause

# The fields a snapshot holds for each process and thread, as psutil names
# them. psutil has no "root" link; the snapshot reads one more link per entry.
PSUTIL_ATTRS = [
    "name", "ppid", "status", "create_time", "cpu_times", "uids", "gids", "exe",
    "cmdline", "environ", "cwd", "memory_info", "io_counters",
]

SIDES = [
    ("floor", "I/O floor (bench/floor.c)"),
    ("native", "snapshot, native (snapshot_bench)"),
    ("mem", "pellun_core.get_memory_mb()"),
    ("cpu", "pellun_core.get_cpu_percent()"),
    ("ps_all", "psutil, the same facts"),
    ("ps_vm", "psutil.virtual_memory()"),
    ("ps_cpu", "psutil.cpu_percent(interval=0.1)"),
]

COMMANDS: list[str] = []  # every external command this run started, once each


def rel(path: Path | str) -> str:
    try:
        return str(Path(os.path.abspath(path)).relative_to(REPO))
    except ValueError:
        return str(path)


def note_command(argv: list[str]) -> None:
    text = shlex.join(rel(a) if "/" in a else a for a in argv)
    if text not in COMMANDS:
        COMMANDS.append(text)


# --- psutil, gathering what one snapshot holds ---------------------------------

def psutil_record(proc: psutil.Process) -> dict[str, object]:
    """One record's fields, each on its own: a kernel thread has no
    environment, which psutil reports as a vanished process, and that must
    not lose the other fields."""
    record: dict[str, object] = {}
    with proc.oneshot():
        for attr in PSUTIL_ATTRS:
            try:
                record[attr] = getattr(proc, attr)()
            except psutil.Error:
                record[attr] = None
    return record


def psutil_same_facts(hold: bool = False) -> int:
    """Memory, CPU times and frequencies, and for every process and every
    thread the fields of a snapshot record; then memory again, as
    get_memory_mb() refreshes it. Returns the entries gathered. With `hold`,
    every record is kept until the end, as a snapshot keeps its table."""
    held: list[dict[str, object]] = []
    keep = held.append if hold else (lambda record: None)
    psutil.virtual_memory()
    psutil.cpu_times(percpu=True)
    psutil.cpu_freq(percpu=True)
    psutil.boot_time()
    entries = 0
    for proc in psutil.process_iter():
        try:
            tids = [t.id for t in proc.threads()]
        except psutil.Error:
            tids = []
        keep(psutil_record(proc))
        entries += 1
        for tid in tids:
            if tid == proc.pid:
                continue
            try:
                thread = psutil.Process(tid)
            except psutil.Error:
                continue
            keep(psutil_record(thread))
            entries += 1
    psutil.virtual_memory()
    return entries


# --- timing -----------------------------------------------------------------------

def timed_calls(side: Side, fn: Callable[[], object], calls: int) -> object:
    """Times `calls` calls of fn one by one; charges this thread's CPU time
    over the batch to the side. Returns the last call's result."""
    before = resource.getrusage(resource.RUSAGE_THREAD)
    result = None
    for _ in range(calls):
        t0 = time.perf_counter_ns()
        result = fn()
        side.times_s.append((time.perf_counter_ns() - t0) / 1e9)
    after = resource.getrusage(resource.RUSAGE_THREAD)
    side.cpu_user_s += after.ru_utime - before.ru_utime
    side.cpu_sys_s += after.ru_stime - before.ru_stime
    side.minor_faults += after.ru_minflt - before.ru_minflt
    side.calls += calls
    return result


class ChildUsage:
    """CPU time of waited-for children, for the native timers: Popen reaps
    its child itself, so the difference of RUSAGE_CHILDREN around one run
    is that run's usage."""

    def __enter__(self) -> "ChildUsage":
        self.before = resource.getrusage(resource.RUSAGE_CHILDREN)
        return self

    def __exit__(self, *exc: object) -> None:
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.user = after.ru_utime - self.before.ru_utime
        self.sys = after.ru_stime - self.before.ru_stime
        self.faults = after.ru_minflt - self.before.ru_minflt


def native_round(side: Side, argv: list[str], calls: int, warmup: int = 1) -> NativeRun:
    cmd = [*argv, "-w", str(warmup), str(calls)]
    note_command([*argv, "-w", str(warmup), "N"])
    with ChildUsage() as usage:
        out = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, check=True).stdout
    run = parse_benchmark_json(out)
    side.times_s.append(run.median_us / 1e6)
    side.mins_s.append(run.min_us / 1e6)
    # The warm-up calls and the program's start are charged pro rata.
    share = calls / (calls + warmup)
    side.cpu_user_s += usage.user * share
    side.cpu_sys_s += usage.sys * share
    side.minor_faults += usage.faults * share
    side.calls += calls
    return run


# --- the load generator ----------------------------------------------------------

@dataclass
class LoadHolder:
    """Holds a generated load, restarting it before the generator's own time
    limit would end it in the middle of a round."""

    exe: Path
    load: Load
    proc: subprocess.Popen[str] | None = None
    started: float = 0.0
    starts: int = 0

    def start(self) -> None:
        argv = [str(self.exe), "-s", str(LOAD_SECONDS), *self.load.load_args()]
        note_command(argv)
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline()
        if not line.startswith("ready"):
            self.stop()
            raise RuntimeError(f"load generator did not get ready: {line!r}")
        self.started = time.monotonic()
        self.starts += 1

    def ensure(self, needed_s: float) -> None:
        """Makes sure the load holds for `needed_s` more seconds."""
        if not self.load.generated:
            return
        if self.proc is None or time.monotonic() - self.started + needed_s > LOAD_SECONDS - 10:
            self.stop()
            self.start()

    def stop(self) -> None:
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None


@contextmanager
def holding(exe: Path, load: Load) -> Iterator[LoadHolder]:
    holder = LoadHolder(exe, load)
    try:
        yield holder
    finally:
        holder.stop()


# --- a host of many CPUs ------------------------------------------------------------

def cpu_fixture(build: Path, cpus: int) -> Path:
    """This host's /proc/stat and /proc/cpuinfo as they would read with
    `cpus` CPUs: the first CPU's counters and processor block repeated."""
    fixture = build / f"cpus{cpus}"
    fixture.mkdir(parents=True, exist_ok=True)
    block = Path("/proc/cpuinfo").read_text().split("\n\n")[0].splitlines()[1:]
    (fixture / "cpuinfo").write_text("".join(
        f"processor\t: {i}\n" + "\n".join(block) + "\n\n" for i in range(cpus)))
    stat = Path("/proc/stat").read_text().splitlines()
    cpu0 = next(line for line in stat if line.startswith("cpu0 ")).split(" ", 1)[1]
    rest = [line for line in stat if not line.startswith("cpu")]
    (fixture / "stat").write_text("\n".join(
        [stat[0], *(f"cpu{i} {cpu0}" for i in range(cpus)), *rest]) + "\n")
    return fixture


def measure_with_cpus(args: argparse.Namespace, load: Load, rounds: int) -> LoadResult | None:
    """Measures `load` in a private mount namespace, where the fixture's
    files are bound over /proc/stat and /proc/cpuinfo: every contender, the
    floor and psutil included, then sees that many CPUs. The counters stand
    still there, so get_cpu_percent() reads 0 %; only its cost counts.
    None when no such namespace can be made (it takes root)."""
    cpu_fixture(args.build, load.cpus)
    result = args.build / f"result-{load.key}.pickle"
    argv = ["unshare", "-m", "--propagation", "private", "--", sys.executable, __file__,
            "--build", str(args.build), "--budget", str(args.budget), "--inside", load.key,
            "--rounds", str(rounds), "--result", str(result), *(["--quick"] if args.quick else [])]
    note_command([*argv[:5], rel(sys.executable), "bench/run_bench.py", "...",
                  "--inside", load.key])
    if subprocess.run(argv).returncode != 0:
        print(f"{load.label}: left out, no private mount namespace here (it takes root)",
              flush=True)
        return None
    with open(result, "rb") as f:
        state = pickle.load(f)
    for command in state["commands"]:
        if command not in COMMANDS:
            COMMANDS.append(command)
    return state["result"]


def run_inside(args: argparse.Namespace) -> None:
    """The part of measure_with_cpus that runs in the namespace."""
    load = next(shape for shape in SHAPES if shape.key == args.inside)
    fixture = args.build / f"cpus{load.cpus}"
    for name in ("stat", "cpuinfo"):
        argv = ["mount", "--bind", str(fixture / name), f"/proc/{name}"]
        note_command(argv)
        subprocess.run(argv, check=True)
    res = measure_load(args, load, args.rounds)
    with open(args.result, "wb") as f:
        pickle.dump({"result": res, "commands": COMMANDS}, f)


# --- fresh interpreters: import time and peak memory ------------------------------

IMPORT_SNIPPET = """
import time
t0 = time.perf_counter_ns()
import {module}
print((time.perf_counter_ns() - t0) / 1e9)
"""

# The kernel resets the peak resident size (VmHWM) to the current one when
# "5" is written to clear_refs; the peak after the call, less that, is what
# the call added at its highest, and the resident size after it, less that,
# what the process still holds once the call has returned.
PEAK_SNIPPET = """
import sys
sys.path.insert(0, {bench_dir!r})
import pellun_core, psutil
from run_bench import psutil_same_facts
def kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
call = {{"mem": pellun_core.get_memory_mb, "ps_all": psutil_same_facts,
        "ps_held": lambda: psutil_same_facts(hold=True)}}[{what!r}]
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = kib("VmHWM")
call()
print((kib("VmHWM") - base) * 1024, (kib("VmRSS") - base) * 1024)
"""


def import_times(module: str, runs: int) -> list[float]:
    return [float(fresh_python(IMPORT_SNIPPET.format(module=module))) for _ in range(runs)]


def peak_added(what: str, runs: int) -> tuple[list[float], list[float]]:
    """Bytes added at the call's peak, and still held after it, per run."""
    code = PEAK_SNIPPET.format(bench_dir=str(REPO / "bench"), what=what)
    peaks, kept = [], []
    for _ in range(runs):
        peak, held = fresh_python(code).split()
        peaks.append(float(peak))
        kept.append(float(held))
    return peaks, kept


def fresh_python(code: str) -> str:
    note_command([rel(sys.executable), "-c", "IMPORT_SNIPPET or PEAK_SNIPPET of bench/run_bench.py"])
    return subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                          text=True, check=True, cwd=REPO / "bench").stdout.strip()


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
    note_command([*argv[:6], rel(sys.executable), "-c", "STRACE_SNIPPET of bench/run_bench.py"
                  + (f" (as {user})" if user else "")])
    subprocess.run(argv, check=True, cwd="/")
    return parse_call_trace(log.read_text(errors="replace").splitlines())


def count_idle(build: Path) -> dict[str, float] | None:
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
    groups = floor.procs or 1
    return {
        "entries": entries, "groups": groups, "syscalls": trace.syscalls,
        "reads": trace.reads, "files_opened": trace.files_opened,
        "syscalls_per_entry": trace.syscalls / entries,
        "reads_per_file": ratio(trace.reads, trace.files_opened),
        "status_opens": trace.tries_of("status"), "statm_opens": trace.tries_of("statm"),
        "floor_syscalls_per_entry": floor.counters["syscalls"] / entries,
        "floor_reads_per_file": ratio(floor.counters["reads"], floor.counters["files"]),
    }


def count_unprivileged(build: Path, load: Load) -> dict[str, float] | None:
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
    return {
        "pid": pid, "threads": threads, "groups": groups,
        "environ": trace.tries_of("environ", pid), "exe": trace.tries_of("exe", pid),
        "cmdline": trace.tries_of("cmdline", pid),
        "environ_per_group": ratio(trace.tries_of("environ"), groups),
        "exe_per_group": ratio(trace.tries_of("exe"), groups),
    }


# --- one load ----------------------------------------------------------------------

@dataclass
class LoadResult:
    load: Load
    sides: dict[str, Side]
    rounds: int = 0
    entries: list[int] = field(default_factory=list)
    procs: list[int] = field(default_factory=list)
    psutil_entries: list[int] = field(default_factory=list)
    native_ratios: list[float] = field(default_factory=list)  # per round
    loadavg: list[tuple[float, float, float]] = field(default_factory=list)
    import_s: dict[str, list[float]] = field(default_factory=dict)
    peak_bytes: dict[str, list[float]] = field(default_factory=dict)
    kept_bytes: dict[str, list[float]] = field(default_factory=dict)
    load_starts: int = 0
    profiles: dict[str, Profile | None] = field(default_factory=dict)
    seconds: float = 0.0


def clamp(value: float, low: int, high: int) -> int:
    return max(low, min(high, round(value)))


def measure_load(args: argparse.Namespace, load: Load, rounds: int) -> LoadResult:
    build: Path = args.build
    floor = [str(build / "bench" / "floor")]
    native = [str(build / "bench" / "snapshot_bench"), "--benchmark_format=json"]
    res = LoadResult(load, {key: Side(key) for key, _ in SIDES}, rounds=rounds)
    t_start = time.monotonic()
    with holding(build / "bench" / "load", load) as holder:
        holder.ensure(30)
        # Calibration: a few floor calls and one call tell how many calls fit
        # a round, by the slower of the two.
        probe = parse_benchmark_json(subprocess.run(
            [*floor, "-w", "1", "3"], stdout=subprocess.PIPE, text=True, check=True).stdout)
        t0 = time.perf_counter()
        pellun_core.get_memory_mb()
        est = max(probe.median_us / 1e6, time.perf_counter() - t0)
        # A call of a second or more is timed once a round: the rounds make
        # the sample, and a round of such a shape stays under a minute or so.
        slow = est >= 1.0
        k_fast = clamp(args.budget / est, 1 if slow else 3, 40)
        k_ps = clamp(args.budget / (6 * est), 1, 10)
        k_cpu = clamp(args.budget * 2 / (PAUSE_S + est), 1 if slow else 2, 8)
        # One warm-up call of each Python contender; what the calibration and
        # the warm-up took is the first guess at a round's length.
        psutil_same_facts()
        psutil.cpu_percent(interval=None)
        round_s = time.monotonic() - t_start
        for r in range(rounds):
            holder.ensure(round_s * 1.5 + 5)
            t_round = time.monotonic()
            res.loadavg.append(os.getloadavg())
            s = res.sides
            f = native_round(s["floor"], floor, k_fast)
            n = native_round(s["native"], native, k_fast)
            res.entries.append(f.entries or 0)
            res.procs.append(f.procs or 0)
            res.native_ratios.append(ratio(n.median_us, f.median_us))
            timed_calls(s["mem"], pellun_core.get_memory_mb, k_fast)
            timed_calls(s["cpu"], pellun_core.get_cpu_percent, k_cpu)
            gathered = timed_calls(s["ps_all"], psutil_same_facts, k_ps)
            assert isinstance(gathered, int)
            res.psutil_entries.append(gathered)
            timed_calls(s["ps_vm"], psutil.virtual_memory, 30)
            timed_calls(s["ps_cpu"], lambda: psutil.cpu_percent(interval=PAUSE_S), 3)
            round_s = time.monotonic() - t_round
            if load.generated and (holder.proc is None or holder.proc.poll() is not None):
                raise RuntimeError(f"{load.label}: the load ended during round {r + 1}")
            print(f"  {load.label} round {r + 1}/{rounds}: {f.entries} entries, floor "
                  f"{f.median_us / 1e3:.2f} ms, native {n.median_us / 1e3:.2f} ms, "
                  f"get_memory_mb {median(s['mem'].times_s[-k_fast:]) * 1e3:.2f} ms, "
                  f"psutil {median(s['ps_all'].times_s[-k_ps:]) * 1e3:.1f} ms "
                  f"({round_s:.1f} s)", flush=True)
        if load in (LOADS[0], LOADS[-1]):
            holder.ensure(60)
            res.profiles = {
                "snapshot": perf_profile("snapshot", native, build, k_fast),
                "floor": perf_profile("floor", floor, build, k_fast),
            }
        holder.ensure(60)
        runs = 3 if args.quick or load.procs * load.threads >= 5000 else 5
        for who in ("mem", "ps_all"):
            res.peak_bytes[who], res.kept_bytes[who] = peak_added(who, runs)
        res.import_s = {m: import_times(m, runs) for m in ("pellun_core", "psutil")}
        res.load_starts = holder.starts
    res.seconds = time.monotonic() - t_start
    return res


# --- memory per task ------------------------------------------------------------------

def count_entries() -> int:
    """Processes plus their other threads on the host now: every task
    directory under /proc, as a snapshot makes one record of each."""
    entries = 0
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                entries += len(os.listdir(f"/proc/{name}/task"))
            except OSError:
                pass  # ended meanwhile
    return entries


def measure_memory(args: argparse.Namespace, shapes: list[Load]) -> str:
    """What one call adds to the peak resident size at each shape, and its
    growth per entry over the idle host, for get_memory_mb() and for psutil
    gathering the same facts and holding them all until it is done, as a
    snapshot holds its table; a Markdown table. Memory is not timed, so the
    shapes need no rounds: a few fresh interpreters at each."""
    rows = []
    base: dict[str, float] = {}
    base_entries = 0
    for load in shapes:
        print(f"{load.label}: peaks", flush=True)
        with holding(args.load or args.build / "bench" / "load", load) as holder:
            holder.ensure(120)
            entries = count_entries()
            runs = 3 if load.procs * load.threads >= 5000 else 5
            peaks = {who: median(peak_added(who, runs)[0]) for who in ("mem", "ps_held")}
            entries = (entries + count_entries()) // 2
            loadavg = os.getloadavg()[0]
        if not load.generated:
            base, base_entries = peaks, entries
        row = [load.label, str(entries), str(runs)]
        for who in ("mem", "ps_held"):
            per_task = ("–" if not base or entries <= base_entries
                        else f"{(peaks[who] - base[who]) / (entries - base_entries):,.0f}")
            row += [f"{peaks[who] / 2**10:,.0f}", per_task]
        rows.append(row + [f"{loadavg:.1f}"])
    return md_table(["shape", "entries", "runs", "get_memory_mb() peak KiB",
                     "bytes per entry over idle", "psutil, holding the same facts: peak KiB",
                     "bytes per entry over idle", "load average (1 min)"], rows)


MEMORY_HEADING = "## Memory per entry"
MACHINE_HEADING = "## The machine and the run"


def memory_span(report: str) -> tuple[int, int]:
    """Where the section that --memory wrote lies in a report, up to the
    next section's heading; (0, 0) when there is none."""
    start = report.find(MEMORY_HEADING + "\n")
    if start < 0:
        return 0, 0
    end = report.find("\n## ", start + len(MEMORY_HEADING))
    return start, len(report) if end < 0 else end + 1


def memory_section_of(report: str) -> str:
    """The section that --memory wrote into a report, or nothing."""
    start, end = memory_span(report)
    return report[start:end].rstrip("\n") + "\n" if end else ""


def with_memory_section(report: str, section: str) -> str:
    """The report with its memory section replaced by `section`, which goes
    before the machine's: a full run keeps what --memory measured, and
    --memory leaves the rest of the report as the full run wrote it."""
    start, end = memory_span(report)
    report = report[:start] + report[end:]
    if not section:
        return report
    section = section.rstrip("\n") + "\n\n"
    at = report.find(MACHINE_HEADING)
    return report + "\n" + section if at < 0 else report[:at] + section + report[at:]


def memory_report(args: argparse.Namespace, table: str) -> str:
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")
    return "\n".join([
        MEMORY_HEADING + "\n",
        "What one `get_memory_mb()` call adds to the peak resident size of a fresh "
        "interpreter (VmHWM after the call less VmHWM reset by writing 5 to "
        "/proc/self/clear_refs just before it; the median of the runs), and how much "
        "that grows for each entry (process or thread) the host has beyond the idle "
        "host's; beside it psutil gathering the same facts for every process and "
        "thread and holding them all until it is done, as a snapshot holds its table. "
        f"Measured {when} UTC by `{' '.join(args.argv)}`, apart from the timed run above.\n",
        table, ""])


# --- a starved lock holder ----------------------------------------------------------

# A caller in a process of its own, for SIGINT from another process: at each
# line on its standard input it prints when it starts a call, and after the
# call waits for SIGINT; then it prints when KeyboardInterrupt came and
# whether the call was still running.
SIGINT_CALLER = """
import signal, sys, time
import pellun_core
signal.signal(signal.SIGINT, signal.default_int_handler)
for _ in sys.stdin:
    in_call = True
    try:
        print("calling", time.monotonic(), flush=True)
        pellun_core.get_memory_mb()
        in_call = False
        while True:
            time.sleep(60)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), int(in_call), flush=True)
"""
SIGINT_AFTER_S = 0.05  # into the call
STARVED_CALLS = 5  # get_memory_mb() calls per turn
STARVED_PROBES = 3  # SIGINTs per turn


@dataclass
class StarvedResult:
    """get_memory_mb() beside STARVED and beside STARVED_SPINNING, keyed by
    Load.starved: each call's time; each SIGINT's time to KeyboardInterrupt,
    and how many came while the call still ran; one plain read of the
    neighbour's "cmdline" per turn, to show that it held its lock."""

    rounds: int
    calls_s: dict[str, list[float]] = field(default_factory=dict)
    sigint_s: dict[str, list[float]] = field(default_factory=dict)
    sigint_in_call: dict[str, int] = field(default_factory=dict)
    cmdline_read_s: dict[str, list[float]] = field(default_factory=dict)
    loadavg: list[float] = field(default_factory=list)
    seconds: float = 0.0

    def worst_ratio(self) -> float:
        """The worst call beside the holder over the worst beside it spinning."""
        return ratio(max(self.calls_s["holding"]), max(self.calls_s["spinning"]))


def interrupt_a_call(caller: subprocess.Popen[str]) -> tuple[float, bool]:
    """Seconds from SIGINT, sent SIGINT_AFTER_S into a call of `caller`,
    to its KeyboardInterrupt, and whether the call was still running."""
    assert caller.stdin is not None and caller.stdout is not None
    caller.stdin.write("go\n")
    caller.stdin.flush()
    word, started = caller.stdout.readline().split()
    if word != "calling":
        raise RuntimeError(f"the SIGINT caller said {word!r}")
    time.sleep(max(0.0, float(started) + SIGINT_AFTER_S - time.monotonic()))
    sent = time.monotonic()
    caller.send_signal(signal.SIGINT)
    word, ended, in_call = caller.stdout.readline().split()
    if word != "interrupted":
        raise RuntimeError(f"the SIGINT caller said {word!r}")
    return float(ended) - sent, in_call == "1"


def measure_starved(args: argparse.Namespace, rounds: int) -> StarvedResult:
    """Each round, one turn beside each of the pair, in alternating order;
    the generator is started afresh for each turn."""
    exe = args.build / "bench" / "load"
    res = StarvedResult(rounds)
    for load in (STARVED, STARVED_SPINNING):
        res.calls_s[load.starved], res.sigint_s[load.starved] = [], []
        res.cmdline_read_s[load.starved] = []
        res.sigint_in_call[load.starved] = 0
    note_command([rel(sys.executable), "-c", "SIGINT_CALLER of bench/run_bench.py"])
    caller = subprocess.Popen([sys.executable, "-c", SIGINT_CALLER], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    t_start = time.monotonic()
    try:
        pellun_core.get_memory_mb()
        for r in range(rounds):
            pair = [STARVED, STARVED_SPINNING]
            for load in pair if r % 2 == 0 else pair[::-1]:
                with holding(exe, load) as holder:
                    holder.ensure(60)
                    assert holder.proc is not None
                    children = psutil.Process(holder.proc.pid).children()
                    if len(children) != 1:
                        raise RuntimeError(f"expected one neighbour, found {len(children)}")
                    res.loadavg.append(os.getloadavg()[0])
                    t0 = time.monotonic()
                    Path(f"/proc/{children[0].pid}/cmdline").read_bytes()
                    res.cmdline_read_s[load.starved].append(time.monotonic() - t0)
                    for _ in range(STARVED_CALLS):
                        t0 = time.monotonic()
                        pellun_core.get_memory_mb()
                        res.calls_s[load.starved].append(time.monotonic() - t0)
                    for _ in range(STARVED_PROBES):
                        after, in_call = interrupt_a_call(caller)
                        res.sigint_s[load.starved].append(after)
                        res.sigint_in_call[load.starved] += in_call
                    if holder.proc.poll() is not None:
                        raise RuntimeError(f"{load.label}: the load ended during its turn")
            worst = {k: max(v[-STARVED_CALLS:]) for k, v in res.calls_s.items()}
            sigint = {k: max(v[-STARVED_PROBES:]) for k, v in res.sigint_s.items()}
            print(f"  starved holder round {r + 1}/{rounds}: worst call "
                  f"{worst['holding'] * 1e3:.0f} ms holding, {worst['spinning'] * 1e3:.0f} ms "
                  f"spinning; SIGINT {sigint['holding'] * 1e3:.0f} ms and "
                  f"{sigint['spinning'] * 1e3:.0f} ms", flush=True)
    finally:
        caller.kill()
        caller.wait()
    res.seconds = time.monotonic() - t_start
    return res


def starved_section(res: StarvedResult) -> str:
    L = ["## A starved lock holder of another user\n"]
    L.append(
        f"`load {' '.join(STARVED.load_args())}`: one process of nobody's whose thread "
        f"flips the protection of {STARVED.storm_gib} GiB of zero pages at `SCHED_IDLE`, "
        "beside two threads of its own that keep the CPUs busy, so that it holds its "
        f"address-space lock while it waits for a CPU ({STARVED.threads - 3} more threads "
        "of it sleep); against "
        f"`load {' '.join(STARVED_SPINNING.load_args())}`, the same process with that "
        "thread spinning without the lock. A read of the process's \"cmdline\" or "
        "\"environ\" waits out the hold, and no SIGINT interrupts that wait; a call reads "
        "neither list of another user's process. The floor and psutil read them, so only "
        f"`get_memory_mb()` is timed. {res.rounds} rounds in {res.seconds:.0f} s, each with "
        "one turn beside each neighbour, in alternating order, the generator started afresh "
        f"for each turn; per turn one plain read of the neighbour's \"cmdline\", "
        f"{STARVED_CALLS} calls, then {STARVED_PROBES} times SIGINT sent by this process "
        f"{SIGINT_AFTER_S * 1e3:.0f} ms into a call of a child interpreter (which, once the "
        "call has returned, waits in `time.sleep()` for the signal) and the time until its "
        f"`KeyboardInterrupt`. Load average (1 min) {min(res.loadavg):.1f} to "
        f"{max(res.loadavg):.1f}.\n")
    rows = []
    for load in (STARVED, STARVED_SPINNING):
        calls, sigint = res.calls_s[load.starved], res.sigint_s[load.starved]
        reads = res.cmdline_read_s[load.starved]
        rows.append([load.label, fmt_ms(median(reads)), fmt_ms(max(reads)), str(len(calls)),
                     fmt_ms(median(calls)), fmt_ms(max(calls)), fmt_ms(median(sigint)),
                     fmt_ms(max(sigint)), f"{res.sigint_in_call[load.starved]} of {len(sigint)}"])
    L.append(md_table(["neighbour", "its \"cmdline\" read, median ms", "worst ms", "calls",
                       "get_memory_mb() median ms", "worst ms",
                       "SIGINT to KeyboardInterrupt, median ms", "worst ms",
                       "SIGINTs that came during the call"], rows))
    late = {k: sum(t * 1e3 > TARGETS["starved_sigint_ms"] for t in v)
            for k, v in res.sigint_s.items()}
    L.append(f"\nThe worst call beside the holder took {fmt_ratio(res.worst_ratio())} the "
             f"worst beside the same process spinning. SIGINTs answered after more than "
             f"{TARGETS['starved_sigint_ms']:g} ms: {late['holding']} of "
             f"{len(res.sigint_s['holding'])} beside the holder, {late['spinning']} of "
             f"{len(res.sigint_s['spinning'])} beside the same process spinning, which holds "
             "its lock for no time.\n")
    return "\n".join(L)


# --- the report ---------------------------------------------------------------------

def machine_facts() -> dict[str, str]:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "CPU": model,
        "logical CPUs": str(os.cpu_count()),
        "memory": f"{psutil.virtual_memory().total / 2**30:.1f} GiB",
        "kernel": f"Linux {platform.release()} ({platform.machine()})",
        "Python": platform.python_version() + f" ({sys.executable and rel(sys.executable)})",
        "psutil": psutil.__version__,
        "compiler": subprocess.run(["c++", "--version"], stdout=subprocess.PIPE,
                                   text=True).stdout.splitlines()[0],
    }


def load_table(res: LoadResult) -> str:
    floor_med = res.sides["floor"].spread().median
    rows = []
    for key, title in SIDES:
        side = res.sides[key]
        if not side.times_s:
            continue
        sp = side.spread()
        native = key in ("floor", "native")
        rows.append([
            title,
            fmt_ms(sp.median),
            "–" if native else fmt_ms(sp.iqr),
            fmt_ms(sp.minimum),
            fmt_ratio(ratio(sp.median, floor_med)) if key in ("native", "mem", "ps_all") else "",
            fmt_ms(side.user_per_call()),
            fmt_ms(side.sys_per_call()),
            "–" if native else f"{side.faults_per_call():.0f}",
            f"{len(side.times_s)} rounds" if native else f"{sp.count} calls",
        ])
    return md_table(["per call", "median ms", "IQR ms", "min ms", "÷ floor",
                     "user ms", "system ms", "minor faults", "sample"], rows)


def summary(res: LoadResult) -> dict[str, float]:
    s = {k: v.spread().median for k, v in res.sides.items() if v.times_s}
    return {
        "entries": median(res.entries),
        "floor": s["floor"],
        "native": s["native"],
        "mem": s["mem"],
        "cpu_extra": s["cpu"] - PAUSE_S,
        "ps_all": s["ps_all"],
        "ps_vm": s["ps_vm"],
        "ps_cpu_extra": s["ps_cpu"] - PAUSE_S,
        "native_ratio": ratio(s["native"], s["floor"]),
        "native_paired": median(res.native_ratios),
        "mem_ratio": ratio(s["mem"], s["floor"]),
        "speedup": ratio(s["ps_all"], s["mem"]),
        "native_cpu_ratio": ratio(res.sides["native"].cpu_per_call(),
                                  res.sides["floor"].cpu_per_call()),
    }


def plot(results: list[LoadResult], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FormatStrFormatter, NullLocator

    xs = [summary(r)["entries"] for r in results]
    fig, (ax, bx) = plt.subplots(1, 2, figsize=(11, 4.6), dpi=110,
                                 gridspec_kw={"width_ratios": [3, 2]})
    series = [
        ("ps_all", "psutil, the same facts", "tab:red", "s"),
        ("mem", "get_memory_mb()", "tab:blue", "o"),
        ("cpu_extra", "get_cpu_percent() − 100 ms pause", "tab:cyan", "^"),
        ("native", "snapshot, native", "tab:green", "D"),
        ("floor", "I/O floor", "black", "x"),
    ]
    for key, label, colour, marker in series:
        ys = [summary(r)[key] * 1e3 for r in results]
        ax.plot(xs, ys, marker=marker, color=colour, label=label)
        if key != "floor":
            bx.plot(xs, [summary(r)[key] / summary(r)["floor"] for r in results],
                    marker=marker, color=colour, label=label)
    for r, x in zip(results, xs, strict=True):
        ax.annotate(r.load.label, (x, summary(r)["floor"] * 1e3), textcoords="offset points",
                    xytext=(0, -14), ha="center", fontsize=8)
    for a in (ax, bx):
        a.set_xscale("log")
        a.set_yscale("log")
        a.set_xlabel("processes + threads on the host")
        a.grid(True, which="both", alpha=0.3)
    ax.set_ylabel("median time per call (ms)")
    ax.set_title("Cost of one call")
    ax.legend(fontsize=8)
    bx.axhline(1.15, color="grey", linestyle="--", linewidth=1)
    bx.annotate("1.15", (xs[-1], 1.15), textcoords="offset points", xytext=(-4, 3),
                ha="right", fontsize=8, color="grey")
    bx.yaxis.set_major_locator(FixedLocator([0.8, 1, 1.15, 1.5, 2, 3, 4, 6, 8, 12]))
    bx.yaxis.set_major_formatter(FormatStrFormatter("%g"))
    bx.yaxis.set_minor_locator(NullLocator())
    bx.set_ylabel("median ÷ the floor's median")
    bx.set_title("Relative to the I/O floor")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def parser_section(args: argparse.Namespace) -> str:
    exe = args.build / "bench" / "parser_bench"
    argv = [str(exe), "--benchmark_format=json", f"--benchmark_min_time={args.parser_min_time}"]
    note_command(argv)
    data = json.loads(subprocess.run(argv, stdout=subprocess.PIPE, text=True, check=True).stdout)
    rows = []
    for b in data["benchmarks"]:
        rows.append([
            b["name"].removeprefix("BM_"),
            f"{b['cpu_time']:.0f}" if b["cpu_time"] >= 10 else f"{b['cpu_time']:.1f}",
            f"{b['bytes_per_second'] / 2**20:,.0f}",
        ])
    return md_table(["parser (one fixture file per iteration)", "CPU ns / file", "MiB/s"], rows)


def profile_section(results: list[LoadResult]) -> str:
    L = ["## Where the time goes\n"]
    profiled = [r for r in results if r.profiles and all(r.profiles.values())]
    if not profiled:
        return "\n".join(L + ["perf could not sample on this machine; no profile.\n"])
    L.append(
        "`perf record -e cpu-clock` (a software clock: this virtual machine has no "
        "hardware counters) on the native snapshot and on the floor, run by themselves "
        "under the same load. Shares of all samples, by where the sample fell: the "
        "kernel (the work behind each open, read and readlink of /proc), the C library "
        "(its system call stubs, which are the entry to the kernel, and the rest: the "
        "allocator, string functions), and the program itself.\n")
    rows = []
    for r in profiled:
        for who in ("floor", "snapshot"):
            p = r.profiles[who]
            assert p is not None
            d = p.samples_by_dso
            kernel = sum(v for k, v in d.items() if k.startswith("[kernel"))
            libc = sum(v for k, v in d.items() if k.startswith("libc"))
            other = 100.0 - kernel - libc
            rows.append([f"{r.load.label}: {who}", f"{kernel:.1f}", f"{p.syscall_wrappers:.1f}",
                         f"{libc - p.syscall_wrappers:.1f}", f"{other:.1f}"])
    L.append(md_table(["", "kernel %", "libc system call stubs %",
                       "rest of libc (allocator, string functions) %",
                       "the program and the rest %"], rows))
    r = profiled[-1]
    p = r.profiles["snapshot"]
    assert p is not None
    L.append(f"\nThe snapshot's busiest user-space functions at {r.load.label}, "
             "in percent of all its samples:\n")
    L.append(md_table(["%", "object", "function"], align="rll", rows=
                      [[f"{pc:.2f}", dso, "`" + (sym if len(sym) <= 90 else sym[:87] + "...") + "`"]
                       for pc, dso, sym in p.top_symbols]))
    return "\n".join(L) + "\n"


# What a call should come to at most; a run measures each where its shape
# was measured.
TARGETS = {
    "idle": 0.90, "200x10": 0.75, "1000x10": 0.72,
    "syscalls_per_entry": 21.0, "reads_per_file": 1.15, "spaces_over_letters": 2.0,
    "environments_peak_mib": 64.0, "tries_per_group": 1.0,
    "starved_worst_ratio": 3.0, "starved_sigint_ms": 200.0,
}


def targets_section(results: list[LoadResult], counts: dict[str, dict[str, float] | None],
                    starved: StarvedResult | None = None) -> str:
    """Each target beside what this run measured: the shapes left out of the
    run, or the counts strace could not make, read "not measured"."""
    by_key = {r.load.key: r for r in results}
    table: list[list[str]] = []

    def row(what: str, target: str, value: float | None, unit: str = "") -> None:
        if value is None or math.isnan(value):
            table.append([what, f"≤ {TARGETS[target]:g}{unit}", "not measured", ""])
        else:
            table.append([what, f"≤ {TARGETS[target]:g}{unit}", f"{value:,.2f}{unit}",
                          "yes" if value <= TARGETS[target] else "no"])

    for key in ("idle", "200x10", "1000x10"):
        r = by_key.get(key)
        row(f"get_memory_mb() ÷ floor, {key}", key, summary(r)["mem_ratio"] if r else None, "×")
    idle = counts.get("idle")
    row("system calls per entry, one call at idle", "syscalls_per_entry",
        idle["syscalls_per_entry"] if idle else None)
    row("reads per file opened, one call at idle", "reads_per_file",
        idle["reads_per_file"] if idle else None)
    spaces, letters = by_key.get(SPACES.key), by_key.get(LETTERS.key)
    row("get_memory_mb(): spaces ÷ letters neighbour", "spaces_over_letters",
        ratio(summary(spaces)["mem"], summary(letters)["mem"]) if spaces and letters else None,
        "×")
    env = by_key.get(ENVIRONMENTS.key)
    row(f"peak growth of one call, {ENVIRONMENTS.label}", "environments_peak_mib",
        median(env.peak_bytes["mem"]) / 2**20 if env else None, " MiB")
    unpriv = counts.get("unprivileged")
    for name in ("environ", "exe"):
        row(f'"{name}" tried for the root process of 1000 threads, called as '
            f"{UNPRIVILEGED.caller}", "tries_per_group", unpriv[name] if unpriv else None)
    row(f"worst get_memory_mb() call, {STARVED.label} ÷ {STARVED_SPINNING.label}",
        "starved_worst_ratio", starved.worst_ratio() if starved else None, "×")
    row(f"worst time from SIGINT {SIGINT_AFTER_S * 1e3:.0f} ms into a call to "
        f"KeyboardInterrupt, {STARVED.label}", "starved_sigint_ms",
        max(starved.sigint_s["holding"]) * 1e3 if starved else None, " ms")
    L = ["## Against the targets\n",
         "What a call should come to at most, beside what this run measured. The counts "
         "come from one `get_memory_mb()` call in a fresh interpreter under `strace -f -y`, "
         "between two marks; entries are the floor's count, taken right after.\n",
         md_table(["", "target", "measured", "met"], table), ""]
    if idle:
        L.append(f"At idle one call made {idle['syscalls']:.0f} system calls for "
                 f"{idle['entries']:.0f} entries ({idle['groups']:.0f} thread groups): "
                 f"{idle['reads']:.0f} reads for {idle['files_opened']:.0f} files opened; "
                 f"\"status\" was opened {idle['status_opens']:.0f} times and \"statm\" "
                 f"{idle['statm_opens']:.0f} times. The floor, which reads each file of "
                 f"every entry in full, made {idle['floor_syscalls_per_entry']:.1f} system "
                 f"calls per entry and {idle['floor_reads_per_file']:.2f} reads per file "
                 "opened (its own counts).")
    if unpriv:
        L.append(f"Called as {UNPRIVILEGED.caller}, with a root process of "
                 f"{unpriv['threads']:.0f} threads on the host, one call tried that process's "
                 f"\"environ\" {unpriv['environ']:.0f} times, \"exe\" {unpriv['exe']:.0f} "
                 f"times and \"cmdline\" {unpriv['cmdline']:.0f} times; over all "
                 f"{unpriv['groups']:.0f} thread groups, \"environ\" "
                 f"{unpriv['environ_per_group']:.2f} and \"exe\" "
                 f"{unpriv['exe_per_group']:.2f} times per group.")
    return "\n".join(L) + "\n"


def write_report(args: argparse.Namespace, results: list[LoadResult], machine: dict[str, str],
                 parsers: str, started: datetime.datetime, total_s: float,
                 counts: dict[str, dict[str, float] | None] | None = None,
                 starved: StarvedResult | None = None) -> None:
    out: Path = args.out
    out.parent.mkdir(parents=True, exist_ok=True)
    png = out.with_suffix(".png")
    plot([r for r in results if r.load in LOADS] or results, png)
    L: list[str] = []
    L.append("# Performance\n")
    L.append(
        "What one call costs, how that cost grows with the number of processes and "
        "threads on the host, and how it compares with the *floor* and with psutil "
        "gathering the same facts. The floor (`bench/floor.c`) opens and reads every "
        "file, link and listing of a snapshot that reads each file of every process and "
        "every thread in full, and parses nothing: a call that reads less comes in under "
        "it. Every figure "
        "below was measured by one run of `make bench`, which rewrites this file and "
        "its plot.\n")
    L.append("## Headline\n")
    rows = []
    for r in results:
        s = summary(r)
        rows.append([
            r.load.label, f"{s['entries']:.0f}", fmt_ms(s["floor"]), fmt_ms(s["native"]),
            fmt_ratio(s["native_ratio"]), fmt_ratio(s["native_paired"]),
            fmt_ratio(s["native_cpu_ratio"]), fmt_ms(s["mem"]),
            fmt_ratio(s["mem_ratio"]),
            fmt_ms(s["ps_all"]), fmt_ratio(s["speedup"]),
        ])
    L.append(md_table(
        ["shape (processes × threads)", "entries", "floor ms", "snapshot ms",
         "snapshot ÷ floor", "same, paired by round", "its CPU time ÷ floor's",
         "get_memory_mb() ms", "call ÷ floor", "psutil ms",
         "psutil ÷ call"], rows))
    L.append(
        "\n*entries*: processes plus non-leader threads on the host, as the floor counted "
        "them; *snapshot*: the native `System::new_all()` plus the memory refresh, the "
        "body of `get_memory_mb()` without the interpreter; *psutil ÷ call*: how many "
        "times longer psutil takes than `get_memory_mb()` to gather the same facts. "
        "Medians of per-call times (for the native timers, the median of each round's "
        "median). *snapshot ÷ floor*: the ratio of the two medians; *paired by round*: "
        "the median of each round's own ratio, the floor and the snapshot having run "
        "back to back. *its CPU time ÷ floor's*: user plus system CPU time per call of the "
        "snapshot over the floor's, which other work on a shared machine disturbs far "
        "less than elapsed time.\n")
    curve = [r for r in results if r.load in LOADS] or results
    sums = [summary(r) for r in curve]
    lo_n, hi_n = min(x["native_ratio"] for x in sums), max(x["native_ratio"] for x in sums)
    lo_c, hi_c = min(x["mem_ratio"] for x in sums), max(x["mem_ratio"] for x in sums)
    lo_p, hi_p = min(x["speedup"] for x in sums), max(x["speedup"] for x in sums)
    first, last = sums[0], sums[-1]
    span = (f"from {curve[0].load.label} to {curve[-1].load.label}" if len(curve) > 1
            else f"at {curve[0].load.label}")
    at_ends = [f"{fmt_ms(x['mem'])} ms at {r.load.label} ({x['entries']:.0f} entries, "
               f"{fmt_ratio(x['mem_ratio'])} the floor)"
               for r, x in ([(curve[0], first), (curve[-1], last)] if len(curve) > 1
                            else [(curve[0], first)])]
    L.append(
        f"In short: {span}, the snapshot "
        f"took {lo_n:.2f} to {hi_n:.2f} times the floor and a `get_memory_mb()` call "
        f"{lo_c:.2f} to {hi_c:.2f} times; psutil took {lo_p:.1f} to {hi_p:.1f} times as "
        "long as the call to gather the same facts. In absolute terms a `get_memory_mb()` "
        f"call took {' and '.join(at_ends)}.\n")
    L.append("### The calls a user would compare\n")
    L.append(
        "`get_memory_mb()` builds a snapshot of the whole host, every process and thread "
        "included, before it reads the memory figures; `psutil.virtual_memory()` reads "
        "/proc/meminfo alone. A program that wants only the memory figures pays "
        "`get_memory_mb()`'s time; the ratio column says how many times "
        "`psutil.virtual_memory()`'s that is. Both CPU calls wait out their 100 ms "
        "pause. Medians per call.\n")
    rows = []
    for r in results:
        x = summary(r)
        rows.append([r.load.label, f"{x['entries']:.0f}", fmt_ms(x["mem"]), fmt_ms(x["ps_vm"]),
                     f"{ratio(x['mem'], x['ps_vm']):,.0f}×", fmt_ms(x["cpu_extra"] + PAUSE_S),
                     fmt_ms(x["ps_cpu_extra"] + PAUSE_S)])
    L.append(md_table(["shape", "entries", "get_memory_mb() ms", "psutil.virtual_memory() ms",
                       "get_memory_mb() ÷ virtual_memory()", "get_cpu_percent() ms",
                       "psutil.cpu_percent(interval=0.1) ms"], rows))
    L.append("\n### Memory per call\n")
    L.append(
        "In a fresh interpreter, one call: *peak* is what the call added to the peak "
        "resident size (VmHWM after the call less VmHWM reset just before it), *retained* "
        "what the process still held once the call had returned (VmRSS after it less the "
        "same start). Medians of the runs given in each shape's section.\n")
    rows = []
    for r in results:
        pk, kept = r.peak_bytes, r.kept_bytes
        rows.append([r.load.label, f"{median(pk['mem']) / 2**20:.2f}",
                     f"{median(kept['mem']) / 2**20:.2f}",
                     f"{median(pk['ps_all']) / 2**20:.2f}",
                     f"{median(kept['ps_all']) / 2**20:.2f}"])
    L.append(md_table(["shape", "get_memory_mb() peak MiB", "retained MiB",
                       "psutil, the same facts: peak MiB", "retained MiB"], rows))
    L.append("")
    L.append(f"![cost per call against processes and threads]({png.name})\n")
    L.append("## The machine and the run\n")
    L.append(md_table(["", ""], [[k, v] for k, v in machine.items()]
                      + [["date (UTC)", started.strftime("%Y-%m-%d %H:%M")],
                         ["run time", f"{total_s / 60:.1f} min"]]))
    L.append(
        "\nThe machine is shared: other work ran beside the benchmark, so absolute times "
        "drift. The contenders were therefore measured interleaved, round after round, "
        "and the ratios compare figures taken minutes apart at most. The load average "
        "(1 min) at the start of each round is in each load's section.\n")
    L.append("## Per load\n")
    L.append(
        "Each table: median, interquartile range and minimum time per call; the ratio "
        "of the median to the floor's; user and system CPU time per call "
        "(`getrusage`: the calling thread's for Python calls, the child's for the "
        "native timers, whose warm-up share is taken out pro rata). For the native "
        "timers the sample is one median per round, so no IQR is given, and their minor "
        "page faults are left out: the program's start and its first, heap-growing call "
        "would be most of them. The cost of "
        "`get_cpu_percent()` beyond its 100 ms pause is its median less 100 ms.\n")
    for r in results:
        s = summary(r)
        la = [a[0] for a in r.loadavg]
        L.append(f"### {r.load.label}\n")
        if r.load.arg_bytes:
            what = "spaces" if r.load.fill == " " else "letters"
            L.append(f"`load {' '.join(r.load.load_args())}`: one extra process of "
                     f"{r.load.threads} threads, all asleep, whose command line holds "
                     f"{r.load.arg_bytes / 1e6:.1f} MB of {what} (the generator itself, one more "
                     "process of one thread, holds the same). The threads share one address "
                     "space; the floor reads the command line for every thread, as a snapshot "
                     "that keeps no list between entries would.\n")
        elif r.load.env_bytes:
            L.append(f"`load {' '.join(r.load.load_args())}`: {r.load.procs} forked processes, "
                     f"each with its own copy of a {r.load.env_bytes / 1e6:.1f} MB environment "
                     "(the generator itself holds one more).\n")
        elif r.load.cpus:
            L.append(f"The idle host seen with {r.load.cpus} CPUs: in a private mount "
                     "namespace, this host's /proc/stat and /proc/cpuinfo with the first CPU's "
                     "counters and block repeated are bound over the real ones, for every "
                     "contender alike. No CPU has a cpufreq file, so each one's frequency comes "
                     "from /proc/cpuinfo: the snapshot reads it once per pass, the floor once "
                     "per CPU. The bound files are plain files, cheaper to read than the "
                     "kernel's own /proc/cpuinfo, which is written afresh at every read: on a "
                     "real host of that many CPUs each read of it costs more. The counters "
                     "stand still, so get_cpu_percent() reads 0 % here; only its cost "
                     "counts.\n")
        elif r.load.procs:
            L.append(f"`load {' '.join(r.load.load_args())}`: {r.load.procs} extra "
                     f"processes of {r.load.threads} thread{'s' if r.load.threads > 1 else ''} "
                     f"each (the generator was started {r.load_starts} time"
                     f"{'s' if r.load_starts > 1 else ''}, as it holds {LOAD_SECONDS} s at most).\n")
        else:
            L.append("No generated load: the host as it was, other work on it included.\n")
        L.append(f"{s['entries']:.0f} entries ({median(r.procs):.0f} processes); psutil "
                 f"gathered {median(r.psutil_entries) if r.psutil_entries else 0:.0f}. "
                 f"{r.rounds} rounds in {r.seconds:.0f} s; load average {min(la):.1f} to "
                 f"{max(la):.1f}.\n")
        L.append(load_table(r))
        pr = r.native_ratios
        L.append(
            f"\n- snapshot ÷ floor per round: {min(pr):.2f} to {max(pr):.2f} "
            f"(median {median(pr):.2f}).")
        L.append(f"- get_cpu_percent() beyond its pause: {fmt_ms(s['cpu_extra'])} ms "
                 f"({fmt_ratio(ratio(s['cpu_extra'], s['floor']))} the floor); "
                 f"psutil.cpu_percent(interval=0.1) beyond it: {fmt_ms(s['ps_cpu_extra'])} ms.")
        pk = r.peak_bytes
        L.append(
            f"- peak memory added by one call, in a fresh interpreter (VmHWM after the "
            f"call less VmHWM reset just before it), median of {len(pk['mem'])}: "
            f"get_memory_mb() {median(pk['mem']) / 2**20:.2f} MiB, psutil gathering the "
            f"same facts {median(pk['ps_all']) / 2**20:.2f} MiB; still resident once the "
            f"call has returned: {median(r.kept_bytes['mem']) / 2**20:.2f} MiB and "
            f"{median(r.kept_bytes['ps_all']) / 2**20:.2f} MiB.")
        it = r.import_s
        L.append(
            f"- `import` in a fresh interpreter, median of {len(it['pellun_core'])}: "
            f"pellun_core {fmt_ms(median(it['pellun_core']))} ms, psutil "
            f"{fmt_ms(median(it['psutil']))} ms.\n")
    if starved is not None:
        L.append(starved_section(starved))
    L.append(targets_section(results, counts or {}, starved))
    L.append(profile_section(results))
    L.append("## The parsers\n")
    L.append(
        "Google Benchmark on the text of `tests/fixtures` (one whole file per iteration; "
        "bytes per second of CPU time). `proc_stat_refresh` also opens and reads the "
        "file from a temporary directory, as the CPU lines are only reached through a "
        "refresh.\n")
    L.append(parsers)
    L.append("\n## How to reproduce\n")
    L.append("```sh\nmake bench\n```\n")
    L.append(
        "It installs what is missing (Debian `libbenchmark-dev`, `linux-perf` and `strace`; "
        "psutil and matplotlib into `.venv`), builds the module and, in `build/bench` "
        "(configured with `-DPELLUN_BUILD_BENCH=ON`), the native timers, the I/O floor "
        "`bench/floor.c` and the load generator `bench/load.c`, then runs "
        f"`{shlex.join([rel(sys.executable), *map(str, args.argv)])}`. "
        "That script started these commands (N: the calls per round, chosen from a "
        "first floor reading and one call, so a round stays short). `make bench "
        "BENCH_ARGS=\"--quick --shapes idle,200x10 --out /tmp/perf.md\"` makes a quicker "
        "run of a few shapes and writes its report elsewhere.\n")
    L.append("```sh\n" + "\n".join(COMMANDS) + "\n```\n")
    L.append(
        "The psutil side, per call: `virtual_memory()`, `cpu_times(percpu=True)`, "
        "`cpu_freq(percpu=True)`, `boot_time()`, then for every process of "
        "`process_iter()` its `threads()` and, inside `oneshot()`, each of "
        f"{', '.join(PSUTIL_ATTRS)} (one by one, so that a field psutil cannot read does not "
        "lose the others), the same for each of its other threads through `Process(tid)`, "
        "and `virtual_memory()` again. psutil has no `root` link, "
        "which the snapshot reads too.\n")
    kept = memory_section_of(out.read_text()) if out.exists() else ""
    out.write_text(with_memory_section("\n".join(L), kept))
    print(f"wrote {rel(out)} and {rel(png)}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", type=Path, default=REPO / "build" / "bench")
    ap.add_argument("--out", type=Path, default=REPO / "docs" / "performance.md")
    ap.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    ap.add_argument("--budget", type=float, default=0.3,
                    help="seconds per contender per round (default 0.3)")
    ap.add_argument("--parser-min-time", type=float, default=0.2)
    ap.add_argument("--render-only", action="store_true",
                    help="rewrite the report from the last run's saved measurements")
    ap.add_argument("--shapes", default="",
                    help="measure only these, by key (" + ", ".join(
                        load.key for load in LOADS + SHAPES) + "), comma-separated")
    ap.add_argument("--memory", action="store_true",
                    help="only the peak memory of one call at each shape (default: idle, "
                         "200x1, 200x10, 1000x10), printed and written into the report's "
                         "memory section")
    ap.add_argument("--load", type=Path,
                    help="the load generator (default: BUILD/bench/load), for --memory")
    ap.add_argument("--inside", help=argparse.SUPPRESS)
    ap.add_argument("--rounds", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--result", type=Path, help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.build = args.build.resolve()
    args.out = args.out.resolve()
    if args.inside:
        run_inside(args)
        return
    saved = args.build / "bench-results.pickle"
    if args.render_only:
        with open(saved, "rb") as f:
            state = pickle.load(f)
        COMMANDS[:] = state.pop("commands")
        args.argv = state.pop("argv")
        write_report(args, **state)
        return
    wanted = [k for k in args.shapes.split(",") if k]
    if args.memory:
        args.argv = [rel(__file__), *sys.argv[1:]]
        # The idle host first: the growth per entry is counted from it.
        table = measure_memory(args, [LOADS[0]] + [load for load in LOADS[1:] + SHAPES
                                                   if load.key in wanted or not wanted and
                                                   load in LOADS])
        print(table)
        report = args.out.read_text() if args.out.exists() else ""
        args.out.write_text(with_memory_section(report, memory_report(args, table)))
        return
    shapes = [load for load in LOADS + SHAPES if not wanted or load.key in wanted]
    counted = [load for load in shapes if load.caller]
    # Either of the starved pair measures both, side by side.
    paired = any(load.starved for load in shapes)
    shapes = [load for load in shapes if not load.caller and not load.starved]
    unknown = set(wanted) - {load.key for load in LOADS + SHAPES}
    if unknown:
        ap.error(f"unknown shapes: {', '.join(sorted(unknown))}")
    if not shapes:
        ap.error(f"name a timed shape too, e.g. idle: {', '.join(wanted)} alone make "
                 "no headline or plot")
    args.argv = [rel(__file__), *sys.argv[1:]]
    started = datetime.datetime.now(datetime.timezone.utc)
    t0 = time.monotonic()
    machine = machine_facts()
    print("parsers ...", flush=True)
    parsers = parser_section(args)
    counts: dict[str, dict[str, float] | None] = {}
    if LOADS[0] in shapes:
        print("idle: one call under strace", flush=True)
        counts["idle"] = count_idle(args.build)
    for load in counted:
        print(f"{load.label}: one call under strace", flush=True)
        counts["unprivileged"] = count_unprivileged(args.build, load)
    results = []
    for load in shapes:
        entries = load.procs * load.threads
        # Small loads are cheap and the noisiest: they get more rounds.
        rounds = 2 if args.quick else (4 if entries >= 5000 or load.arg_bytes else 7 if entries >= 1000 or load.cpus
                                       else 11 if entries else 15)
        print(f"{load.label}: {rounds} rounds", flush=True)
        if load.cpus:
            res = measure_with_cpus(args, load, rounds)
            if res is not None:
                results.append(res)
        else:
            results.append(measure_load(args, load, rounds))
    starved = None
    if paired:
        rounds = 2 if args.quick else 8
        print(f"{STARVED.label}, against {STARVED_SPINNING.label}: {rounds} rounds", flush=True)
        starved = measure_starved(args, rounds)
    state = dict(results=results, machine=machine, parsers=parsers, started=started,
                 total_s=time.monotonic() - t0, counts=counts, starved=starved)
    # Kept so that the report's wording can be reworked without measuring again.
    with open(saved, "wb") as f:
        pickle.dump({**state, "commands": COMMANDS, "argv": args.argv}, f)
    write_report(args, **state)


if __name__ == "__main__":
    main()
