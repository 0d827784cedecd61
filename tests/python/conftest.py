"""Shared fixtures: recordings written into tmp_path, the process's open descriptors, and a runner for
scripts that need an interpreter of their own."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest


def open_fds() -> dict[int, str]:
    """Every open descriptor of this process and what it points at (the one listing /proc/self/fd uses
    is gone by the time its link is read)."""
    targets = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            targets[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except FileNotFoundError:
            pass
    return targets


@pytest.fixture
def fds_on():
    """fds_on(path): the descriptors of this process that point at `path`, in ascending order."""
    return lambda path: sorted(fd for fd, link in open_fds().items() if link == os.path.realpath(path))


@pytest.fixture
def fds_opened():
    """since = fds_opened() notes the open descriptors; since() then gives those open that were not, or
    pointed elsewhere: {fd: target}. Descriptors that earlier tests left may close meanwhile (their
    objects collected, a pool's sockets shut), so comparing counts would not do."""
    def note():
        before = open_fds()
        return lambda: {fd: link for fd, link in open_fds().items() if before.get(fd) != link}
    return note


@pytest.fixture
def recording(tmp_path):
    """recording(data, name=None) writes `data` to a new file in tmp_path and returns its path."""
    names = iter(range(1, 1_000_000))

    def write(data: bytes, name: str | None = None):
        path = tmp_path / (name or f"recording-{next(names)}.bin")
        path.write_bytes(data)
        return path

    return write


@pytest.fixture
def run_python(tmp_path):
    """run_python(source, *args) runs dedented `source` in tmp_path in a fresh interpreter with this one's
    executable and environment (PYTHONPATH made absolute), so it imports the same velk; returns the
    finished process."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)

    def run(source: str, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
        script = tmp_path / "script.py"
        script.write_text(textwrap.dedent(source))
        return subprocess.run([sys.executable, str(script), *args], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=timeout)

    run.env = env  # for callers that start processes of their own
    return run
