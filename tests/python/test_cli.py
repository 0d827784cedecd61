"""The velk command line, run as a user runs it (python -m velk_tools, and the installed `velk` script
when there is one): exit statuses, one line per file, JSON lines, head, help, and errors as one line."""

from __future__ import annotations

import gzip
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import velk_tools
from recordings import wd1_event, wd2_event
from velk_tools import cli

WD1_FILE = b"".join(wd1_event(list(range(200)), event_counter=n, timestamp=10 * n) for n in range(6))
WD2_FILE = b"".join(wd2_event([0.5] * 64, channels=4, event_counter=n) for n in range(6))


def damaged_size() -> bytes:
    events = [wd1_event(list(range(200)), event_counter=n) for n in range(6)]
    events[3] = (10**9).to_bytes(4, "little") + events[3][4:]
    return b"".join(events)


def dropped_second_event() -> bytes:
    return b"".join(wd2_event([0.5] * 64, channels=4, event_counter=n) for n in (0, 2, 3, 4))


# name, file bytes, extra arguments, exit status, text the file's line must hold.
SCANS = [
    ("good.wd1", WD1_FILE, [], 0, "complete: 6 events, 2544 of 2544 bytes"),
    ("good.WD2", WD2_FILE, [], 0, "4 channels (word confirmed)"),
    ("cut.wd1", WD1_FILE[:-100], [], 1, "INCOMPLETE: 5 events, 2120 of 2444 bytes, 324 trailing bytes"),
    ("sized.wd1", damaged_size(), [], 1, "3 events, 1272 of 2544 bytes, 1272 trailing bytes"),
    ("packed.wd1", gzip.compress(WD1_FILE), [], 1, "INCOMPLETE: 0 events"),
    ("wd2.wd1", WD2_FILE, [], 1, "ValueError: event_size 0 is below the smallest accepted size 23"),
    ("wd2.bin", WD2_FILE, ["--type", "WD1"], 1, "error at event 0 (byte 0): ValueError"),
    ("dropped.wd2", dropped_second_event(), [], 1, "1 channel (no word, unconfirmed) - WARNING"),
    ("short.wd2", WD2_FILE[:300], [], 1, "error at event 0 (byte 0): OSError: failed to fill whole buffer"),
]


def velk_commands() -> list[list[str]]:
    commands = [[sys.executable, "-m", "velk_tools"]]
    script = shutil.which("velk", path=str(Path(sys.executable).parent))
    if script is not None:
        commands.append([script])
    return commands


@pytest.fixture(params=velk_commands(), ids=lambda command: Path(command[-1]).name)
def velk_cli(request, run_python, tmp_path):
    def run(*args: str) -> subprocess.CompletedProcess[str]:
        result = subprocess.run([*request.param, *args], cwd=tmp_path, env=run_python.env, capture_output=True,
                                text=True, timeout=120)
        assert "Traceback" not in result.stderr, result.stderr
        return result

    return run


@pytest.mark.parametrize(("name", "data", "extra", "status", "text"), SCANS, ids=[case[0] for case in SCANS])
def test_scan_prints_one_line_per_file_and_exits_by_completeness(velk_cli, tmp_path, name, data, extra, status, text):
    (tmp_path / name).write_bytes(data)
    result = velk_cli("scan", name, *extra)
    assert result.returncode == status, result.stdout + result.stderr
    line, summary = result.stdout.splitlines()
    assert line.startswith(f"{name} [") and text in line, line
    assert summary == f"1 file: {1 - status} complete, {status} incomplete"


def test_scan_of_several_files_counts_them_and_reports_unopenable_ones(velk_cli, tmp_path):
    (tmp_path / "a.wd1").write_bytes(WD1_FILE)
    (tmp_path / "b.wd2").write_bytes(WD2_FILE)
    result = velk_cli("scan", "a.wd1", "b.wd2")
    assert (result.returncode, result.stdout.splitlines()[-1]) == (0, "2 files: 2 complete, 0 incomplete")
    result = velk_cli("scan", "a.wd1", "missing.wd1")
    assert result.returncode == 1
    assert result.stdout.splitlines()[1:] == [
        "missing.wd1 [WD1]: cannot open: FileNotFoundError: No such file or directory (os error 2)",
        "2 files: 1 complete, 1 incomplete"]
    # Several at once: the same lines in the files' order.
    jobs = velk_cli("scan", "--jobs", "2", "missing.wd1", "a.wd1", "b.wd2", "a.wd1")
    alone = velk_cli("scan", "missing.wd1", "a.wd1", "b.wd2", "a.wd1")
    assert jobs.returncode == alone.returncode == 1
    assert jobs.stdout == alone.stdout


def test_scan_json_lines_carry_the_reports(velk_cli, tmp_path):
    (tmp_path / "a.wd1").write_bytes(WD1_FILE)
    (tmp_path / "b.wd2").write_bytes(dropped_second_event())
    result = velk_cli("scan", "--json", "a.wd1", "b.wd2", "gone.wd1")
    first, second, gone = (json.loads(line) for line in result.stdout.splitlines())
    assert result.returncode == 1
    assert (first["events"], first["complete"], first["sample_counts"], first["first_timestamp"],
            first["last_timestamp"], first["error"]) == (6, True, {"200": 6}, 0, 50, None)
    assert (second["channels"], second["channel_decision"], second["complete"]) == (1, "no word, unconfirmed", False)
    assert second["error"]["type"] == "ValueError" and second["error_event"] == 1
    assert gone.keys() == first.keys()
    assert {key: value for key, value in gone.items() if value is not None} == {
        "path": "gone.wd1", "reader_type": "WD1", "complete": False,
        "error": {"type": "FileNotFoundError", "message": "No such file or directory (os error 2)"}}


@pytest.mark.parametrize(("args", "message"), [
    (["convert", "x.bin", "x.parquet"], "x.bin: cannot tell the layout from its name: give --type WD1"),
    (["scan", "a.wd1", "--type", "WD3"], "argument --type: invalid choice"),
    (["head", "a.wd1", "-n", "-1"], "expected a count of 0 or more"),
    (["scan"], "the following arguments are required: FILE"),
    ([], "the following arguments are required: COMMAND"),
])
def test_usage_errors_exit_2_with_one_line(velk_cli, args, message):
    result = velk_cli(*args)
    assert result.returncode == 2 and result.stdout == ""
    assert len(result.stderr.splitlines()) == 1 and message in result.stderr, result.stderr


def test_head_prints_header_values_and_sample_summaries(velk_cli, tmp_path):
    (tmp_path / "a.wd1").write_bytes(WD1_FILE)
    result = velk_cli("head", "a.wd1", "-n", "2")
    assert result.returncode == 0
    assert result.stdout.splitlines() == ["a.wd1 (WD1)"] + [
        f"  event_size=424 board_id=1 pattern=0 board_channel=0 event_counter={n} timestamp={10 * n}"
        f" | 200 uint16 samples, min 0, max 199, mean 99.5" for n in range(2)]
    (tmp_path / "b.wd2").write_bytes(WD2_FILE)
    assert velk_cli("head", "b.wd2", "-n", "1").stdout.splitlines()[1] == (
        "  event_counter=0 timestamp=0 samples=16 sampling_period=1 channels=4"
        " | 64 float32 samples, min 0.5, max 0.5, mean 0.5")


def test_head_reports_failures_as_one_line(velk_cli, tmp_path):
    (tmp_path / "wd2.wd1").write_bytes(WD2_FILE)
    for args, message in [(["head", "wd2.wd1"], "velk head: wd2.wd1: ValueError: event_size 0 is below"),
                          (["head", "gone.wd2"], "velk head: gone.wd2: No such file or directory")]:
        result = velk_cli(*args)
        assert result.returncode == 1 and result.stderr.startswith(message), result.stderr
        assert len(result.stderr.splitlines()) == 1


def test_help_describes_each_command(velk_cli):
    assert all(command in velk_cli("--help").stdout for command in ("velk scan FILE", "velk head FILE"))
    assert "Exit status 0 when every file is complete" in velk_cli("scan", "--help").stdout
    assert "first N events" in velk_cli("head", "--help").stdout


def test_progress_bar_shows_on_a_terminal_once_a_scan_runs_long(tmp_path, monkeypatch, capsys):
    pytest.importorskip("tqdm", reason="the progress bar needs tqdm (the cli extra)")

    class Terminal(io.StringIO):
        def isatty(self) -> bool:
            return True

    (tmp_path / "a.wd1").write_bytes(WD1_FILE)
    monkeypatch.setattr(velk_tools, "_STEP_BYTES", 1000)
    for delay, shown in [(3600.0, False), (0.0, True)]:
        monkeypatch.setattr(cli, "PROGRESS_AFTER_SECONDS", delay)
        monkeypatch.setattr(sys, "stderr", Terminal())
        assert cli.main(["scan", str(tmp_path / "a.wd1")]) == 0
        assert ("a.wd1:" in sys.stderr.getvalue() and "%|" in sys.stderr.getvalue()) == shown
    assert capsys.readouterr().out.count("complete: 6 events") == 2


def test_ctrl_c_during_a_waiting_scan_exits_130_with_one_line(tmp_path, run_python):
    fifo = tmp_path / "live.wd1"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-m", "velk_tools", "scan", str(fifo)], cwd=tmp_path,
                             env=run_python.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        with open(fifo, "wb", buffering=0) as writer:  # waits for the scan to open the FIFO
            writer.write(WD1_FILE[:424 + 10])  # one event, then a header the scan waits inside
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert (child.returncode, out, err) == (130, "", "velk: interrupted\n")
