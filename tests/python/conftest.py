"""Shared fixtures for the Python tests: recordings written into tmp_path, the process's open file
descriptors, and a runner for scripts that need an interpreter of their own."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Callable
from pathlib import Path

import pytest


def _open_fds() -> dict[int, str]:
    """Every open descriptor of this process with what it points at (listing /proc/self/fd opens one
    descriptor of its own, which has vanished by the time its link is read and is left out)."""
    targets = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            targets[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except FileNotFoundError:
            continue
    return targets


def _fds_open_on(path: Path | str) -> list[int]:
    target = os.path.realpath(path)
    return sorted(fd for fd, link in _open_fds().items() if link == target)


@pytest.fixture
def fds_on() -> Callable[[Path | str], list[int]]:
    """fds_on(path): the descriptors of this process that point at `path`, in ascending order."""
    return _fds_open_on


@pytest.fixture
def fd_count() -> Callable[[], int]:
    """fd_count(): how many descriptors this process has open."""
    return lambda: len(_open_fds())


@pytest.fixture
def recording(tmp_path: Path) -> Callable[..., Path]:
    """Factory: recording(data, name="recording.bin") writes `data` to a new file and returns its path."""
    counter = 0

    def write(data: bytes, name: str | None = None) -> Path:
        nonlocal counter
        counter += 1
        path = tmp_path / (name or f"recording-{counter}.bin")
        path.write_bytes(data)
        return path

    return write


@pytest.fixture
def run_python(tmp_path: Path) -> Callable[..., subprocess.CompletedProcess]:
    """Factory: run_python(source, *args) runs dedented `source` in a fresh interpreter (this one's
    executable and environment, so it imports the same velk) and returns the finished process; the
    caller checks its exit status and output."""

    # The script runs in tmp_path, so relative PYTHONPATH entries are made absolute first.
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)

    def run(source: str, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
        script = tmp_path / "script.py"
        script.write_text(textwrap.dedent(source))
        return subprocess.run(
            [sys.executable, str(script), *args],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
