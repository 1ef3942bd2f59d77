"""psutil as a contender: gathering, for every process and thread, what one
snapshot holds. A module of its own, as fresh interpreters import it to
measure its peak memory (bench/memory.py)."""

from __future__ import annotations

import psutil

# The fields a snapshot holds for each process and thread, as psutil names
# them. psutil has no "root" link; the snapshot reads one more link per entry.
PSUTIL_ATTRS = [
    "name", "ppid", "status", "create_time", "cpu_times", "uids", "gids", "exe",
    "cmdline", "environ", "cwd", "memory_info", "io_counters",
]


def psutil_record(proc: psutil.Process) -> dict[str, object]:
    """One record's fields, each on its own: a kernel thread has no
    environment, which psutil reports as a vanished process, and that must
    not lose the other fields."""
    record: dict[str, object] = {}
    with proc.oneshot():
        for attr in PSUTIL_ATTRS:
            try:
                record[attr] = getattr(proc, attr)()
            except psutil.Error:
                record[attr] = None
    return record


def psutil_same_facts(hold: bool = False) -> int:
    """Memory, CPU times and frequencies, and for every process and every
    thread the fields of a snapshot record; then memory again, as
    get_memory_mb() refreshes it. Returns the entries gathered. With `hold`,
    every record is kept until the end, as a snapshot keeps its table."""
    held: list[dict[str, object]] = []
    keep = held.append if hold else (lambda record: None)
    psutil.virtual_memory()
    psutil.cpu_times(percpu=True)
    psutil.cpu_freq(percpu=True)
    psutil.boot_time()
    entries = 0
    for proc in psutil.process_iter():
        try:
            tids = [t.id for t in proc.threads()]
        except psutil.Error:
            tids = []
        keep(psutil_record(proc))
        entries += 1
        for tid in tids:
            if tid == proc.pid:
                continue
            try:
                thread = psutil.Process(tid)
            except psutil.Error:
                continue
            keep(psutil_record(thread))
            entries += 1
    psutil.virtual_memory()
    return entries
