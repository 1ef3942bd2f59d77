"""The shapes of the host the benchmark measures at, and the holding of a
generated load (bench/load.c) while it is measured."""

from __future__ import annotations

import subprocess
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

from benchlib import Load
from commands import note_command

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
# The same pair with two of the threads flipping, and two more each keeping
# a child exec'ing in the process's address space: an exec holds the child's
# exec lock while it waits for that space's lock, and a read of the child's
# "stat", "io", "exe", "cwd" or "root" waits as long, beyond any SIGINT. No
# sleeping threads: the children come last in a call, and SIGINT 50 ms into
# it should find it waiting there, not reading a thousand threads before.
EXEC_WINDOW = Load(1, 6, storm_gib=2, starved="holding", owner="nobody", execs=2)
EXEC_SPINNING = Load(1, 6, storm_gib=2, starved="spinning", owner="nobody", execs=2)
# Four such cells, each process with one exec'ing child: four windows held
# open at once, and eight busy threads.
EXEC_CELLS = Load(4, 5, storm_gib=2, starved="holding", owner="nobody", execs=1)
EXEC_CELLS_SPINNING = Load(4, 5, storm_gib=2, starved="spinning", owner="nobody", execs=1)
# And exec windows held open by the exec alone: two children, each with
# 8 GiB of zero pages of its own, tear them down at SCHED_IDLE inside their
# windows, beside the process's busy threads; against the same children
# unmapping the pages before they exec.
TEARDOWN = Load(1, 6, storm_gib=8, starved="holding", owner="nobody", execs=2, teardown=True)
TEARDOWN_SPINNING = Load(1, 6, storm_gib=8, starved="spinning", owner="nobody", execs=2,
                         teardown=True)
# Each pair is measured together, holding against spinning.
PAIRS = [(STARVED, STARVED_SPINNING), (EXEC_WINDOW, EXEC_SPINNING),
         (EXEC_CELLS, EXEC_CELLS_SPINNING), (TEARDOWN, TEARDOWN_SPINNING)]
SHAPES = [LETTERS, SPACES, ENVIRONMENTS, Load(0, 0, cpus=256), UNPRIVILEGED,
          Load(8, 1), STORMS, Load(1, 4000), DEEP, *(load for pair in PAIRS for load in pair)]
# The load generator is asked to hold this long, and ends itself then; a
# load is started afresh when a round might outlast it.
LOAD_SECONDS = 600


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
