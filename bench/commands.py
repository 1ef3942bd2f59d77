"""Where the benchmark stands, and the record of every external command a
run started, which the report lists so that a reader can run them again."""

from __future__ import annotations

import os
import shlex
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
DRIVER = BENCH / "run_bench.py"

COMMANDS: list[str] = []  # every external command this run started, once each


def rel(path: Path | str) -> str:
    try:
        return str(Path(os.path.abspath(path)).relative_to(REPO))
    except ValueError:
        return str(path)


def note_command(argv: list[str]) -> None:
    text = shlex.join(rel(a) if "/" in a else a for a in argv)
    if text not in COMMANDS:
        COMMANDS.append(text)


def note_commands(texts: list[str]) -> None:
    """Commands another process of this run noted, as note_command left them."""
    for text in texts:
        if text not in COMMANDS:
            COMMANDS.append(text)
