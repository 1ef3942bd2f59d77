"""Many Python threads calling both functions at once. On an interpreter with
the GIL the calls take turns; on a free-threaded one (the module declares
that it may run without the GIL) they really overlap, sharing the open-file
budget, the once-only cells and the pool of deferred releases."""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import sysconfig
import textwrap
import threading
from typing import Any

import pytest

import pellun_core
from helpers import fd_targets, open_fds

THREADS = 16
ROUNDS = 4
KEYS = {"ram_used_mb", "ram_total_mb", "ram_percent"}
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def check_memory(report: Any, total_mb: float) -> None:
    assert type(report) is dict and set(report) == KEYS
    assert all(type(v) is float for v in report.values())
    # MemTotal hardly moves while the test runs (a balloon driver could move
    # it a little); a mixed-up figure would be far off.
    assert abs(report["ram_total_mb"] - total_mb) <= total_mb * 0.01
    used, total = report["ram_used_mb"], report["ram_total_mb"]
    assert 0.0 <= used <= total
    assert 0.0 <= report["ram_percent"] <= 100.0
    # The percentage is taken before the two figures are rounded to 0.1 MiB.
    assert abs(report["ram_percent"] - used / total * 100.0) <= 0.1 + 0.1 / total * 100.0


def check_cpu(value: Any) -> None:
    assert type(value) is float
    assert 0.0 <= value <= 100.0


def run_threads(work, count: int = THREADS) -> list[Any]:
    """Runs work(index) on `count` threads released together; returns their
    results and re-raises the first failure of any thread."""
    start = threading.Barrier(count)
    results: list[Any] = [None] * count
    errors: list[BaseException] = []

    def body(index: int) -> None:
        try:
            start.wait()
            results[index] = work(index)
        except BaseException as exc:  # noqa: BLE001 - handed to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
        assert not t.is_alive(), "a calling thread never finished"
    if errors:
        raise errors[0]
    return results


def test_sixteen_threads_call_both_functions():
    total_mb = pellun_core.get_memory_mb()["ram_total_mb"]
    fds_before = open_fds()

    def work(index: int) -> list[tuple[str, Any]]:
        seen = []
        for round_no in range(ROUNDS):
            # Half the threads start with each function, so both run at once.
            if (index + round_no) % 2:
                seen.append(("cpu", pellun_core.get_cpu_percent()))
                seen.append(("memory", pellun_core.get_memory_mb()))
            else:
                seen.append(("memory", pellun_core.get_memory_mb()))
                seen.append(("memory", pellun_core.get_memory_mb()))
        return seen

    results = run_threads(work)
    kinds = {"cpu": 0, "memory": 0}
    dicts = []
    for seen in results:
        for kind, value in seen:
            kinds[kind] += 1
            if kind == "cpu":
                check_cpu(value)
            else:
                check_memory(value, total_mb)
                dicts.append(value)
    assert kinds == {"cpu": THREADS * ROUNDS // 2, "memory": THREADS * ROUNDS * 3 // 2}
    # Every call built its own dictionary.
    assert len({id(d) for d in dicts}) == len(dicts)
    # Every kept "stat" file of every thread's snapshot was given back.
    assert open_fds() == fds_before, f"left open: {fd_targets(open_fds() - fds_before)}"
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    assert soft == hard


def test_first_calls_race_in_a_fresh_interpreter():
    """The first calls of a process create the open-file budget, raise the
    open-files limit and make the once-only objects; sixteen threads making
    their first calls together must do that exactly once, all succeed, and
    leave no descriptor behind."""
    script = textwrap.dedent(f"""
        import json, os, resource, sys, sysconfig, threading
        import pellun_core
        fds_before = sorted(os.listdir("/proc/self/fd"))
        start = threading.Barrier({THREADS})
        out, errors = [None] * {THREADS}, []
        def body(i):
            try:
                start.wait()
                f = pellun_core.get_cpu_percent if i % 2 else pellun_core.get_memory_mb
                out[i] = [f() for _ in range(2)]
            except BaseException as exc:
                errors.append(repr(exc))
        threads = [threading.Thread(target=body, args=(i,)) for i in range({THREADS})]
        for t in threads: t.start()
        for t in threads: t.join()
        gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
        print(json.dumps({{"out": out, "errors": errors, "gil": gil,
                          "fds": [fds_before, sorted(os.listdir("/proc/self/fd"))],
                          "limit": resource.getrlimit(resource.RLIMIT_NOFILE)}}))
    """)
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    soft = min(1024, hard)
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=env, timeout=300, check=False,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE,
                                                                (soft, hard)))
    assert proc.returncode == 0, proc.stderr[-3000:]
    result = json.loads(proc.stdout)
    assert result["errors"] == []
    total_mb = pellun_core.get_memory_mb()["ram_total_mb"]
    for i, values in enumerate(result["out"]):
        for value in values:
            if i % 2:
                check_cpu(value)
            else:
                check_memory(value, total_mb)
    assert result["fds"][0] == result["fds"][1]
    assert result["limit"] == [hard, hard]
    assert result["gil"] is not FREE_THREADED


@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter has a GIL anyway")
def test_import_keeps_the_gil_disabled():
    """A module without the not-used declaration would switch the GIL on at
    import, with a warning. Checked in a fresh interpreter with the default
    setting (PYTHON_GIL unset) so nothing imported before can hide it."""
    script = textwrap.dedent("""
        import sys, warnings
        warnings.simplefilter("error")
        before = sys._is_gil_enabled()
        import pellun_core
        after_import = sys._is_gil_enabled()
        pellun_core.get_memory_mb(); pellun_core.get_cpu_percent()
        print(before, after_import, sys._is_gil_enabled())
    """)
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=env, timeout=120, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["False", "False", "False"]
    # And in this interpreter, after the tests so far, unless an extension
    # that needs the GIL was loaded meanwhile (the interpreter warned then).
    needs_gil = [m for m in ("_pellun_testext",) if m in sys.modules]
    assert sys._is_gil_enabled() is bool(needs_gil), needs_gil
