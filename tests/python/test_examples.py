"""The runnable examples and the user guide: every example runs and reports what its recording holds, and
every link and picture the guide points at exists."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import os
import re
import signal
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import typecheck
import velk
from recordings import wd1_event, wd2_event

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
needs_matplotlib = pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                                      reason="matplotlib is not installed (plot extra)")


def example_env() -> dict[str, str]:
    """The example must import the very module under test, wherever the search path found it."""
    search_path = [str(Path(velk.__file__).resolve().parent), os.environ.get("PYTHONPATH")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, search_path)))


def run_example(name: str, *args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(ROOT / "examples" / name), *args], cwd=cwd, capture_output=True,
                          env=example_env(), text=True, timeout=300)


EXAMPLES = ["quick_start.py", "read_recording.py", "many_files.py",
            pytest.param("plot_waveforms.py", marks=needs_matplotlib)]


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_runs_on_its_demo_recording(name: str, tmp_path: Path) -> None:
    result = run_example(name, cwd=tmp_path)
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr
    assert result.stdout.strip(), "the example printed nothing"


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_help_says_what_it_does(name: str, tmp_path: Path) -> None:
    for flag in ("-h", "--help"):
        result = run_example(name, flag, cwd=tmp_path)
        assert result.returncode == 0 and result.stdout.startswith("usage: "), result.stderr
    first_line = ast.get_docstring(ast.parse((ROOT / "examples" / name).read_text()))
    assert first_line and first_line.splitlines()[0] in result.stdout


@pytest.mark.parametrize("args", [
    pytest.param(("plot_waveforms.py", "--events", "0"), marks=needs_matplotlib),
    pytest.param(("plot_waveforms.py", "--events", "-1"), marks=needs_matplotlib),
    ("many_files.py", "--workers", "0"),
])
def test_counts_below_one_are_usage_errors(args: tuple[str, ...], tmp_path: Path) -> None:
    result = run_example(*args, cwd=tmp_path)
    assert result.returncode == 2 and "usage: " in result.stderr and "Traceback" not in result.stderr, result.stderr
    assert not list(tmp_path.iterdir()), "a refused run wrote files"


def test_closed_pipe_ends_an_example_quietly(tmp_path: Path) -> None:
    # Far more output than a pipe buffers, so the example is still writing when the reader goes away.
    path = tmp_path / "many.wd1"
    path.write_bytes(b"".join(wd1_event([n % 7], event_counter=n) for n in range(20_000)))
    example = subprocess.Popen([sys.executable, str(ROOT / "examples" / "read_recording.py"), str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path, env=example_env())
    assert example.stdout is not None and example.stderr is not None
    assert example.stdout.readline() == f"{path} (WD1)\n".encode()
    example.stdout.close()
    stderr = example.stderr.read().decode()
    assert example.wait(timeout=60) == 128 + signal.SIGPIPE and stderr == "", stderr


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
    assert rows["good.wd1"][1:4] == ["2", "5", "4"]  # 2 events, 5 samples, mean of minima 5 and 3
    assert rows["empty.wd1"][1:3] == ["0", "0"]
    assert "FileNotFoundError" in " ".join(rows["missing.wd1"])
    assert result.stdout.splitlines()[-1] == "3 files, 2 events, 5 samples"


@pytest.mark.parametrize(("minima", "shown"), [([-0.0, -0.0], "0"), ([-0.0, -0.0625], "-0.03125"),
                                               ([1500.5, 1600.25], "1550.38")])
def test_many_files_prints_mean_minima_readably(minima: list[float], shown: str, tmp_path: Path) -> None:
    path = tmp_path / "floats.wd2"
    path.write_bytes(b"".join(wd2_event([low, 2000.0], event_counter=n) for n, low in enumerate(minima)))
    result = run_example("many_files.py", "--reader-type", "WD2", str(path), "--workers", "1", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1].split()[3] == shown


def png_size(path: Path) -> tuple[int, int]:
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG file"
    return struct.unpack(">II", header[16:24])


def png_height(panels: int) -> int:
    """The image height plot_waveforms.py gives a figure of `panels` panels (inches x its 100 dpi)."""
    return round((2.4 + 2.2 * panels) * 100)


def plot_input(layout: str, channels: int | None, events: int) -> bytes:
    """WD1 events spread over `channels` board channels, or WD2 events with the channel word `channels`."""
    if layout == "WD1":
        return b"".join(wd1_event([n % 5 for n in range(12)], board_channel=n % (channels or 1), event_counter=n)
                        for n in range(events))
    return b"".join(wd2_event([float(i % 5) for i in range(12)], channels=channels, event_counter=n)
                    for n in range(events))


@needs_matplotlib
@pytest.mark.parametrize(("layout", "channels", "events", "panels"), [
    ("WD2", None, 4, 1),
    ("WD2", 3, 4, 3),
    ("WD1", 2, 4, 2),  # one panel per board_channel
    ("WD1", 1, 50, 1),  # a colour bar instead of a legend adds no panel
])
def test_plot_draws_one_panel_per_channel(layout: str, channels: int | None, events: int, panels: int,
                                          tmp_path: Path) -> None:
    path, out = tmp_path / "events.bin", tmp_path / "plot.png"
    path.write_bytes(plot_input(layout, channels, events))
    result = run_example("plot_waveforms.py", str(path), layout, "--events", str(events), "--output", str(out),
                         cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"wrote {out} ({events} events)"
    # Matplotlib versions differ in how they round inches x dpi to pixels, hence the one-pixel allowance;
    # the panel counts tested differ by 220 pixels or more.
    width, height = png_size(out)
    assert width == 800 and abs(height - png_height(panels)) <= 1, (width, height)


@needs_matplotlib
@pytest.mark.parametrize(("layout", "period", "unit", "steps", "label"), [
    ("WD1", 0, "ns", [1.0, 1.0], "sample index"),
    ("WD2", 200, "ns", [0.2, 0.2], "time (µs; sampling_period taken as ns)"),  # 12 samples: 2.4 µs
    ("WD2", 200, "ps", [0.2, 0.2], "time (ns; sampling_period taken as ps)"),  # 2400 ps
    ("WD2", 50, "ps", [50.0, 50.0], "time (ps; sampling_period taken as ps)"),  # 600 ps
    ("WD2", 4, "us", [4.0, 4.0], "time (µs; sampling_period taken as µs)"),
    ("WD2", 0, "ns", [1.0, 1.0], "sample index (sampling_period 0)"),
])
def test_plot_time_axis(layout: str, period: int, unit: str, steps: list[float], label: str,
                        recording, monkeypatch) -> None:
    monkeypatch.syspath_prepend(str(ROOT / "examples"))
    plot_waveforms = importlib.import_module("plot_waveforms")
    data = (b"".join(wd1_event(list(range(12)), event_counter=n) for n in range(2)) if layout == "WD1" else
            b"".join(wd2_event([0.0] * 12, sampling_period=period, event_counter=n) for n in range(2)))
    events = plot_waveforms.first_events(str(recording(data)), layout, 2)
    got_steps, got_label = plot_waveforms.time_steps(events, unit)
    assert got_steps == pytest.approx(steps) and got_label == label


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_examples_type_check(checker: str, tmp_path: Path) -> None:
    pytest.importorskip(checker, reason=f"{checker} comes with the test extra")
    files = sorted((ROOT / "examples").glob("*.py"))
    if checker == "mypy":
        errors, output = typecheck.mypy_strict(files, tmp_path, tmp_path / "cache")
    else:
        errors, output = typecheck.pyright(files, tmp_path, extra_paths=(ROOT / "examples",))
    assert not errors, output


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
