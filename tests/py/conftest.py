"""Shared fixtures: the test-only extension from the C++ build tree, and a
helper that runs code in a fresh interpreter."""

import importlib
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest


def _testext_dir() -> pathlib.Path | None:
    build = os.environ.get("PELLUN_BUILD")
    return pathlib.Path(build) / "testext" if build else None


@pytest.fixture(scope="session")
def testext_dir() -> pathlib.Path:
    directory = _testext_dir()
    if directory is None:
        pytest.skip("PELLUN_BUILD is not set: the test-only extension lives in the C++ build tree")
    return directory


@pytest.fixture(scope="session")
def testext(testext_dir):
    """The module _pellun_testext. A missing module is a failure, not a skip:
    PELLUN_BUILD says where it was built."""
    sys.path.insert(0, str(testext_dir))
    try:
        return importlib.import_module("_pellun_testext")
    finally:
        sys.path.remove(str(testext_dir))


@pytest.fixture
def run_python(testext_dir):
    """Runs `code` in a new interpreter that can import the test extension
    and returns the completed process, text mode."""

    def run(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (str(testext_dir), env.get("PYTHONPATH", "")) if p
        )
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
        )

    return run
