"""The type information shipped in velk-stubs: checked against the real module by stubtest, against real
event dictionaries, and by type-checking code that uses velk the way users do."""

from __future__ import annotations

import ast
import importlib.metadata
import re
from pathlib import Path

import numpy as np
import pytest

import typecheck
import velk
from recordings import wd1_event, wd2_event
from typecheck import INSTALLED_STUB

pytest.importorskip("mypy", reason="the type checks need mypy (the test extra installs it)")


@pytest.fixture(scope="module")
def stub_path() -> Path:
    return typecheck.stub_path()


def test_installed_wheel_carries_the_stub_package() -> None:
    if not typecheck.installed_from_wheel():
        pytest.skip("velk is not installed from a wheel here")
    files = {str(f) for f in importlib.metadata.files("velk") or []}
    assert "velk-stubs/__init__.pyi" in files and INSTALLED_STUB.is_file()
    # A stub beside the extension module would be ignored; only the package counts.
    assert not any(f.startswith("velk.") and f.endswith(".pyi") for f in files)


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path: Path) -> None:
    result = typecheck.run_module(["mypy.stubtest", "velk"], tmp_path)
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


def test_user_code_type_checks_as_documented(tmp_path: Path) -> None:
    first_line = PRELUDE.count("\n") + 1
    (tmp_path / "usage.py").write_text(PRELUDE + "".join(f"{code}\n" for code, _ in USAGE))
    result = typecheck.run_module(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "usage.py"], tmp_path)
    output = result.stdout + result.stderr
    errors = re.findall(r"^usage\.py:(\d+): error: .*\[([\w-]+)\]$", output, re.M)
    reported = {(int(line), code) for line, code in errors}
    assert reported == {(first_line + i, code) for i, (_, code) in enumerate(USAGE) if code is not None}, output


def test_installed_wheel_carries_velk_tools_with_its_types() -> None:
    if not typecheck.installed_from_wheel():
        pytest.skip("velk is not installed from a wheel here")
    files = {str(f) for f in importlib.metadata.files("velk") or []}
    assert {"velk_tools/__init__.py", "velk_tools/cli.py", "velk_tools/_scan.pyi", "velk_tools/py.typed"} <= files
    assert any(f.startswith("velk_tools/_scan.") and f.endswith(".so") for f in files)


@pytest.mark.parametrize("command", [["mypy.stubtest", "velk_tools"], ["mypy", "--strict", "-p", "velk_tools"]],
                         ids=["stubtest", "strict"])
def test_velk_tools_types_match_its_modules_and_check_strictly(command, tmp_path: Path) -> None:
    result = typecheck.run_module(command, tmp_path)
    assert result.returncode == 0 and "Success" in result.stdout, result.stdout + result.stderr
