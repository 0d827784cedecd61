"""The distributions scripts/run-tests builds and installs: the sdist holds exactly the tracked files that
build and test velk, the wheel is a self-contained manylinux wheel and the one installed here, and the
README reads right as the package's long description."""

from __future__ import annotations

import os
import re
import subprocess
import tarfile
import zipfile
from pathlib import Path

import pytest

import velk

ROOT = Path(__file__).resolve().parents[2]
# Tracked, but only for developing velk: CI, benchmarks, fuzzing and the test scripts themselves.
DEVELOPMENT_ONLY = {".ci", ".gitignore", "bench", "fuzz", "scripts"}


def built(variable: str) -> Path:
    """A distribution scripts/run-tests built and named in `variable`."""
    if not os.environ.get(variable):
        pytest.skip(f"{variable} is set by scripts/run-tests to the distribution it built")
    return Path(os.environ[variable])


def test_sdist_holds_exactly_the_tracked_build_and_test_files() -> None:
    sdist = built("VELK_SDIST")
    try:
        listing = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("the tests do not run from a git checkout")
    tracked = {name for name in listing.stdout.splitlines() if name.split("/")[0] not in DEVELOPMENT_ONLY}
    with tarfile.open(sdist) as archive:
        members = archive.getmembers()
    top = f"{sdist.name.removesuffix('.tar.gz')}/"
    assert all(m.name.startswith(top) for m in members)
    assert not [m.name for m in members if m.issym() or m.islnk()], "links in the sdist"
    files = {m.name.removeprefix(top) for m in members if m.isfile()} - {"PKG-INFO"}
    assert sorted(files - tracked) == [], "files in the sdist that are not tracked or not needed"
    assert sorted(tracked - files) == [], "tracked files missing from the sdist"


def test_wheel_is_manylinux_self_contained_and_installed_here() -> None:
    wheel = built("VELK_WHEEL")
    show = subprocess.run([built("VELK_AUDITWHEEL"), "show", wheel], capture_output=True, text=True,
                          check=True).stdout
    flat = " ".join(show.split())
    tag = re.search(r'consistent with the following platform tag: "(manylinux_\d+_\d+_x86_64)"', flat)
    assert tag, show
    assert re.fullmatch(rf"velk-[^-]+-cp310-abi3-(?:[\w.]+\.)?{tag[1]}(?:\.[\w.]+)?\.whl", wheel.name)
    assert "libstdc++" not in show, "the C++ runtime must be linked into the module"
    module = Path(velk.__file__)
    assert module.name == "velk.abi3.so"
    with zipfile.ZipFile(wheel) as archive:
        assert archive.read(module.name) == module.read_bytes(), "the installed module is not the wheel's"


def test_readme_links_work_on_a_package_index_page() -> None:
    readme = (ROOT / "README.md").read_text()
    links = re.findall(r"\]\(([^)\s]+)\)", readme) + re.findall(r"<(\w+:[^>\s]+)>", readme)
    assert [link for link in links if not re.match(r"https://", link)] == []
