"""velk_tools.dask.read_events against a loop over velk.EventReader per file: random recordings (cut,
broken, with sidecars or not) at random partition sizes on the synchronous scheduler, and once on a
local cluster of two worker processes."""

from __future__ import annotations

import contextlib
import importlib.util
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk_tools
from dask_cluster import local_cluster
from recordings import wd1_event, wd2_event
from reference_reader import normalised
from test_ranges import loop_of
from test_reference import PROFILE, RECORDINGS

pytestmark = pytest.mark.skipif(any(importlib.util.find_spec(m) is None for m in ("dask", "distributed")),
                                reason="dask[dataframe,distributed] comes with the test extras")


def rows_of(frame) -> list:
    """(source, event number, the event as normalised() shows it) per row."""
    import pyarrow as pa

    lists = pa.array(frame["data"].array)  # an array, or a chunked array of several partitions' chunks
    lists = lists.combine_chunks() if isinstance(lists, pa.ChunkedArray) else lists
    values, offsets = lists.values.to_numpy(), lists.offsets.to_numpy()
    headers = [name for name in frame.columns if name not in ("data", "source")]
    sources = frame["source"].tolist() if "source" in frame.columns else [None] * len(frame)
    return [(source, number, normalised({**{name: frame[name].iloc[i].item() for name in headers},
                                         "data": values[offsets[i]:offsets[i + 1]].copy()}))
            for i, (source, number) in enumerate(zip(sources, frame.index.tolist()))]


def columns_of(frame) -> list:
    """The index and each column of a computed frame with its type, compared bit for bit (NaN too)."""
    import pyarrow as pa

    table = pa.Table.from_pandas(frame).combine_chunks()
    return [(name, str(frame.dtypes.get(name)), [buffer.to_pybytes() for buffer in column.chunks[0].buffers()
                                                 if buffer is not None] if column.num_chunks else [])
            for name, column in zip(table.column_names, table.columns)]


def expected(paths: list[str], layout: str) -> tuple[list, set]:
    """The rows a loop over each file yields, and the exceptions ending any file's loop."""
    rows, raised = [], set()
    for path in paths:
        events, ending = loop_of(path, layout, 1000)
        rows += [(path if len(paths) > 1 else None, i, event) for i, event in enumerate(events)]
        if ending[0] == "raise":
            raised.add((ending[1], ending[2]))
    return rows, raised


@st.composite
def runs(draw, layout: str) -> bytes:
    """Up to 16 good events, so that files are split into several ranges (the recordings of the
    reference test hold at most five, and often break)."""
    count, width = draw(st.integers(0, 16)), draw(st.integers(0, 6))
    if layout == "WD1":
        return b"".join(wd1_event([i] * draw(st.integers(0, 6)), event_counter=i) for i in range(count))
    return b"".join(wd2_event([i / 3] * 2 * width, channels=2, event_counter=i) for i in range(count))


KINDS = {"WD1": ["wd1", "bytes", "run"], "WD2": ["wd2-word", "wd2-plain", "bytes", "run"]}


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
@settings(PROFILE, max_examples=min(PROFILE.max_examples, 30))
@given(data=st.data())
def test_partitions_hold_the_loops_events(tmp_path_factory, layout, data) -> None:
    import dask

    from velk_tools.dask import read_events

    folder = tmp_path_factory.mktemp("dask")
    paths = []
    for n in range(data.draw(st.integers(1, 3), label="files")):
        kind = data.draw(st.sampled_from(KINDS[layout]), label="kind")
        recording = data.draw(runs(layout) if kind == "run" else RECORDINGS[kind], label="recording")
        paths.append(str(folder / f"run{n}.{layout.lower()}"))
        Path(paths[-1]).write_bytes(recording + data.draw(st.binary(max_size=23), label="cut"))
        if data.draw(st.booleans(), label="sidecar"):
            with contextlib.suppress(Exception):  # a file no reader opens has no sidecar
                velk_tools.index(paths[-1], layout).save()
    rows, raised = expected(paths, layout)
    partition_events = data.draw(st.integers(1, 7), label="partition_events")
    with dask.config.set(scheduler="sync"):
        try:
            frame = read_events(paths, partition_events=partition_events)
            computed = frame.compute()
        except Exception as error:  # noqa: BLE001 - the exception is the outcome being compared
            assert (type(error), error.args) in raised
            return
        assert not raised
        assert rows_of(computed) == rows
        assert computed.dtypes.equals(frame.dtypes)
        picked = data.draw(st.lists(st.sampled_from(list(frame.columns)), min_size=1, unique=True), label="columns")
        selected = read_events(paths, partition_events=partition_events, columns=picked).compute()
        assert columns_of(selected) == columns_of(computed[picked])


def test_arguments_and_the_import_without_dask(tmp_path, run_python) -> None:
    from velk_tools.dask import read_events

    with open(tmp_path / "a.wd1", "wb") as f:
        with pytest.raises(TypeError, match="cannot be sent to a worker"):
            read_events([str(tmp_path / "a.wd1"), f], "WD1")
    for bad, message in (([], "at least one source"), ([str(tmp_path / "a.wd1")], "columns must be a list")):
        with pytest.raises(ValueError, match=message):
            read_events(bad, "WD1", columns=["source"])  # one file: no source column
    result = run_python("""
        import sys
        sys.modules["dask"] = None
        import velk_tools
        import velk_tools.dask
    """)
    assert "ImportError" in result.stderr and "pip install 'velk[dask]'" in result.stderr, result.stderr


CLUSTER_RUN = """
import pickle, sys
from dask.distributed import Client
from velk_tools.dask import read_events

with Client(sys.argv[1]) as client:
    frames = [read_events(["a.wd1", "b.wd1", "c.wd1"], partition_events=40), read_events("d.wd2", partition_events=25)]
    computed = client.compute(frames, sync=True)
    with open("computed.pickle", "wb") as f:
        pickle.dump([(frame.npartitions, frame.dtypes.equals(got.dtypes), got) for frame, got in zip(frames, computed)], f)
"""


def test_a_local_cluster_computes_the_loops_events(tmp_path, run_python) -> None:
    rng = np.random.default_rng(3)
    # a.wd1 is split in three, c.wd1 in two (cut inside its last event), d.wd2 in four.
    for name, n, cut in (("a", 100, 0), ("b", 7, 0), ("c", 60, 3)):
        events = b"".join(wd1_event(rng.integers(0, 65536, i % 30).tolist(), event_counter=i) for i in range(n))
        (tmp_path / f"{name}.wd1").write_bytes(events[:len(events) - cut])
    values = rng.standard_normal(16 * 80).astype(np.float32).tolist()
    (tmp_path / "d.wd2").write_bytes(b"".join(wd2_event(values[16 * i:16 * i + 16], channels=2, event_counter=i)
                                              for i in range(80)))
    (tmp_path / "run.py").write_text(CLUSTER_RUN)
    with local_cluster(tmp_path, run_python.env) as address:
        result = subprocess.run([sys.executable, "run.py", address], cwd=tmp_path, capture_output=True, text=True,
                                env=run_python.env, timeout=300)
    assert result.returncode == 0, result.stderr
    with open(tmp_path / "computed.pickle", "rb") as f:
        (wd1_parts, wd1_types, wd1), (wd2_parts, wd2_types, wd2) = pickle.load(f)
    rows = expected([str(tmp_path / f"{name}.wd1") for name in "abc"], "WD1")[0]
    assert (wd1_parts, wd1_types, rows_of(wd1)) == (6, True, [(Path(p).name, *rest) for p, *rest in rows])
    assert len(rows) == 166
    assert (wd2_parts, wd2_types, rows_of(wd2)) == (4, True, expected([str(tmp_path / "d.wd2")], "WD2")[0])
