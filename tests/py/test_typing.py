"""The shipped type stubs, as mypy and pyright see them from the installed
package."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

import pellun_core

# The stubs are one file for every interpreter and machine: they are checked
# where the project's own venv runs the tests, which has the checkers.
CHECKERS_HERE = (importlib.util.find_spec("mypy") is not None
                 and (pathlib.Path(sys.executable).parent / "basedpyright").exists())
pytestmark = pytest.mark.skipif(
    not CHECKERS_HERE, reason=f"no mypy and basedpyright beside {sys.executable}: the stubs, "
    "the same for every interpreter, are checked with the project's own")

MISUSE = """\
import pellun_core

wrong_cpu: str = pellun_core.get_cpu_percent()
wrong_memory: list[int] = pellun_core.get_memory_mb()
misspelt: float = pellun_core.get_memory_mb()["ram_usd_mb"]
"""


def correct_use() -> str:
    """Correct use, with a literal of the keys one call returns given the
    declared result type: it checks only if the stub names exactly the keys
    the module returns, none missing and none extra."""
    keys = sorted(pellun_core.get_memory_mb())
    literal = ", ".join(f"{key!r}: 0.0" for key in keys)
    return f"""\
import pellun_core

cpu: float = pellun_core.get_cpu_percent()
memory = pellun_core.get_memory_mb()
used: float = memory["ram_used_mb"]
same_keys: pellun_core.MemoryReport = {{{literal}}}
"""


def tool(name: str) -> str:
    path = pathlib.Path(sys.executable).parent / name
    assert path.exists(), f"{name} is not installed beside {sys.executable}"
    return str(path)


def installed_stubs() -> list[pathlib.Path]:
    """Every stub file for the module beside the module the tests import."""
    site = pathlib.Path(pellun_core.__file__).parent
    return sorted(site.glob("pellun_core*.pyi")) + sorted(site.glob("pellun_core-stubs/**/*.pyi"))


def run_mypy(directory: pathlib.Path) -> subprocess.CompletedProcess:
    # -v logs each file mypy parses, and so which copy of the stubs it read.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "-v",
         "--python-executable", sys.executable, "snippet.py"],
        cwd=directory, capture_output=True, text=True, timeout=300,
    )


def run_pyright(directory: pathlib.Path) -> subprocess.CompletedProcess:
    return subprocess.run(
        [tool("basedpyright"), "--pythonpath", sys.executable, "snippet.py"],
        cwd=directory, capture_output=True, text=True, timeout=300,
        env=dict(os.environ, NO_COLOR="1"),
    )


@pytest.fixture
def snippet(tmp_path):
    def write(text: str) -> pathlib.Path:
        (tmp_path / "snippet.py").write_text(text)
        return tmp_path

    return write


@pytest.mark.parametrize("checker", [run_mypy, run_pyright], ids=["mypy", "pyright"])
def test_misuse_is_reported(checker, snippet):
    done = checker(snippet(MISUSE))
    output = done.stdout + done.stderr
    assert done.returncode != 0, output
    # Both wrong assignments and the misspelt key, by line, and both declared
    # types and the key named.
    for line in (3, 4, 5):
        assert f"snippet.py:{line}" in output, output
    assert '"float"' in output and "MemoryReport" in output, output
    assert "ram_usd_mb" in output, output
    # The types come from the one stub file the package installs: a second
    # copy that no checker reads could drift from the module unnoticed.
    stubs = installed_stubs()
    assert len(stubs) == 1, stubs
    if checker is run_mypy:
        assert f"Parsing {stubs[0]} (pellun_core)" in output, stubs[0]


@pytest.mark.parametrize("checker", [run_mypy, run_pyright], ids=["mypy", "pyright"])
def test_correct_use_passes(checker, snippet):
    done = checker(snippet(correct_use()))
    assert done.returncode == 0, done.stdout + done.stderr
