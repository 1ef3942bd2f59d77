"""Pure helpers of the benchmark driver: statistics, the reading of the
native benchmarks' JSON, and Markdown formatting. Nothing here touches the
host, so it can be tested on its own (bench/test_benchlib.py)."""

from __future__ import annotations

import json
import math
import statistics
from dataclasses import dataclass, field
from typing import Iterable, Sequence


def median(values: Sequence[float]) -> float:
    return statistics.median(values)


@dataclass
class Spread:
    """Median, interquartile range and minimum of a sample."""

    median: float
    iqr: float
    minimum: float
    count: int

    @classmethod
    def of(cls, values: Sequence[float]) -> "Spread":
        # "inclusive" interpolates between the sample's own values: a sample
        # of per-call times is the whole population of the calls measured.
        q1, _, q3 = (statistics.quantiles(values, n=4, method="inclusive")
                     if len(values) > 1 else (values[0],) * 3)
        return cls(median=statistics.median(values), iqr=q3 - q1, minimum=min(values),
                   count=len(values))


_TIME_UNIT_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


@dataclass
class NativeRun:
    """One run of the floor or of snapshot_bench, from Google Benchmark's JSON
    (the floor writes the same shape): each call's wall and CPU time in
    microseconds, and the counters of the run's calls."""

    times_us: list[float]
    cpu_us: list[float]
    counters: dict[str, float] = field(default_factory=dict)

    @property
    def median_us(self) -> float:
        return statistics.median(self.times_us)

    @property
    def min_us(self) -> float:
        return min(self.times_us)

    @property
    def entries(self) -> int | None:
        """Processes plus other threads (the floor's count) or records (the
        snapshot's)."""
        value = self.counters.get("entries", self.counters.get("records"))
        return None if value is None else int(value)

    @property
    def procs(self) -> int | None:
        value = self.counters.get("procs")
        return None if value is None else int(value)


# Fields of a benchmark entry that are not user counters.
_ENTRY_FIELDS = {
    "name", "family_index", "per_family_instance_index", "run_name", "run_type",
    "repetitions", "repetition_index", "threads", "iterations", "real_time", "cpu_time",
    "time_unit", "aggregate_name", "aggregate_unit", "label", "error_occurred",
    "error_message",
}


def parse_benchmark_json(text: str) -> NativeRun:
    """The per-call entries ("run_type": "iteration") of one benchmark's
    repetitions; the aggregates Google Benchmark adds after them are left
    out, as they are computed here from the calls themselves."""
    data = json.loads(text)
    calls = [b for b in data.get("benchmarks", []) if b.get("run_type") == "iteration"]
    if not calls:
        raise ValueError(f"no timed calls in output:\n{text}")
    errors = [b["error_message"] for b in calls if b.get("error_occurred")]
    if errors:
        raise ValueError(f"benchmark failed: {errors[0]}")
    times, cpu = [], []
    for b in calls:
        # Times are per iteration already.
        scale = _TIME_UNIT_US[b.get("time_unit", "ns")]
        times.append(b["real_time"] * scale)
        cpu.append(b["cpu_time"] * scale)
    counters = {k: float(v) for k, v in calls[-1].items()
                if k not in _ENTRY_FIELDS and isinstance(v, (int, float))}
    return NativeRun(times, cpu, counters)


# Each filler argument stays under the kernel's limit of 128 KiB for one.
ARG_PIECE = 100_000


@dataclass(frozen=True)
class Load:
    """A shape of the host to measure at: `procs` extra processes of
    `threads` tasks each (the process's own thread counted), made by the load
    generator, or the idle host when procs is 0. Besides: with `arg_bytes`,
    each process's command line holds that many more bytes, in arguments of
    ARG_PIECE bytes of `fill` (" " or a letter); with `env_bytes`, each holds
    an environment of that many more bytes; with `cpus`, the idle host seen
    with that many CPUs and no cpufreq files; with `caller`, the call is made
    as that user and only its system calls are counted, not timed; with
    `storm_gib`, each process keeps its own address-space lock busy by
    flipping the protection of that many GiB of zero pages in a loop; with
    `cwd_bytes`, the processes stand in a directory whose path is about that
    long; with `starved` as well as `storm_gib`, each process's flipping
    thread runs at SCHED_IDLE beside two busy threads of its threads, and
    either holds the lock while it waits for a CPU ("holding") or spins
    without it ("spinning"); with `execs` as well as `starved`, a second
    thread flips (or spins) so, and that many more threads each keep a
    child exec'ing in the process's address space, whose exec holds the
    child's exec lock while it waits for that space's lock; with `teardown`
    as well as `execs`, each child is forked with `storm_gib` GiB of zero
    pages of its own instead, goes to SCHED_IDLE and execs, and tears them
    down while it holds its exec lock ("holding"), or unmaps them before
    ("spinning"); with `owner`, the processes run as that user."""

    procs: int
    threads: int
    arg_bytes: int = 0
    fill: str = "a"
    env_bytes: int = 0
    cpus: int = 0
    caller: str = ""
    storm_gib: int = 0
    cwd_bytes: int = 0
    starved: str = ""
    owner: str = ""
    execs: int = 0
    teardown: bool = False

    def __post_init__(self) -> None:
        if self.starved not in ("", "holding", "spinning"):
            raise ValueError(f"starved is holding or spinning, not {self.starved!r}")
        # Two of the threads are the busy ones.
        if self.starved and (not self.storm_gib or self.threads < 3):
            raise ValueError("a starved holder takes storm_gib and three threads at least")
        # Besides: the exec'ing threads and the second flipping one.
        if self.execs and (not self.starved or self.threads < self.execs + 4):
            raise ValueError("exec'ing children take a starved holder and execs + 4 threads")
        if self.teardown and not self.execs:
            raise ValueError("a teardown takes exec'ing children")

    @property
    def label(self) -> str:
        if self.cpus:
            return f"{self.cpus} CPUs"
        base = "idle" if self.procs == 0 else f"{self.procs}×{self.threads}"
        if self.arg_bytes:
            what = "spaces" if self.fill == " " else "letters"
            base += f", {self.arg_bytes // ARG_PIECE} arguments of {ARG_PIECE:,} {what}"
        if self.env_bytes:
            base += f", {self.env_bytes / 1e6:.1f} MB environments"
        if self.caller:
            base += f", called as {self.caller}"
        if self.teardown:
            how = ("tearing down {} GiB at SCHED_IDLE" if self.starved == "holding" else
                   "unmapping {} GiB, then exec'ing at SCHED_IDLE").format(self.storm_gib)
            return (f"{base}, {self.execs} children {how}"
                    + (f", as {self.owner}" if self.owner else ""))
        if self.starved == "holding":
            base += f", a starved lock holder over {self.storm_gib} GiB"
        elif self.starved == "spinning":
            base += f", the same neighbour spinning, {self.storm_gib} GiB mapped"
        elif self.storm_gib:
            base += f", lock storms over {self.storm_gib} GiB"
        if self.execs:
            base += f", {self.execs} child{'ren' if self.execs > 1 else ''} exec'ing in it"
        if self.cwd_bytes:
            base += f", in a directory of a {self.cwd_bytes:,}-byte path"
        if self.owner:
            base += f", as {self.owner}"
        return base

    @property
    def key(self) -> str:
        """A short name for the command line: idle, 200x10, spaces1x1000,
        env300x1, nobody1x1000, cpus256, storm8x1, deep1x4000,
        starved1x1000-nobody, spinning1x1000-nobody, execstarved1x6-nobody,
        execspinning1x6-nobody, teardownstarved1x6-nobody."""
        if self.cpus:
            return f"cpus{self.cpus}"
        base = "idle" if self.procs == 0 else f"{self.procs}x{self.threads}"
        if self.arg_bytes:
            base = ("spaces" if self.fill == " " else "letters") + base
        if self.env_bytes:
            base = "env" + base
        if self.caller:
            base = self.caller + base
        if self.starved:
            base = ("starved" if self.starved == "holding" else "spinning") + base
        elif self.storm_gib:
            base = "storm" + base
        if self.execs:
            base = ("teardown" if self.teardown else "exec") + base
        if self.cwd_bytes:
            base = "deep" + base
        if self.owner:
            base += "-" + self.owner
        return base

    @property
    def generated(self) -> bool:
        """Whether the load generator makes this load."""
        return self.procs > 0 and not self.cpus

    def load_args(self) -> list[str]:
        """Arguments of the load generator, which takes the number of
        threads started besides each process's own."""
        if not self.generated or self.threads < 1:
            raise ValueError(f"no load generator arguments for {self.label}")
        args = []
        if self.arg_bytes:
            fill = "space" if self.fill == " " else self.fill
            args += ["-a", f"{self.arg_bytes // ARG_PIECE}:{ARG_PIECE}:{fill}"]
        if self.env_bytes:
            args += ["-e", str(self.env_bytes)]
        if self.storm_gib:
            args += ["-m", str(self.storm_gib)]
        if self.starved:
            args += ["-i" if self.starved == "holding" else "-I"]
        if self.execs:
            args += ["-x", str(self.execs)]
        if self.teardown:
            args += ["-t"]
        if self.cwd_bytes:
            args += ["-d", str(self.cwd_bytes)]
        if self.owner:
            args += ["-u", self.owner]
        return [*args, str(self.procs), str(self.threads - 1)]


@dataclass
class Side:
    """Everything measured for one contender at one load."""

    name: str
    times_s: list[float] = field(default_factory=list)  # per call, or per round for native runs
    mins_s: list[float] = field(default_factory=list)  # per round, native runs only
    cpu_user_s: float = 0.0  # summed over `calls`
    cpu_sys_s: float = 0.0
    minor_faults: float = 0.0  # summed over `calls`
    calls: int = 0

    def spread(self) -> Spread:
        s = Spread.of(self.times_s)
        if self.mins_s:
            s.minimum = min(self.mins_s)
        return s

    def user_per_call(self) -> float:
        return self.cpu_user_s / self.calls if self.calls else math.nan

    def sys_per_call(self) -> float:
        return self.cpu_sys_s / self.calls if self.calls else math.nan

    def cpu_per_call(self) -> float:
        return self.user_per_call() + self.sys_per_call()

    def faults_per_call(self) -> float:
        return self.minor_faults / self.calls if self.calls else math.nan


def ratio(numerator: float, denominator: float) -> float:
    return numerator / denominator if denominator > 0 else math.nan


def fmt_ms(seconds: float) -> str:
    """Milliseconds with three significant figures or at least two decimals."""
    if math.isnan(seconds):
        return "–"
    ms = seconds * 1e3
    if ms >= 100:
        return f"{ms:.0f}"
    if ms >= 10:
        return f"{ms:.1f}"
    return f"{ms:.2f}"


def fmt_ratio(value: float) -> str:
    return "–" if math.isnan(value) else f"{value:.2f}×"


def md_table(header: Sequence[str], rows: Iterable[Sequence[str]],
             align: str | None = None) -> str:
    """A Markdown table. `align` holds one letter per column, "l" or "r";
    by default the first column is left-aligned and the others right."""
    rows = [list(r) for r in rows]
    for r in rows:
        if len(r) != len(header):
            raise ValueError(f"row {r} has {len(r)} cells, header has {len(header)}")
    align = align or "l" + "r" * (len(header) - 1)
    if len(align) != len(header) or set(align) - {"l", "r"}:
        raise ValueError(f"alignment {align!r} does not fit {len(header)} columns")
    out = ["| " + " | ".join(header) + " |",
           "|" + "|".join(":---" if a == "l" else "---:" for a in align) + "|"]
    out += ["| " + " | ".join(c.replace("|", "\\|") for c in r) + " |" for r in rows]
    return "\n".join(out)
