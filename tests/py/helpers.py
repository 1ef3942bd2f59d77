"""Shared helpers for the memory, CPU and live process tests.

The test-only extension and the dump tool live in the C++ build directory
named by PELLUN_BUILD; tests that need them skip only when it is unset.
"""

from __future__ import annotations

import collections
import gc
import json
import math
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Mapping
from fractions import Fraction
from pathlib import Path
from typing import Any

import pytest

KIB = 1024
U64_MAX = 2**64 - 1

# Single letters of the kernel's run state and the names psutil gives them.
PSUTIL_STATUS = {"R": "running", "S": "sleeping", "D": "disk-sleep", "T": "stopped",
                 "t": "tracing-stop", "Z": "zombie", "X": "dead", "I": "idle"}


# make test-asan preloads AddressSanitizer's runtime into the interpreter.
# Its allocator keeps freed blocks in a quarantine and maps its shadow
# memory up front, so memory figures and address-space limits say nothing
# of the calls under it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def _emulated() -> bool:
    try:
        kernel = Path("/proc/sys/kernel/arch").read_text().strip()
    except OSError:
        return False
    return kernel != platform.machine()


# Under user-mode emulation (qemu-arm on another machine's kernel, whose
# architecture /proc/sys/kernel/arch still names) the program runs some ten
# times slower than the kernel's side of its calls, and the emulator keeps a
# record of every page the program ever mapped.
EMULATED = _emulated()


def build_dir() -> Path:
    build = os.environ.get("PELLUN_BUILD")
    if not build:
        pytest.skip("PELLUN_BUILD is not set: no C++ build to test against")
    return Path(build)


def dump_tool() -> Path:
    return build_dir() / "hoststats-dump"


def run_dump(*args: str, preexec_fn: Callable[[], None] | None = None,
             timeout: float = 60.0, lists: bool = False) -> dict[str, Any]:
    """Runs the dump tool and returns its JSON. The output holds the
    environment of every process of the host, so a failure reports only the
    exit status and standard error, never the output itself. With `lists`,
    for a test that looks for command lines: a dump whose call stopped
    reading them for the locks of the caller's own processes is taken again,
    and the test skips when three in a row did."""
    for _ in range(3 if lists else 1):
        dump = _one_dump(args, preexec_fn, timeout)
        if not (lists and dump["list_waits_spent"]):
            return dump
    pytest.skip(LIST_WAITS_SPENT)


def _one_dump(args: tuple[str, ...], preexec_fn: Callable[[], None] | None,
              timeout: float) -> dict[str, Any]:
    proc = subprocess.run([str(dump_tool()), *args], capture_output=True,
                          timeout=timeout, preexec_fn=preexec_fn, check=False)
    assert proc.returncode == 0, (
        f"dump tool exited with {proc.returncode}: {proc.stderr[-2000:]!r}")
    try:
        return json.loads(proc.stdout.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise AssertionError(
            f"dump tool printed no valid JSON ({exc.__class__.__name__}: "
            f"{str(exc)[:200]}), {len(proc.stdout)} bytes") from None


# One traced call on a file: the call, the path of its descriptor, and for
# openat and readlinkat the name opened relative to it.
_TRACED_CALL = re.compile(r'\b(openat|readlinkat|read)\(\d+<([^>]*)>(?:, "([^"]*)")?')


def traced_dump(log: Path, *args: str, user: str | None = None) -> collections.Counter:
    """Runs the dump tool under strace and counts what it did to each file:
    keys are (call, path) with call "openat", "readlinkat" or "read", and
    the same call with a "!" appended for the calls that failed; values how
    often. strace logs no file content here, only the paths; `user` runs the
    tool as that user. Each stop for the tracer is a sleep of the traced
    thread, so a slow traced read counts as a wait on a lock: the bound on
    waits is lifted, so that what is counted is what the test set up."""
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    command = [strace, "-f", "-qq", "-y", "-s", "0", "-e", "trace=openat,readlinkat,read",
               "-o", str(log)]
    tool = dump_tool()
    with tempfile.TemporaryDirectory() as reachable:
        if user is not None:
            command += ["-u", user]
            # The build may lie where only its owner can reach (root's home
            # on a new system): the other user runs a copy from a directory
            # open to all.
            os.chmod(reachable, 0o755)
            tool = Path(shutil.copy2(tool, reachable))
            # Under user-mode qemu the copy is a script naming the emulator's
            # root and the real program, which stay where they were built. A
            # call without a value makes the tool print its usage and exit 2.
            try:
                probe = subprocess.run([str(tool), "--scans"], user=user, capture_output=True,
                                       timeout=60, check=False)
                started = probe.returncode == 2 and b"usage: hoststats-dump" in probe.stderr
                why = f"exit {probe.returncode}: {probe.stderr[-300:]!r}"
            except OSError as exc:
                started, why = False, str(exc)
            if not started:
                pytest.skip(f"the dump tool, or what it runs on, lies where {user} cannot "
                            f"reach ({why})")
        proc = subprocess.run([*command, str(tool), "--wait-bound-ms", "600000", *args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300,
                              check=False)
        assert proc.returncode == 0, f"traced dump failed: {proc.stderr[-2000:]!r}"
        assert not json.loads(proc.stdout)["list_waits_spent"]
    counts: collections.Counter = collections.Counter()
    for line in log.read_text(errors="replace").splitlines():
        found = _TRACED_CALL.search(line)
        if found:
            call, path, name = found.groups()
            if call != "read":  # named relative to the descriptor
                path = f"{path}/{name}"
            counts[call + "!" if " = -1 " in line else call, path] += 1
    return counts


def as_bytes(text: str) -> bytes:
    """The bytes behind a dump string (invalid UTF-8 comes surrogate-escaped)."""
    return text.encode("utf-8", "surrogateescape")


def records_by_pid(dump: Mapping[str, Any]) -> dict[int, dict[str, Any]]:
    by_pid: dict[int, dict[str, Any]] = {}
    for record in dump["processes"]:
        assert record["pid"] not in by_pid, f"pid {record['pid']} listed twice"
        by_pid[record["pid"]] = record
    return by_pid


def make_tree(root: Path, files: Mapping[str, str | bytes]) -> Path:
    """Lays out a host root: keys are paths below it such as "proc/meminfo"."""
    (root / "proc").mkdir(parents=True, exist_ok=True)
    (root / "sys").mkdir(parents=True, exist_ok=True)
    for relative, content in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, str):
            content = content.encode()
        path.write_bytes(content)
    return root


def meminfo_text(lines: Iterable[tuple[str, int]]) -> str:
    return "".join(f"{key}:{value:>16} kB\n" for key, value in lines)


# --- the memory report, computed independently in Python ---------------------

def one_decimal(value: Fraction) -> float:
    """A value of at least 0 rounded half away from zero to one decimal."""
    return float(Fraction(math.floor(value * 10 + Fraction(1, 2)), 10))


def mib_one_decimal(byte_count: int) -> float:
    return one_decimal(Fraction(byte_count, 2**20))


def expected_report(total_bytes: int, available_bytes: int) -> dict[str, float]:
    """The three figures for the given meminfo totals, each the exact value
    rounded to one decimal. Available memory above the total counts as
    nothing used rather than wrapping round."""
    used = max(total_bytes - available_bytes, 0)
    return {"ram_used_mb": mib_one_decimal(used),
            "ram_total_mb": mib_one_decimal(total_bytes),
            "ram_percent": one_decimal(Fraction(100 * used, total_bytes)) if total_bytes else 0.0}


def parse_meminfo(text: str) -> dict[str, int]:
    """Byte figures of a well-formed /proc/meminfo, keyed as in the file."""
    figures: dict[str, int] = {}
    for line in text.splitlines():
        key, _, rest = line.partition(":")
        fields = rest.split()
        if fields and fields[0].isdigit():
            figures[key] = min(int(fields[0]) * KIB, U64_MAX)
    return figures


def available_of(figures: Mapping[str, int]) -> int:
    if "MemAvailable" in figures:
        return figures["MemAvailable"]
    estimate = 0
    for key in ("MemFree", "Buffers", "Cached", "SReclaimable"):
        estimate = min(estimate + figures.get(key, 0), U64_MAX)
    return max(estimate - figures.get("Shmem", 0), 0)


# --- descriptors and processes -----------------------------------------------

def open_fds() -> set[int]:
    """Descriptors open in this process (the listing's own is left out)."""
    fds = set()
    for name in os.listdir("/proc/self/fd"):
        fd = int(name)
        try:
            os.fstat(fd)
        except OSError:
            continue  # the directory handle of the listing itself, now closed
        fds.add(fd)
    return fds


def fd_targets(fds: Iterable[int]) -> dict[int, str]:
    targets = {}
    for fd in fds:
        try:
            targets[fd] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            targets[fd] = "?"
    return targets


def read_stat_fields(pid: int) -> list[str]:
    """Fields of /proc/PID/stat after the name, numbered so that index k is the
    kernel's field k+3 (index 0 is the state)."""
    data = Path(f"/proc/{pid}/stat").read_bytes()
    return data[data.rindex(b")") + 2:].decode().split()


def wait_until(done: Callable[[], bool], what: str) -> None:
    """Waits until DONE() holds, at most 20 s: a child's start may take a
    while on a busy machine."""
    deadline = time.monotonic() + 20
    while not done():
        assert time.monotonic() < deadline, f"never came to pass: {what}"
        time.sleep(0.01)


def wait_for_state(pid: int, letter: str) -> None:
    """Waits until the kernel shows PID in state LETTER. A child that has said
    "ready" may still be running on its way to sleep, on a busy machine for a
    while."""
    wait_until(lambda: read_stat_fields(pid)[0] == letter, f"{pid} in state {letter}")


def ps_threads() -> set[tuple[int, int]]:
    """(pid, tid) of every thread on the host, as ps lists them."""
    out = subprocess.run(["ps", "-eLo", "pid=,lwp="], capture_output=True, text=True,
                         check=True).stdout
    return {(int(p), int(t)) for p, t in (line.split() for line in out.splitlines())}


def ps_parents() -> dict[int, int]:
    out = subprocess.run(["ps", "-eo", "pid=,ppid="], capture_output=True, text=True,
                         check=True).stdout
    return {int(p): int(pp) for p, pp in (line.split() for line in out.splitlines())}


def uptime_seconds() -> float:
    return float(Path("/proc/uptime").read_text().split()[0])


def check_failing_calls_leave_nothing(call: Callable[[], object], calls: int = 1000) -> None:
    """Repeats a call that raises OSError. Every failing call makes an
    exception with its filename; one object or reference of it left behind
    per call would add `calls` Python blocks."""
    def fail_once() -> None:
        try:
            call()
        except OSError:
            return
        raise AssertionError("the call no longer fails")

    for _ in range(10):
        fail_once()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(calls):
        fail_once()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown <= calls // 10, f"{grown} more Python blocks after {calls} failing calls"


LIST_WAITS_SPENT = ("the caller's own processes held their locks until the call "
                    "stopped reading the files that wait on them")


def skip_if_lists_over_budget(dump: Mapping[str, Any]) -> None:
    """Skips a test that looks for its children's command lines and
    environments when the call stopped reading them before it reached the
    children: because the host's other processes hold more of them than a
    call keeps (a benchmark's forked environments beside the suite, say), or
    because the caller's own processes held their locks past the call's
    bound on waiting for them."""
    if dump["list_waits_spent"]:
        pytest.skip(LIST_WAITS_SPENT)
    held = 0
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        for file in ("cmdline", "environ"):
            try:
                with open(f"/proc/{name}/{file}", "rb") as f:
                    held += len(f.read())
            except OSError:
                pass
    budget = dump["constants"]["kept_list_bytes"]
    if held > budget // 2:
        pytest.skip(f"the host's processes hold {held} bytes of command lines and "
                    f"environments, against a call's budget of {budget}")
