"""The memory one call maps, counted from a system-call trace of its
interpreter: what --mapped measures, on any interpreter that can be traced,
one under qemu-user included. There the peak resident size of the process is
the emulator's (its translated code, its own heap), not the program's, so
VmHWM says nothing of the call; the program's own mappings, which qemu's
-strace prints as the program asks for them, do.

The figure is the highest sum, during the second call of a fresh
interpreter (the first pages in code and sets up what later calls reuse), of
the anonymous mappings made and not yet unmapped and of the growth of the
break, between marks the interpreter leaves in the trace. A mapping counts
whole, touched or not, so the figure is an upper bound of what the call adds
to the resident size (a block of the snapshot's memory is mapped at once and
written as the walk fills it).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

from benchlib import Load, md_table, median
from commands import note_command, rel
from loads import holding
from memory import MAPPED_HEADING, count_entries, measured_section

# os.getppid() is the mark: a system call the interpreter makes nowhere else
# and that the call never makes. Four marks around three calls.
MARKED_SNIPPET = """
import os, pellun_core
for _ in range(3):
    os.getppid()
    pellun_core.get_memory_mb()
os.getppid()
"""
MARK = re.compile(r"\bgetppid\(\)")
# strace: `mmap(NULL, 65536, PROT_READ|PROT_WRITE, MAP_PRIVATE|MAP_ANONYMOUS, -1, 0) = 0x7f...`;
# qemu: `mmap2(NULL,65536,PROT_READ|PROT_WRITE,MAP_PRIVATE|MAP_ANONYMOUS,-1,0) = 0x3f...`.
MMAP = re.compile(r"\bmmap2?\((?:NULL|0x0+|0),\s*(\d+),[^)]*MAP_ANONYMOUS[^)]*\)\s*=\s*(0x[0-9a-f]+)")
MUNMAP = re.compile(r"\bmunmap\((0x[0-9a-f]+),\s*(\d+)\)\s*=\s*0\b")
MREMAP = re.compile(r"\bmremap\((0x[0-9a-f]+),\s*(\d+),\s*(\d+),[^)]*\)\s*=\s*(0x[0-9a-f]+)")
BRK = re.compile(r"\bbrk\((?:NULL|0x[0-9a-f]+|0)\)\s*=\s*(0x[0-9a-f]+)")


def mapped_peak(lines: list[str], call: int = 2) -> int:
    """The highest number of bytes mapped anonymously or added to the break
    during the `call`-th call (from 1) of a trace marked as MARKED_SNIPPET
    marks it; what was mapped before the call and unmapped during it counts
    as given back."""
    marks = [i for i, line in enumerate(lines) if MARK.search(line)]
    if len(marks) <= call:
        raise ValueError(f"{len(marks)} marks in the trace; call {call} needs {call + 1}")
    start, end = marks[call - 1], marks[call]
    brk_base: int | None = None  # the break when the call began
    for line in lines[:start]:
        m = BRK.search(line)
        if m:
            brk_base = int(m.group(1), 16)
    brk_top = brk_base
    mapped: dict[int, int] = {}  # start -> bytes, the call's own mappings
    now = peak = 0
    for line in lines[start:end]:
        if m := MMAP.search(line):
            mapped[int(m.group(2), 16)] = int(m.group(1))
            now += int(m.group(1))
        elif m := MUNMAP.search(line):
            at, size = int(m.group(1), 16), int(m.group(2))
            # Whole mappings or parts of them (the C library trims one it
            # mapped larger to align it).
            for first, length in list(mapped.items()):
                lo, hi = max(first, at), min(first + length, at + size)
                if lo >= hi:
                    continue
                del mapped[first]
                if lo > first:
                    mapped[first] = lo - first
                if hi < first + length:
                    mapped[hi] = first + length - hi
                now -= hi - lo
        elif m := MREMAP.search(line):
            old, new = int(m.group(1), 16), int(m.group(4), 16)
            if old in mapped:
                now += int(m.group(3)) - mapped.pop(old)
                mapped[new] = int(m.group(3))
        elif (m := BRK.search(line)) and brk_base is not None:
            brk_top = int(m.group(1), 16)
        grown = brk_top - brk_base if brk_top is not None and brk_base is not None else 0
        peak = max(peak, now + max(grown, 0))
    return peak


def emulated(python: Path) -> bool:
    """Whether `python` is a venv's script that starts its interpreter under
    qemu-user (tools/platform/make-venv writes one)."""
    with open(python, "rb") as f:
        return b"qemu-" in f.read(4096)


def traced_run(python: Path) -> list[str]:
    """The trace of MARKED_SNIPPET in a fresh interpreter: qemu's own -strace
    for an emulated one (QEMU_STRACE, on its standard error), strace's for
    any other."""
    with tempfile.TemporaryDirectory() as tmp:
        log = Path(tmp) / "trace.log"
        if emulated(python):
            argv = [str(python), "-c", MARKED_SNIPPET]
            note_command(["QEMU_STRACE=1", rel(python), "-c", "MARKED_SNIPPET of bench/mapped.py"])
            with open(log, "w") as err:
                subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=err, check=True,
                               env={**os.environ, "QEMU_STRACE": "1"})
        else:
            if shutil.which("strace") is None:
                raise SystemExit("--mapped: no strace on PATH (Debian's strace has it)")
            # --seccomp-bpf: the calls not traced (the reads) run without a
            # stop, which the call would count as a wait for a list's lock.
            argv = ["strace", "--seccomp-bpf", "-f", "-qq",
                    "-e", "trace=mmap,munmap,mremap,brk,getppid",
                    "-o", str(log), str(python), "-c", MARKED_SNIPPET]
            note_command([*argv[:-3], rel(python), "-c", "MARKED_SNIPPET of bench/mapped.py"])
            subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
        return log.read_text(errors="replace").splitlines()


@dataclass
class MappedRow:
    load: Load
    entries: int
    peaks: dict[str, list[int]]  # bytes, one per run, by interpreter


def measure_mapped(args: argparse.Namespace, shapes: list[Load]) -> str:
    """The mapped peak of the second call of each interpreter at each shape,
    and its growth per entry over the first shape's (the idle host's); a
    Markdown table, a pair of columns per interpreter."""
    pythons = [Path(p) for p in args.mapped]
    runs = 3
    rows: list[MappedRow] = []
    for load in shapes:
        with holding(args.load or args.build / "bench" / "load", load) as holder:
            holder.ensure(120.0 * runs * len(pythons))
            before = count_entries()
            peaks: dict[str, list[int]] = {}
            for python in pythons:
                print(f"{load.label}: traced calls of {rel(python)}", flush=True)
                peaks[rel(python)] = [mapped_peak(traced_run(python)) for _ in range(runs)]
            rows.append(MappedRow(load, (before + count_entries()) // 2, peaks))
    base = rows[0]
    table = []
    for row in rows:
        cells = [row.load.label, str(row.entries), str(runs)]
        for who, peak in row.peaks.items():
            low, high = min(peak) / 2**10, max(peak) / 2**10
            cells.append(f"{median(peak) / 2**10:,.0f}" +
                         ("" if low == high else f" ({low:,.0f} to {high:,.0f})"))
            cells.append("–" if row is base or row.entries <= base.entries else
                         f"{(median(peak) - median(base.peaks[who])) / (row.entries - base.entries):,.0f}")
        table.append(cells)
    header = ["shape", "entries", "runs"]
    for who in base.peaks:
        header += [f"`{who}`: mapped peak KiB", "bytes per entry over idle"]
    return md_table(header, table)


def mapped_report(args: argparse.Namespace, table: str) -> str:
    return measured_section(
        MAPPED_HEADING,
        "Under qemu-user the peak resident size is the emulator's (its translated code and "
        "its own heap), so the table above cannot be made for the 32-bit ARM wheel. This "
        "one counts what the program itself maps, from a trace of its system calls: "
        "strace's for a native interpreter (with `--seccomp-bpf`, so that the calls it does "
        "not trace, the reads, run without a stop, which a call would count as a wait for a "
        "process's lock and read fewer command lines and environments), qemu's own "
        "`-strace` (`QEMU_STRACE=1`) for an emulated one. In a fresh interpreter, between "
        "`os.getppid()` calls left in the "
        "trace as marks around its second `get_memory_mb()` call (the first pages in code "
        "and sets up what later calls reuse), the highest sum of the anonymous mappings "
        "made and not yet unmapped and of the growth of the break. A mapping counts whole, "
        "written or not, so the figure is a bound above what the call adds to the resident "
        "size, and it moves in steps: the snapshot's memory comes in blocks that double up "
        "to 1 MiB, of which the last is partly written. "
        f"Measured {{when}} UTC by `{rel(sys.executable)} {' '.join(args.argv)}` (medians of the runs, their range "
        "in brackets where they differ; the load generator LOAD as for the table above; "
        "the 32-bit ARM venv is the one `make test-armhf-py313` leaves, with that "
        "target's wheel installed).",
        table)
