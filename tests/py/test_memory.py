"""get_memory_mb(): the figures, their rounding, the dictionary's shape, and
agreement with independent readers on the real host."""

from __future__ import annotations

import errno
import json
import os
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import pytest

import pellun_core
from helpers import (KIB, available_of, check_failing_calls_leave_nothing, expected_report,
                     make_tree, meminfo_text, mib_one_decimal, parse_meminfo, run_dump)

KEYS = {"ram_used_mb", "ram_total_mb", "ram_percent"}
TREES = Path(__file__).resolve().parent.parent / "fixtures" / "trees"


def report_at(testext, root: Path) -> dict[str, float]:
    result = testext.get_memory_mb_at(str(root))
    assert type(result) is dict
    assert set(result) == KEYS
    for value in result.values():
        assert type(value) is float
    return result


# --- worked examples on hand-made trees ----------------------------------------

@pytest.mark.parametrize(
    ("total_kb", "available_kb", "expected"),
    [
        # 0.25 MiB used rounds up to 0.3.
        (1024, 768, {"ram_used_mb": 0.3, "ram_total_mb": 1.0, "ram_percent": 25.0}),
        # One sixteenth used: 62.5 per mille rounds away from zero to 63.
        (16384, 15360, {"ram_used_mb": 1.0, "ram_total_mb": 16.0, "ram_percent": 6.3}),
        (8043939, 5000000, {"ram_used_mb": 2972.6, "ram_total_mb": 7855.4, "ram_percent": 37.8}),
        # More available than total must not wrap round to an enormous figure.
        (1024, 2048, {"ram_used_mb": 0.0, "ram_total_mb": 1.0, "ram_percent": 0.0}),
        # Nothing available: everything is used.
        (2048, 0, {"ram_used_mb": 2.0, "ram_total_mb": 2.0, "ram_percent": 100.0}),
        # Totals of 2**64 bytes and more: 2**54 units of 1024 bytes are 2**44 MiB.
        (2**54, 2**54, {"ram_used_mb": 0.0, "ram_total_mb": 17592186044416.0,
                        "ram_percent": 0.0}),
        (2**60, 2**59, {"ram_used_mb": 562949953421312.0, "ram_total_mb": 1125899906842624.0,
                        "ram_percent": 50.0}),
        # The largest total the file can state, about 2**54 MiB.
        (2**64 - 1, 0, {"ram_used_mb": 18014398509481984.0,
                        "ram_total_mb": 18014398509481984.0, "ram_percent": 100.0}),
    ],
    ids=["quarter-rounds-up", "sixteenth-away-from-zero", "large",
         "available-above-total", "nothing-available", "total-of-2**64-bytes",
         "total-of-2**70-bytes", "largest-total"],
)
def test_worked_examples(testext, tmp_path, total_kb, available_kb, expected):
    make_tree(tmp_path, {"proc/meminfo": meminfo_text(
        [("MemTotal", total_kb), ("MemFree", available_kb // 2),
         ("MemAvailable", available_kb), ("Buffers", 1), ("Cached", 7)])})
    assert report_at(testext, tmp_path) == expected


@pytest.mark.parametrize(
    ("meminfo", "error", "errno_", "strerror"),
    [
        (None, FileNotFoundError, errno.ENOENT, os.strerror(errno.ENOENT)),
        ("directory", IsADirectoryError, errno.EISDIR, os.strerror(errno.EISDIR)),
        ("", OSError, errno.ENODATA, "no usable MemTotal line"),
        # Every other figure is there, but without the total none means anything.
        ("MemFree: 512 kB\nMemAvailable: 1024 kB\nmemtotal: 2048 kB\n", OSError,
         errno.ENODATA, "no usable MemTotal line"),
        ("MemTotal: -2048 kB\nMemAvailable: 1024 kB\n", OSError, errno.ENODATA,
         "no usable MemTotal line"),
        # A host without memory: 0.0 of 0.0 would pass for a measurement.
        ("MemTotal: 0 kB\nMemFree: 0 kB\nMemAvailable: 0 kB\n", OSError, errno.ENODATA,
         "no usable MemTotal line"),
        (b"MemTotal: 2048 kB\n\xff\n", OSError, errno.EILSEQ, os.strerror(errno.EILSEQ)),
    ],
    ids=["missing", "directory", "empty", "no-memtotal-line", "memtotal-not-a-number",
         "memtotal-zero", "not-utf8"],
)
def test_meminfo_without_a_total_raises(testext, tmp_path, meminfo, error, errno_, strerror):
    # Zeros here would be indistinguishable from a measured figure.
    make_tree(tmp_path, {"proc/stat": "cpu  1 2 3 4 5 6 7 8 9 10\n"})
    path = tmp_path / "proc" / "meminfo"
    if meminfo == "directory":
        path.mkdir()
    elif meminfo is not None:
        path.write_bytes(meminfo.encode() if isinstance(meminfo, str) else meminfo)
    with pytest.raises(error) as info:
        testext.get_memory_mb_at(str(tmp_path))
    assert type(info.value) is error
    assert (info.value.errno, info.value.strerror, info.value.filename) == (
        errno_, strerror, str(path))
    check_failing_calls_leave_nothing(lambda: testext.get_memory_mb_at(str(tmp_path)))


@pytest.mark.parametrize(
    ("lines", "total_kb", "available_kb"),
    [
        # Older kernels have no MemAvailable: free + buffers + cached + reclaimable - shmem.
        ([("MemTotal", 4096), ("MemFree", 1000), ("Buffers", 100), ("Cached", 500),
          ("SReclaimable", 24), ("Shmem", 600)], 4096, 1024),
        # Shared memory larger than the sum: nothing available, not a wrapped figure.
        ([("MemTotal", 4096), ("MemFree", 10), ("Buffers", 10), ("Cached", 10),
          ("SReclaimable", 10), ("Shmem", 5000)], 4096, 0),
        # A zero MemAvailable is taken as it is, not estimated.
        ([("MemTotal", 4096), ("MemFree", 3000), ("MemAvailable", 0)], 4096, 0),
        # The last of two lines with the same key counts.
        ([("MemTotal", 9999), ("MemAvailable", 10), ("MemTotal", 4096),
          ("MemAvailable", 1024)], 4096, 1024),
    ],
    ids=["estimate", "estimate-floors-at-zero", "available-zero", "later-line-wins"],
)
def test_available_memory_rules(testext, tmp_path, lines, total_kb, available_kb):
    make_tree(tmp_path, {"proc/meminfo": meminfo_text(lines)})
    assert report_at(testext, tmp_path) == expected_report(total_kb * KIB, available_kb * KIB)


def test_lines_that_do_not_parse_leave_the_figure(testext, tmp_path):
    text = ("MemTotal:       +2048 kB\n"      # a leading plus is accepted
            "MemAvailable:   -100 kB\n"       # a sign of minus is not
            "MemAvailable:   100kB\n"         # nor a unit joined to the number
            "MemAvailable:\n"                 # nor an empty value
            "memavailable:   1 kB\n"          # keys are case-sensitive
            "MemAvailable:\u00a0\u2003512 kB\n"  # Unicode white space is dropped
            "no colon on this line\n")
    make_tree(tmp_path, {"proc/meminfo": text})
    assert report_at(testext, tmp_path) == expected_report(2048 * KIB, 512 * KIB)


@pytest.mark.parametrize("tree", ["meminfo-host", "meminfo-no-available"])
def test_copied_meminfo_files(testext, tree):
    root = TREES / tree
    figures = parse_meminfo((root / "proc" / "meminfo").read_text())
    expected = expected_report(figures["MemTotal"], available_of(figures))
    assert report_at(testext, root) == expected


@pytest.mark.core
@pytest.mark.parametrize("tree", ["meminfo-host", "meminfo-no-available"])
def test_snapshot_keeps_all_nine_figures(tree):
    root = TREES / tree
    figures = parse_meminfo((root / "proc" / "meminfo").read_text())
    memory = run_dump("--root", str(root))["memory"]
    keys = {"mem_total": "MemTotal", "mem_free": "MemFree", "buffers": "Buffers",
            "cached": "Cached", "shmem": "Shmem", "s_reclaimable": "SReclaimable",
            "swap_total": "SwapTotal", "swap_free": "SwapFree"}
    assert memory == {"mem_available": available_of(figures),
                      **{ours: figures[theirs] for ours, theirs in keys.items()}}


# --- the dictionary -------------------------------------------------------------

def test_real_report_has_three_float_entries():
    # Each call's keys and values, held here alone once its dictionary is
    # gone: a reference the call kept shows in their counts.
    held: list[tuple[str, float]] = []
    for _ in range(3):
        result = pellun_core.get_memory_mb()
        assert type(result) is dict
        assert set(result) == KEYS
        assert all(type(key) is str for key in result)
        assert all(type(value) is float for value in result.values())
        assert 0.0 <= result["ram_used_mb"] <= result["ram_total_mb"]
        assert 0.0 <= result["ram_percent"] <= 100.0
        held.extend(result.items())
        del result
    held.append(("".join(("ram_", "x")), float(len(held))))  # made here, held once
    counts = {sys.getrefcount(obj) for pair in held for obj in pair}
    assert len(counts) == 1, "a call kept references to its entries"


def test_calls_return_distinct_dictionaries():
    first, second = pellun_core.get_memory_mb(), pellun_core.get_memory_mb()
    assert first is not second
    first.clear()
    assert set(second) == KEYS


@pytest.mark.core
def test_key_order_varies_between_processes():
    script = ("import json, pellun_core; "
              "print(json.dumps(list(pellun_core.get_memory_mb())))")
    children = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True) for _ in range(30)]
    orders: Counter[tuple[str, ...]] = Counter()
    for child in children:
        out, err = child.communicate(timeout=120)
        assert child.returncode == 0, err
        order = tuple(json.loads(out))
        assert set(order) == KEYS and len(order) == 3
        orders[order] += 1
    assert len(orders) > 1, f"every process listed the keys as {orders}"
    # A map whose order follows its seeds spreads three keys over several
    # orders; one that mostly keeps the insertion order does not.
    assert orders.most_common(1)[0][1] <= 24, f"orders across 30 processes: {orders}"


# --- the real host ----------------------------------------------------------------

def read_host_meminfo() -> dict[str, int]:
    return parse_meminfo(Path("/proc/meminfo").read_text())


def test_total_is_memtotal_rounded():
    total = read_host_meminfo()["MemTotal"]
    assert pellun_core.get_memory_mb()["ram_total_mb"] == mib_one_decimal(total)


def free_used_bytes() -> int:
    out = subprocess.run(["free", "-b"], capture_output=True, text=True, check=True).stdout
    header, mem_line = out.splitlines()[:2]
    columns = header.split()
    values = [int(v) for v in mem_line.split()[1:]]
    row = dict(zip(columns, values, strict=True))
    return row["total"] - row["available"]


def psutil_used_bytes() -> int:
    import psutil

    vm = psutil.virtual_memory()
    return vm.total - vm.available


@pytest.mark.parametrize("reader", [free_used_bytes, psutil_used_bytes],
                         ids=["free", "psutil"])
def test_used_agrees_with_independent_reader(reader):
    # Memory in use moves while we read; allow a few tries at a quiet moment.
    tolerance_mib = 5.0
    differences = []
    for _ in range(5):
        before = reader()
        ours = pellun_core.get_memory_mb()["ram_used_mb"]
        after = reader()
        difference = min(abs(ours - before / 2**20), abs(ours - after / 2**20))
        if difference <= tolerance_mib:
            return
        differences.append(difference)
        time.sleep(0.2)
    pytest.fail(f"used memory differs from {reader.__name__} by {differences} MiB")


def test_percent_matches_used_over_total_on_host():
    result = pellun_core.get_memory_mb()
    # Both figures were rounded to 0.05 MiB at most; the percentage by 0.05.
    implied = 100.0 * result["ram_used_mb"] / result["ram_total_mb"]
    slack = 0.05 + 100.0 * 0.1 / result["ram_total_mb"]
    assert abs(result["ram_percent"] - implied) <= slack
