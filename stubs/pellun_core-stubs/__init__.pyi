"""Host memory and CPU figures, read fresh from Linux /proc and /sys."""

__all__ = ["get_cpu_percent", "get_memory_mb"]

def get_memory_mb() -> dict[str, float]:
    """Memory in use and in total (MiB) and in use as a percentage.

    Keys: "ram_used_mb", "ram_total_mb", "ram_percent"; each value is
    rounded to one decimal place.
    """

def get_cpu_percent() -> float:
    """Non-idle share of all CPUs' time across a 100 ms pause, in percent."""
