"""Pure helpers of the benchmark driver: statistics, the parsing of the
native benchmarks' output, and Markdown formatting. Nothing here touches the
host, so it can be tested on its own (bench/test_benchlib.py)."""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import Iterable, Sequence


def quantile(values: Sequence[float], q: float) -> float:
    """The q-quantile (0 <= q <= 1) with linear interpolation between the
    closest ranks, as numpy's default and statistics.quantiles(method=
    "inclusive") compute it."""
    if not values:
        raise ValueError("quantile of no values")
    if not 0.0 <= q <= 1.0:
        raise ValueError(f"quantile {q} outside [0, 1]")
    s = sorted(values)
    pos = q * (len(s) - 1)
    lo = math.floor(pos)
    hi = math.ceil(pos)
    return s[lo] + (s[hi] - s[lo]) * (pos - lo)


def median(values: Sequence[float]) -> float:
    return quantile(values, 0.5)


@dataclass
class Spread:
    """Median, interquartile range and minimum of a sample."""

    median: float
    iqr: float
    minimum: float
    count: int

    @classmethod
    def of(cls, values: Sequence[float]) -> "Spread":
        return cls(
            median=median(values),
            iqr=quantile(values, 0.75) - quantile(values, 0.25),
            minimum=min(values),
            count=len(values),
        )


# "floor: median 2510.3 us/call  (min 2400.1, p90 2700.0)  21.6 us/entry" and
# "snapshot: median 2610.0 us/call  (min 2500.0, p90 2800.0)"
_MEDIAN_LINE = re.compile(
    r"^(?P<who>\S+?)(?: -\S+)*: median (?P<median>[0-9.]+) us/call\s+"
    r"\(min (?P<min>[0-9.]+), p90 (?P<p90>[0-9.]+)\)"
)
# "floor: 30 iters, procs 100 + tasks 42 = 142 entries, 427 KiB read/call, ..."
_FLOOR_ENTRIES = re.compile(
    r"procs (?P<procs>\d+) \+ tasks (?P<tasks>\d+) = (?P<entries>\d+) entries"
)
# "snapshot: 30 iters, 145 records"
_SNAPSHOT_RECORDS = re.compile(r"(?P<records>\d+) records")


@dataclass
class NativeRun:
    """One run of yard-floor or snapshot_bench: its timing line, in
    microseconds per call, and how many entries or records it saw."""

    median_us: float
    min_us: float
    p90_us: float
    entries: int | None = None
    procs: int | None = None


def parse_native_output(text: str) -> NativeRun:
    run: NativeRun | None = None
    entries = procs = None
    for line in text.splitlines():
        m = _MEDIAN_LINE.match(line)
        if m:
            run = NativeRun(float(m["median"]), float(m["min"]), float(m["p90"]))
            continue
        m = _FLOOR_ENTRIES.search(line)
        if m:
            entries, procs = int(m["entries"]), int(m["procs"])
            continue
        m = _SNAPSHOT_RECORDS.search(line)
        if m:
            entries = int(m["records"])
    if run is None:
        raise ValueError(f"no timing line in output:\n{text}")
    run.entries, run.procs = entries, procs
    return run


@dataclass(frozen=True)
class Load:
    """A shape of the host to measure at. By default a generated load:
    `procs` extra processes of `threads` tasks each (the process's own
    thread counted), or the idle host when procs is 0. Two other shapes:
    with `arg_bytes`, one process of `threads` tasks whose command line
    holds that many bytes; with `cpus`, the idle host seen with that many
    CPUs and no cpufreq files."""

    procs: int
    threads: int
    arg_bytes: int = 0
    cpus: int = 0

    @property
    def label(self) -> str:
        if self.cpus:
            return f"{self.cpus} CPUs"
        if self.arg_bytes:
            return f"1 process of {self.threads} threads, {self.arg_bytes / 1e6:.1f} MB of arguments"
        return "idle" if self.procs == 0 else f"{self.procs}×{self.threads}"

    @property
    def key(self) -> str:
        """A short name for the command line: idle, 200x10, threads1000,
        cpus256."""
        if self.cpus:
            return f"cpus{self.cpus}"
        if self.arg_bytes:
            return f"threads{self.threads}"
        return "idle" if self.procs == 0 else f"{self.procs}x{self.threads}"

    @property
    def generated(self) -> bool:
        """Whether the load generator makes this load."""
        return self.procs > 0 and not self.arg_bytes and not self.cpus

    def load_args(self) -> list[str]:
        """Arguments of the load generator, which takes the number of
        threads started besides each process's own."""
        if not self.generated or self.threads < 1:
            raise ValueError(f"no load generator arguments for {self.label}")
        return [str(self.procs), str(self.threads - 1)]


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
