"""Host memory and CPU figures, read fresh from Linux /proc and /sys."""

from typing import TypedDict, type_check_only

__all__ = ["get_cpu_percent", "get_memory_mb"]

@type_check_only
class MemoryReport(TypedDict):
    """What get_memory_mb() returns: at run time a plain dict, whose key
    order varies from call to call. This class exists for type checkers
    only; name it in annotations (under typing.TYPE_CHECKING for imports).
    """

    ram_used_mb: float
    """MemTotal less MemAvailable, in MiB (2**20 bytes)."""
    ram_total_mb: float
    """MemTotal, in MiB."""
    ram_percent: float
    """ram_used_mb as a percentage of ram_total_mb."""

def get_memory_mb() -> MemoryReport:
    """Memory in use and in total (MiB) and in use as a percentage.

    Keys: "ram_used_mb", "ram_total_mb", "ram_percent"; each value is
    rounded to one decimal place. A missing MemAvailable is estimated.

    Raises OSError (FileNotFoundError, PermissionError, ...; errno and
    filename set) when /proc/meminfo cannot be opened or read or has no
    usable MemTotal line (errno.ENODATA), and MemoryError when memory runs
    out during the call. A signal handler's exception (KeyboardInterrupt)
    ends a call whose file read it interrupted. An internal fault raises
    PanicException, a BaseException bound in no module: catch
    BaseException.
    """

def get_cpu_percent() -> float:
    """Non-idle share of all CPUs' time across a 100 ms pause, in percent.

    The two readings of /proc/stat are at least 100 ms apart on the
    monotonic clock; signals do not shorten the pause, and their handlers
    run after the call. Raises OSError (errno and filename set) when
    /proc/stat cannot be opened or read or a reading has no aggregate "cpu"
    line (errno.ENODATA), and OSError without a filename when no way of
    waiting or of reading the clock works, and MemoryError when memory runs
    out during the call. A signal handler's exception (KeyboardInterrupt)
    ends a call whose file read it interrupted. An internal fault raises
    PanicException, a BaseException bound in no module: catch
    BaseException.
    """
