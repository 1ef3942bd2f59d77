"""Memory and import time, each in fresh interpreters: what one call adds to
the peak resident size, what the process still holds after it, and the
growth per entry over the idle host that --memory writes into the report's
own section."""

from __future__ import annotations

import argparse
import datetime
import os
import subprocess
import sys
from dataclasses import dataclass, field

from benchlib import Load, md_table, median
from commands import BENCH, note_command, rel
from loads import holding

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
from psutil_side import psutil_same_facts
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


@dataclass
class PeakMemory:
    """One call in each of a few fresh interpreters: the bytes it added to
    the peak resident size, and those the process still held after it."""

    peak_bytes: list[float] = field(default_factory=list)  # per run
    kept_bytes: list[float] = field(default_factory=list)  # per run


def peak_added(what: str, runs: int) -> PeakMemory:
    """Bytes added at the call's peak, and still held after it, per run."""
    code = PEAK_SNIPPET.format(bench_dir=str(BENCH), what=what)
    res = PeakMemory()
    for _ in range(runs):
        peak, held = fresh_python(code).split()
        res.peak_bytes.append(float(peak))
        res.kept_bytes.append(float(held))
    return res


def fresh_python(code: str) -> str:
    note_command([rel(sys.executable), "-c", "IMPORT_SNIPPET or PEAK_SNIPPET of bench/memory.py"])
    return subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                          text=True, check=True, cwd=BENCH).stdout.strip()


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
            peaks = {who: median(peak_added(who, runs).peak_bytes) for who in ("mem", "ps_held")}
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
# Written by --mapped (mapped.py), after the memory section.
MAPPED_HEADING = "## Memory one call maps, on 32-bit ARM too"
MACHINE_HEADING = "## The machine and the run"


def memory_span(report: str, heading: str = MEMORY_HEADING) -> tuple[int, int]:
    """Where the section under `heading` (which --memory or --mapped wrote)
    lies in a report, up to the next section's heading; (0, 0) when there
    is none."""
    start = report.find(heading + "\n")
    if start < 0:
        return 0, 0
    end = report.find("\n## ", start + len(heading))
    return start, len(report) if end < 0 else end + 1


def memory_section_of(report: str, heading: str = MEMORY_HEADING) -> str:
    """The section under `heading` in a report, or nothing."""
    start, end = memory_span(report, heading)
    return report[start:end].rstrip("\n") + "\n" if end else ""


def with_memory_section(report: str, section: str, heading: str = MEMORY_HEADING) -> str:
    """The report with its section under `heading` replaced by `section`,
    which goes before the machine's (the memory section before the mapped
    one): a full run keeps what --memory and --mapped measured, and they
    leave the rest of the report as the full run wrote it."""
    start, end = memory_span(report, heading)
    report = report[:start] + report[end:]
    if not section:
        return report
    section = section.rstrip("\n") + "\n\n"
    at = report.find(MAPPED_HEADING) if heading == MEMORY_HEADING else -1
    if at < 0:
        at = report.find(MACHINE_HEADING)
    return report + "\n" + section if at < 0 else report[:at] + section + report[at:]


def measured_section(heading: str, text: str, table: str) -> str:
    """A section that --memory or --mapped writes: its heading, `text`
    (which may name the time as {when}, filled in here) and its table."""
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")
    return "\n".join([heading + "\n", text.replace("{when}", when) + "\n", table, ""])


def memory_report(args: argparse.Namespace, table: str) -> str:
    return measured_section(
        MEMORY_HEADING,
        "What one `get_memory_mb()` call adds to the peak resident size of a fresh "
        "interpreter (VmHWM after the call less VmHWM reset by writing 5 to "
        "/proc/self/clear_refs just before it; the median of the runs), and how much "
        "that grows for each entry (process or thread) the host has beyond the idle "
        "host's; beside it psutil gathering the same facts for every process and "
        "thread and holding them all until it is done, as a snapshot holds its table. "
        f"Measured {{when}} UTC by `{' '.join(args.argv)}`, apart from the timed run above.",
        table)
