"""Repeated calls leave the hosting interpreter as they found it: no
descriptor, Python object, reference or native allocation is left behind per
call, and nothing large is kept from one call to the next.

How many calls: a call on the live host scans every process and costs 20 to
100 ms here, so 10,000 of them would take several minutes. The live tests
make 500 calls of get_memory_mb() (PELLUN_LEAK_CALLS changes that) and 100
of get_cpu_percent(); every bound is a tenth or less of what one leaked
object, reference or descriptor per call adds over that many calls. The
10,000 calls run on a frozen copy of a host tree, where a call costs well
under a millisecond and the native heap must not move at all."""

from __future__ import annotations

import ctypes
import gc
import os
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import pytest

import pellun_core
from helpers import fd_targets, open_fds

MEMORY_CALLS = int(os.environ.get("PELLUN_LEAK_CALLS", "500"))
CPU_CALLS = 100
WARM_UP_CALLS = 50
PAGE = os.sysconf("SC_PAGE_SIZE")
# The smallest block glibc's malloc hands out, header included (bytes): one
# native allocation leaked per call grows the heap in use by at least this.
MALLOC_CHUNK_MIN = 32
HELPER = str(Path(__file__).resolve().parent / "hostile_children.py")


class MallInfo2(ctypes.Structure):
    # struct mallinfo2 from <malloc.h>, every field a size_t.
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
        "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = MallInfo2


def native_heap_in_use() -> int | None:
    """Bytes the C library's malloc has handed out and not had back: the
    main arena's chunks in use plus the separately mapped large blocks. The
    module allocates on the calling thread, here the main one."""
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes() -> int:
    return int(Path("/proc/self/statm").read_text().split()[1]) * PAGE


@dataclass
class Usage:
    fds: set[int]
    blocks: int
    heap: int | None
    rss: int

    @classmethod
    def now(cls) -> Usage:
        gc.collect()
        return cls(open_fds(), sys.getallocatedblocks(), native_heap_in_use(),
                   resident_bytes())


def repeat(function: Callable[[], object], calls: int) -> None:
    for _ in range(calls):
        function()


def check_calls_steady(function: Callable[[], object], calls: int, *, warm_up: int,
                       max_blocks: int, max_heap_per_call: int, max_rss_per_call: int) -> None:
    """Descriptors and Python blocks over all the calls; native heap and RSS
    per window of calls, taking the window that grew least. Other programs on
    the host may start larger processes at any moment, and the scan's buffers
    grow to fit them (a step in one window); a leak per call grows every
    window alike."""
    windows = 5
    per_window = calls // windows
    repeat(function, warm_up)
    first = previous = Usage.now()
    heap_steps, rss_steps = [], []
    for _ in range(windows):
        repeat(function, per_window)
        current = Usage.now()
        if previous.heap is not None and current.heap is not None:
            heap_steps.append(current.heap - previous.heap)
        rss_steps.append(current.rss - previous.rss)
        previous = current
    last = previous
    assert last.fds == first.fds, f"left open: {fd_targets(last.fds - first.fds)}"
    grown = last.blocks - first.blocks
    assert grown <= max_blocks, f"{grown} more Python blocks after {calls} calls"
    if heap_steps:
        assert min(heap_steps) <= per_window * max_heap_per_call, (
            f"native heap grew in every window of {per_window} calls: {heap_steps}")
    assert min(rss_steps) <= per_window * max_rss_per_call, (
        f"resident set grew in every window of {per_window} calls: {rss_steps}")


def test_memory_calls_leave_nothing_behind():
    check_calls_steady(pellun_core.get_memory_mb, MEMORY_CALLS, warm_up=WARM_UP_CALLS,
                       # One object per call would add MEMORY_CALLS blocks.
                       max_blocks=MEMORY_CALLS // 10,
                       # Half of malloc's smallest chunk per call: one leaked
                       # allocation per call is twice that.
                       max_heap_per_call=MALLOC_CHUNK_MIN // 2,
                       # A leaked snapshot or file buffer costs kilobytes.
                       max_rss_per_call=1024)


def test_cpu_calls_leave_nothing_behind():
    # Windows of 20 calls are too short to tell one small leaked allocation
    # from malloc's caches on a live host (the frozen host below does that);
    # a leaked buffer or record per call still shows.
    check_calls_steady(pellun_core.get_cpu_percent, CPU_CALLS, warm_up=3,
                       max_blocks=CPU_CALLS // 2,
                       max_heap_per_call=1024,
                       max_rss_per_call=1024)


def copy_proc_entry(source: Path, target: Path) -> None:
    target.mkdir(parents=True)
    for name in ("stat", "status", "cmdline", "environ", "statm", "io"):
        try:
            (target / name).write_bytes((source / name).read_bytes())
        except OSError:
            pass  # the entry ended, or hides that file: the scan copes
    for name in ("exe", "cwd", "root"):
        try:
            (target / name).symlink_to(os.readlink(source / name))
        except OSError:
            pass


@pytest.fixture(scope="module")
def frozen_host(tmp_path_factory) -> Path:
    """A host root whose files never change: this machine's system files and
    a copy of this process and its threads, so that every scan reads the
    same and any growth of the native heap is the calls' own."""
    root = tmp_path_factory.mktemp("frozen")
    proc = root / "proc"
    proc.mkdir()
    (root / "sys").mkdir()
    for name in ("meminfo", "stat", "uptime", "cpuinfo"):
        (proc / name).write_bytes(Path("/proc", name).read_bytes())
    me = Path("/proc/self").resolve()
    copy_proc_entry(me, proc / me.name)
    for task in (me / "task").iterdir():
        copy_proc_entry(task, proc / me.name / "task" / task.name)
    return root


def test_native_heap_steady_over_ten_thousand_calls_on_a_frozen_host(testext, frozen_host):
    """On unchanging input a call must give back every byte it allocated, so
    many calls may not grow the heap by even one small chunk per call."""
    if native_heap_in_use() is None:
        pytest.skip("the C library has no mallinfo2")
    root = str(frozen_host)
    memory_calls, cpu_calls = 10_000, 40
    first = testext.get_memory_mb_at(root)
    assert first["ram_total_mb"] > 0.0  # the tree really is read
    repeat(lambda: testext.get_memory_mb_at(root), 100)
    repeat(lambda: testext.get_cpu_percent_at(root), 2)
    for function, calls in ((testext.get_memory_mb_at, memory_calls),
                            (testext.get_cpu_percent_at, cpu_calls)):
        before = Usage.now()
        for _ in range(calls):
            function(root)
        after = Usage.now()
        assert after.fds == before.fds, f"left open: {fd_targets(after.fds - before.fds)}"
        assert after.blocks - before.blocks <= calls // 10, function.__name__
        assert before.heap is not None and after.heap is not None
        # A quarter of a chunk per call: one leaked allocation per call is
        # four times that.
        assert after.heap - before.heap <= calls * MALLOC_CHUNK_MIN // 4, (
            f"{function.__name__}: native heap grew by {after.heap - before.heap} "
            f"bytes over {calls} calls")


LARGE_PROCESS_SCRIPT = """
import os, subprocess, sys
sys.path.insert(0, os.path.dirname(sys.argv[1]))
import pellun_core
from test_leaks import native_heap_in_use
for _ in range(5):
    pellun_core.get_memory_mb()
before = native_heap_in_use()
env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
env |= {f"PELLUN_BIG_{n}": "e" * 120_000 for n in range(9)}
child = subprocess.Popen([sys.executable, sys.argv[1], "sleep"], env=env,
                         stdout=subprocess.PIPE)
try:
    assert child.stdout.readline().startswith(b"ready")
    pellun_core.get_memory_mb()
finally:
    child.kill()
    child.wait()
# The environment built here is as large as what is measured.
del env, child
for _ in range(5):
    pellun_core.get_memory_mb()
print(native_heap_in_use() - before)
"""


def test_large_process_leaves_no_memory_behind():
    """After a process with a 1 MiB environment has come and gone, the
    calls' native memory is back where it was: a call keeps nothing. In a
    fresh interpreter, so that no earlier test has already seen a process
    that large."""
    if native_heap_in_use() is None:
        pytest.skip("the C library has no mallinfo2")
    proc = subprocess.run([sys.executable, "-c", LARGE_PROCESS_SCRIPT, HELPER],
                          capture_output=True, text=True, timeout=300, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    held = int(proc.stdout)
    assert held < 2**20, f"{held} bytes still held after the calls"
