"""mypy and pyright run the way a user runs them, on code that imports the velk under test: in subprocesses
that find the module by its absolute directory and its type information where the checkers look."""

from __future__ import annotations

import importlib.metadata
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import velk

ROOT = Path(__file__).resolve().parents[2]
INSTALLED_STUB = Path(velk.__file__).parent / "velk-stubs" / "__init__.pyi"


def installed_from_wheel() -> bool:
    try:
        distribution = importlib.metadata.distribution("velk")
    except importlib.metadata.PackageNotFoundError:
        return False
    return Path(distribution.locate_file("")).resolve() == Path(velk.__file__).parent.resolve()


def stub_path() -> Path:
    """The stub package installed beside the module, where type checkers look for it; in a development
    build, the repository's."""
    if INSTALLED_STUB.is_file():
        return INSTALLED_STUB
    if installed_from_wheel():
        raise AssertionError(f"velk is installed at {velk.__file__} without velk-stubs beside it")
    return ROOT / "stubs" / "velk-stubs" / "__init__.pyi"


def checker_env(cwd: Path) -> dict[str, str]:
    """The environment of a checker run in `cwd`. A stub that is not installed is copied into `cwd`,
    under the module's name, where mypy (MYPYPATH) and pyright (./typings) look for it."""
    module_dir = str(Path(velk.__file__).resolve().parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")])),
               PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    stub = stub_path()
    if stub != INSTALLED_STUB:
        for folder in ("stub-search", "typings"):
            (cwd / folder).mkdir(exist_ok=True)
            shutil.copyfile(stub, cwd / folder / "velk.pyi")
        env["MYPYPATH"] = str(cwd / "stub-search")
    return env


def run_module(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    """`python -m ARGS` with this interpreter in `cwd`, in a checker environment."""
    return subprocess.run([sys.executable, "-m", *args], env=checker_env(cwd), cwd=cwd, capture_output=True,
                          text=True, timeout=600)


def mypy_strict(files: list[Path], cwd: Path, cache: Path) -> tuple[set[tuple[str, int]], str]:
    """Errors of `mypy --strict` on `files` as (file name, line) pairs, and the full output."""
    result = run_module(["mypy", "--strict", "--cache-dir", str(cache), "--no-error-summary",
                         "--show-absolute-path", *map(str, files)], cwd)
    output = result.stdout + result.stderr
    errors = set()
    for line in result.stdout.splitlines():
        path, found, rest = line.partition(".py:")
        if found and ": error:" in rest:
            errors.add((Path(path + ".py").name, int(rest.split(":", 1)[0])))
    assert result.returncode in (0, 1) and (errors or result.returncode == 0), output
    return errors, output


def pyright(files: list[Path], cwd: Path, extra_paths: tuple[Path, ...] = ()) -> tuple[set[tuple[str, int]], str]:
    """Errors of pyright (its standard checks, the interpreter's environment, and imports also looked up
    in `extra_paths`) as (file name, line) pairs, and the diagnostics as text."""
    (cwd / "pyrightconfig.json").write_text(json.dumps({"extraPaths": [str(p) for p in extra_paths]}))
    result = run_module(["pyright", "--outputjson", "--pythonpath", sys.executable, *map(str, files)], cwd)
    try:
        report = json.loads(result.stdout)
    except json.JSONDecodeError:
        raise AssertionError(f"pyright printed no report: {result.stdout}{result.stderr}") from None
    diagnostics = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    text = "\n".join(f"{Path(d['file']).name}:{d['range']['start']['line'] + 1}: {d['message']}" for d in diagnostics)
    return {(Path(d["file"]).name, d["range"]["start"]["line"] + 1) for d in diagnostics}, text
