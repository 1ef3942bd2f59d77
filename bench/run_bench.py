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

The jobs live beside this driver: loads.py (the shapes and the load
generator), contenders.py (the timed rounds), psutil_side.py (psutil
gathering what a snapshot holds), memory.py (fresh interpreters: peak memory
and import time), tracing.py (perf and strace), starved.py (the starved lock
holder), machine.py, plot.py and report.py (the report); benchlib.py holds
the pure helpers.
"""

from __future__ import annotations

import argparse
import datetime
import pickle
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from commands import COMMANDS, REPO, rel  # noqa: E402
from contenders import measure_load, measure_parsers, measure_with_cpus, run_inside  # noqa: E402
from loads import LOADS, PAIRS, SHAPES  # noqa: E402
from machine import machine_facts  # noqa: E402
from mapped import mapped_report, measure_mapped  # noqa: E402
from memory import (  # noqa: E402
    MAPPED_HEADING,
    MEMORY_HEADING,
    measure_memory,
    memory_report,
    with_memory_section,
)
from report import Run, write_report  # noqa: E402
from starved import measure_starved  # noqa: E402
from tracing import IdleCounts, UnprivilegedCounts, count_idle, count_unprivileged  # noqa: E402


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
    ap.add_argument("--mapped", type=Path, metavar="PYTHON", action="append",
                    help="only the memory one call maps, from a system-call trace of "
                         "PYTHON (strace's; qemu's own for a venv run under qemu-user, "
                         "such as build/armhf-py313/venv/bin/python; may be given more "
                         "than once) at each shape (default: idle, 200x10, 1000x10), "
                         "printed and written into the report's section of it")
    ap.add_argument("--load", type=Path,
                    help="the load generator (default: BUILD/bench/load), for --memory "
                         "and --mapped")
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
            try:
                run = pickle.load(f)
            except (AttributeError, ImportError, pickle.UnpicklingError):
                run = None  # the classes of an older driver, or no pickle
        if not isinstance(run, Run):
            ap.error(f"{rel(saved)} holds no run of this driver; measure again")
        write_report(run, args.out)
        return
    wanted = [k for k in args.shapes.split(",") if k] or (
        ["idle", "200x10", "1000x10"] if args.mapped else [])
    if args.mapped or args.memory:
        args.argv = [rel(__file__), *sys.argv[1:]]
        measure, section, heading = ((measure_mapped, mapped_report, MAPPED_HEADING)
                                     if args.mapped else
                                     (measure_memory, memory_report, MEMORY_HEADING))
        # The idle host first: the growth per entry is counted from it.
        table = measure(args, [LOADS[0]] + [load for load in LOADS[1:] + SHAPES
                                            if load.key in wanted or not wanted and
                                            load in LOADS])
        print(table)
        report = args.out.read_text() if args.out.exists() else ""
        args.out.write_text(with_memory_section(report, section(args, table), heading))
        return
    shapes = [load for load in LOADS + SHAPES if not wanted or load.key in wanted]
    counted = [load for load in shapes if load.caller]
    # Either of a starved pair measures both, side by side.
    pairs = [pair for pair in PAIRS if any(load in shapes for load in pair)]
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
    parsers = measure_parsers(args)
    idle: IdleCounts | None = None
    unprivileged: UnprivilegedCounts | None = None
    if LOADS[0] in shapes:
        print("idle: one call under strace", flush=True)
        idle = count_idle(args.build)
    for load in counted:
        print(f"{load.label}: one call under strace", flush=True)
        unprivileged = count_unprivileged(args.build, load)
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
    starved = []
    for pair in pairs:
        rounds = 2 if args.quick else 8
        print(f"{pair[0].label}, against {pair[1].label}: {rounds} rounds", flush=True)
        starved.append(measure_starved(args, rounds, pair))
    run = Run(results=results, machine=machine, parsers=parsers, started=started,
              total_s=time.monotonic() - t0, argv=args.argv, commands=list(COMMANDS),
              idle=idle, unprivileged=unprivileged, starved=starved)
    # Kept so that the report's wording can be reworked without measuring again.
    with open(saved, "wb") as f:
        pickle.dump(run, f)
    write_report(run, args.out)


if __name__ == "__main__":
    main()
