"""The guide's Dask DataFrame recipe, run for real on a local cluster bound to loopback (two worker
processes, three small recordings), gives what a plain loop over velk.EventReader gives."""

from __future__ import annotations

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import velk
from dask_cluster import local_cluster
from recordings import wd1_event

pytestmark = pytest.mark.skipif(
    any(importlib.util.find_spec(m) is None for m in ("distributed", "pandas", "pyarrow")),
    reason="dask[distributed], pandas and pyarrow come with the test extras")

GUIDE = Path(__file__).resolve().parents[2] / "docs" / "guide.md"

def recipe() -> str:
    text = GUIDE.read_text()
    section = text[text.index("### One Dask DataFrame over many recordings"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def write_runs(folder: Path) -> None:
    rng = np.random.default_rng(7)
    (folder / "runs").mkdir()
    for run in range(3):
        events = [wd1_event(rng.integers(0, 4096, size=int(rng.integers(0, 40))).tolist(),
                            board_channel=int(rng.integers(0, 4)), event_counter=i) for i in range(500)]
        (folder / "runs" / f"run{run}.wd1").write_bytes(b"".join(events))


def plain_loop(folder: Path) -> dict[int, float]:
    means: dict[int, list[float]] = {}
    for path in sorted((folder / "runs").glob("*.wd1")):
        for event in velk.EventReader(str(path), "WD1"):
            if len(event["data"]):
                means.setdefault(event["board_channel"], []).append(float(event["data"].mean()))
    return {channel: float(np.mean(values)) for channel, values in sorted(means.items())}


def test_dask_recipe_matches_a_plain_loop(tmp_path: Path, run_python) -> None:
    write_runs(tmp_path)
    (tmp_path / "recipe.py").write_text(recipe())
    env = run_python.env
    with local_cluster(tmp_path, env) as address:
        result = subprocess.run([sys.executable, "recipe.py"], cwd=tmp_path, capture_output=True, text=True,
                                env=dict(env, DASK_SCHEDULER_ADDRESS=address), timeout=300)
    assert result.returncode == 0, result.stderr
    printed = {int(c): float(m) for c, m in (line.split() for line in result.stdout.splitlines())}
    assert printed == pytest.approx(plain_loop(tmp_path), rel=1e-12)
