"""Recordings as one Dask DataFrame: a partition per file, or per range of a large file's events.

Planning runs where `read_events` is called: it expands the sources, takes the layout from the names,
and splits each file that may hold more than `partition_events` events by its event index. Each
partition is read on a worker by `read_batches`, from the file's path, so the workers must reach the
files under the same names.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Sequence
from typing import Any, cast

try:
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd
    import pyarrow as pa  # type: ignore[import-untyped]  # pyarrow ships no type information
except ImportError as _missing:
    raise ImportError(f"velk_tools.dask needs dask[dataframe] ({_missing}): pip install 'velk[dask]'") from _missing

from velk_tools.columns import _channels, _count, read_batches
from velk_tools.datasets import Part, Sources, expand_sources, plan_layout, shown_name, split_by_index
from velk_tools.sources import inner_name, open_compressed

__all__ = ["DEFAULT_PARTITION_EVENTS", "read_events"]

# 100_000 events of 1024 WD1 samples hold 207 MB of samples: a partition of the size Dask works well with.
DEFAULT_PARTITION_EVENTS = 100_000

# The header fields in the event dictionary's key order, with their exact types.
HEADERS: dict[str, dict[str, type[np.generic]]] = {
    "WD1": {name: np.int32 for name in ("event_size", "board_id", "pattern", "board_channel", "event_counter",
                                        "timestamp")},
    "WD2": {"event_counter": np.uint32, "timestamp": np.uint64, "samples": np.uint32,
            "sampling_period": np.uint64, "channels": np.int32},
}
# The "data" column's type, as the batches export it: a large list of samples that are never null.
SAMPLES = {layout: pa.large_list(pa.field("item", kind, nullable=False))
           for layout, kind in (("WD1", pa.uint16()), ("WD2", pa.float32()))}
# The smallest event of either layout: a file this many times partition_events bytes long or shorter
# cannot hold more events than that, and is one partition without being walked.
_SMALLEST_EVENT = 24


def read_events(sources: Sources, reader_type: str | None = None, *,
                partition_events: int = DEFAULT_PARTITION_EVENTS, columns: Sequence[str] | None = None,
                channels: int | None = None) -> dd.DataFrame:
    """The events of the recordings `sources` (a path, a list of paths or a glob pattern) as a Dask
    DataFrame: one row per complete event, in the order of the files and of their events, with the header
    fields as columns of their exact types, "data" the samples as a pyarrow large list (uint16 for WD1,
    float32 for WD2, bit-exact), and "source", the file's name as a categorical, when there are several
    files. The index, "event", is the event's number within its file.

    One partition reads one file, or, for a file of more than `partition_events` complete events,
    `partition_events` of them through its index (the `.vidx` sidecar beside it when current, else a
    walk here at scan speed). Files of at most 24 * partition_events bytes are never walked; `.gz`,
    `.bz2`, `.xz` and `.zst` files are read whole through their decompressor. `columns` selects
    columns; without "data" no sample column is built. `reader_type` defaults to the layout the names
    tell; `channels` (WD2 only) is read_batches' keyword. A partition raises what reading its file
    raises. File objects cannot be sent to workers: TypeError."""
    paths = expand_sources(sources)
    if not paths:
        raise ValueError("a dataset needs at least one source")
    for path in paths:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"velk_tools.dask.read_events reads files by their paths, which every worker opens; "
                            f"a {type(path).__name__} cannot be sent to a worker")
    layout = plan_layout(paths, reader_type)
    if layout not in HEADERS:
        raise ValueError(f"unknown reader type {layout!r}, expected 'WD1' or 'WD2'")
    given = _channels(channels, layout)
    per_part = _count(partition_events, "partition_events", 1)
    names = list(dict.fromkeys(shown_name(path) for path in paths))
    meta = _meta(layout, names if len(paths) > 1 else None)
    if columns is not None:
        unknown = [name for name in columns if name not in meta.columns]
        if isinstance(columns, str) or unknown:
            raise ValueError(f"columns must be a list of names from {list(meta.columns)}, not {columns!r}")
    parts, firsts = _plan(paths, layout, given, per_part)
    frame: dd.DataFrame = dd.from_map(_read_part, parts, firsts, meta=meta, label="velk-read-events",  # type: ignore[no-untyped-call]
                        enforce_metadata=False, channels=given, sources=tuple(names) if len(paths) > 1 else None)
    if columns is not None:
        frame = frame[list(columns)]  # the columns reach each partition's reading: nothing else is built
    return frame


def _plan(paths: list[Any], layout: str, channels: int | None, per_part: int) -> tuple[list[Part], list[int]]:
    """The parts and the number of each part's first event in its file. A split part carries only its
    own slice of the index, so that a task stays small however large the file is."""
    parts: list[Part] = []
    firsts: list[int] = []
    for source in paths:
        path = os.fsdecode(source)
        if inner_name(path) != path or os.stat(path).st_size <= _SMALLEST_EVENT * per_part:
            parts.append(Part(path, path, layout))
            firsts.append(0)
            continue
        for part in split_by_index(path, layout, channels, per_part):
            assert part.index is not None and part.start is not None
            stop = len(part.index) if part.stop is None else part.stop
            index = dataclasses.replace(part.index, offsets=part.index.offsets[part.start:stop],
                                        event_counters=part.index.event_counters[part.start:stop],
                                        sample_counts=part.index.sample_counts[part.start:stop])
            # The last range has no stop, and reads on to the end as its whole file would.
            parts.append(Part(path, path, layout, 0, None if part.stop is None else stop - part.start, index))
            firsts.append(part.start)
    return parts, firsts


def _meta(layout: str, names: list[str] | None) -> pd.DataFrame:
    """The empty frame of the partitions' columns and types."""
    data: dict[str, Any] = {name: np.empty(0, kind) for name, kind in HEADERS[layout].items()}
    data["data"] = pd.arrays.ArrowExtensionArray(pa.array([], SAMPLES[layout]))
    if names is not None:
        data["source"] = pd.Categorical([], categories=names)
    return pd.DataFrame(data, index=pd.Index(np.empty(0, np.int64), name="event"))


def _read_part(part: Part, first: int, *, channels: int | None, sources: tuple[str, ...] | None,
               columns: list[str] | None = None) -> pd.DataFrame:
    """One partition: the part's events read by read_batches on a worker, as the columns asked for."""
    layout = part.reader_type
    wanted = [*HEADERS[layout], "data", *(["source"] if sources else [])] if columns is None else columns
    compressed = open_compressed(part.name) if part.index is None else None
    try:
        batches = read_batches(part.source if compressed is None else compressed, layout, channels=channels,
                               start=part.start, stop=part.stop, index=part.index)
        empty = batches.empty_batch()
        headers = {name: [empty.columns[name]] for name in HEADERS[layout] if name in wanted}
        samples: list[Any] = []
        count = 0
        for batch in batches:
            count += len(batch)
            for name, chunks in headers.items():
                chunks.append(batch.columns[name])
            if "data" in wanted:
                samples.append(pa.record_batch(batch).column("data"))  # shares the batch's memory
    finally:
        if compressed is not None:
            compressed.close()
    out: dict[str, Any] = {name: np.concatenate(chunks) for name, chunks in headers.items()}
    if "data" in wanted:
        out["data"] = pd.arrays.ArrowExtensionArray(pa.chunked_array(samples, SAMPLES[layout]))
    if "source" in wanted and sources:
        # cast: older pandas-stubs type the codes as a Sequence only.
        codes = cast("Sequence[int]", np.full(count, sources.index(part.name)))
        out["source"] = pd.Categorical.from_codes(codes, categories=pd.Index(sources))
    return pd.DataFrame(out, index=pd.RangeIndex(first, first + count, name="event"), columns=wanted)
