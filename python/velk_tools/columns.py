"""Events of WD1 and WD2 recordings in batches of columns: every header field as one NumPy array, every
sample of the batch in one flat array, and the same columns through the Arrow PyCapsule interface.

The batches are decoded by the readers behind velk.EventReader, with the same rules: the WD2 channel
probe, the end of data at a partial event, the WD1 failed state and the same exceptions.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import numpy.typing as npt

from velk_tools import _columns

__all__ = ["EventBatch", "BatchIterator", "EventTable", "read_batches", "read_table"]

DEFAULT_MAX_EVENTS = 65536
# A batch ends once its samples take this many bytes: large enough that per-batch costs vanish, small
# enough that its memory is reused from batch to batch instead of being mapped and faulted in afresh,
# and that the batch a loop keeps, the one being read and the stream's buffer stay in the CPU's cache
# (1024-sample events: 0.71 - 0.81 of read bandwidth at 512 KiB against 0.65 - 0.79 at 1 MiB).
DEFAULT_MAX_BYTES = 1 << 19


class EventBatch:
    """Consecutive events of one recording as columns.

    `columns` maps each header field, in the event dictionary's key order, to an array of the field's
    exact type; `samples` holds every sample of the batch (uint16 for WD1, float32 for WD2, bit-exact),
    and event i's samples are `samples[offsets[i]:offsets[i + 1]]`. The arrays own their memory; they
    are shared, not copied, with NumPy views and Arrow consumers.
    """

    __slots__ = ("columns", "samples", "offsets")

    def __init__(self, columns: dict[str, npt.NDArray[Any]], samples: npt.NDArray[Any],
                 offsets: npt.NDArray[np.int64]) -> None:
        self.columns = columns
        self.samples = samples
        self.offsets = offsets

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def __repr__(self) -> str:
        return f"<EventBatch of {len(self)} events, {self.offsets[-1]} samples>"

    def to_2d(self) -> npt.NDArray[Any]:
        """The samples as an (events, samples per event) array sharing their memory; ValueError when
        the events of the batch differ in their sample counts."""
        counts = np.diff(self.offsets)
        width = int(counts[0]) if len(counts) else 0
        if len(counts) and not np.all(counts == width):
            raise ValueError(f"the events of this batch hold different numbers of samples (from "
                             f"{counts.min()} to {counts.max()}); to_2d needs one count for all")
        return self.samples[: len(self) * width].reshape(len(self), width)

    def event(self, i: int) -> dict[str, Any]:
        """Event `i` as the dictionary velk.EventReader yields for it, with a copy of its samples."""
        n = len(self)
        if not -n <= i < n:
            raise IndexError(f"event index {i} out of range for a batch of {n} events")
        i %= n
        event: dict[str, Any] = {name: column[i].item() for name, column in self.columns.items()}
        event["data"] = self.samples[self.offsets[i]:self.offsets[i + 1]].copy()
        return event

    def __arrow_c_schema__(self) -> object:
        """A struct of the header columns and "data", a large list of the samples."""
        return _columns.export_schema(self.columns, self.samples, self.offsets)

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The batch as an Arrow record batch over the same memory (a requested schema is not applied)."""
        return _columns.export_batch(self.columns, self.samples, self.offsets)


class BatchIterator:
    """The batches of one recording. As with velk.EventReader, the iteration ends at end of data without
    being final (iterating again reads on from there, as the file grows), and an exception raised by
    one step leaves the iterator usable. `max_events` and `max_bytes` may be changed between steps."""

    def __init__(self, reader: _columns.BatchReader, max_events: int, max_bytes: int) -> None:
        self._reader = reader
        self.max_events = max_events
        self.max_bytes = max_bytes

    def __iter__(self) -> BatchIterator:
        return self

    def __next__(self) -> EventBatch:
        batch = EventBatch(*self._reader.read(self.max_events, self.max_bytes))
        if not len(batch):
            raise StopIteration
        return batch

    @property
    def position(self) -> int:
        """The file offset after the bytes decoded so far: where the next batch starts (0 before the
        first). Headers passed over by an error count, so it measures progress through the file."""
        return self._reader.position

    def empty_batch(self) -> EventBatch:
        """A batch of no events, with the columns' types; reads nothing."""
        return EventBatch(*self._reader.read(0, 0))


def read_batches(path: str | os.PathLike[str], reader_type: str, max_events: int = DEFAULT_MAX_EVENTS,
                 *, max_bytes: int = DEFAULT_MAX_BYTES) -> BatchIterator:
    """Opens the recording (raising what velk.EventReader raises) and returns an iterator of batches of
    up to `max_events` events. A batch also ends once its samples take `max_bytes` or more (it holds
    at least one event), at end of data, or before an event that raises; the next step raises it, so
    every event decoded before an error is delivered."""
    if max_events < 1:
        raise ValueError(f"max_events must be at least 1, not {max_events}")
    return BatchIterator(_columns.BatchReader(os.fspath(path), reader_type, None), max_events, max_bytes)


class EventTable:
    """All events of one recording as an Arrow stream (`__arrow_c_stream__`): pyarrow.table(t),
    polars.from_arrow(t) or DuckDB read it batch by batch, each batch decoded when it is asked for.
    The stream can be taken once."""

    def __init__(self, batches: BatchIterator) -> None:
        self._batches: BatchIterator | None = batches
        self._schema = batches.empty_batch()

    def __arrow_c_schema__(self) -> object:
        return self._schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        if self._batches is None:
            raise RuntimeError("this table's events have been read already; call read_table again")
        batches, self._batches = self._batches, None
        return _columns.export_stream(self._schema, batches)


def read_table(path: str | os.PathLike[str], reader_type: str, max_events: int = DEFAULT_MAX_EVENTS,
               *, max_bytes: int = DEFAULT_MAX_BYTES) -> EventTable:
    """Opens the recording (raising what velk.EventReader raises) and returns its events as an Arrow
    stream of record batches of up to `max_events` events. A read error fails the stream after the
    batches before it."""
    return EventTable(read_batches(path, reader_type, max_events, max_bytes=max_bytes))
