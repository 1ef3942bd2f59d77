"""Checks of the benchmark driver's helpers: an aggregate read as a call, a
misread trace or a wrong load argument would put wrong figures in the report
without any other sign."""

from __future__ import annotations

import datetime
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import psutil
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchlib import ARG_PIECE, Load, Side, Spread, md_table, parse_benchmark_json  # noqa: E402
import contenders  # noqa: E402
import loads  # noqa: E402
import mapped  # noqa: E402
import memory  # noqa: E402
import psutil_side  # noqa: E402
import report  # noqa: E402
import starved  # noqa: E402
import tracing  # noqa: E402
from commands import REPO  # noqa: E402
from machine import MachineFacts  # noqa: E402

BUILT = REPO / "build/bench/bench"
FLOOR = BUILT / "floor"
LOAD = BUILT / "load"


class TestStatistics:
    def test_spread_and_round_minimums(self) -> None:
        s = Spread.of([4.0, 1.0, 3.0, 2.0, 5.0])
        assert (s.median, s.iqr, s.minimum, s.count) == (3.0, 2.0, 1.0, 5)
        assert Spread.of([7.0]).iqr == 0.0  # one round: no spread, not an error
        # A native timer gives one median per round; its minimum is the least
        # of the rounds' own minimums, not of the medians.
        side = Side("floor", times_s=[3.0, 2.0, 4.0], mins_s=[1.5, 1.0, 2.5])
        assert side.spread().minimum == 1.0
        assert side.spread().median == 3.0
        assert Side("none").user_per_call() != Side("none").user_per_call()  # NaN


def benchmark_json(entries: list[dict[str, object]]) -> str:
    return json.dumps({"context": {"executable": "x"}, "benchmarks": entries})


def call_entry(i: int, real: float, unit: str = "us", **counters: float) -> dict[str, object]:
    return {"name": "snapshot/iterations:1/repeats:3/real_time", "run_type": "iteration",
            "repetitions": 3, "repetition_index": i, "threads": 1, "iterations": 1,
            "real_time": real, "cpu_time": real / 2, "time_unit": unit, **counters}


class TestNativeOutput:
    def test_calls_without_the_aggregates(self) -> None:
        # Google Benchmark follows the repetitions with their mean, median and
        # spread; taken as calls, they would skew the median and the minimum.
        aggregate = {**call_entry(0, 0.001), "run_type": "aggregate", "aggregate_name": "stddev",
                     "aggregate_unit": "time"}
        run = parse_benchmark_json(benchmark_json(
            [call_entry(0, 3000.0, records=171), call_entry(1, 1000.0, records=171),
             call_entry(2, 2000.0, records=172), aggregate]))
        assert run.times_us == [3000.0, 1000.0, 2000.0]
        assert (run.median_us, run.min_us, run.entries, run.procs) == (2000.0, 1000.0, 172, None)

    def test_time_units_and_the_floor_counters(self) -> None:
        run = parse_benchmark_json(benchmark_json(
            [call_entry(0, 2.5, "ms", entries=142, procs=100, tasks=42)]))
        assert run.times_us == [2500.0] and run.cpu_us == [1250.0]
        assert (run.entries, run.procs) == (142, 100)

    def test_no_calls_or_a_failed_one(self) -> None:
        with pytest.raises(ValueError):
            parse_benchmark_json(benchmark_json([]))
        with pytest.raises(ValueError):
            parse_benchmark_json(benchmark_json(
                [{**call_entry(0, 1.0), "error_occurred": True, "error_message": "boom"}]))

    @pytest.mark.skipif(not FLOOR.exists(), reason="floor not built (make bench-build)")
    def test_the_floor_counts_this_host(self) -> None:
        run = parse_benchmark_json(subprocess.run(
            [str(FLOOR), "-w", "0", "2"], stdout=subprocess.PIPE, text=True, check=True).stdout)
        assert len(run.times_us) == 2 and run.min_us > 0
        procs = sum(1 for d in os.listdir("/proc") if d.isdigit())
        assert run.procs is not None and abs(run.procs - procs) <= 20
        # Any user may open an entry's stat, status, cmdline and statm: the
        # floor's count of files cannot be much under four per entry.
        c = run.counters
        assert run.entries is not None and c["files"] >= 4 * run.entries * 0.9
        # Its own count of system calls, which the report sets beside the
        # call's: each file opened, read to its end and closed, each link read.
        assert c["reads"] >= c["files"]
        assert c["syscalls"] >= 2 * c["files"] + c["reads"] + c["links"]


class TestLoads:
    def test_generator_arguments_count_the_main_thread(self) -> None:
        assert Load(200, 1).load_args() == ["200", "0"]
        assert Load(200, 10).load_args() == ["200", "9"]
        assert Load(1000, 10).label == "1000×10"
        assert Load(0, 0).label == "idle"
        assert Load(1000, 10).key == "1000x10"
        assert Load(0, 0, cpus=256).label == "256 CPUs"
        assert not Load(0, 0, cpus=256).generated
        with pytest.raises(ValueError):
            Load(0, 0, cpus=256).load_args()
        with pytest.raises(ValueError):
            Load(0, 0).load_args()

    def test_neighbours_and_environments(self) -> None:
        spaces = loads.SPACES
        assert spaces.load_args() == ["-a", "19:100000:space", "1", "999"]
        assert loads.LETTERS.load_args() == ["-a", "19:100000:a", "1", "999"]
        assert loads.ENVIRONMENTS.load_args() == ["-e", "1800000", "300", "0"]
        keys = [load.key for load in loads.LOADS + loads.SHAPES]
        assert len(keys) == len(set(keys))  # --shapes picks each by its key
        assert spaces.label == "1×1000, 19 arguments of 100,000 spaces"
        assert loads.UNPRIVILEGED.load_args() == ["1", "999"]
        assert loads.STARVED.load_args() == ["-m", "2", "-i", "-u", "nobody", "1", "999"]
        assert loads.STARVED_SPINNING.load_args()[:3] == ["-m", "2", "-I"]
        assert loads.STARVED.label == "1×1000, a starved lock holder over 2 GiB, as nobody"
        assert loads.EXEC_WINDOW.load_args() == ["-m", "2", "-i", "-x", "2", "-u", "nobody",
                                                 "1", "5"]
        assert loads.TEARDOWN.load_args() == ["-m", "8", "-i", "-x", "2", "-t", "-u", "nobody",
                                              "1", "5"]
        with pytest.raises(ValueError):
            Load(1, 5, storm_gib=2, starved="holding", execs=2)  # no room for the second flipper
        with pytest.raises(ValueError):
            Load(1, 6, storm_gib=8, starved="holding", teardown=True)  # no children to exec
        with pytest.raises(ValueError):
            Load(1, 2, storm_gib=2, starved="holding")  # no room for the two busy threads


class TestReport:
    def test_table(self) -> None:
        t = md_table(["a", "b"], [["x|y", "1"]])
        assert t.splitlines() == ["| a | b |", "|:---|---:|", "| x\\|y | 1 |"]
        with pytest.raises(ValueError):
            md_table(["a", "b"], [["only one"]])

    def test_perf_report_lines(self) -> None:
        m = tracing.PERF_LINE.match("     3.78%  libc.so.6             [.] read")
        assert m and (m[1], m[2], m[3], m[4]) == ("3.78", "libc.so.6", ".", "read")
        m = tracing.PERF_LINE.match(
            "     0.39%  snapshot_bench        [.] std::_Hashtable<int, std::pair<int const> >::clear")
        assert m and m[4] == "std::_Hashtable<int, std::pair<int const> >::clear"
        m = tracing.PERF_DSO_LINE.match("    83.53%  [kernel.kallsyms]   ")
        assert m and (m[1], m[2]) == ("83.53", "[kernel.kallsyms]")

    def test_memory_section_survives_both_runs(self) -> None:
        # A full run rewrites the report and must keep what --memory wrote;
        # --memory must replace its own section and touch nothing else.
        full = "# Performance\n\nheadline\n\n## The machine and the run\n\nmachine\n"
        first = memory.with_memory_section(full, "## Memory per entry\n\nold table\n")
        second = memory.with_memory_section(first, "## Memory per entry\n\nnew table\n")
        assert "old table" not in second
        assert second.index("new table") < second.index("## The machine")
        kept = memory.memory_section_of(second)
        assert memory.with_memory_section(second, kept) == second  # no growth run to run
        assert memory.with_memory_section(second, "") == full
        # --mapped's section comes after it and keeps its place when --memory runs again.
        h = memory.MAPPED_HEADING
        third = memory.with_memory_section(second, h + "\n\narm table\n", h)
        fourth = memory.with_memory_section(third, "## Memory per entry\n\nnewer table\n")
        assert fourth.index("newer table") < fourth.index("arm table") < fourth.index("## The machine")
        assert memory.memory_section_of(fourth, h) == h + "\n\narm table\n"


class TestCallTrace:
    def test_counts_between_the_marks_per_thread_group(self) -> None:
        start, end = tracing.MARK_START, tracing.MARK_END
        lines = [
            '7 openat(AT_FDCWD, "/proc/1/environ", O_RDONLY|O_CLOEXEC) = 3</proc/1/environ>',
            f'7 openat(AT_FDCWD, "{start}", O_RDONLY) = -1 ENOENT (No such file or directory)',
            '7 openat(AT_FDCWD, "/proc", O_RDONLY|O_CLOEXEC|O_DIRECTORY) = 3</proc>',
            '7 getdents64(3</proc>, 0x55 /* 3 entries */, 32768) = 80',
            '7 openat(3</proc>, "5/task", O_RDONLY|O_DIRECTORY) = 4</proc/5/task>',
            '7 openat(4</proc/5/task>, "6/environ", O_RDONLY) = -1 EACCES (Permission denied)',
            '7 openat(3</proc>, "5/environ", O_RDONLY) = -1 EACCES (Permission denied)',
            '7 readlinkat(4</proc/5/task>, "6/exe", 0x7f, 4096) = -1 EACCES (Permission denied)',
            '7 readlink("/proc/8/exe", "/usr/bin/sleep", 4096) = 14',
            '7 openat(3</proc>, "8/stat", O_RDONLY|O_CLOEXEC) = 5</proc/8/stat>',
            '7 read(5</proc/8/stat>, "8 (sleep) S 1 8 8 0 -1 4194304"..., 16384) = 300',
            '7 read(5</proc/8/stat>, "", 16084) = 0',
            '7 close(5</proc/8/stat>) = 0',
            f'7 openat(AT_FDCWD, "{end}", O_RDONLY) = -1 ENOENT (No such file or directory)',
            '7 read(3, "", 10) = 0',
        ]
        trace = tracing.parse_call_trace(lines)
        assert trace.syscalls == 11
        assert (trace.reads, trace.files_opened) == (2, 1)  # no directory, no failed open
        assert trace.tries_of("environ", 5) == 2 and trace.tries_of("environ") == 2
        assert trace.tries_of("exe", 5) == 1 and trace.tries_of("exe") == 2
        assert trace.groups() == 2
        with pytest.raises(ValueError):
            tracing.parse_call_trace(lines[2:])


class TestPsutilSide:
    def test_a_record_holds_every_field(self) -> None:
        record = psutil_side.psutil_record(psutil.Process(os.getpid()))
        assert set(record) == set(psutil_side.PSUTIL_ATTRS)
        assert record["ppid"] == os.getppid()
        assert record["cmdline"] and record["environ"] is not None

    def test_a_field_psutil_cannot_read_keeps_the_others(self) -> None:
        # A kernel thread has no environment; psutil reports that as a
        # vanished process, which must not cost the record its other fields.
        kthreads = [p for p in psutil.process_iter(["ppid"]) if p.pid == 2 or p.info["ppid"] == 2]
        if not kthreads:
            pytest.skip("no kernel threads visible")
        record = psutil_side.psutil_record(kthreads[0])
        assert record["name"]
        assert record["create_time"]

    def test_every_thread_is_a_record(self, monkeypatch: pytest.MonkeyPatch) -> None:
        import threading

        me = psutil.Process()
        monkeypatch.setattr(psutil, "process_iter", lambda: iter([me]))
        stop = threading.Event()
        extra = [threading.Thread(target=stop.wait) for _ in range(3)]
        for t in extra:
            t.start()
        try:
            # The process itself and each of its threads besides the leader.
            assert psutil_side.psutil_same_facts() == len(me.threads())
            assert len(me.threads()) >= 4
        finally:
            stop.set()
            for t in extra:
                t.join()


def synthetic_result(load: Load, scale: float) -> contenders.LoadResult:
    """A load's result with known medians: floor 10 ms, snapshot 11 ms,
    get_memory_mb() 12 ms, get_cpu_percent() 113 ms, psutil 60 ms (times
    `scale`)."""
    sides = contenders.Sides()
    per_call = {"floor": 0.010, "native": 0.011, "mem": 0.012, "cpu": 0.100 + 0.013,
                "ps_all": 0.060, "ps_vm": 0.0001, "ps_cpu": 0.1005}
    for key, t in per_call.items():
        t = t * scale if key not in ("cpu", "ps_cpu") else t + (scale - 1) * (t - 0.1)
        side = sides.of(key)
        side.times_s = [t * 0.9, t, t * 1.2]
        side.calls = 3
        side.cpu_user_s = 3 * t * 0.1
        side.cpu_sys_s = 3 * t * 0.8
    return contenders.LoadResult(
        load, sides, rounds=3, entries=[int(100 * scale)] * 3, procs=[80] * 3,
        psutil_entries=[int(100 * scale)] * 3, native_ratios=[1.1, 1.0, 1.2],
        loadavg=[(1.0, 1.0, 1.0)] * 3,
        import_pellun_core_s=[0.002], import_psutil_s=[0.05],
        peak_mem=memory.PeakMemory([2.0**20], [2.0**19]),
        peak_psutil=memory.PeakMemory([2.0**19], [0.0]), seconds=10.0)


class TestSummaryAndReport:
    def test_ratios_point_the_right_way(self) -> None:
        s = contenders.summary(synthetic_result(Load(0, 0), 1.0))
        assert s.native_ratio == pytest.approx(1.1)
        assert s.mem_ratio == pytest.approx(1.2)
        assert s.speedup == pytest.approx(5.0)  # psutil takes 5 times as long
        assert s.cpu_extra_s == pytest.approx(0.013)
        assert s.native_cpu_ratio == pytest.approx(1.1)

    def test_report_holds_every_load_and_section(self, tmp_path: Path) -> None:
        results = [synthetic_result(Load(0, 0), 1.0), synthetic_result(Load(200, 10), 10.0)]
        idle = tracing.IdleCounts(entries=100, groups=80, syscalls=2500, reads=600,
                                  files_opened=500, status_opens=180, statm_opens=100,
                                  floor_syscalls_per_entry=30.0, floor_reads_per_file=1.9)
        # Worst calls 0.3 s beside the holder and 0.2 s beside it spinning.
        beside = starved.StarvedResult(
            rounds=1,
            holding=starved.StarvedTurns(calls_s=[0.1, 0.3], sigint_s=[0.25, 0.01],
                                         sigint_in_call=2, plain_read_s=[2.5]),
            spinning=starved.StarvedTurns(calls_s=[0.2, 0.1], sigint_s=[0.02, 0.01],
                                          sigint_in_call=1, plain_read_s=[0.001]),
            loadavg=[3.0, 4.0])
        machine = MachineFacts(cpu="test", logical_cpus=2, memory_bytes=2**30, kernel="6.1",
                               arch="x86_64", python="3.13", psutil="7", compiler="c++")
        run = report.Run(results, machine, [contenders.ParserTiming("meminfo", 7.5, 2**30)],
                         datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc), 60.0,
                         argv=["bench/run_bench.py"], commands=[], idle=idle, starved=[beside])
        report.write_report(run, tmp_path / "perf.md")
        text = (tmp_path / "perf.md").read_text()
        assert (tmp_path / "perf.png").stat().st_size > 10_000
        # Each target beside the figure measured, or "not measured" where the
        # run left its shape out.
        assert "| get_memory_mb() ÷ floor, idle | ≤ 0.9× | 1.20× | no |" in text
        assert "| system calls per entry, one call at idle | ≤ 21 | 25.00 | no |" in text
        assert "| get_memory_mb() ÷ floor, 1000x10 | ≤ 0.72× | not measured |  |" in text
        assert "spaces ÷ letters neighbour | ≤ 2× | not measured |" in text
        assert "2 children exec'ing in it, as nobody | ≤ 200 ms | not measured |" in text
        # The goals of the starved pair: the holder's worst call over the
        # spinning one's, and the holder's slowest SIGINT.
        assert "÷ 1×1000, the same neighbour spinning, 2 GiB mapped, as nobody | ≤ 3× | 1.50× | yes |" in text
        assert "a starved lock holder over 2 GiB, as nobody | ≤ 200 ms | 250.00 ms | no |" in text
        assert ("| 1×1000, a starved lock holder over 2 GiB, as nobody | 2500 | 2500 | 2 | 200 | 300 "
                "| 130 | 250 | 2 of 2 |") in text
        assert "200 ms: 1 of 2 beside the holder, 0 of 2 beside the same process spinning" in text
        for heading in ("## Headline", "### idle", "### 200×10", "## Where the time goes",
                        "## Against the targets", "## A starved lock holder of another user",
                        "## The parsers", "## How to reproduce"):
            assert heading in text
        # Headline row of the loaded run: floor 100 ms, snapshot 110 ms.
        assert "| 200×10 | 1000 | 100 | 110 | 1.10× |" in text
        assert "no profile" in text  # no perf data in these results
        assert "2026-01-01" in text
        assert "| kernel | Linux 6.1 (x86_64) |" in text
        assert "| meminfo | 7.5 | 1,024 |" in text
        assert "get_memory_mb() 1.00 MiB, psutil gathering the same facts 0.50 MiB" in text
        assert "still resident once the call has returned: 0.50 MiB and 0.00 MiB" in text


class TestFreshInterpreters:
    def test_the_snippets_find_what_they_measure(self) -> None:
        # A fresh interpreter imports the contenders by module name from
        # bench/: one moved or renamed fails there, in the middle of a run.
        held = memory.peak_added("ps_held", 1)
        assert len(held.peak_bytes) == len(held.kept_bytes) == 1
        assert held.peak_bytes[0] >= 0
        assert memory.import_times("psutil", 1)[0] > 0


def thread_ticks(pid: int, tid: int) -> int:
    """User plus system clock ticks of one thread (/proc/TID/stat would
    give its whole thread group's)."""
    with open(f"/proc/{pid}/task/{tid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


@pytest.mark.skipif(not LOAD.exists(), reason="load not built (make bench-build)")
class TestLoadHolder:
    def test_load_starts_and_leaves_nothing_behind(self) -> None:
        with loads.holding(LOAD, Load(3, 2)) as holder:
            holder.ensure(5)
            assert holder.proc is not None and holder.starts == 1
            children = psutil.Process(holder.proc.pid).children()
            assert len(children) == 3
            assert all(c.num_threads() == 2 for c in children)
            holder.ensure(5)  # still time enough: the same load goes on
            assert holder.starts == 1
        psutil.wait_procs(children, timeout=5)
        assert not any(c.is_running() for c in children)

    def test_each_process_holds_its_fillers(self) -> None:
        load = Load(2, 1, arg_bytes=2 * ARG_PIECE, fill=" ", env_bytes=250_000)
        with loads.holding(LOAD, load) as holder:
            holder.ensure(5)
            assert holder.proc is not None
            children = psutil.Process(holder.proc.pid).children()
            assert len(children) == 2
            for child in children:
                with open(f"/proc/{child.pid}/cmdline", "rb") as f:
                    args = f.read().split(b"\0")
                assert args.count(b" " * ARG_PIECE) == 2
                # Nothing but the filler: a list of spaces alone must be what
                # the neighbour shows.
                assert set(b"".join(args)) == {ord(" ")}
                with open(f"/proc/{child.pid}/environ", "rb") as f:
                    filler = [v for v in f.read().split(b"\0") if v.startswith(b"LOAD_FILL_")]
                assert sum(len(v.split(b"=", 1)[1]) for v in filler) == load.env_bytes


    def test_a_starved_holder_runs_as_its_owner(self) -> None:
        """The neighbour must be the owner's in every id and dumpable (else
        its /proc files are root's and a call would treat it as the caller's
        own), its holding thread at SCHED_IDLE and the two others busy."""
        if os.geteuid() != 0:
            pytest.skip("needs root, to run the load as another user")
        for kind in ("holding", "spinning"):
            load = Load(1, 4, storm_gib=1, starved=kind, owner="nobody")
            with loads.holding(LOAD, load) as holder:
                holder.ensure(5)
                assert holder.proc is not None
                (child,) = psutil.Process(holder.proc.pid).children()
                nobody = psutil.Process(child.pid)
                assert set(nobody.uids()) == {65534}
                assert os.stat(f"/proc/{child.pid}/cmdline").st_uid == 65534
                tasks = sorted(t.id for t in nobody.threads())
                assert len(tasks) == 4 and tasks[0] == child.pid
                assert os.sched_getscheduler(child.pid) == os.SCHED_IDLE
                assert [os.sched_getscheduler(t) for t in tasks[1:]] == [os.SCHED_OTHER] * 3
                time.sleep(1)  # sleeping threads have next to no CPU time
                busy = [thread_ticks(child.pid, t) >= 1 for t in tasks[1:]]
                assert sorted(busy) == [False, True, True]


class TestProfileSection:
    def test_shares_split_kernel_stubs_allocator_and_program(self) -> None:
        res = synthetic_result(Load(1000, 10), 100.0)
        snap = tracing.Profile(
            samples_by_dso={"[kernel.kallsyms]": 80.0, "libc.so.6": 15.0, "snapshot_bench": 5.0},
            top_symbols=[(9.0, "libc.so.6", "read"), (5.0, "snapshot_bench", "parse"),
                         (4.0, "libc.so.6", "_int_malloc")],
            syscall_wrappers=11.0)
        floor = tracing.Profile({"[kernel.kallsyms]": 89.0, "libc.so.6": 10.5,
                                 "floor": 0.5}, [], 10.0)
        res.snapshot_profile, res.floor_profile = snap, floor
        text = report.profile_section([res])
        assert "| 1000×10: snapshot | 80.0 | 11.0 | 4.0 | 5.0 |" in text
        assert "| 1000×10: floor | 89.0 | 10.0 | 0.5 | 0.5 |" in text
        assert "| 5.00 | snapshot_bench | `parse` |" in text

    def test_stubs_are_only_the_kernel_entries(self) -> None:
        for stub in ("read", "__libc_openat64", "__close", "readlinkat"):
            assert stub in tracing.SYSCALL_STUBS
        for work in ("_int_malloc", "__memchr_avx2", "malloc_consolidate"):
            assert work not in tracing.SYSCALL_STUBS


def test_mapped_peak_reads_both_traces_and_counts_only_the_second_call() -> None:
    # strace's spelling: the first call's 1 MiB and the mapping made before
    # the call are not the second call's; a partial munmap gives back its
    # part; the break's growth adds to what is mapped at the time.
    strace = """\
9 brk(NULL) = 0x1000000
9 mmap(NULL, 4096, PROT_READ|PROT_WRITE, MAP_PRIVATE|MAP_ANONYMOUS, -1, 0) = 0x7f0000000000
9 getppid() = 1
9 mmap(NULL, 1048576, PROT_READ|PROT_WRITE, MAP_PRIVATE|MAP_ANONYMOUS, -1, 0) = 0x7f1000000000
9 munmap(0x7f1000000000, 1048576) = 0
9 getppid() = 1
9 mmap(NULL, 65536, PROT_READ|PROT_WRITE, MAP_PRIVATE|MAP_ANONYMOUS, -1, 0) = 0x7f2000000000
9 mmap(NULL, 8192, PROT_READ, MAP_PRIVATE, 3, 0) = 0x7f3000000000
9 munmap(0x7f2000008000, 32768) = 0
9 brk(0x1010000) = 0x1010000
9 mmap(NULL, 32768, PROT_READ|PROT_WRITE, MAP_PRIVATE|MAP_ANONYMOUS, -1, 0) = 0x7f4000000000
9 munmap(0x7f0000000000, 4096) = 0
9 munmap(0x7f4000000000, 32768) = 0
9 getppid() = 1
"""
    # 64 KiB, less 32 KiB, plus 64 KiB of break and 32 KiB more.
    assert mapped.mapped_peak(strace.splitlines()) == (32 + 64 + 32) * 1024
    qemu = """\
7 getppid() = 1
7 getppid() = 1
7 brk(0x00538000) = 0x00538000
7 mmap2(NULL,262144,PROT_READ|PROT_WRITE,MAP_PRIVATE|MAP_ANONYMOUS,-1,0) = 0x3fbcc000
7 mremap(0x3fbcc000,262144,524288,1) = 0x3fa00000
7 munmap(0x3fa00000,524288) = 0
7 getppid() = 1
"""
    # No break before the call: its moves are not counted against an unknown base.
    assert mapped.mapped_peak(qemu.splitlines()) == 512 * 1024
    with pytest.raises(ValueError):
        mapped.mapped_peak(qemu.splitlines(), call=3)
