"""The runnable examples and the user guide: every example runs, reports what the recording holds, and
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
EXAMPLES = ROOT / "examples"
DOCS = ROOT / "docs"


def run_example(name: str, *args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    # The example must import the very module under test, wherever the search path found it.
    module_dir = str(Path(velk.__file__).resolve().parent)
    search_path = os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, PYTHONPATH=search_path)
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=300,
    )


needs_matplotlib = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed (plot extra)"
)


@pytest.mark.parametrize(
    "name",
    [
        "quick_start.py",
        "read_recording.py",
        "many_files.py",
        pytest.param("plot_waveforms.py", marks=needs_matplotlib),
    ],
)
def test_example_runs_on_its_demo_recording(name: str, tmp_path: Path) -> None:
    result = run_example(name, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip(), "the example printed nothing"
    assert "Traceback" not in result.stderr


def test_quick_start_reports_the_recording(tmp_path: Path) -> None:
    minima = [40, 7, 500]
    path = tmp_path / "three.wd1"
    path.write_bytes(b"".join(
        wd1_event([1000, low, 2000], board_id=-2, event_counter=n) for n, low in enumerate(minima)
    ))
    result = run_example("quick_start.py", str(path), "WD1", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split(":")[0].strip() for line in lines[:7]] == [
        "event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp", "data",
    ]
    assert lines[1].split(":")[1].strip() == "-2"
    assert lines[6].split(":")[1].strip() == "uint16 array of 3 samples"
    assert lines[7] == f"3 events; smallest sample per event: median {sorted(minima)[1]}"


def test_many_files_summarises_each_file_and_reports_failures(tmp_path: Path) -> None:
    good = tmp_path / "good.wd1"
    good.write_bytes(wd1_event([5, 9]) + wd1_event([3, 4, 8]))
    empty = tmp_path / "empty.wd1"
    empty.write_bytes(b"")
    missing = tmp_path / "missing.wd1"
    result = run_example("many_files.py", str(good), str(empty), str(missing), "--workers", "2",
                         cwd=tmp_path)
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


@needs_matplotlib
@pytest.mark.parametrize("channels, panels", [(None, 1), (3, 3)])
def test_plot_draws_one_panel_per_channel(channels: int | None, panels: int, tmp_path: Path) -> None:
    path = tmp_path / "events.wd2"
    path.write_bytes(b"".join(
        wd2_event([float(i % 5) for i in range(12)], channels=channels, event_counter=n) for n in range(4)
    ))
    out = tmp_path / "plot.png"
    result = run_example("plot_waveforms.py", str(path), "WD2", "--output", str(out), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"wrote {out} (4 events)"
    # Each panel adds the same height to the figure, so the image height tells the panel count. Matplotlib
    # versions differ in how they round inches x dpi to pixels, hence the one-pixel allowance.
    width, height = png_size(out)
    assert width == 800
    assert abs(height - png_height(panels)) <= 1, (height, png_height(panels))


def png_height(panels: int) -> int:
    """The image height plot_waveforms.py gives a figure of `panels` panels (inches x its 100 dpi)."""
    return round((2.4 + 2.2 * panels) * 100)


def guide_links() -> list[str]:
    text = (DOCS / "guide.md").read_text()
    return re.findall(r"\]\(([^)\s]+)\)", text)


def heading_anchors(markdown: str) -> set[str]:
    anchors = set()
    for heading in re.findall(r"^#+ (.+)$", markdown, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        anchors.add(slug)
    return anchors


@pytest.mark.parametrize("link", guide_links())
def test_guide_links_resolve(link: str) -> None:
    if re.match(r"[a-z]+://", link):
        pytest.skip("external link")
    target, _, anchor = link.partition("#")
    path = (DOCS / target) if target else DOCS / "guide.md"
    assert path.is_file(), f"{link} points at a missing file"
    if anchor:
        assert anchor in heading_anchors(path.read_text()), f"{link} points at a missing heading"


def test_guide_picture_is_the_plot_examples_output() -> None:
    assert "waveforms.png" in guide_links()
    # The committed picture is the demo's two-channel plot: two panels high.
    assert png_size(DOCS / "waveforms.png") == (800, png_height(2))
