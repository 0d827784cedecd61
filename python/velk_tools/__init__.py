"""Tools for checking recordings that velk reads: `scan` walks a file with exactly the rules of
`velk.EventReader` without building events and reports what it holds; the `velk` command line
(`python -m velk_tools`) runs it over files. `read_batches` and `read_table` read events in batches of
columns, as NumPy arrays and through the Arrow PyCapsule interface."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Literal

from velk_tools._scan import Scanner
from velk_tools.columns import BatchIterator, EventBatch, EventTable, read_batches, read_table

__all__ = ["BatchIterator", "EventBatch", "EventTable", "ScanReport", "read_batches", "read_table", "scan"]

# Bytes scanned between two calls of the progress callback (and two chances for Ctrl-C to act).
_STEP_BYTES = 64 << 20


@dataclass(frozen=True)
class ScanReport:
    """What `scan` found in one recording.

    `error` is the exception iterating the file would raise (same class and text), `error_event` the
    number of complete events before it and `error_offset` the first byte of the event being decoded
    (0 for a WD2 file whose channel-layout probe failed, so that no reader can be made). The scan stops
    there, as a `for` loop over the reader does. `trailing_bytes` counts the bytes of a partial event at
    the end of the file; the scan ended at end of data there.
    """

    path: str
    reader_type: str
    events: int
    bytes_read: int
    file_size: int | None
    trailing_bytes: int
    complete: bool
    error: Exception | None
    error_event: int | None
    error_offset: int | None
    channels: int | None
    channel_decision: Literal["word confirmed", "no word, confirmed", "no word, unconfirmed"] | None
    sample_counts: dict[int, int]
    counter_gaps: int
    missing_counts: int
    counter_backward_steps: int
    first_gap_event: int | None
    first_backward_event: int | None
    first_timestamp: int | None
    last_timestamp: int | None

    def to_json(self) -> dict[str, object]:
        """The report as JSON-ready values; the error as its class name and text."""
        fields = dict(self.__dict__)
        error = fields.pop("error")
        fields["error"] = None if error is None else {"type": type(error).__name__, "message": str(error)}
        fields["sample_counts"] = {str(values): events for values, events in self.sample_counts.items()}
        return fields


def scan(path: str | os.PathLike[str], reader_type: str, *,
         progress: Callable[[int], None] | None = None) -> ScanReport:
    """Walks the recording at `path` as `velk.EventReader(path, reader_type)` would read it, passing over
    sample blocks instead of reading them where the file allows, and reports what it holds.

    Raises what constructing the EventReader raises for a file that cannot be opened or an unknown
    reader type; a WD2 file whose channel-layout probe fails is reported, not raised. `progress`, when
    given, is called now and then with the file offset reached.
    """
    path = os.fspath(path)
    scanner = Scanner(path, reader_type, None)
    while not scanner.step(_STEP_BYTES):
        if progress is not None:
            progress(scanner.position())
    return ScanReport(path=path, reader_type=reader_type, **scanner.report())
