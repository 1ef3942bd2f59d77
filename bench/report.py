"""The report, docs/performance.md, written from a run's measurements; its
plot comes from bench/plot.py. Nothing here measures."""

from __future__ import annotations

import datetime
import math
import shlex
import sys
from dataclasses import dataclass, field
from pathlib import Path

from benchlib import fmt_ms, fmt_ratio, md_table, median, ratio
from commands import rel
from contenders import PAUSE_S, SIDES, LoadResult, ParserTiming, summary
from loads import (
    ENVIRONMENTS,
    LETTERS,
    LOAD_SECONDS,
    LOADS,
    PAIRS,
    SPACES,
    UNPRIVILEGED,
)
from machine import MachineFacts
from memory import MAPPED_HEADING, memory_section_of, with_memory_section
from plot import plot
from psutil_side import PSUTIL_ATTRS
from starved import EXEC_SETTLE_S, SIGINT_AFTER_S, STARVED_CALLS, STARVED_PROBES, StarvedResult
from tracing import IdleCounts, UnprivilegedCounts


@dataclass(frozen=True)
class Run:
    """Everything one run measured, as the report is written from it; saved
    so that the report's wording can be reworked without measuring again."""

    results: list[LoadResult]  # the timed shapes, in the order measured
    machine: MachineFacts
    parsers: list[ParserTiming]
    started: datetime.datetime  # UTC
    total_s: float  # the whole run's
    argv: list[str]  # the driver's command line, its path relative to the repository
    commands: list[str]  # every external command the run started, once each
    idle: IdleCounts | None = None  # None when idle was left out or strace is missing
    unprivileged: UnprivilegedCounts | None = None  # likewise
    # The starved pairs measured, each holding against spinning.
    starved: list[StarvedResult] = field(default_factory=list)


def starved_section(res: StarvedResult) -> str:
    held_load, spun_load = res.pair
    if not held_load.execs:
        L = ["## A starved lock holder of another user\n"]
        L.append(
            f"`load {' '.join(held_load.load_args())}`: one process of nobody's whose thread "
            f"flips the protection of {held_load.storm_gib} GiB of zero pages at `SCHED_IDLE`, "
            "beside two threads of its own that keep the CPUs busy, so that it holds its "
            f"address-space lock while it waits for a CPU ({held_load.threads - 3} more "
            "threads of it sleep); against "
            f"`load {' '.join(spun_load.load_args())}`, the same process with that "
            "thread spinning without the lock. A read of the process's \"cmdline\" or "
            "\"environ\" waits out the hold, and no SIGINT interrupts that wait; a call "
            "reads neither list of another user's process.")
        read = "the neighbour's \"cmdline\""
    elif held_load.teardown:
        L = [f"## Exec windows held open by a teardown, {held_load.label}\n"]
        L.append(
            f"`load {' '.join(held_load.load_args())}`: {held_load.procs} process of "
            f"nobody's with two busy threads, and {held_load.execs} more threads each "
            "keeping a child exec'ing, forked with an address space of its own: the child "
            f"maps {held_load.storm_gib} GiB of zero pages, every page entry filled in, goes "
            "to `SCHED_IDLE` and execs, and the exec tears the pages down, starved of CPU, "
            "while it holds the child's exec lock: a read of the child's \"stat\", \"io\", "
            "\"exe\", \"cwd\" or \"root\" waits out the teardown (on kernels that take "
            f"that lock there), and no SIGINT interrupts that wait. Against "
            f"`load {' '.join(spun_load.load_args())}`, the same children unmapping their "
            "pages before they go idle and exec.")
        read = "the \"stat\" of each of the neighbour's children there was"
    else:
        L = [f"## Exec windows held open by another user, {held_load.label}\n"]
        L.append(
            f"`load {' '.join(held_load.load_args())}`: {held_load.procs} starved "
            "holder(s) (flipping at `SCHED_IDLE` beside two busy threads), each with two "
            f"flipping threads, and {held_load.execs} more thread(s) each keeping a child "
            "exec'ing, from a `vfork` that shares the process's address space. Letting go "
            "of that space waits for its lock, and the exec holds the child's exec lock "
            "meanwhile: a read of the child's \"stat\", \"io\", \"exe\", \"cwd\" or "
            "\"root\" waits out the holds (on kernels that take that lock there), and no "
            f"SIGINT interrupts that wait. Against `load {' '.join(spun_load.load_args())}`, "
            "the same processes with the flipping threads spinning without the lock.")
        read = "the \"stat\" of each of the neighbours' children there was"
    L.append(
        f"The floor and psutil read those files, so only "
        f"`get_memory_mb()` is timed. {res.rounds} rounds in {res.seconds:.0f} s, each with "
        "one turn beside each neighbour, in alternating order, the generator started afresh "
        "for each turn; per turn "
        + (f"{EXEC_SETTLE_S:g} s for the holds to set in, " if held_load.execs else "")
        + f"one plain read of {read}, "
        f"{STARVED_CALLS} calls, then {STARVED_PROBES} times SIGINT sent by this process "
        f"{SIGINT_AFTER_S * 1e3:.0f} ms into a call of a child interpreter (which, once the "
        "call has returned, waits in `time.sleep()` for the signal) and the time until its "
        f"`KeyboardInterrupt`. Load average (1 min) {min(res.loadavg):.1f} to "
        f"{max(res.loadavg):.1f}.\n")
    rows = []
    for load in res.pair:
        turns = res.beside(load)
        calls, sigint, reads = turns.calls_s, turns.sigint_s, turns.plain_read_s
        rows.append([load.label, fmt_ms(median(reads)), fmt_ms(max(reads)), str(len(calls)),
                     fmt_ms(median(calls)), fmt_ms(max(calls)), fmt_ms(median(sigint)),
                     fmt_ms(max(sigint)), f"{turns.sigint_in_call} of {len(sigint)}"])
    L.append(md_table(["neighbour", "plain read, median ms", "worst ms", "calls",
                       "get_memory_mb() median ms", "worst ms",
                       "SIGINT to KeyboardInterrupt, median ms", "worst ms",
                       "SIGINTs that came during the call"], rows))
    held, spun = res.holding.sigint_s, res.spinning.sigint_s
    late_held, late_spun = (sum(t * 1e3 > TARGETS["starved_sigint_ms"] for t in v)
                            for v in (held, spun))
    L.append(f"\nThe worst call beside the holder took {fmt_ratio(res.worst_ratio())} the "
             f"worst beside the same process spinning, the median "
             f"{fmt_ratio(ratio(median(res.holding.calls_s), median(res.spinning.calls_s)))} "
             f"the median. SIGINTs answered after more than "
             f"{TARGETS['starved_sigint_ms']:g} ms: {late_held} of "
             f"{len(held)} beside the holder, {late_spun} of "
             f"{len(spun)} beside the same process spinning, which holds "
             "its lock for no time.\n")
    return "\n".join(L)


def load_table(res: LoadResult) -> str:
    floor_med = res.sides.floor.spread().median
    rows = []
    for key, title in SIDES:
        side = res.sides.of(key)
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


def parser_table(parsers: list[ParserTiming]) -> str:
    rows = [[p.name, f"{p.cpu_ns:.0f}" if p.cpu_ns >= 10 else f"{p.cpu_ns:.1f}",
             f"{p.bytes_per_s / 2**20:,.0f}"] for p in parsers]
    return md_table(["parser (one fixture file per iteration)", "CPU ns / file", "MiB/s"], rows)


def profile_section(results: list[LoadResult]) -> str:
    L = ["## Where the time goes\n"]
    profiled = [r for r in results if r.profiled]
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
        for who, p in (("floor", r.floor_profile), ("snapshot", r.snapshot_profile)):
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
    p = r.snapshot_profile
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


def targets_section(results: list[LoadResult], idle: IdleCounts | None = None,
                    unpriv: UnprivilegedCounts | None = None,
                    starved: list[StarvedResult] | None = None) -> str:
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
        row(f"get_memory_mb() ÷ floor, {key}", key, summary(r).mem_ratio if r else None, "×")
    row("system calls per entry, one call at idle", "syscalls_per_entry",
        idle.syscalls_per_entry if idle else None)
    row("reads per file opened, one call at idle", "reads_per_file",
        idle.reads_per_file if idle else None)
    spaces, letters = by_key.get(SPACES.key), by_key.get(LETTERS.key)
    row("get_memory_mb(): spaces ÷ letters neighbour", "spaces_over_letters",
        ratio(summary(spaces).mem_s, summary(letters).mem_s) if spaces and letters else None,
        "×")
    env = by_key.get(ENVIRONMENTS.key)
    row(f"peak growth of one call, {ENVIRONMENTS.label}", "environments_peak_mib",
        median(env.peak_mem.peak_bytes) / 2**20 if env else None, " MiB")
    for name, tries in (("environ", unpriv.environ if unpriv else None),
                        ("exe", unpriv.exe if unpriv else None)):
        row(f'"{name}" tried for the root process of 1000 threads, called as '
            f"{UNPRIVILEGED.caller}", "tries_per_group", tries)
    measured = {res.pair: res for res in starved or []}
    for pair in PAIRS:
        res = measured.get(pair)
        row(f"worst get_memory_mb() call, {pair[0].label} ÷ {pair[1].label}",
            "starved_worst_ratio", res.worst_ratio() if res else None, "×")
        row(f"worst time from SIGINT {SIGINT_AFTER_S * 1e3:.0f} ms into a call to "
            f"KeyboardInterrupt, {pair[0].label}", "starved_sigint_ms",
            max(res.holding.sigint_s) * 1e3 if res else None, " ms")
    L = ["## Against the targets\n",
         "What a call should come to at most, beside what this run measured. The counts "
         "come from one `get_memory_mb()` call in a fresh interpreter under `strace -f -y`, "
         "between two marks; entries are the floor's count, taken right after.\n",
         md_table(["", "target", "measured", "met"], table), ""]
    if idle:
        L.append(f"At idle one call made {idle.syscalls:.0f} system calls for "
                 f"{idle.entries:.0f} entries ({idle.groups:.0f} thread groups): "
                 f"{idle.reads:.0f} reads for {idle.files_opened:.0f} files opened; "
                 f"\"status\" was opened {idle.status_opens:.0f} times and \"statm\" "
                 f"{idle.statm_opens:.0f} times. The floor, which reads each file of "
                 f"every entry in full, made {idle.floor_syscalls_per_entry:.1f} system "
                 f"calls per entry and {idle.floor_reads_per_file:.2f} reads per file "
                 "opened (its own counts).")
    if unpriv:
        L.append(f"Called as {UNPRIVILEGED.caller}, with a root process of "
                 f"{unpriv.threads:.0f} threads on the host, one call tried that process's "
                 f"\"environ\" {unpriv.environ:.0f} times, \"exe\" {unpriv.exe:.0f} "
                 f"times and \"cmdline\" {unpriv.cmdline:.0f} times; over all "
                 f"{unpriv.groups:.0f} thread groups, \"environ\" "
                 f"{unpriv.environ_per_group:.2f} and \"exe\" "
                 f"{unpriv.exe_per_group:.2f} times per group.")
    return "\n".join(L) + "\n"


def write_report(run: Run, out: Path) -> None:
    """Writes the report to `out` and its plot beside it, keeping the
    memory section a report already there holds."""
    results, starved = run.results, run.starved
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
            r.load.label, f"{s.entries:.0f}", fmt_ms(s.floor_s), fmt_ms(s.native_s),
            fmt_ratio(s.native_ratio), fmt_ratio(s.native_paired),
            fmt_ratio(s.native_cpu_ratio), fmt_ms(s.mem_s),
            fmt_ratio(s.mem_ratio),
            fmt_ms(s.ps_all_s), fmt_ratio(s.speedup),
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
    lo_n, hi_n = min(x.native_ratio for x in sums), max(x.native_ratio for x in sums)
    lo_c, hi_c = min(x.mem_ratio for x in sums), max(x.mem_ratio for x in sums)
    lo_p, hi_p = min(x.speedup for x in sums), max(x.speedup for x in sums)
    first, last = sums[0], sums[-1]
    span = (f"from {curve[0].load.label} to {curve[-1].load.label}" if len(curve) > 1
            else f"at {curve[0].load.label}")
    at_ends = [f"{fmt_ms(x.mem_s)} ms at {r.load.label} ({x.entries:.0f} entries, "
               f"{fmt_ratio(x.mem_ratio)} the floor)"
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
        rows.append([r.load.label, f"{x.entries:.0f}", fmt_ms(x.mem_s), fmt_ms(x.ps_vm_s),
                     f"{ratio(x.mem_s, x.ps_vm_s):,.0f}×", fmt_ms(x.cpu_extra_s + PAUSE_S),
                     fmt_ms(x.ps_cpu_extra_s + PAUSE_S)])
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
        mem, ps = r.peak_mem, r.peak_psutil
        rows.append([r.load.label, f"{median(mem.peak_bytes) / 2**20:.2f}",
                     f"{median(mem.kept_bytes) / 2**20:.2f}",
                     f"{median(ps.peak_bytes) / 2**20:.2f}",
                     f"{median(ps.kept_bytes) / 2**20:.2f}"])
    L.append(md_table(["shape", "get_memory_mb() peak MiB", "retained MiB",
                       "psutil, the same facts: peak MiB", "retained MiB"], rows))
    L.append("")
    L.append(f"![cost per call against processes and threads]({png.name})\n")
    L.append("## The machine and the run\n")
    L.append(md_table(["", ""], run.machine.rows()
                      + [["date (UTC)", run.started.strftime("%Y-%m-%d %H:%M")],
                         ["run time", f"{run.total_s / 60:.1f} min"]]))
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
        L.append(f"{s.entries:.0f} entries ({median(r.procs):.0f} processes); psutil "
                 f"gathered {median(r.psutil_entries) if r.psutil_entries else 0:.0f}. "
                 f"{r.rounds} rounds in {r.seconds:.0f} s; load average {min(la):.1f} to "
                 f"{max(la):.1f}.\n")
        L.append(load_table(r))
        pr = r.native_ratios
        L.append(
            f"\n- snapshot ÷ floor per round: {min(pr):.2f} to {max(pr):.2f} "
            f"(median {median(pr):.2f}).")
        L.append(f"- get_cpu_percent() beyond its pause: {fmt_ms(s.cpu_extra_s)} ms "
                 f"({fmt_ratio(ratio(s.cpu_extra_s, s.floor_s))} the floor); "
                 f"psutil.cpu_percent(interval=0.1) beyond it: {fmt_ms(s.ps_cpu_extra_s)} ms.")
        mem, ps = r.peak_mem, r.peak_psutil
        L.append(
            f"- peak memory added by one call, in a fresh interpreter (VmHWM after the "
            f"call less VmHWM reset just before it), median of {len(mem.peak_bytes)}: "
            f"get_memory_mb() {median(mem.peak_bytes) / 2**20:.2f} MiB, psutil gathering the "
            f"same facts {median(ps.peak_bytes) / 2**20:.2f} MiB; still resident once the "
            f"call has returned: {median(mem.kept_bytes) / 2**20:.2f} MiB and "
            f"{median(ps.kept_bytes) / 2**20:.2f} MiB.")
        L.append(
            f"- `import` in a fresh interpreter, median of {len(r.import_pellun_core_s)}: "
            f"pellun_core {fmt_ms(median(r.import_pellun_core_s))} ms, psutil "
            f"{fmt_ms(median(r.import_psutil_s))} ms.\n")
    L += [starved_section(res) for res in starved]
    L.append(targets_section(results, run.idle, run.unprivileged, starved))
    L.append(profile_section(results))
    L.append("## The parsers\n")
    L.append(
        "Google Benchmark on the text of `tests/fixtures` (one whole file per iteration; "
        "bytes per second of CPU time). `proc_stat_refresh` also opens and reads the "
        "file from a temporary directory, as the CPU lines are only reached through a "
        "refresh.\n")
    L.append(parser_table(run.parsers))
    L.append("\n## How to reproduce\n")
    L.append("```sh\nmake bench\n```\n")
    L.append(
        "It installs what is missing (Debian `libbenchmark-dev`, `linux-perf` and `strace`; "
        "psutil and matplotlib into `.venv`), builds the module and, in `build/bench` "
        "(configured with `-DPELLUN_BUILD_BENCH=ON`), the native timers, the I/O floor "
        "`bench/floor.c` and the load generator `bench/load.c`, then runs "
        f"`{shlex.join([rel(sys.executable), *run.argv])}`. "
        "That script started these commands (N: the calls per round, chosen from a "
        "first floor reading and one call, so a round stays short). `make bench "
        "BENCH_ARGS=\"--quick --shapes idle,200x10 --out /tmp/perf.md\"` makes a quicker "
        "run of a few shapes and writes its report elsewhere.\n")
    L.append("```sh\n" + "\n".join(run.commands) + "\n```\n")
    L.append(
        "The psutil side, per call: `virtual_memory()`, `cpu_times(percpu=True)`, "
        "`cpu_freq(percpu=True)`, `boot_time()`, then for every process of "
        "`process_iter()` its `threads()` and, inside `oneshot()`, each of "
        f"{', '.join(PSUTIL_ATTRS)} (one by one, so that a field psutil cannot read does not "
        "lose the others), the same for each of its other threads through `Process(tid)`, "
        "and `virtual_memory()` again. psutil has no `root` link, "
        "which the snapshot reads too.\n")
    old = out.read_text() if out.exists() else ""
    report = with_memory_section("\n".join(L), memory_section_of(old))
    out.write_text(with_memory_section(report, memory_section_of(old, MAPPED_HEADING),
                                       MAPPED_HEADING))
    print(f"wrote {rel(out)} and {rel(png)}")
