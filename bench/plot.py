"""The plot beside the report: each contender's median per call along the
load curve, and relative to the I/O floor."""

from __future__ import annotations

from pathlib import Path
from typing import Callable

from contenders import LoadResult, Summary, summary

def plot(results: list[LoadResult], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FormatStrFormatter, NullLocator

    sums = [summary(r) for r in results]
    xs = [s.entries for s in sums]
    fig, (ax, bx) = plt.subplots(1, 2, figsize=(11, 4.6), dpi=110,
                                 gridspec_kw={"width_ratios": [3, 2]})
    # The floor is each ratio's denominator: it has no line on the right.
    series: list[tuple[Callable[[Summary], float], str, str, str]] = [
        (lambda s: s.ps_all_s, "psutil, the same facts", "tab:red", "s"),
        (lambda s: s.mem_s, "get_memory_mb()", "tab:blue", "o"),
        (lambda s: s.cpu_extra_s, "get_cpu_percent() − 100 ms pause", "tab:cyan", "^"),
        (lambda s: s.native_s, "snapshot, native", "tab:green", "D"),
    ]
    for seconds, label, colour, marker in series:
        ys = [seconds(s) * 1e3 for s in sums]
        ax.plot(xs, ys, marker=marker, color=colour, label=label)
        bx.plot(xs, [seconds(s) / s.floor_s for s in sums], marker=marker, color=colour,
                label=label)
    ax.plot(xs, [s.floor_s * 1e3 for s in sums], marker="x", color="black", label="I/O floor")
    for r, s, x in zip(results, sums, xs, strict=True):
        ax.annotate(r.load.label, (x, s.floor_s * 1e3), textcoords="offset points",
                    xytext=(0, -14), ha="center", fontsize=8)
    for a in (ax, bx):
        a.set_xscale("log")
        a.set_yscale("log")
        a.set_xlabel("processes + threads on the host")
        a.grid(True, which="both", alpha=0.3)
    ax.set_ylabel("median time per call (ms)")
    ax.set_title("Cost of one call")
    ax.legend(fontsize=8)
    bx.axhline(1.15, color="grey", linestyle="--", linewidth=1)
    bx.annotate("1.15", (xs[-1], 1.15), textcoords="offset points", xytext=(-4, 3),
                ha="right", fontsize=8, color="grey")
    bx.yaxis.set_major_locator(FixedLocator([0.8, 1, 1.15, 1.5, 2, 3, 4, 6, 8, 12]))
    bx.yaxis.set_major_formatter(FormatStrFormatter("%g"))
    bx.yaxis.set_minor_locator(NullLocator())
    bx.set_ylabel("median ÷ the floor's median")
    bx.set_title("Relative to the I/O floor")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
