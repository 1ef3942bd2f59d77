"""The real functions on a host whose /proc cannot be read: unmounted,
mounted with subset=pid, or with a file bind-mounted over /proc/meminfo or
/proc/stat, in a private mount namespace (unshare -m) of a child interpreter.
A call that measured nothing raises OSError, and a call blocked on a file
ends when Ctrl-C comes. Fixture trees cover the same rules without root."""

from __future__ import annotations

import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from helpers import UNDER_ASAN

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="Linux mount namespaces")

# Runs in the child, inside its own mount namespace: first the shell command
# that spoils /proc (here, after the interpreter and the module are loaded),
# then the call.
CHILD = textwrap.dedent("""
    import json, os, signal, subprocess, sys, time
    import pellun_core
    # Ctrl-C's own handler, whatever this process inherited: a job started
    # in the background of a shell starts with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    setup, call, options = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    done = subprocess.run(["sh", "-c", setup], capture_output=True, text=True)
    if done.returncode != 0:
        print(json.dumps({"setup_failed": done.stderr.strip()}), flush=True)
        sys.exit(0)
    if "address_space" in options:
        import resource
        limit = options["address_space"]
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    if "hold" in options:
        # A writer that never writes: the open succeeds, the read blocks.
        held = os.open(options["hold"], os.O_RDWR)
    writers = []
    if "writer" in options:
        # A handler that raises nothing: the interrupted operation goes on,
        # and the writer started here feeds the file at every open.
        def start_writer(signum, frame):
            writers.append(subprocess.Popen(["sh", "-c", options["writer"]],
                                            start_new_session=True))
        signal.signal(signal.SIGUSR1, start_writer)
    print(json.dumps({"calling": os.getpid()}), flush=True)
    start = time.monotonic()
    try:
        outcome = {"value": getattr(pellun_core, call)()}
    except BaseException as error:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        outcome = {"raised": type(error).__name__, "errno": getattr(error, "errno", None),
                   "strerror": getattr(error, "strerror", None),
                   "filename": getattr(error, "filename", None)}
    outcome["elapsed"] = time.monotonic() - start
    for writer in writers:
        os.killpg(writer.pid, signal.SIGKILL)
        writer.wait()
    print(json.dumps(outcome), flush=True)
""")


@pytest.fixture(scope="module")
def unshare() -> str:
    if os.geteuid() != 0:
        pytest.skip("mount namespaces need root")
    tool = shutil.which("unshare")
    if tool is None:
        pytest.skip("unshare (util-linux) is not installed")
    probe = subprocess.run([tool, "-m", "true"], capture_output=True, text=True, check=False)
    if probe.returncode != 0:
        pytest.skip(f"no private mount namespace here: {probe.stderr.strip()}")
    return tool


def start_child(unshare: str, setup: str, call: str, **options: str | int) -> subprocess.Popen:
    return subprocess.Popen([unshare, "-m", sys.executable, "-c", CHILD, setup, call,
                             json.dumps(options)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def first_line(child: subprocess.Popen) -> dict:
    assert child.stdout is not None
    line = child.stdout.readline()
    if not line:
        child.wait(timeout=30)
        pytest.fail(f"child ended early: {child.stderr.read() if child.stderr else ''}")
    message = json.loads(line)
    if "setup_failed" in message:
        child.wait(timeout=30)
        pytest.skip(f"this kernel refused the set-up: {message['setup_failed']}")
    return message


def outcome_of(child: subprocess.Popen, timeout: float = 30) -> dict:
    # Not communicate(): it would pass over what the first readline() has
    # already buffered. The child writes only a few lines.
    try:
        child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
    if child.returncode == -signal.SIGKILL:
        pytest.fail(f"the call was still running after {timeout} s")
    assert child.stdout is not None and child.stderr is not None
    out, err = child.stdout.read(), child.stderr.read()
    assert child.returncode == 0, err
    return json.loads(out)


def run_call(unshare: str, setup: str, call: str, **options: str | int) -> dict:
    child = start_child(unshare, setup, call, **options)
    first_line(child)
    return outcome_of(child)


# --- unreadable sources ------------------------------------------------------------

SPOILED = {
    "proc-unmounted": "umount -l /proc",
    # systemd's ProcSubset=pid: only the process directories are left.
    "subset-pid": "mount -t proc -o subset=pid proc /proc",
}


@pytest.mark.core
@pytest.mark.parametrize("setup", SPOILED.values(), ids=SPOILED.keys())
@pytest.mark.parametrize(("call", "path"), [("get_memory_mb", "/proc/meminfo"),
                                            ("get_cpu_percent", "/proc/stat")])
def test_missing_source_raises_file_not_found(unshare, setup, call, path):
    outcome = run_call(unshare, setup, call)
    assert outcome.get("raised") == "FileNotFoundError", outcome
    assert (outcome["errno"], outcome["strerror"], outcome["filename"]) == (
        errno.ENOENT, os.strerror(errno.ENOENT), path)


@pytest.mark.core
@pytest.mark.parametrize(("call", "path", "strerror"), [
    ("get_memory_mb", "/proc/meminfo", "no usable MemTotal line"),
    ("get_cpu_percent", "/proc/stat", 'no aggregate "cpu" line'),
])
def test_empty_file_over_the_source_raises(unshare, tmp_path, call, path, strerror):
    empty = tmp_path / "empty"
    empty.touch()
    outcome = run_call(unshare, f"mount --bind {empty} {path}", call)
    assert outcome.get("raised") == "OSError", outcome
    assert (outcome["errno"], outcome["strerror"], outcome["filename"]) == (
        errno.ENODATA, strerror, path)


# --- a file without end -------------------------------------------------------------

@pytest.mark.core
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer maps its shadow memory far past "
                    "any limit on the address space")
@pytest.mark.parametrize(("path", "memory_raises", "cpu_raises"), [
    # Only the descriptors and frequencies come from here: both calls measure.
    ("/proc/cpuinfo", None, None),
    ("/proc/meminfo", (errno.EFBIG, os.strerror(errno.EFBIG)), None),
    # Its CPU lines are read a line at a time and begin with no "cpu"; its
    # "btime" line is looked for in a whole-file read.
    ("/proc/stat", None, (errno.ENODATA, 'no aggregate "cpu" line')),
])
@pytest.mark.parametrize("call", ["get_memory_mb", "get_cpu_percent"])
def test_endless_source_stops_at_the_read_ceiling(unshare, call, path, memory_raises,
                                                   cpu_raises):
    # Read on to its end, /dev/zero would take every byte the address space
    # allows, and the failed allocation would end the interpreter.
    outcome = run_call(unshare, f"mount --bind /dev/zero {path}", call,
                       address_space=2 * 2**30)
    raises = memory_raises if call == "get_memory_mb" else cpu_raises
    if raises is None:
        assert "value" in outcome, outcome
    else:
        assert outcome.get("raised") == "OSError", outcome
        assert (outcome["errno"], outcome["strerror"], outcome["filename"]) == (*raises, path)


# --- a file that never answers ----------------------------------------------------

# The kernel functions a task sleeps in while a FIFO's open waits for a
# writer or its read waits for data (names differ between kernel versions).
FIFO_WAITS = ("wait_for_partner", "fifo_open", "pipe_read", "pipe_wait")


def wait_until_blocked(pid: int, timeout: float = 10.0) -> None:
    """Until the process sleeps in the FIFO's open or read. A signal sent
    while it sleeps anywhere else (a kernel lock, on a busy host) is spent
    before the open or read it should interrupt. Where the kernel does not
    name the function a task sleeps in, any sleep counts."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        stat = Path(f"/proc/{pid}/stat").read_text()
        if stat[stat.rindex(")") + 2] == "S":
            try:
                wchan = Path(f"/proc/{pid}/wchan").read_text().strip()
            except OSError:
                wchan = ""
            if wchan in ("", "0") or any(name in wchan for name in FIFO_WAITS):
                time.sleep(0.1)  # settled in its open or read
                return
        time.sleep(0.01)
    pytest.fail("the call never blocked on the FIFO")


def signal_blocked_call(child: subprocess.Popen, signum: int, timeout: float = 10) -> dict:
    """Sends `signum` once the child's call is blocked; what the call did,
    within `timeout` seconds of the signal."""
    try:
        wait_until_blocked(first_line(child)["calling"])
        os.kill(child.pid, signum)
        return outcome_of(child, timeout=timeout)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()


@pytest.mark.parametrize(("call", "path", "hold_writer"), [
    ("get_memory_mb", "/proc/meminfo", False),
    ("get_cpu_percent", "/proc/stat", False),
    ("get_cpu_percent", "/proc/stat", True),
], ids=["meminfo-open-blocks", "stat-open-blocks", "stat-read-blocks"])
def test_ctrl_c_ends_a_call_blocked_on_a_fifo(unshare, tmp_path, call, path, hold_writer):
    # A FIFO stands in for a hung FUSE-backed /proc file (LXCFS). With a
    # writer that never writes, the open succeeds and the read of the CPU
    # lines blocks instead (a whole-file read such as that of /proc/meminfo
    # begins with a seek, which a FIFO refuses).
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    options = {"hold": path} if hold_writer else {}
    child = start_child(unshare, f"mount --bind {fifo} {path}", call, **options)
    outcome = signal_blocked_call(child, signal.SIGINT)
    assert outcome.get("raised") == "KeyboardInterrupt", outcome


def test_a_handler_that_raises_nothing_lets_the_call_go_on(unshare, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    stat = tmp_path / "stat"
    stat.write_text("cpu  1 0 1 8 0 0 0 0 0 0\ncpu0 1 0 1 8 0 0 0 0 0 0\n")
    # The writer meets the open the signal interrupted, then puts the plain
    # file over the FIFO before it writes: a reading that opens while a
    # writer lingers would meet an empty pipe, and the call reads the file
    # again once it has the counters, without waiting for the end.
    writer = f"exec 3>{fifo} && mount --bind {stat} /proc/stat && cat {stat} >&3"
    child = start_child(unshare, f"mount --bind {fifo} /proc/stat", "get_cpu_percent",
                        writer=writer)
    # What is tested is that the call goes on and ends with a figure, not
    # how soon: after the signal it starts a shell, scans every process of
    # the host and pauses, which at a load of 20 on two cores, or beside
    # processes that hold their locks, took more than 10 s. The bound only
    # keeps a call that hangs on the FIFO from stalling the suite.
    outcome = signal_blocked_call(child, signal.SIGUSR1, timeout=120)
    # Every reading found the same counters: nothing was used between them.
    assert outcome.get("value") == 0.0, outcome
