"""The runnable examples and the user guide: every example runs and reports what its recording holds, and
every link and picture the guide points at exists."""

from __future__ import annotations

import importlib.util
import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import velk
from recordings import wd1_event, wd2_event

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
needs_matplotlib = pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                                      reason="matplotlib is not installed (plot extra)")


def run_example(name: str, *args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    # The example must import the very module under test, wherever the search path found it.
    search_path = [str(Path(velk.__file__).resolve().parent), os.environ.get("PYTHONPATH")]
    return subprocess.run([sys.executable, str(ROOT / "examples" / name), *args], cwd=cwd, capture_output=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, search_path))),
                          text=True, timeout=300)


@pytest.mark.parametrize("name", ["quick_start.py", "read_recording.py", "many_files.py",
                                  pytest.param("plot_waveforms.py", marks=needs_matplotlib)])
def test_example_runs_on_its_demo_recording(name: str, tmp_path: Path) -> None:
    result = run_example(name, cwd=tmp_path)
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr
    assert result.stdout.strip(), "the example printed nothing"


def test_quick_start_reports_the_recording(tmp_path: Path) -> None:
    path, minima = tmp_path / "three.wd1", [40, 7, 500]
    path.write_bytes(b"".join(wd1_event([1000, low, 2000], board_id=-2, event_counter=n)
                              for n, low in enumerate(minima)))
    result = run_example("quick_start.py", str(path), "WD1", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = [[part.strip() for part in line.split(":", 1)] for line in result.stdout.splitlines()]
    assert [line[0] for line in lines[:7]] == ["event_size", "board_id", "pattern", "board_channel",
                                                "event_counter", "timestamp", "data"]
    assert (lines[1][1], lines[6][1]) == ("-2", "uint16 array of 3 samples")
    assert result.stdout.splitlines()[7] == f"3 events; smallest sample per event: median {sorted(minima)[1]}"


def test_many_files_summarises_each_file_and_reports_failures(tmp_path: Path) -> None:
    (tmp_path / "good.wd1").write_bytes(wd1_event([5, 9]) + wd1_event([3, 4, 8]))
    (tmp_path / "empty.wd1").write_bytes(b"")
    result = run_example("many_files.py", *(str(tmp_path / f"{n}.wd1") for n in ("good", "empty", "missing")),
                         "--workers", "2", cwd=tmp_path)
    assert result.returncode == 1, "a file that cannot be read must fail the run"
    rows = {line.split()[0]: line.split() for line in result.stdout.splitlines()[1:4]}
    assert rows["good.wd1"][1:4] == ["2", "5", "4.0"]  # 2 events, 5 samples, mean of minima 5 and 3
    assert rows["empty.wd1"][1:3] == ["0", "0"]
    assert "FileNotFoundError" in " ".join(rows["missing.wd1"])
    assert result.stdout.splitlines()[-1] == "3 files, 2 events, 5 samples"


def png_size(path: Path) -> tuple[int, int]:
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG file"
    return struct.unpack(">II", header[16:24])


def png_height(panels: int) -> int:
    """The image height plot_waveforms.py gives a figure of `panels` panels (inches x its 100 dpi)."""
    return round((2.4 + 2.2 * panels) * 100)


@needs_matplotlib
@pytest.mark.parametrize("channels, panels", [(None, 1), (3, 3)])
def test_plot_draws_one_panel_per_channel(channels: int | None, panels: int, tmp_path: Path) -> None:
    path, out = tmp_path / "events.wd2", tmp_path / "plot.png"
    path.write_bytes(b"".join(wd2_event([float(i % 5) for i in range(12)], channels=channels, event_counter=n)
                              for n in range(4)))
    result = run_example("plot_waveforms.py", str(path), "WD2", "--output", str(out), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"wrote {out} (4 events)"
    # Matplotlib versions differ in how they round inches x dpi to pixels, hence the one-pixel allowance;
    # the panel counts tested differ by 440 pixels.
    width, height = png_size(out)
    assert width == 800 and abs(height - png_height(panels)) <= 1, (width, height)


GUIDE_LINKS = re.findall(r"\]\(([^)\s]+)\)", (DOCS / "guide.md").read_text())


@pytest.mark.parametrize("link", GUIDE_LINKS)
def test_guide_links_resolve(link: str) -> None:
    if re.match(r"[a-z]+://", link):
        pytest.skip("external link")
    target, _, anchor = link.partition("#")
    path = DOCS / (target or "guide.md")
    assert path.is_file(), f"{link} points at a missing file"
    if anchor:
        headings = re.findall(r"^#+ (.+)$", path.read_text(), re.M)
        slugs = {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-") for heading in headings}
        assert anchor in slugs, f"{link} points at a missing heading"


def test_guide_picture_is_the_plot_examples_two_channel_output() -> None:
    assert "waveforms.png" in GUIDE_LINKS
    assert png_size(DOCS / "waveforms.png") == (800, png_height(2))
