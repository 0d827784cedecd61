"""The type information shipped in velk-stubs: checked against the real module by stubtest, against real
event dictionaries, and by type-checking code that uses velk the way users do."""

from __future__ import annotations

import ast
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import velk
from recordings import wd1_event, wd2_event

pytest.importorskip("mypy", reason="the type checks need mypy (the test extra installs it)")

INSTALLED_STUB = Path(velk.__file__).parent / "velk-stubs" / "__init__.pyi"


def _installed_from_wheel() -> bool:
    try:
        distribution = importlib.metadata.distribution("velk")
    except importlib.metadata.PackageNotFoundError:
        return False
    return Path(distribution.locate_file("")).resolve() == Path(velk.__file__).parent.resolve()


@pytest.fixture(scope="module")
def stub_path() -> Path:
    """The stub package installed beside the module, where type checkers look for it; in a development
    build, the repository's."""
    if INSTALLED_STUB.is_file():
        return INSTALLED_STUB
    if _installed_from_wheel():
        pytest.fail(f"velk is installed at {velk.__file__} without velk-stubs beside it")
    return Path(__file__).resolve().parents[2] / "stubs" / "velk-stubs" / "__init__.pyi"


def run_mypy(args: list[str], stub_path: Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    """mypy in a subprocess that finds the module under test by its absolute directory, and a stub that
    is not installed through MYPYPATH under the module's name."""
    module_dir = str(Path(velk.__file__).resolve().parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")])))
    if stub_path != INSTALLED_STUB:
        (cwd / "stub-search").mkdir()
        shutil.copyfile(stub_path, cwd / "stub-search" / "velk.pyi")
        env["MYPYPATH"] = str(cwd / "stub-search")
    return subprocess.run([sys.executable, "-m", *args], env=env, cwd=cwd, capture_output=True, text=True,
                          timeout=600)


def test_installed_wheel_carries_the_stub_package() -> None:
    if not _installed_from_wheel():
        pytest.skip("velk is not installed from a wheel here")
    files = {str(f) for f in importlib.metadata.files("velk") or []}
    assert "velk-stubs/__init__.pyi" in files and INSTALLED_STUB.is_file()
    # A stub beside the extension module would be ignored; only the package counts.
    assert not any(f.startswith("velk.") and f.endswith(".pyi") for f in files)


def test_stubtest_finds_the_stub_consistent_with_the_module(stub_path: Path, tmp_path: Path) -> None:
    result = run_mypy(["mypy.stubtest", "velk"], stub_path, tmp_path)
    assert result.returncode == 0 and "Success" in result.stdout, result.stdout + result.stderr


@pytest.mark.parametrize(("layout", "data"), [
    ("WD1", wd1_event([7, 65535, 0], board_id=-3, event_counter=2, timestamp=-1)),
    ("WD2", wd2_event([0.5, -1.0, 2.0, 4.0], channels=2)
     + wd2_event([1.0, 2.0, 3.0, 4.0], channels=2, event_counter=1)),
])
def test_event_typed_dicts_describe_the_real_dictionaries(layout, data, stub_path: Path, recording) -> None:
    event = next(velk.EventReader(str(recording(data)), layout))
    (typed_dict,) = (node for node in ast.parse(stub_path.read_text()).body
                     if isinstance(node, ast.ClassDef) and node.name == f"{layout}Event")
    fields = {item.target.id: ast.unparse(item.annotation)
              for item in typed_dict.body if isinstance(item, ast.AnnAssign)}
    assert list(fields) == list(event)
    for name, annotation in fields.items():
        array = re.fullmatch(r"NDArray\[np\.(\w+)\]", annotation)
        if array is None:
            assert (annotation, type(event[name])) == ("int", int), name
        else:
            assert type(event[name]) is np.ndarray and event[name].dtype == getattr(np, array.group(1)), name


PRELUDE = """\
import pathlib
import sys
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray
from typing_extensions import assert_type

import velk

if TYPE_CHECKING:
    from velk import WD1Event, WD2Event

path: str = sys.argv[0]
kind: str = sys.argv[1]
"""

# One statement per line, with the mypy error code it must produce (None: it must type-check).
USAGE = [
    ('assert_type(next(velk.EventReader(path, "WD1")), WD1Event)', None),
    ('assert_type(next(velk.EventReader(path, reader_type="WD2")), WD2Event)', None),
    ('assert_type(next(velk.EventReader(path, "WD1"))["data"], NDArray[np.uint16])', None),
    ('assert_type(next(velk.EventReader(path, "WD2"))["data"], NDArray[np.float32])', None),
    ("assert_type(next(velk.EventReader(path, kind)), WD1Event | WD2Event)", None),
    ('assert_type(iter(velk.EventReader(path, "WD2")), velk.EventReader[WD2Event])', None),
    ('assert_type([e["channels"] for e in velk.EventReader(path, "WD2")], list[int])', None),
    ('next(velk.EventReader(path, "WD2"))["board_id"]', "typeddict-item"),
    ('wrong: NDArray[np.float32] = next(velk.EventReader(path, "WD1"))["data"]', "assignment"),
    ('velk.EventReader(pathlib.Path(path), "WD1")', "call-overload"),
    ('velk.EventReader(path, "WD1", "extra")', "call-overload"),
    ("class Sub(velk.EventReader[WD1Event]): pass", "misc"),
    ('velk.EventReader(path, "WD1").close()', "attr-defined"),
]


def test_user_code_type_checks_as_documented(stub_path: Path, tmp_path: Path) -> None:
    first_line = PRELUDE.count("\n") + 1
    (tmp_path / "usage.py").write_text(PRELUDE + "".join(f"{code}\n" for code, _ in USAGE))
    result = run_mypy(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "usage.py"], stub_path, tmp_path)
    output = result.stdout + result.stderr
    errors = re.findall(r"^usage\.py:(\d+): error: .*\[([\w-]+)\]$", output, re.M)
    reported = {(int(line), code) for line, code in errors}
    assert reported == {(first_line + i, code) for i, (_, code) in enumerate(USAGE) if code is not None}, output


def test_installed_wheel_carries_velk_tools_with_its_types() -> None:
    if not _installed_from_wheel():
        pytest.skip("velk is not installed from a wheel here")
    files = {str(f) for f in importlib.metadata.files("velk") or []}
    assert {"velk_tools/__init__.py", "velk_tools/cli.py", "velk_tools/_scan.pyi", "velk_tools/py.typed"} <= files
    assert any(f.startswith("velk_tools/_scan.") and f.endswith(".so") for f in files)


@pytest.mark.parametrize("command", [["mypy.stubtest", "velk_tools"], ["mypy", "--strict", "-p", "velk_tools"]],
                         ids=["stubtest", "strict"])
def test_velk_tools_types_match_its_modules_and_check_strictly(command, stub_path: Path, tmp_path: Path) -> None:
    result = run_mypy(command, stub_path, tmp_path)
    assert result.returncode == 0 and "Success" in result.stdout, result.stdout + result.stderr
