"""The timed run at one shape of the host: the contenders measured
interleaved, round after round, and what a load's rounds come to; and the
parsers' own timings."""

from __future__ import annotations

import argparse
import json
import os
import pickle
import resource
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import psutil

import pellun_core
from benchlib import Load, NativeRun, Side, median, parse_benchmark_json, ratio
from commands import COMMANDS, DRIVER, note_command, note_commands, rel
from loads import LOADS, SHAPES, cpu_fixture, holding
from memory import PeakMemory, import_times, peak_added
from psutil_side import psutil_same_facts
from tracing import Profile, perf_profile

PAUSE_S = 0.1  # get_cpu_percent()'s pause

# Each contender: its field of Sides and its title in the report.
SIDES = [
    ("floor", "I/O floor (bench/floor.c)"),
    ("native", "snapshot, native (snapshot_bench)"),
    ("mem", "pellun_core.get_memory_mb()"),
    ("cpu", "pellun_core.get_cpu_percent()"),
    ("ps_all", "psutil, the same facts"),
    ("ps_vm", "psutil.virtual_memory()"),
    ("ps_cpu", "psutil.cpu_percent(interval=0.1)"),
]


@dataclass
class Sides:
    """Every contender's measurements at one load."""

    floor: Side = field(default_factory=lambda: Side("floor"))
    native: Side = field(default_factory=lambda: Side("native"))
    mem: Side = field(default_factory=lambda: Side("mem"))  # get_memory_mb()
    cpu: Side = field(default_factory=lambda: Side("cpu"))  # get_cpu_percent()
    ps_all: Side = field(default_factory=lambda: Side("ps_all"))  # psutil, the same facts
    ps_vm: Side = field(default_factory=lambda: Side("ps_vm"))  # psutil.virtual_memory()
    ps_cpu: Side = field(default_factory=lambda: Side("ps_cpu"))  # psutil.cpu_percent(0.1)

    def of(self, key: str) -> Side:
        """The side of a key of SIDES."""
        side = getattr(self, key)
        assert isinstance(side, Side)
        return side


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


# --- one load ----------------------------------------------------------------------

@dataclass
class LoadResult:
    load: Load
    sides: Sides = field(default_factory=Sides)
    rounds: int = 0
    entries: list[int] = field(default_factory=list)  # the floor's count, per round
    procs: list[int] = field(default_factory=list)  # the floor's count, per round
    psutil_entries: list[int] = field(default_factory=list)  # per round
    native_ratios: list[float] = field(default_factory=list)  # per round
    loadavg: list[tuple[float, float, float]] = field(default_factory=list)  # per round
    import_pellun_core_s: list[float] = field(default_factory=list)  # per fresh interpreter
    import_psutil_s: list[float] = field(default_factory=list)
    peak_mem: PeakMemory = field(default_factory=PeakMemory)  # one get_memory_mb() call
    peak_psutil: PeakMemory = field(default_factory=PeakMemory)  # psutil, the same facts
    load_starts: int = 0
    # Taken at the ends of the load curve only; None where perf could not run.
    snapshot_profile: Profile | None = None
    floor_profile: Profile | None = None
    seconds: float = 0.0

    @property
    def profiled(self) -> bool:
        return self.snapshot_profile is not None and self.floor_profile is not None


@dataclass(frozen=True)
class Summary:
    """What one load's rounds come to: medians per call, in seconds, and
    their ratios (NaN where the denominator is not positive)."""

    entries: float  # processes plus other threads, median of the floor's counts
    floor_s: float
    native_s: float
    mem_s: float  # get_memory_mb()
    cpu_extra_s: float  # get_cpu_percent() beyond its pause
    ps_all_s: float  # psutil gathering the same facts
    ps_vm_s: float  # psutil.virtual_memory()
    ps_cpu_extra_s: float  # psutil.cpu_percent(interval=0.1) beyond its pause
    native_ratio: float  # snapshot ÷ floor, of the medians
    native_paired: float  # median of each round's own snapshot ÷ floor
    mem_ratio: float  # get_memory_mb() ÷ floor
    speedup: float  # psutil ÷ get_memory_mb(): how many times longer psutil takes
    native_cpu_ratio: float  # the snapshot's CPU time per call ÷ the floor's


def summary(res: LoadResult) -> Summary:
    sides = res.sides
    floor, native, mem = (sides.floor.spread().median, sides.native.spread().median,
                          sides.mem.spread().median)
    ps_all = sides.ps_all.spread().median
    return Summary(
        entries=median(res.entries),
        floor_s=floor,
        native_s=native,
        mem_s=mem,
        cpu_extra_s=sides.cpu.spread().median - PAUSE_S,
        ps_all_s=ps_all,
        ps_vm_s=sides.ps_vm.spread().median,
        ps_cpu_extra_s=sides.ps_cpu.spread().median - PAUSE_S,
        native_ratio=ratio(native, floor),
        native_paired=median(res.native_ratios),
        mem_ratio=ratio(mem, floor),
        speedup=ratio(ps_all, mem),
        native_cpu_ratio=ratio(sides.native.cpu_per_call(), sides.floor.cpu_per_call()),
    )


def clamp(value: float, low: int, high: int) -> int:
    return max(low, min(high, round(value)))


def measure_load(args: argparse.Namespace, load: Load, rounds: int) -> LoadResult:
    build: Path = args.build
    floor = [str(build / "bench" / "floor")]
    native = [str(build / "bench" / "snapshot_bench"), "--benchmark_format=json"]
    res = LoadResult(load, rounds=rounds)
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
            f = native_round(s.floor, floor, k_fast)
            n = native_round(s.native, native, k_fast)
            res.entries.append(f.entries or 0)
            res.procs.append(f.procs or 0)
            res.native_ratios.append(ratio(n.median_us, f.median_us))
            timed_calls(s.mem, pellun_core.get_memory_mb, k_fast)
            timed_calls(s.cpu, pellun_core.get_cpu_percent, k_cpu)
            gathered = timed_calls(s.ps_all, psutil_same_facts, k_ps)
            assert isinstance(gathered, int)
            res.psutil_entries.append(gathered)
            timed_calls(s.ps_vm, psutil.virtual_memory, 30)
            timed_calls(s.ps_cpu, lambda: psutil.cpu_percent(interval=PAUSE_S), 3)
            round_s = time.monotonic() - t_round
            if load.generated and (holder.proc is None or holder.proc.poll() is not None):
                raise RuntimeError(f"{load.label}: the load ended during round {r + 1}")
            print(f"  {load.label} round {r + 1}/{rounds}: {f.entries} entries, floor "
                  f"{f.median_us / 1e3:.2f} ms, native {n.median_us / 1e3:.2f} ms, "
                  f"get_memory_mb {median(s.mem.times_s[-k_fast:]) * 1e3:.2f} ms, "
                  f"psutil {median(s.ps_all.times_s[-k_ps:]) * 1e3:.1f} ms "
                  f"({round_s:.1f} s)", flush=True)
        if load in (LOADS[0], LOADS[-1]):
            holder.ensure(60)
            res.snapshot_profile = perf_profile("snapshot", native, build, k_fast)
            res.floor_profile = perf_profile("floor", floor, build, k_fast)
        holder.ensure(60)
        runs = 3 if args.quick or load.procs * load.threads >= 5000 else 5
        res.peak_mem = peak_added("mem", runs)
        res.peak_psutil = peak_added("ps_all", runs)
        res.import_pellun_core_s = import_times("pellun_core", runs)
        res.import_psutil_s = import_times("psutil", runs)
        res.load_starts = holder.starts
    res.seconds = time.monotonic() - t_start
    return res



# --- a host of many CPUs ------------------------------------------------------------

@dataclass(frozen=True)
class InsideRun:
    """What the run in a private mount namespace hands back."""

    result: LoadResult
    commands: list[str]  # as note_command left them there


def measure_with_cpus(args: argparse.Namespace, load: Load, rounds: int) -> LoadResult | None:
    """Measures `load` in a private mount namespace, where the fixture's
    files are bound over /proc/stat and /proc/cpuinfo: every contender, the
    floor and psutil included, then sees that many CPUs. The counters stand
    still there, so get_cpu_percent() reads 0 %; only its cost counts.
    None when no such namespace can be made (it takes root)."""
    cpu_fixture(args.build, load.cpus)
    result = args.build / f"result-{load.key}.pickle"
    argv = ["unshare", "-m", "--propagation", "private", "--", sys.executable, str(DRIVER),
            "--build", str(args.build), "--budget", str(args.budget), "--inside", load.key,
            "--rounds", str(rounds), "--result", str(result), *(["--quick"] if args.quick else [])]
    note_command([*argv[:5], rel(sys.executable), "bench/run_bench.py", "...",
                  "--inside", load.key])
    if subprocess.run(argv).returncode != 0:
        print(f"{load.label}: left out, no private mount namespace here (it takes root)",
              flush=True)
        return None
    with open(result, "rb") as f:
        inside = pickle.load(f)
    assert isinstance(inside, InsideRun)
    note_commands(inside.commands)
    return inside.result


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
        pickle.dump(InsideRun(res, COMMANDS), f)


# --- the parsers ------------------------------------------------------------------------

@dataclass(frozen=True)
class ParserTiming:
    """One parser benchmark of Google Benchmark's, on one fixture file per
    iteration."""

    name: str  # without the BM_ prefix
    cpu_ns: float  # CPU time per file
    bytes_per_s: float  # of CPU time


def measure_parsers(args: argparse.Namespace) -> list[ParserTiming]:
    exe = args.build / "bench" / "parser_bench"
    argv = [str(exe), "--benchmark_format=json", f"--benchmark_min_time={args.parser_min_time}"]
    note_command(argv)
    data = json.loads(subprocess.run(argv, stdout=subprocess.PIPE, text=True, check=True).stdout)
    return [ParserTiming(b["name"].removeprefix("BM_"), float(b["cpu_time"]),
                         float(b["bytes_per_second"])) for b in data["benchmarks"]]
