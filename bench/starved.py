"""A starved lock holder of another user: get_memory_mb() beside a process
whose thread holds its address-space lock while it waits for a CPU, against
the same process with that thread spinning without the lock, and how soon
SIGINT interrupts a call there; and the same beside such a process whose
children hold their exec windows open, exec'ing in its address space."""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import pellun_core
from benchlib import Load, ratio
from commands import note_command, rel
from loads import STARVED, STARVED_SPINNING, holding

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
# Before a turn beside exec'ing children, on either side of the pair: their
# holds take a while to set in (the flipping threads wait for a CPU before
# their first hold), and the turn itself is over in a second.
EXEC_SETTLE_S = 3.0


@dataclass
class StarvedTurns:
    """Everything measured beside one neighbour of the pair, over all its
    turns."""

    calls_s: list[float] = field(default_factory=list)  # each get_memory_mb() call's time
    sigint_s: list[float] = field(default_factory=list)  # each SIGINT's to KeyboardInterrupt
    sigint_in_call: int = 0  # SIGINTs that came while the call still ran
    # One plain read per turn: the neighbour's "cmdline", or with exec'ing
    # children the "stat" of each child there was.
    plain_read_s: list[float] = field(default_factory=list)


@dataclass
class StarvedResult:
    """get_memory_mb() beside the pair's holder (`holding`) and beside the
    same neighbour spinning (`spinning`); one plain read per turn shows that
    it held its lock."""

    rounds: int
    pair: tuple[Load, Load] = (STARVED, STARVED_SPINNING)
    holding: StarvedTurns = field(default_factory=StarvedTurns)
    spinning: StarvedTurns = field(default_factory=StarvedTurns)
    loadavg: list[float] = field(default_factory=list)  # 1 min, at the start of each turn
    seconds: float = 0.0

    def beside(self, load: Load) -> StarvedTurns:
        """The turns beside one neighbour of the pair."""
        if load.starved == "holding":
            return self.holding
        if load.starved == "spinning":
            return self.spinning
        raise ValueError(f"{load.label} is not a starved neighbour")

    def worst_ratio(self) -> float:
        """The worst call beside the holder over the worst beside it spinning."""
        return ratio(max(self.holding.calls_s), max(self.spinning.calls_s))


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


def children_of(pid: int) -> list[int]:
    """The children of every thread of `pid`. Not through psutil, which
    finds them in every process's "stat", and a read of an exec'ing child's
    waits out its exec."""
    return [int(child) for task in Path(f"/proc/{pid}/task").iterdir()
            for child in (task / "children").read_text().split()]


def plain_read(neighbours: list[int], load: Load) -> float:
    """Seconds a plain read of what the neighbours hold takes: their
    "cmdline", or with exec'ing children the "stat" of each child."""
    t0 = time.monotonic()
    for neighbour in neighbours:
        if load.execs:
            for child in children_of(neighbour):
                try:
                    Path(f"/proc/{child}/stat").read_bytes()
                except OSError:
                    pass  # it ended meanwhile
        else:
            Path(f"/proc/{neighbour}/cmdline").read_bytes()
    return time.monotonic() - t0


def measure_starved(args: argparse.Namespace, rounds: int,
                    pair: tuple[Load, Load] = (STARVED, STARVED_SPINNING)) -> StarvedResult:
    """Each round, one turn beside each of the pair, in alternating order;
    the generator is started afresh for each turn."""
    exe = args.build / "bench" / "load"
    res = StarvedResult(rounds, pair)
    note_command([rel(sys.executable), "-c", "SIGINT_CALLER of bench/starved.py"])
    caller = subprocess.Popen([sys.executable, "-c", SIGINT_CALLER], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    t_start = time.monotonic()
    try:
        pellun_core.get_memory_mb()
        for r in range(rounds):
            for load in pair if r % 2 == 0 else pair[::-1]:
                turns = res.beside(load)
                with holding(exe, load) as holder:
                    holder.ensure(60)
                    assert holder.proc is not None
                    neighbours = children_of(holder.proc.pid)
                    if len(neighbours) != load.procs:
                        raise RuntimeError(f"expected {load.procs} neighbours, "
                                           f"found {len(neighbours)}")
                    res.loadavg.append(os.getloadavg()[0])
                    if load.execs:
                        time.sleep(EXEC_SETTLE_S)
                    turns.plain_read_s.append(plain_read(neighbours, load))
                    for _ in range(STARVED_CALLS):
                        t0 = time.monotonic()
                        pellun_core.get_memory_mb()
                        turns.calls_s.append(time.monotonic() - t0)
                    for _ in range(STARVED_PROBES):
                        after, in_call = interrupt_a_call(caller)
                        turns.sigint_s.append(after)
                        turns.sigint_in_call += in_call
                    if holder.proc.poll() is not None:
                        raise RuntimeError(f"{load.label}: the load ended during its turn")
            held, spun = res.holding, res.spinning
            print(f"  {pair[0].key} round {r + 1}/{rounds}: worst call "
                  f"{max(held.calls_s[-STARVED_CALLS:]) * 1e3:.0f} ms holding, "
                  f"{max(spun.calls_s[-STARVED_CALLS:]) * 1e3:.0f} ms spinning; SIGINT "
                  f"{max(held.sigint_s[-STARVED_PROBES:]) * 1e3:.0f} ms and "
                  f"{max(spun.sigint_s[-STARVED_PROBES:]) * 1e3:.0f} ms", flush=True)
    finally:
        caller.kill()
        caller.wait()
    res.seconds = time.monotonic() - t_start
    return res
