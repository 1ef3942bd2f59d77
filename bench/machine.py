"""The facts of the machine and its software that the report's last table
gives, read once at the start of a run."""

from __future__ import annotations

import os
import platform
import subprocess
import sys
from dataclasses import dataclass

import psutil

from commands import rel


@dataclass(frozen=True)
class MachineFacts:
    cpu: str  # the first CPU's model name, "unknown" when /proc/cpuinfo has none
    logical_cpus: int | None  # None when the count cannot be told
    memory_bytes: int  # total
    kernel: str  # release, e.g. "6.1.0-18-amd64"
    arch: str  # e.g. "x86_64"
    python: str  # version and the interpreter's path, relative to the repository
    psutil: str  # version
    compiler: str  # the first line of `c++ --version`

    def rows(self) -> list[list[str]]:
        """The report's rows, in its wording."""
        return [
            ["CPU", self.cpu],
            ["logical CPUs", str(self.logical_cpus)],
            ["memory", f"{self.memory_bytes / 2**30:.1f} GiB"],
            ["kernel", f"Linux {self.kernel} ({self.arch})"],
            ["Python", self.python],
            ["psutil", self.psutil],
            ["compiler", self.compiler],
        ]


def machine_facts() -> MachineFacts:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return MachineFacts(
        cpu=model,
        logical_cpus=os.cpu_count(),
        memory_bytes=psutil.virtual_memory().total,
        kernel=platform.release(),
        arch=platform.machine(),
        python=platform.python_version() + f" ({sys.executable and rel(sys.executable)})",
        psutil=psutil.__version__,
        compiler=subprocess.run(["c++", "--version"], stdout=subprocess.PIPE,
                                text=True).stdout.splitlines()[0],
    )
