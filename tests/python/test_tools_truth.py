"""velk_tools tells how far it read and never destroys: the batches' report against the scan's on the
generated recordings of the reference comparison, convert's output and refusals, the WD2 layout given
by the caller against what the file holds, arguments checked at the call, and file names as the OS
takes them. One subprocess run per command-line rule."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk_tools
from recordings import wd1_event, wd2_event
from reference_reader import ReferenceReader, trace
from test_columns import batch_trace
from test_reference import PROFILE, RECORDINGS
from velk_tools import cli, read_batches, read_table

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:  # an interpreter without the test extra: the tests without Arrow still run
    pa = pq = None
needs_arrow = pytest.mark.skipif(pa is None, reason="pyarrow comes with the test extra")

REPORT_FIELDS = [name for name in velk_tools.ScanReport.__dataclass_fields__ if name != "error"]


def read_to_end(path: str, reader_type: str, max_events: int) -> velk_tools.BatchIterator:
    """Batches read as a loop reads them, up to the end of the data or the first exception."""
    batches = read_batches(path, reader_type, max_events, max_bytes=64)
    try:
        for _ in batches:
            pass
    except (OSError, ValueError):
        pass
    return batches


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("kind", sorted(RECORDINGS))
@settings(PROFILE)
@given(data=st.data(), max_events=st.sampled_from([1, 3, 65536]))
def test_batches_and_convert_report_what_scan_reports(tmp_path_factory, kind, reader_type, data, max_events):
    recording = data.draw(RECORDINGS[kind], label="recording")
    path = str(tmp_path_factory.mktemp("truth") / "recording.bin")
    Path(path).write_bytes(recording)
    scanned = velk_tools.scan(path, reader_type)
    try:
        batches = read_to_end(path, reader_type, max_events)
    except (OSError, ValueError) as error:  # a failed WD2 probe: scan reports what opening raises
        assert scanned.error_event == 0 and (type(error), error.args) == (type(scanned.error), scanned.error.args)
        return
    report = batches.report()
    assert {f: getattr(report, f) for f in REPORT_FIELDS} == {f: getattr(scanned, f) for f in REPORT_FIELDS}
    assert (type(report.error), report.error and report.error.args) == (
        type(scanned.error), scanned.error and scanned.error.args)
    # The table of the same events carries the same facts, final once its stream has been read.
    if pa is None:
        return
    table = read_table(path, reader_type, max_events)
    reader = pa.RecordBatchReader.from_stream(table)
    assert json.loads(reader.schema.metadata[b"velk"])["complete"] is None
    try:
        reader.read_all()
    except OSError:
        pass
    assert table.report().complete == scanned.complete
    assert json.loads(pa.schema(table).metadata[b"velk"])["complete"] == scanned.complete


@pytest.mark.parametrize("kind", sorted(kind for kind in RECORDINGS if kind != "wd1"))
@settings(PROFILE)
@given(data=st.data(), channels=st.sampled_from([1, 2, 3, 4]))
def test_given_channels_read_as_the_reference_reads_that_layout(tmp_path_factory, kind, data, channels):
    recording = data.draw(RECORDINGS[kind], label="recording")
    path = str(tmp_path_factory.mktemp("given") / "recording.bin")
    Path(path).write_bytes(recording)
    limit = len(recording) // 24 + 4
    expected = trace(lambda p, t: ReferenceReader(p, t, channels), path, "WD2", limit)
    assert batch_trace(path, "WD2", 3, 1 << 20, limit, channels=channels) == expected
    delivered = next((i for i, outcome in enumerate(expected) if outcome[0] != "event"), len(expected))
    scanned = velk_tools.scan(path, "WD2", channels=channels)
    assert (scanned.events, scanned.channel_decision) == (delivered, "given")


def metadata_of(out: Path) -> dict:
    schema = pq.read_schema(out) if out.suffix == ".parquet" else pa.ipc.open_file(out).schema
    return json.loads(schema.metadata[b"velk"])


@needs_arrow
@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
def test_convert_writes_whole_files_only_and_never_over_its_input(tmp_path, suffix, monkeypatch, capsys):
    source = tmp_path / "run.wd1"
    source.write_bytes(b"".join(wd1_event([n] * 10, event_counter=n) for n in range(5)) + wd1_event([1])[:10])
    out = tmp_path / f"run{suffix}"
    assert cli.main(["convert", str(source), str(out)]) == 1  # a partial event at the end
    assert "INCOMPLETE: 5 events" in capsys.readouterr().out
    assert metadata_of(out) | {"velk_version": None} == {
        "reader_type": "WD1", "source": str(source), "file_size": 5 * 44 + 10, "bytes_read": 5 * 44,
        "complete": False, "channels": None, "channel_decision": None, "velk_version": None}
    before = out.read_bytes()
    for link in (tmp_path / f"hard{suffix}", tmp_path / f"soft{suffix}"):
        (os.link if link.name.startswith("hard") else os.symlink)(source, link)
    for target, force, refusal in [(out, False, "exists: give --force"), (tmp_path / f"hard{suffix}", True, "is the input"),
                                   (tmp_path / f"soft{suffix}", True, "is the input")]:
        with pytest.raises(SystemExit) as exited:
            cli.main(["convert", str(source), str(target), *(["--force"] if force else [])])
        assert exited.value.code == 2 and refusal in capsys.readouterr().err
    assert source.stat().st_size == 5 * 44 + 10
    # A conversion that fails part-way leaves the older table as it was and no temporary file.
    monkeypatch.setattr(cli.TableWriter, "write", lambda self, batch: (_ for _ in ()).throw(OSError("disk full")))
    assert cli.main(["convert", str(source), str(out), "--force"]) == 1
    assert capsys.readouterr().err == f"velk convert: {out}: disk full\n"
    assert out.read_bytes() == before and sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("."))== []


TWOS = b"".join(wd2_event([2.0], event_counter=n) for n in range(3))  # no word; 2.0 reads as word 2^30
VARYING = b"".join(wd2_event([float(n)] * 2 * (n + 1), channels=2, event_counter=n) for n in range(3))
SECOND_MISSING = b"".join(wd2_event([1.0] * 4, event_counter=n) for n in (0, 2, 3))


@pytest.mark.parametrize(("data", "channels", "probed", "values"), [
    (TWOS, 1, "word confirmed, block length wraps", [[2.0]] * 3),
    (VARYING, 2, "no word, unconfirmed", [[0.0] * 2, [1.0] * 4, [2.0] * 6]),
    (SECOND_MISSING, 1, None, [[1.0] * 4] * 3),  # 1.0 as a word makes a block beyond the limit
    (VARYING[:36], 2, None, [[0.0] * 2]),  # one event: the probe cannot decide
], ids=["twos", "varying", "second missing", "one event"])
def test_given_channels_read_what_the_probe_cannot(recording, data, channels, probed, values):
    path = recording(data, "run.wd2")
    report = velk_tools.scan(path, "WD2")
    assert report.channel_decision == probed and (report.suspect or probed is None)
    given = velk_tools.scan(path, "WD2", channels=channels)
    assert (given.complete, given.events, given.channels, given.channel_decision) == (True, len(values), channels, "given")
    batches = read_batches(path, "WD2", channels=channels)
    events = [batch.event(i) for batch in batches for i in range(len(batch))]
    assert [e["data"].tolist() for e in events] == values and {e["channels"] for e in events} == {channels}
    assert batches.report().channel_decision == "given" and batches.report().complete


@pytest.mark.parametrize(("kwargs", "error", "text"), [
    ({"max_events": 1.5}, TypeError, "max_events must be an int"),
    ({"max_events": 2**63}, ValueError, "max_events must be from 1"),
    ({"max_events": 0}, ValueError, "max_events must be from 1"),
    ({"max_bytes": -1}, ValueError, "max_bytes must be from 0"),
    ({"max_bytes": True}, TypeError, "max_bytes must be an int"),
    ({"channels": 0}, ValueError, "channels must be from 1"),
    ({"channels": "2"}, TypeError, "channels must be an int or None"),
])
@pytest.mark.parametrize("function", [read_batches, read_table])
def test_arguments_are_checked_at_the_call(recording, function, kwargs, error, text):
    with pytest.raises(error, match=text):
        function(recording(wd2_event([1.0])), "WD2", **kwargs)
    with pytest.raises(ValueError, match="channels applies to WD2 recordings only"):
        function(recording(wd1_event([1])), "WD1", channels=2)


def test_file_names_as_the_os_takes_them(tmp_path, run_python):
    name = os.fsencode(tmp_path) + b"/caf\xe9.wd1"  # not UTF-8: a str holds it with a surrogate escape
    with open(name, "wb") as f:
        f.write(wd1_event([1, 2]) * 3)
    for path in (name, os.fsdecode(name), Path(os.fsdecode(name))):
        assert velk_tools.scan(path, "WD1").events == 3
        assert velk_tools.scan(path, "WD1").path == os.fsdecode(name)
        assert sum(map(len, read_batches(path, "WD1"))) == 3
    result = subprocess.run([sys.executable, "-m", "velk_tools", "head", name, b"/no/such\xe9.wd1"],
                            env=run_python.env, capture_output=True)
    assert result.returncode == 1 and result.stdout.startswith(name + b" (WD1)")
    assert result.stderr == b"velk head: /no/such\xe9.wd1: No such file or directory (os error 2)\n"


def velk(run_python, *args: str, stdin: bytes | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "velk_tools", *args], env=run_python.env, capture_output=True,
                          text=True, input=None if stdin is None else stdin.decode("latin-1"), timeout=120)


def test_command_line_rules(tmp_path, run_python, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("one.wd1").write_bytes(wd1_event([1, 2]))
    Path("twos.wd2").write_bytes(TWOS)
    Path("empty.wd2").write_bytes(b"")
    version = velk(run_python, "--version")
    assert version.returncode == 0 and f"NumPy {np.__version__}" in version.stdout
    # scan goes on past a file it cannot handle, and sets the status at the end.
    result = velk(run_python, "scan", "x.bin", "nosuch.wd1", "one.wd1")
    assert result.returncode == 1 and result.stdout.splitlines() == [
        "x.bin [?]: cannot scan: cannot tell the layout from its name: give --type WD1 or --type WD2",
        "nosuch.wd1 [WD1]: cannot open: FileNotFoundError: No such file or directory (os error 2)",
        "one.wd1 [WD1]: complete: 1 event, 28 of 28 bytes", "3 files: 1 complete, 2 incomplete"]
    # Standard input, with --type; the given layout reads it without the probe's seek.
    result = velk(run_python, "scan", "-", "--type", "WD2", "--channels", "1", stdin=TWOS)
    assert "- [WD2]: complete: 3 events, 84 of ? bytes, 1 channel (given)" in result.stdout, result.stdout
    # The suspect layout's warning, and the plain reason for a file of fewer than two events.
    result = velk(run_python, "scan", "twos.wd2", "empty.wd2")
    assert "(word confirmed, block length wraps) - WARNING" in result.stdout and "--channels 1" in result.stdout
    assert "fewer than two events, so the channel layout cannot be decided" in result.stdout
    Path("cut.wd1").write_bytes(wd1_event([1, 2]) + wd1_event([3])[:-1])
    result = velk(run_python, "head", "cut.wd1")
    assert result.returncode == 1 and "cut.wd1 [WD1]: INCOMPLETE: 1 event, 28 of 53 bytes" in result.stdout
    result = velk(run_python, "head", "--json", "-n", "1", "one.wd1", "twos.wd2")
    first, second = map(json.loads, result.stdout.splitlines())
    assert first["events"][0]["data"] == {"count": 2, "dtype": "uint16", "min": 1, "max": 2, "mean": 1.5}
    assert "--channels 1" in second["warnings"][0] and second["channels"] == 2**30


def test_plot_example_helps_without_matplotlib(tmp_path, run_python):
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "matplotlib.py").write_text("raise ImportError('No module named matplotlib')\n")
    env = dict(run_python.env, PYTHONPATH=os.pathsep.join([str(blocker), run_python.env.get("PYTHONPATH", "")]))
    example = Path(__file__).parents[2] / "examples" / "plot_waveforms.py"
    helped = subprocess.run([sys.executable, str(example), "--help"], env=env, capture_output=True, text=True)
    assert helped.returncode == 0 and "--period-unit" in helped.stdout
    plotted = subprocess.run([sys.executable, str(example)], env=env, capture_output=True, text=True)
    assert plotted.returncode != 0 and "pip install 'velk[plot]'" in plotted.stderr


def test_batches_are_typed_by_reader_type_and_the_package_completely(tmp_path):
    typecheck = pytest.importorskip("typecheck")
    pytest.importorskip("mypy", reason="the type checks need mypy (the test extra installs it)")
    (tmp_path / "use.py").write_text(
        "from velk_tools import read_batches\n"
        "batch = next(read_batches('a.wd1', 'WD1'))\n"
        "reveal_type(batch.samples)\nreveal_type(batch.event(0))\n"
        "reveal_type(next(read_batches('a.wd2', 'WD2', channels=2)).to_2d())\n")
    result = typecheck.run_module(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "use.py"], tmp_path)
    revealed = [line.split("Revealed type is ")[1] for line in result.stdout.splitlines() if "Revealed" in line]
    # NumPy 1.26 names the bit widths numpy._typing._16Bit, NumPy 2 numpy._typing._nbit_base._16Bit.
    assert len(revealed) == 3 and re.search(r"unsignedinteger\[numpy\._typing\.(_nbit_base\.)?_16Bit\]",
                                            revealed[0]), result.stdout
    assert revealed[1].startswith('"TypedDict(velk.WD1Event')
    assert re.search(r"floating\[numpy\._typing\.(_nbit_base\.)?_32Bit\]", revealed[2]), result.stdout
    pytest.importorskip("pyright", reason="the test extra installs pyright")
    verified = typecheck.run_module(["pyright", "--verifytypes", "velk_tools", "--ignoreexternal"], tmp_path)
    assert "Type completeness score: 100%" in verified.stdout, verified.stdout
