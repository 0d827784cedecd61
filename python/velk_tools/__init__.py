"""Tools for checking recordings that velk reads: `scan` walks a file with exactly the rules of
`velk.EventReader` without building events and reports what it holds; the `velk` command line
(`python -m velk_tools`) runs it over files. `read_batches` and `read_table` read events in batches of
columns, as NumPy arrays and through the Arrow PyCapsule interface."""

from __future__ import annotations

import os
from collections.abc import Callable

from velk_tools.columns import (BatchIterator, EventBatch, EventTable, PathLike, _channels, read_batches,
                                read_events, read_table)
from velk_tools.event_index import EventIndex, StaleIndexError, build_index, build_stream_index, sidecar_path, walk
from velk_tools.report import ScanReport
from velk_tools.sources import Source, decompressed

__all__ = ["BatchIterator", "EventBatch", "EventIndex", "EventTable", "PathLike", "ScanReport", "Source",
           "StaleIndexError", "index", "read_batches", "read_events", "read_table", "scan", "sidecar_path"]

# Bytes scanned between two calls of the progress callback (and two chances for Ctrl-C to act).
_STEP_BYTES = 64 << 20


def scan(path: Source, reader_type: str, *, progress: Callable[[int], None] | None = None,
         channels: int | None = None) -> ScanReport:
    """Walks the recording at `path` as `velk.EventReader(path, reader_type)` would read it, passing over
    sample blocks instead of reading them where the file allows, and reports what it holds.

    `path` is a str, bytes or os.PathLike, as the OS takes it, or a binary file object with `readinto`,
    read as read_batches reads one; its own exception is the report's error. Raises what constructing
    the EventReader raises for a file that cannot be opened or an unknown reader type; a WD2 file whose channel-layout
    probe fails is reported, not raised. `progress`, when given, is called now and then with the file
    offset reached. `channels` (WD2 only) skips the probe and reads with that layout: 2 or more, a
    channel word in every header; 1, none.
    """
    given = _channels(channels, reader_type) if reader_type in ("WD1", "WD2") else None
    return walk(decompressed(path), reader_type, given, False, progress, _STEP_BYTES)[0]


def index(path: Source, reader_type: str, *, channels: int | None = None) -> EventIndex:
    """Walks the recording at `path` as `scan` does and notes where each complete event starts: an
    EventIndex for read_batches' and read_table's ranges and for read_events. Raises what `scan`
    raises; what the walk found (a failed WD2 probe, an error, a partial event) is its `report`.
    `EventIndex.save()` keeps it beside the file, where the readers find it.

    A compressed file's index counts offsets in its data and is identified by the compressed file; a
    file object's is walked from where the object stands, holds positions in it and is not saved.
    Readers seek through it in an object that can seek; in others, and in compressed files, they read
    from the start and the index gives the number of events, for negative bounds and masks."""
    given = _channels(channels, reader_type) if reader_type in ("WD1", "WD2") else None
    if isinstance(path, (str, bytes, os.PathLike)):
        return build_index(os.fsdecode(path), reader_type, given)
    return build_stream_index(path, reader_type, given)
