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
import textwrap
from pathlib import Path

import numpy as np
import pytest

import velk
from recordings import wd1_event, wd2_event

pytest.importorskip("mypy", reason="the type checks need mypy (the test extra installs it)")

REPO_STUB = Path(__file__).resolve().parents[2] / "stubs" / "velk-stubs" / "__init__.pyi"


def _installed_stub() -> Path | None:
    """The stub package installed beside the module, where type checkers look for it."""
    candidate = Path(velk.__file__).parent / "velk-stubs" / "__init__.pyi"
    return candidate if candidate.is_file() else None


def _installed_from_wheel() -> bool:
    try:
        distribution = importlib.metadata.distribution("velk")
    except importlib.metadata.PackageNotFoundError:
        return False
    return Path(distribution.locate_file("")).resolve() == Path(velk.__file__).parent.resolve()


@pytest.fixture(scope="module")
def stub_path() -> Path:
    installed = _installed_stub()
    if installed is not None:
        return installed
    if _installed_from_wheel():
        pytest.fail(f"velk is installed at {velk.__file__} without velk-stubs beside it")
    return REPO_STUB


@pytest.fixture(scope="module")
def mypy_env(stub_path: Path, tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    """The environment for mypy: the installed stubs as they are, or in a development build the
    repository's stub made visible through MYPYPATH under the module's name."""
    # Subprocesses run elsewhere: they find the module under test by its absolute directory.
    module_dir = str(Path(velk.__file__).resolve().parent)
    search_path = os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, PYTHONPATH=search_path)
    if stub_path != _installed_stub():
        search = tmp_path_factory.mktemp("stub-search")
        shutil.copyfile(stub_path, search / "velk.pyi")
        env["MYPYPATH"] = str(search)
    return env


def _run(args: list[str], env: dict[str, str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args], env=env, cwd=cwd, capture_output=True, text=True, timeout=600
    )


def test_installed_wheel_carries_the_stub_package() -> None:
    if not _installed_from_wheel():
        pytest.skip("velk is not installed from a wheel here")
    files = {str(f) for f in importlib.metadata.files("velk") or []}
    assert "velk-stubs/__init__.pyi" in files
    assert _installed_stub() is not None
    # A stub beside the extension module would shadow nothing and be ignored; only the package counts.
    assert not any(f.startswith("velk.") and f.endswith(".pyi") for f in files)


def test_stubtest_finds_the_stub_consistent_with_the_module(
    mypy_env: dict[str, str], tmp_path: Path
) -> None:
    result = _run(["mypy.stubtest", "velk"], mypy_env, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


# (layout, recording) pairs whose first event fills every key of the layout's dictionary.
RECORDINGS = {
    "WD1": wd1_event([7, 65535, 0], board_id=-3, event_counter=2, timestamp=-1),
    "WD2": wd2_event([0.5, -1.0, 2.0, 4.0], channels=2, event_counter=4)
    + wd2_event([1.0, 2.0, 3.0, 4.0], channels=2, event_counter=5),
}


def _typed_dict_fields(stub: Path, name: str) -> list[tuple[str, ast.expr]]:
    tree = ast.parse(stub.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == name:
            return [
                (item.target.id, item.annotation)
                for item in node.body
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
            ]
    raise AssertionError(f"{name} is not defined in {stub}")


def _stub_value_check(annotation: ast.expr) -> tuple[type, np.dtype | None]:
    """The runtime type and, for arrays, the dtype an annotation promises."""
    text = ast.unparse(annotation)
    if text == "int":
        return int, None
    array = re.fullmatch(r"NDArray\[np\.(\w+)\]", text)
    assert array is not None, f"unexpected annotation {text}"
    return np.ndarray, np.dtype(getattr(np, array.group(1)))


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
def test_event_typed_dicts_describe_the_real_dictionaries(
    layout: str, stub_path: Path, tmp_path: Path
) -> None:
    path = tmp_path / f"recording.{layout.lower()}"
    path.write_bytes(RECORDINGS[layout])
    event = next(velk.EventReader(str(path), layout))
    fields = _typed_dict_fields(stub_path, f"{layout}Event")
    assert [name for name, _ in fields] == list(event)
    for name, annotation in fields:
        expected_type, expected_dtype = _stub_value_check(annotation)
        assert type(event[name]) is expected_type, name
        if expected_dtype is not None:
            assert event[name].dtype == expected_dtype, name


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
    ('assert_type(next(velk.EventReader(path, "WD1"))["timestamp"], int)', None),
    ("assert_type(next(velk.EventReader(path, kind)), WD1Event | WD2Event)", None),
    ('assert_type(iter(velk.EventReader(path, "WD2")), velk.EventReader[WD2Event])', None),
    ('assert_type([e["channels"] for e in velk.EventReader(path, "WD2")], list[int])', None),
    ('e = next(velk.EventReader(path, kind)); assert_type(e["data"].size, int)', None),
    ('next(velk.EventReader(path, "WD2"))["board_id"]', "typeddict-item"),
    ('next(velk.EventReader(path, "WD1"))["channels"]', "typeddict-item"),
    ('wrong: NDArray[np.float32] = next(velk.EventReader(path, "WD1"))["data"]', "assignment"),
    ('velk.EventReader(pathlib.Path(path), "WD1")', "call-overload"),
    ("velk.EventReader(path)", "call-overload"),
    ('velk.EventReader(path, "WD1", "extra")', "call-overload"),
    ('velk.EventReader(path, layout="WD1")', "call-overload"),
    ("class Sub(velk.EventReader[WD1Event]): pass", "misc"),
    ("velk.__version__", "attr-defined"),
    ('velk.EventReader(path, "WD1").close()', "attr-defined"),
]


def test_user_code_type_checks_as_documented(mypy_env: dict[str, str], tmp_path: Path) -> None:
    first_line = PRELUDE.count("\n") + 1
    source = PRELUDE + "".join(f"{code}\n" for code, _ in USAGE)
    (tmp_path / "usage.py").write_text(source)
    result = _run(
        ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "usage.py"], mypy_env, tmp_path
    )
    output = result.stdout + result.stderr
    reported = {
        (int(line), code)
        for line, code in re.findall(r"^usage\.py:(\d+): error: .*\[([\w-]+)\]$", output, re.M)
    }
    expected = {(first_line + i, code) for i, (_, code) in enumerate(USAGE) if code is not None}
    assert reported == expected, textwrap.indent(output, "    ")
