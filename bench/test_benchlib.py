"""Checks of the benchmark driver's helpers: a wrong quantile, a misread
timer line or a wrong load argument would put wrong figures in the report
without any other sign."""

from __future__ import annotations

import argparse
import datetime
import os
import random
import statistics
import sys
from pathlib import Path

import psutil
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchlib import Load, Side, Spread, md_table, parse_native_output, quantile  # noqa: E402
import run_bench  # noqa: E402


class TestStatistics:
    def test_quantiles_agree_with_the_standard_library(self) -> None:
        rng = random.Random(7)
        for n in (2, 3, 4, 10, 101):
            values = [rng.uniform(0, 1000) for _ in range(n)]
            q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
            assert quantile(values, 0.25) == pytest.approx(q1)
            assert quantile(values, 0.5) == pytest.approx(q2)
            assert quantile(values, 0.75) == pytest.approx(q3)
            assert quantile(values, 0.5) == pytest.approx(statistics.median(values))

    def test_ends_and_bad_input(self) -> None:
        assert quantile([5.0, 1.0, 3.0], 0.0) == 1.0
        assert quantile([5.0, 1.0, 3.0], 1.0) == 5.0
        assert quantile([4.0], 0.75) == 4.0
        with pytest.raises(ValueError):
            quantile([], 0.5)
        with pytest.raises(ValueError):
            quantile([1.0], 1.5)

    def test_spread_and_round_minimums(self) -> None:
        s = Spread.of([4.0, 1.0, 3.0, 2.0, 5.0])
        assert (s.median, s.iqr, s.minimum, s.count) == (3.0, 2.0, 1.0, 5)
        # A native timer gives one median per round; its minimum is the least
        # of the rounds' own minimums, not of the medians.
        side = Side("floor", times_s=[3.0, 2.0, 4.0], mins_s=[1.5, 1.0, 2.5])
        assert side.spread().minimum == 1.0
        assert side.spread().median == 3.0
        assert Side("none").user_per_call() != Side("none").user_per_call()  # NaN


class TestNativeOutput:
    def test_floor_lines(self) -> None:
        text = (
            "floor: 30 iters, procs 100 + tasks 42 = 142 entries, 427 KiB read/call, budget 10000\n"
            "floor: median 2510.3 us/call  (min 2400.1, p90 2700.0)  17.68 us/entry\n"
        )
        run = parse_native_output(text)
        assert (run.median_us, run.min_us, run.p90_us) == (2510.3, 2400.1, 2700.0)
        assert (run.entries, run.procs) == (142, 100)

    def test_floor_with_options_and_breakdown(self) -> None:
        text = (
            "floor -a -b: 5 iters, procs 7 + tasks 3 = 10 entries, 1 KiB read/call, budget 512\n"
            "floor -a -b: median 10.0 us/call  (min 9.0, p90 11.0)  1.00 us/entry\n"
            "  stat               1.0 us/call  10.0%     0.10 us/op\n"
        )
        run = parse_native_output(text)
        assert run.median_us == 10.0 and run.entries == 10

    def test_snapshot_lines(self) -> None:
        text = (
            "snapshot: 30 iters, 145 records\n"
            "snapshot: median 2610.0 us/call  (min 2500.0, p90 2800.0)\n"
        )
        run = parse_native_output(text)
        assert (run.median_us, run.entries, run.procs) == (2610.0, 145, None)

    def test_no_timing_line(self) -> None:
        with pytest.raises(ValueError):
            parse_native_output("snapshot: 30 iters, 145 records\n")


class TestLoads:
    def test_generator_arguments_count_the_main_thread(self) -> None:
        assert Load(200, 1).load_args() == ["200", "0"]
        assert Load(200, 10).load_args() == ["200", "9"]
        assert Load(1000, 10).load_args() == ["1000", "9"]
        assert Load(1000, 10).label == "1000×10"
        assert Load(0, 0).label == "idle"
        assert Load(1000, 10).key == "1000x10"
        big_args = Load(1, 1000, arg_bytes=1_500_000)
        assert big_args.label == "1 process of 1000 threads, 1.5 MB of arguments"
        assert Load(0, 0, cpus=256).label == "256 CPUs"
        for shape in (big_args, Load(0, 0, cpus=256)):
            assert not shape.generated
            with pytest.raises(ValueError):
                shape.load_args()
        with pytest.raises(ValueError):
            Load(0, 0).load_args()


class TestReport:
    def test_table(self) -> None:
        t = md_table(["a", "b"], [["x|y", "1"]])
        assert t.splitlines() == ["| a | b |", "|:---|---:|", "| x\\|y | 1 |"]
        with pytest.raises(ValueError):
            md_table(["a", "b"], [["only one"]])

    def test_perf_report_lines(self) -> None:
        m = run_bench.PERF_LINE.match("     3.78%  libc.so.6             [.] read")
        assert m and (m[1], m[2], m[3], m[4]) == ("3.78", "libc.so.6", ".", "read")
        m = run_bench.PERF_LINE.match(
            "     0.39%  snapshot_bench        [.] std::_Hashtable<int, std::pair<int const> >::clear")
        assert m and m[4] == "std::_Hashtable<int, std::pair<int const> >::clear"
        m = run_bench.PERF_DSO_LINE.match("    83.53%  [kernel.kallsyms]   ")
        assert m and (m[1], m[2]) == ("83.53", "[kernel.kallsyms]")


class TestPsutilSide:
    def test_a_record_holds_every_field(self) -> None:
        record = run_bench.psutil_record(psutil.Process(os.getpid()))
        assert set(record) == set(run_bench.PSUTIL_ATTRS)
        assert record["ppid"] == os.getppid()
        assert record["cmdline"] and record["environ"] is not None

    def test_a_field_psutil_cannot_read_keeps_the_others(self) -> None:
        # A kernel thread has no environment; psutil reports that as a
        # vanished process, which must not cost the record its other fields.
        kthreads = [p for p in psutil.process_iter(["ppid"]) if p.pid == 2 or p.info["ppid"] == 2]
        if not kthreads:
            pytest.skip("no kernel threads visible")
        record = run_bench.psutil_record(kthreads[0])
        assert record["name"]
        assert record["create_time"]

    def test_every_thread_is_a_record(self, monkeypatch: pytest.MonkeyPatch) -> None:
        import threading

        me = psutil.Process()
        monkeypatch.setattr(run_bench.psutil, "process_iter", lambda: iter([me]))
        stop = threading.Event()
        extra = [threading.Thread(target=stop.wait) for _ in range(3)]
        for t in extra:
            t.start()
        try:
            # The process itself and each of its threads besides the leader.
            assert run_bench.psutil_same_facts() == len(me.threads())
            assert len(me.threads()) >= 4
        finally:
            stop.set()
            for t in extra:
                t.join()


def synthetic_result(load: Load, scale: float) -> run_bench.LoadResult:
    """A load's result with known medians: floor 10 ms, snapshot 11 ms,
    get_memory_mb() 12 ms, get_cpu_percent() 113 ms, psutil 60 ms (times
    `scale`)."""
    sides = {key: Side(key) for key, _ in run_bench.SIDES}
    per_call = {"floor": 0.010, "native": 0.011, "mem": 0.012, "cpu": 0.100 + 0.013,
                "ps_all": 0.060, "ps_vm": 0.0001, "ps_cpu": 0.1005}
    for key, t in per_call.items():
        t = t * scale if key not in ("cpu", "ps_cpu") else t + (scale - 1) * (t - 0.1)
        sides[key].times_s = [t * 0.9, t, t * 1.2]
        sides[key].calls = 3
        sides[key].cpu_user_s = 3 * t * 0.1
        sides[key].cpu_sys_s = 3 * t * 0.8
    return run_bench.LoadResult(
        load, sides, rounds=3, entries=[int(100 * scale)] * 3, procs=[80] * 3,
        psutil_entries=[int(100 * scale)] * 3, native_ratios=[1.1, 1.0, 1.2],
        loadavg=[(1.0, 1.0, 1.0)] * 3,
        import_s={"pellun_core": [0.002], "psutil": [0.05]},
        peak_bytes={"mem": [2.0**20], "ps_all": [2.0**19]},
        kept_bytes={"mem": [2.0**19], "ps_all": [0.0]}, seconds=10.0)


class TestSummaryAndReport:
    def test_ratios_point_the_right_way(self) -> None:
        s = run_bench.summary(synthetic_result(Load(0, 0), 1.0))
        assert s["native_ratio"] == pytest.approx(1.1)
        assert s["mem_ratio"] == pytest.approx(1.2)
        assert s["speedup"] == pytest.approx(5.0)  # psutil takes 5 times as long
        assert s["cpu_extra"] == pytest.approx(0.013)
        assert s["native_cpu_ratio"] == pytest.approx(1.1)

    def test_report_holds_every_load_and_section(self, tmp_path: Path) -> None:
        results = [synthetic_result(Load(0, 0), 1.0), synthetic_result(Load(200, 10), 10.0)]
        args = argparse.Namespace(out=tmp_path / "perf.md", argv=["bench/run_bench.py"])
        run_bench.write_report(args, results, {"CPU": "test"}, "| parsers |",
                               datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc), 60.0)
        text = (tmp_path / "perf.md").read_text()
        assert (tmp_path / "perf.png").stat().st_size > 10_000
        for heading in ("## Headline", "### idle", "### 200×10", "## Where the time goes",
                        "## The parsers", "## How to reproduce"):
            assert heading in text
        # Headline row of the loaded run: floor 100 ms, snapshot 110 ms.
        assert "| 200×10 | 1000 | 100 | 110 | 1.10× |" in text
        assert "no profile" in text  # no perf data in these results
        assert "2026-01-01" in text
        assert "get_memory_mb() 1.00 MiB, psutil gathering the same facts 0.50 MiB" in text
        assert "still resident once the call has returned: 0.50 MiB and 0.00 MiB" in text


@pytest.mark.skipif(not (run_bench.REPO / "build/bench/yard-load").exists(),
                    reason="yard-load not built (make bench-build)")
class TestLoadHolder:
    def test_load_starts_and_leaves_nothing_behind(self) -> None:
        exe = run_bench.REPO / "build/bench/yard-load"
        with run_bench.holding(exe, Load(3, 2)) as holder:
            holder.ensure(5)
            assert holder.proc is not None and holder.starts == 1
            children = psutil.Process(holder.proc.pid).children()
            assert len(children) == 3
            assert all(c.num_threads() == 2 for c in children)
            holder.ensure(5)  # still time enough: the same load goes on
            assert holder.starts == 1
        psutil.wait_procs(children, timeout=5)
        assert not any(c.is_running() for c in children)


class TestProfileSection:
    def test_shares_split_kernel_stubs_allocator_and_program(self) -> None:
        res = synthetic_result(Load(1000, 10), 100.0)
        snap = run_bench.Profile(
            samples_by_dso={"[kernel.kallsyms]": 80.0, "libc.so.6": 15.0, "snapshot_bench": 5.0},
            top_symbols=[(9.0, "libc.so.6", "read"), (5.0, "snapshot_bench", "parse"),
                         (4.0, "libc.so.6", "_int_malloc")],
            syscall_wrappers=11.0)
        floor = run_bench.Profile({"[kernel.kallsyms]": 89.0, "libc.so.6": 10.5,
                                   "yard-floor": 0.5}, [], 10.0)
        res.profiles = {"snapshot": snap, "floor": floor}
        text = run_bench.profile_section([res])
        assert "| 1000×10: snapshot | 80.0 | 11.0 | 4.0 | 5.0 |" in text
        assert "| 1000×10: floor | 89.0 | 10.0 | 0.5 | 0.5 |" in text
        assert "| 5.00 | snapshot_bench | `parse` |" in text

    def test_stubs_are_only_the_kernel_entries(self) -> None:
        for stub in ("read", "__libc_openat64", "__close", "readlinkat"):
            assert stub in run_bench.SYSCALL_STUBS
        for work in ("_int_malloc", "__memchr_avx2", "malloc_consolidate"):
            assert work not in run_bench.SYSCALL_STUBS
