"""Every Python snippet of docs/guide.md type-checks under mypy --strict and pyright and runs on a small
recording; the recipes do what the guide says they do.

The snippets are complete programs except for `path`, the recording they read, which the test supplies
(with `handle`, what the live-file loop does with an event). A line that ends in a `# error: ...` comment
shows a type error: both checkers must report one there and nowhere else. An HTML comment on the line
before a snippet, `<!-- guide-check: no-run (reason) -->`, keeps it from the run (it is still
type-checked)."""

from __future__ import annotations

import importlib.metadata
import importlib.util
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import typecheck
import velk
from dask_cluster import local_cluster
from recordings import wd1_event, wd2_event

GUIDE = typecheck.ROOT / "docs" / "guide.md"
MARKER = re.compile(r"<!-- guide-check: no-run \((.+)\) -->")
PRELUDE = '''path: str = {path!r}


def handle(event: object) -> None:
    """Stands for the reader's own work on an event."""


'''


@dataclass(frozen=True)
class Block:
    section: str  # the heading above the snippet
    line: int  # the guide's line of the snippet's first line of code
    code: str
    no_run: str  # why the snippet is not run, or ""

    @property
    def name(self) -> str:
        return f"line {self.line} ({self.section})"

    def script(self, path: str) -> str:
        """The snippet as a program reading `path`; the prelude goes after any __future__ import."""
        lines = self.code.splitlines(keepends=True)
        future = sum(1 for line in lines if line.startswith("from __future__"))
        return "".join(lines[:future]) + PRELUDE.format(path=path) + "".join(lines[future:])

    def expected_errors(self) -> set[int]:
        """Lines of the program that carry a `# error:` comment."""
        return {n for n, line in enumerate(self.script("recording").splitlines(), 1) if "# error:" in line}

    def layout(self) -> str:
        """The layout of the recording the snippet reads through `path`."""
        return "WD2" if '"WD2"' in self.code and '"WD1"' not in self.code else "WD1"


def guide_blocks() -> list[Block]:
    blocks, section, lines = [], "", GUIDE.read_text().splitlines()
    for n, line in enumerate(lines):
        if line.startswith("#"):
            section = line.lstrip("# ")
        marker = MARKER.fullmatch(line)
        if line.startswith("<!-- guide-check") and (marker is None or lines[n + 1] != "```python"):
            raise AssertionError(f"guide line {n + 1}: a guide-check comment must read "
                                 f"'<!-- guide-check: no-run (reason) -->' right above a python snippet")
        if line == "```python":
            end = lines.index("```", n + 1)
            reason = MARKER.fullmatch(lines[n - 1])
            blocks.append(Block(section, n + 2, "\n".join(lines[n + 1:end]) + "\n", reason.group(1) if reason else ""))
    return blocks


BLOCKS = guide_blocks()


def write_recordings(folder: Path) -> None:
    """The recordings the snippets read: run42.wd1 and run42.wd2 (the guide's example names), and the
    runs/*.wd1 the parallel recipes summarise."""
    (folder / "run42.wd1").write_bytes(b"".join(wd1_event([3000 - n, 1500 + 7 * n, 2990], event_counter=n)
                                                for n in range(5)))
    (folder / "run42.wd2").write_bytes(b"".join(wd2_event([0.5, -0.25, 1.0 + n, 0.0], channels=2, event_counter=n)
                                                for n in range(3)))
    (folder / "runs").mkdir()
    for run in range(3):
        (folder / "runs" / f"run{run}.wd1").write_bytes(
            b"".join(wd1_event([100 * run + n, 50 + n, 9], event_counter=n) for n in range(run + 2)))


def run_block(block: Block, folder: Path, path: str, env: dict[str, str] | None = None,
              ) -> subprocess.CompletedProcess[str]:
    script = folder / f"block_{block.line}.py"
    script.write_text(block.script(path))
    return subprocess.run([sys.executable, script.name], cwd=folder, env=env or typecheck.checker_env(folder),
                          capture_output=True, text=True, timeout=300)


def test_guide_has_the_snippets_the_tests_rely_on() -> None:
    sections = {block.section for block in BLOCKS}
    assert {"Quick start", "A progress bar with tqdm", "Stacking events into a 2-D array",
            "The same across a cluster with Dask", "Type checking"} <= sections, sections


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_guide_snippets_type_check(checker: str, tmp_path: Path) -> None:
    pytest.importorskip(checker, reason=f"{checker} comes with the test extra")
    files = []
    for block in BLOCKS:
        files.append(tmp_path / f"block_{block.line}.py")
        files[-1].write_text(block.script("recording"))
    expected = {(f"block_{block.line}.py", line) for block in BLOCKS for line in block.expected_errors()}
    if checker == "mypy":
        errors, output = typecheck.mypy_strict(files, tmp_path, tmp_path / "cache")
    else:
        errors, output = typecheck.pyright(files, tmp_path)
    assert errors == expected, f"block_N.py is the snippet at guide line N, after a prelude\n{output}"


@pytest.mark.parametrize("block", [b for b in BLOCKS if not b.no_run], ids=lambda b: b.name)
def test_guide_snippet_runs(block: Block, tmp_path: Path) -> None:
    for module in re.findall(r"^(?:from|import) (tqdm|pandas|dask|pyarrow)\b", block.code, re.M):
        pytest.importorskip(module, reason=f"{module} comes with the test extra")
    if 'version("velk")' in block.code and not _installed():
        pytest.skip("velk is built but not installed here, so it has no package metadata")
    write_recordings(tmp_path)
    result = run_block(block, tmp_path, f"run42.{block.layout().lower()}")
    assert result.returncode == 0, result.stderr


def _installed() -> bool:
    try:
        importlib.metadata.version("velk")
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


ERROR_BLOCK = next(b for b in BLOCKS if "except (OSError, ValueError)" in b.code)


@pytest.mark.parametrize(("data", "raised"), [
    (None, "FileNotFoundError"),
    (wd1_event([1, 2]) + wd1_event([], event_size=-5), "ValueError"),
])
def test_error_snippet_keeps_the_class_and_adds_the_path(data: bytes | None, raised: str, tmp_path: Path) -> None:
    if data is not None:
        (tmp_path / "bad.wd1").write_bytes(data)
    result = run_block(ERROR_BLOCK, tmp_path, "bad.wd1")
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(f"{raised}: bad.wd1: "), result.stderr


def expected_means(folder: Path) -> list[str]:
    """What the parallel recipes print, from a plain loop in this process."""
    lines = []
    for path in sorted((folder / "runs").glob("*.wd1")):
        waves = np.array([event["data"] for event in velk.EventReader(str(path), "WD1")], dtype=np.float64)
        lines.append(f"runs/{path.name} {len(waves)} deepest {waves.mean(axis=0).min():.1f}")
    return lines


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="Dask comes with the test extra")
def test_dask_and_process_recipes_match_a_plain_loop(tmp_path: Path) -> None:
    write_recordings(tmp_path)
    expected = expected_means(tmp_path)
    processes = next(b for b in BLOCKS if "ProcessPoolExecutor" in b.code)
    assert run_block(processes, tmp_path, "").stdout.splitlines() == expected

    env = typecheck.checker_env(tmp_path)
    with local_cluster(tmp_path, env) as address:
        dask = next(b for b in BLOCKS if b.section == "The same across a cluster with Dask")
        result = run_block(dask, tmp_path, "", env=dict(env, DASK_SCHEDULER_ADDRESS=address))
        assert result.stdout.splitlines() == expected, result.stderr
        # Without a scheduler named, Client() starts worker processes of its own (on loopback, one per
        # CPU); they start by importing the script, which only the __main__ guard keeps from running.
        env.pop("DASK_SCHEDULER_ADDRESS", None)
        result = run_block(dask, tmp_path, "", env=env)
        assert result.stdout.splitlines() == expected, result.stderr
