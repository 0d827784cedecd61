"""Datasets against velk.EventReader over each file in turn: the same events, from the same files, with
the same exceptions between them, through read_batches and read_table over a list of generated
recordings (cut and damaged ones too); each file's report against its scan; the checks made at the
call; `velk convert FILE... DIR/` read back as one table by pyarrow, polars and DuckDB."""

from __future__ import annotations

import gzip
import itertools
import json
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk
import velk_tools
from recordings import wd1_event, wd2_event
from reference_reader import normalised, trace
from test_reference import PROFILE, RECORDINGS

try:
    import pyarrow as pa
except ImportError:  # an interpreter without the test extra: the tests of batches alone still run
    pa = None
needs_arrow = pytest.mark.skipif(pa is None, reason="pyarrow comes with the test extra")

KINDS = {"WD1": ["wd1", "bytes"], "WD2": ["wd2-word", "wd2-plain", "bytes"]}


def files_in_turn(paths: list[str], reader_type: str, limit: int) -> list:
    """The outcomes of EventReader over each file until its end, its events tagged with the file; a
    first file that cannot be opened is the only outcome."""
    outcomes: list = []
    for i, path in enumerate(paths):
        steps = trace(velk.EventReader, path, reader_type, limit)
        if i == 0 and len(steps) == 1 and steps[0][0] == "raise":
            return steps
        for step in steps:
            if step == ("end",):
                break
            outcomes.append(("event", path, step[1]) if step[0] == "event" else step)
    return outcomes + [("end",)]


def dataset_trace(paths: list[str], reader_type: str | None, max_events: int, max_bytes: int, limit: int,
                  threads: int = 1):
    try:
        batches = velk_tools.read_batches(paths, reader_type, max_events, max_bytes=max_bytes, threads=threads)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome being compared
        return [("raise", type(error), error.args)], None
    outcomes: list = []
    for _ in range(limit):
        try:
            batch = next(batches)
        except StopIteration:
            outcomes.append(("end",))
            break
        except Exception as error:  # noqa: BLE001
            outcomes.append(("raise", type(error), error.args))
        else:
            assert 1 <= len(batch) <= max_events
            outcomes.extend(("event", batch.source, normalised(batch.event(i))) for i in range(len(batch)))
    return outcomes, batches


def check_table(paths: list[str], reader_type: str, max_events: int, expected: list) -> None:
    """read_table holds the events before the first exception, their files in "source", and fails there."""
    events = list(itertools.takewhile(lambda outcome: outcome[0] == "event", expected))
    try:
        table = pa.table(velk_tools.read_table(paths, reader_type, max_events))
    except Exception:  # noqa: BLE001 - the Arrow stream fails after the batches before the exception
        assert expected[len(events)] != ("end",)
        return
    assert expected[len(events)] == ("end",) and table.column("source").to_pylist() == [e[1] for e in events]
    for position, name in enumerate(table.column_names[:-2]):
        assert table.column(name).to_pylist() == [event[position][2] for _, _, event in events], name
    samples = table.column("data").combine_chunks().values if len(table) else pa.array([])
    assert np.asarray(samples).tobytes() == b"".join(event[-1][4] for _, _, event in events)
    assert [entry["source"] for entry in json.loads(table.schema.metadata[b"velk"])["files"]] == paths


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@settings(PROFILE)
@given(data=st.data())
def test_a_dataset_reads_as_event_reader_over_each_file_in_turn(tmp_path_factory, reader_type, data) -> None:
    folder = tmp_path_factory.mktemp("dataset")
    recordings = data.draw(st.lists(st.sampled_from(KINDS[reader_type]).flatmap(lambda kind: RECORDINGS[kind]),
                                    min_size=1, max_size=3), label="recordings")
    paths = []
    for i, recording in enumerate(recordings):
        paths.append(str(folder / f"run{i}.{reader_type.lower()}"))
        with open(paths[-1], "wb") as f:
            f.write(recording)
    limit = sum(len(r) // 24 + 4 for r in recordings) + 4
    expected = files_in_turn(paths, reader_type, limit)
    max_events = data.draw(st.integers(1, 5), label="max_events")
    max_bytes = data.draw(st.sampled_from([1, 16, 1 << 20]), label="max_bytes")
    given_type = data.draw(st.sampled_from([reader_type, None]), label="reader_type")
    threads = data.draw(st.sampled_from([1, 2, 3]), label="threads")
    got, batches = dataset_trace(paths, given_type, max_events, max_bytes, limit, threads)
    assert got == expected
    if batches is None:
        return
    reports = batches.reports()
    assert [r.path for r in reports] == paths and batches.ended
    for path, report in zip(paths, reports):
        scanned = velk_tools.scan(path, reader_type)
        error = None if scanned.error is None else (type(scanned.error), scanned.error.args)
        assert (report.complete, report.error_event) == (scanned.complete, scanned.error_event), path
        assert (None if report.error is None else (type(report.error), report.error.args)) == error
    if pa is not None:
        check_table(paths, reader_type, max_events, expected)


def test_dataset_checks_at_the_call_glob_order_and_reports(tmp_path, monkeypatch, fds_on) -> None:
    monkeypatch.chdir(tmp_path)
    for name, events in (("b.wd1", 2), ("a.wd1", 1), ("c10.wd1", 1), ("c9.wd1", 3)):
        (tmp_path / name).write_bytes(b"".join(wd1_event([n], event_counter=n) for n in range(events)))
    (tmp_path / "x.wd2").write_bytes(wd2_event([1.0]) * 2)
    # The plan is checked before any file is opened: mixed or unknown layouts, ranges of a dataset.
    for sources, kwargs, error, text in [
        (["missing.wd1", "x.wd2"], {}, ValueError, "missing.wd1 is WD1 and x.wd2 is WD2"),
        (["a.wd1", "notes.txt"], {}, ValueError, "cannot tell the layout of notes.txt"),
        ([], {"reader_type": "WD1"}, ValueError, "at least one source"),
        ("*.wd3", {}, FileNotFoundError, "no file matches"),
        (["a.wd1"], {"start": 1}, TypeError, "start, stop and index apply to one source"),
    ]:
        with pytest.raises(error, match=text):
            velk_tools.read_batches(sources, **kwargs)
    sources = [b.source for b in velk_tools.read_batches("*.wd1", max_events=1)]
    assert sources == ["a.wd1", "b.wd1", "b.wd1", "c10.wd1", "c9.wd1", "c9.wd1", "c9.wd1"]
    # A single source reads as before: no source, no column; the layout from its name.
    assert [b.source for b in velk_tools.read_batches("b.wd1")] == [None]
    if pa is not None:
        assert "source" not in pa.table(velk_tools.read_table("b.wd1")).column_names
    # A file that cannot be opened raises after the files before it, names itself, and the reading
    # goes on; report() is the one that decides completeness.
    (tmp_path / "cut.wd1").write_bytes(wd1_event([7]) + b"\1")
    batches = velk_tools.read_batches(["a.wd1", "gone.wd1", "cut.wd1", "b.wd1"])
    assert next(batches).source == "a.wd1"
    with pytest.raises(FileNotFoundError) as raised:
        next(batches)
    if sys.version_info >= (3, 11):
        assert raised.value.__notes__ == ["while reading gone.wd1"]
    assert [b.source for b in batches] == ["cut.wd1", "b.wd1"]
    assert fds_on("a.wd1") == fds_on("cut.wd1") == [] and len(fds_on("b.wd1")) == 1  # done files are closed
    reports = batches.reports()
    assert [(r.path, r.events, r.complete) for r in reports] == [
        ("a.wd1", 1, True), ("gone.wd1", 0, False), ("cut.wd1", 1, False), ("b.wd1", 2, True)]
    assert type(reports[1].error) is FileNotFoundError and reports[2].trailing_bytes == 1
    assert batches.report().path == "gone.wd1"


@needs_arrow
def test_convert_writes_one_parquet_dataset(tmp_path, run_python) -> None:
    good = b"".join(wd1_event([n, n + 1], event_counter=n) for n in range(5))
    for name, data in (("a.wd1", good), ("b.wd1.gz", gzip.compress(good[:56])), ("c.wd1", good[:30])):
        (tmp_path / name).write_bytes(data)  # c.wd1: one event and a partial one

    def velk(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, "-m", "velk_tools", *args], cwd=tmp_path, env=run_python.env,
                              capture_output=True, text=True, timeout=120)

    converted = velk("convert", "a.wd1", "b.wd1.gz", "c.wd1", "missing.wd1", "out/")
    assert converted.returncode == 1 and "c.wd1 [WD1]: INCOMPLETE: 1 event" in converted.stdout
    assert "velk convert: missing.wd1: No such file or directory" in converted.stderr
    refused = velk("convert", "*.wd1", "out/")  # a quoted pattern; out/a.parquet exists
    assert refused.returncode == 2 and "out/a.parquet exists: give --force" in refused.stderr
    out = tmp_path / "out"
    assert sorted(p.name for p in out.iterdir()) == ["a.parquet", "b.parquet", "c.parquet"]
    expected = [(name, n, [n, n + 1]) for name, count in (("a.wd1", 5), ("b.wd1.gz", 2), ("c.wd1", 1))
                for n in range(count)]
    import pyarrow.dataset as ds
    table = ds.dataset(out).to_table()
    assert sorted(zip(*(table.column(c).to_pylist() for c in ("source", "event_counter", "data")))) == expected
    frame = pytest.importorskip("polars").scan_parquet(str(out / "*.parquet")).collect()
    assert sorted(zip(frame["source"], frame["event_counter"], frame["data"].to_list())) == expected
    for name, source, complete in (("a", "a.wd1", True), ("b", "b.wd1.gz", True), ("c", "c.wd1", False)):
        metadata = json.loads(ds.dataset(out / f"{name}.parquet").schema.metadata[b"velk"])
        assert (metadata["source"], metadata["complete"]) == (source, complete)
    duckdb = pytest.importorskip("duckdb")
    counts = duckdb.sql(f"select source, count(*) from read_parquet('{out}/*.parquet') group by all").fetchall()
    assert sorted(counts) == [("a.wd1", 5), ("b.wd1.gz", 2), ("c.wd1", 1)]
