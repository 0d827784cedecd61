"""Events of WD1 and WD2 recordings in batches of columns: every header field as one NumPy array, every
sample of the batch in one flat array, and the same columns through the Arrow PyCapsule interface.

The batches are decoded by the readers behind velk.EventReader, with the same rules: the WD2 channel
probe, the end of data at a partial event, the WD1 failed state and the same exceptions.
"""

from __future__ import annotations

import functools
import io
import json
import operator
import os
import sys
import threading
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Generic, Literal, TypeVar, Union, overload

import numpy as np
import numpy.typing as npt

from velk_tools import _columns
from velk_tools.event_index import EventIndex, resolve_index
from velk_tools.report import ScanReport
from velk_tools.sources import Feeder, Source, decompressed, inner_name, open_source, seekable, source_name

if TYPE_CHECKING:
    from velk import WD1Event, WD2Event
    from velk_tools.datasets import Sources

# What every function of velk_tools takes as a file name: whatever the OS takes.
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# The events of a batch and the NumPy type of their samples: WD1Event and uint16, WD2Event and float32.
EventT = TypeVar("EventT", "WD1Event", "WD2Event", "WD1Event | WD2Event")
SampleT = TypeVar("SampleT", bound=np.generic)

__all__ = ["EventBatch", "BatchIterator", "EventTable", "read_batches", "read_events", "read_table"]

DEFAULT_MAX_EVENTS = 65536
# A batch ends once its samples take this many bytes: large enough that per-batch costs vanish, small
# enough that its memory is reused from batch to batch instead of being mapped and faulted in afresh,
# and that the batch a loop keeps, the one being read and the stream's buffer stay in the CPU's cache
# (1024-sample events: 0.71 - 0.81 of read bandwidth at 512 KiB against 0.65 - 0.79 at 1 MiB).
DEFAULT_MAX_BYTES = 1 << 19
# The batches in which a range of a source read from its start passes over the events before it.
_PASS_OVER_BYTES = 4 << 20


class EventBatch(Generic[EventT, SampleT]):
    """Consecutive events of one recording as columns.

    `columns` maps each header field, in the event dictionary's key order, to an array of the field's
    exact type; `samples` holds every sample of the batch (uint16 for WD1, float32 for WD2, bit-exact),
    and event i's samples are `samples[offsets[i]:offsets[i + 1]]`. The arrays own their memory; they
    are shared, not copied, with NumPy views and Arrow consumers. `source` is the name of the file the
    batch comes from when it is read as part of a dataset (a batch never spans two files), else None;
    its Arrow form then has a last column "source", dictionary-encoded.
    """

    __slots__ = ("columns", "samples", "offsets", "source", "_names")

    def __init__(self, columns: dict[str, npt.NDArray[Any]], samples: npt.NDArray[SampleT],
                 offsets: npt.NDArray[np.int64]) -> None:
        self.columns: dict[str, npt.NDArray[Any]] = columns
        self.samples: npt.NDArray[SampleT] = samples
        self.offsets: npt.NDArray[np.int64] = offsets
        self.source: str | None = None
        self._names: SourceNames | None = None

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def __repr__(self) -> str:
        origin = "" if self.source is None else f" of {self.source}"
        return f"<EventBatch of {len(self)} events{origin}, {self.offsets[-1]} samples>"

    def _source_column(self) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.uint8]] | None:
        if self._names is None or self.source is None:
            return None
        return self._names.column(self.source, len(self))

    def to_2d(self) -> npt.NDArray[SampleT]:
        """The samples as an (events, samples per event) array sharing their memory; ValueError when
        the events of the batch differ in their sample counts."""
        counts = np.diff(self.offsets)
        width = int(counts[0]) if len(counts) else 0
        if len(counts) and not np.all(counts == width):
            raise ValueError(f"the events of this batch hold different numbers of samples (from "
                             f"{counts.min()} to {counts.max()}); to_2d needs one count for all")
        return self.samples[: len(self) * width].reshape(len(self), width)

    def event(self, i: int) -> EventT:
        """Event `i` as the dictionary velk.EventReader yields for it, with a copy of its samples."""
        n = len(self)
        if not -n <= i < n:
            raise IndexError(f"event index {i} out of range for a batch of {n} events")
        i %= n
        event: dict[str, Any] = {name: column[i].item() for name, column in self.columns.items()}
        event["data"] = self.samples[self.offsets[i]:self.offsets[i + 1]].copy()
        return event  # type: ignore[return-value]  # the keys and types of EventT, built from the columns

    def __arrow_c_schema__(self) -> object:
        """A struct of the header columns and "data", a large list of the samples (and "source")."""
        return _columns.export_schema(self.columns, self.samples, self.offsets, None, self._source_column())

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The batch as an Arrow record batch over the same memory (a requested schema is not applied)."""
        return _columns.export_batch(self.columns, self.samples, self.offsets, self._source_column())


class SourceNames:
    """The dictionary of a dataset's "source" column: each file name once, in the order of the files,
    as the UTF-8 bytes and int32 offsets Arrow shares. A name that is not valid Unicode (undecodable
    bytes) is given with backslash escapes."""

    def __init__(self, names: Sequence[str]) -> None:
        self.names: list[str] = list(dict.fromkeys(names))
        self._codes: dict[str, int] = {name: code for code, name in enumerate(self.names)}
        encoded = [name.encode("utf-8", "backslashreplace") for name in self.names]
        self._offsets: npt.NDArray[np.int32] = np.cumsum([0] + [len(e) for e in encoded], dtype=np.int32)
        self._bytes: npt.NDArray[np.uint8] = np.frombuffer(b"".join(encoded), dtype=np.uint8)

    def column(self, name: str, events: int) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32],
                                                      npt.NDArray[np.uint8]]:
        """The `source` column of `events` events of the file `name`."""
        return np.full(events, self._codes[name], dtype=np.int32), self._offsets, self._bytes


class _Tally:
    """The facts of a scan, summed over the batches delivered: events, bytes, sample counts, counter
    steps and time tags. Each batch is added with a few whole-array operations."""

    def __init__(self, header_bytes: int, sample_bytes: int) -> None:
        self.header_bytes, self.sample_bytes = header_bytes, sample_bytes
        self.events = self.bytes_read = 0
        self.sample_counts: dict[int, int] = {}
        self.counter_gaps = self.missing_counts = self.counter_backward_steps = 0
        self.first_gap_event: int | None = None
        self.first_backward_event: int | None = None
        self.first_timestamp: int | None = None
        self.last_timestamp: int | None = None
        self._last_counter: npt.NDArray[np.uint32] = np.empty(0, np.uint32)

    def add(self, batch: EventBatch[Any, Any]) -> None:
        n = len(batch)
        # The common batches (one sample count, counters one apart) take one comparison each.
        sizes = np.diff(batch.offsets)
        if (sizes == sizes[0]).all():
            self.sample_counts[int(sizes[0])] = self.sample_counts.get(int(sizes[0]), 0) + n
        else:
            for size, count in zip(*(a.tolist() for a in np.unique(sizes, return_counts=True))):
                self.sample_counts[size] = self.sample_counts.get(size, 0) + count
        # Steps modulo 2^32, read as signed: above 1 a gap, 0 or below a backward step.
        counters = np.concatenate([self._last_counter, batch.columns["event_counter"].astype(np.uint32)])
        steps = np.diff(counters).view(np.int32)
        if not (steps == 1).all():
            self._add_steps(steps, self.events + (1 - len(self._last_counter)))  # the event after steps[0]
        times = batch.columns["timestamp"]
        if self.first_timestamp is None:
            self.first_timestamp = int(times[0])
        self.last_timestamp = int(times[-1])
        self._last_counter = counters[-1:]
        self.events += n
        self.bytes_read += n * self.header_bytes + int(batch.offsets[-1]) * self.sample_bytes

    def _add_steps(self, steps: npt.NDArray[np.int32], first_index: int) -> None:
        gaps, backward = np.flatnonzero(steps > 1), np.flatnonzero(steps <= 0)
        self.counter_gaps += len(gaps)
        self.missing_counts += int(steps[gaps].astype(np.int64).sum()) - len(gaps)
        self.counter_backward_steps += len(backward)
        if self.first_gap_event is None and len(gaps):
            self.first_gap_event = first_index + int(gaps[0])
        if self.first_backward_event is None and len(backward):
            self.first_backward_event = first_index + int(backward[0])


class BatchIterator(Generic[EventT, SampleT]):
    """The batches of one recording. As with velk.EventReader, the iteration ends at end of data without
    being final (iterating again reads on from there, as the file grows), and an exception raised by
    one step leaves the iterator usable. `max_events` and `max_bytes` may be changed between steps.
    `report()` tells what has been read so far. An iterator of a range with a stop ends there (its
    report counts the bytes before the range as read, and is complete only at the file's end).

    A range of a source that cannot seek reads the events before it and drops them. With a stop it
    ends, as a range through the index does, after the complete events the data holds up to the stop:
    an exception met there ends it and is its report's error."""

    def __init__(self, reader: _columns.BatchReader, path: str, reader_type: str, max_events: int,
                 max_bytes: int, feeder: Feeder | None = None, *, first_byte: int = 0,
                 limit: int | None = None) -> None:
        self._reader = reader
        self._feeder = feeder
        self._path, self._reader_type = path, reader_type
        self.max_events: int = max_events
        self.max_bytes: int = max_bytes
        self._channels, self._decision = reader.layout()
        header = 28 if self._channels is not None and self._channels >= 2 else 24
        self._tally = _Tally(header, 2 if reader_type == "WD1" else 4)
        self._tally.bytes_read = first_byte
        self._limit = limit
        self._skip = 0  # events before a range of a source that cannot seek (_open_forward)
        self._forward = False
        self._origin = 0  # where in a file object its reading started (_open_sought): pipe offsets start at 0
        self._error: Exception | None = None
        self._error_at: tuple[int, int] | None = None
        self._ended = False
        self._lock = threading.Lock()

    def __iter__(self) -> BatchIterator[EventT, SampleT]:
        return self

    def __next__(self) -> EventBatch[EventT, SampleT]:
        with self._lock:  # threads sharing the iterator take turns, each with a whole step
            return self._step()

    def _step(self) -> EventBatch[EventT, SampleT]:
        try:
            if self._skip:
                self._pass_over()
            if self._limit == 0:
                self._ended = True
                raise StopIteration
            wanted = self.max_events if self._limit is None else min(self.max_events, self._limit)
            batch: EventBatch[EventT, SampleT] = EventBatch(*self._reader.read(wanted, self.max_bytes))
            self._ended = not len(batch)
            # The end of a file object's bytes: its own error, if it failed, ends the iteration.
            if self._ended and self._feeder is not None and self._feeder.error is not None:
                raise self._feeder.error
        except StopIteration:
            raise
        except Exception as error:
            if self._error is None:
                self._error, self._error_at = error, (self._tally.events, self._tally.bytes_read)
            if self._forward and self._limit is not None:
                self._limit = 0  # the range ends where the data does; its report keeps the error
                self._ended = True
                raise StopIteration from None
            raise
        if self._ended:
            raise StopIteration
        self._tally.add(batch)
        if self._limit is not None:
            self._limit -= len(batch)
        return batch

    def _pass_over(self) -> None:
        """Reads and drops the events before a range of a source that cannot seek. An exception, or
        the end of the data, before them all makes the range start there."""
        while self._skip:
            wanted = min(self._skip, DEFAULT_MAX_EVENTS)
            try:
                offsets = self._reader.read(wanted, max(self.max_bytes, _PASS_OVER_BYTES))[2]
            except Exception:
                self._skip = 0
                raise
            self._tally.bytes_read = self._reader.position
            self._skip = 0 if len(offsets) == 1 else self._skip - (len(offsets) - 1)

    @property
    def position(self) -> int:
        """The file offset after the bytes decoded so far: where the next batch starts (0 before the
        first). Headers passed over by an error count, so it measures progress through the file."""
        return self._reader.position + self._origin

    def empty_batch(self) -> EventBatch[EventT, SampleT]:
        """A batch of no events, with the columns' types; reads nothing."""
        return EventBatch(*self._reader.read(0, 0))

    @property
    def ended(self) -> bool:
        """Whether the iteration has come to an end (end of data or an error) since the last batch."""
        return self._ended or self._error is not None

    def report(self) -> ScanReport:
        """What the batches delivered so far hold, as `scan` reports a file: `complete` once the
        iteration has reached the end of the data with no error and no partial event behind it. The
        first exception a step raised is `error`, with the events before it."""
        t = self._tally
        size = self._reader.file_size
        # Without a size (a pipe, a file object), the bytes taken past the last event: a partial one.
        end = self._reader.received + self._origin if size is None else size
        trailing = end - t.bytes_read if self._ended and end > t.bytes_read else 0
        at = self._error_at
        return ScanReport(
            path=self._path, reader_type=self._reader_type, events=t.events, bytes_read=t.bytes_read,
            file_size=size, trailing_bytes=trailing,
            complete=self._ended and self._error is None and trailing == 0, error=self._error,
            error_event=None if at is None else at[0], error_offset=None if at is None else at[1],
            channels=self._channels, channel_decision=self._decision,  # type: ignore[arg-type]
            sample_counts=dict(t.sample_counts), counter_gaps=t.counter_gaps, missing_counts=t.missing_counts,
            counter_backward_steps=t.counter_backward_steps, first_gap_event=t.first_gap_event,
            first_backward_event=t.first_backward_event, first_timestamp=t.first_timestamp,
            last_timestamp=t.last_timestamp)

    def reports(self) -> list[ScanReport]:
        """One report per file read so far, in the order of the files: here, [report()]."""
        return [self.report()]

    def provenance(self) -> dict[str, str]:
        """The Arrow schema metadata of a table of these events: JSON under the key "velk"."""
        return {"velk": json.dumps(self.report().provenance(final=self.ended))}


def _integer(value: object, name: str, expected: str) -> int:
    """`value` as an int: any integer but a bool, NumPy's included, as a slice takes them."""
    if not isinstance(value, bool):
        try:
            return operator.index(value)  # type: ignore[arg-type]  # TypeError is the answer for a non-integer
        except TypeError:
            pass
    raise TypeError(f"{name} must be {expected}, not {type(value).__name__}")


def _count(value: object, name: str, minimum: int) -> int:
    """`value` as an int from `minimum` to sys.maxsize: TypeError for another type, ValueError out of
    range."""
    count = _integer(value, name, "an int")
    if not minimum <= count <= sys.maxsize:
        raise ValueError(f"{name} must be from {minimum} to {sys.maxsize}, not {count}")
    return count


def _channels(value: object, reader_type: str) -> int | None:
    if value is None:
        return None
    channels = _integer(value, "channels", "an int or None")
    if not 1 <= channels <= 2**31 - 1:
        raise ValueError(f"channels must be from 1 to {2**31 - 1}, not {channels}")
    if reader_type != "WD2":
        raise ValueError(f"channels applies to WD2 recordings only, not {reader_type!r}")
    return channels


def _bound(value: object, name: str) -> int | None:
    return None if value is None else _integer(value, name, "an int or None")


# Why a source read once takes no negative event numbers without its index.
_READ_ONCE = ("a file object is read once, from its start, so its events count from 0 there; negative numbers "
              "and masks need its number of events: give index=velk_tools.index(...) of the same data")


def _event_numbers(indices: object, events: int | None) -> npt.NDArray[np.int64]:
    """`indices` as event numbers from 0, as NumPy indexes an array of `events`: integers from -events
    to events - 1 (negatives count from the end), or a boolean mask with one entry per event. With
    `events` None (not known), numbers from 0 on."""
    wanted = np.asarray(indices)
    if wanted.dtype == np.bool_:
        if events is None:
            raise ValueError(_READ_ONCE)
        if wanted.shape != (events,):
            raise IndexError(f"a boolean mask of events must have shape ({events},), not {wanted.shape}")
        return np.flatnonzero(wanted)
    if wanted.size == 0:
        return np.zeros(0, np.int64)
    if wanted.dtype == object:  # Python ints beyond 64 bits, or objects that are not numbers
        wanted = np.array([_integer(n, "event numbers", "integers") for n in wanted.reshape(-1)], dtype=object)
    elif wanted.dtype.kind not in "iu":
        raise TypeError(f"event numbers must be integers or a boolean mask, not {wanted.dtype}")
    low, high = int(wanted.min()), int(wanted.max())
    if events is None:
        if low < 0:
            raise ValueError(_READ_ONCE)
        if high >= 2**63:
            raise IndexError(f"event number {high} is past the end of any file")
        return wanted.reshape(-1).astype(np.int64)
    if not -events <= low <= high < events:
        raise IndexError(f"event numbers must be from {-events} to {events - 1}")
    return wanted.reshape(-1).astype(np.int64) % max(events, 1)


def _counts_back(indices: object) -> bool:
    """Whether event numbers need the number of events: a mask, or negative integers."""
    wanted = np.asarray(indices)
    return wanted.dtype == np.bool_ or (wanted.size > 0 and wanted.dtype.kind == "i" and int(wanted.min()) < 0)


def _read_once(source: object) -> bool:
    """Whether `source` is read once, from its start: a file object, or a compressed file."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return True
    name = os.fsdecode(source)
    return inner_name(name) != name


def _counted(source: Source, reader_type: str, given: int | None, index: EventIndex | None) -> EventIndex:
    """The index that gives the number of events of a source read once: `index` (checked against a
    compressed file; a file object's is taken on trust), else a compressed file's sidecar or a walk of
    its data; ValueError for a file object without one, which cannot be read twice."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return resolve_index(os.fsdecode(source), reader_type, given, index)
    if index is None:
        raise ValueError(_READ_ONCE)
    return resolve_index(None, reader_type, given, index)


def open_batches(path: Source, reader_type: str, max_events: int, max_bytes: int,
                 channels: int | None, start: int | None = None, stop: int | None = None,
                 index: EventIndex | None = None, threads: int = 1) -> BatchIterator[Any, Any]:
    """The checks and the opening shared by read_batches and read_table. A range goes by the index
    (resolve_index) and seeks to its first event; without a stop it reads on to the end as a plain
    read does, so that an error after the last indexed event raises in the same way. A range of a
    file object (a compressed file included) is read from the object's start, passing over the events
    before it."""
    max_events = _count(max_events, "max_events", 1)
    max_bytes = _count(max_bytes, "max_bytes", 0)
    start, stop = _bound(start, "start"), _bound(stop, "stop")
    given = _channels(channels, reader_type) if reader_type in ("WD1", "WD2") else None
    threads = _count(threads, "threads", 1)
    if threads > 1 and isinstance(path, (str, bytes, os.PathLike)) and not _read_once(path):
        return open_pooled([(os.fsdecode(path), reader_type, start, stop, index)], max_events, max_bytes,
                           given, threads)[0]()
    if start is None and stop is None and index is None:
        return _open_whole(decompressed(path), reader_type, max_events, max_bytes, given)
    if not isinstance(path, (str, bytes, os.PathLike)) or _read_once(path):
        return _open_forward(path, reader_type, max_events, max_bytes, given, start, stop, index)
    name = os.fsencode(path)
    found = resolve_index(os.fsdecode(name), reader_type, given, index)
    first, limit = _slice_of(len(found), start, stop)
    first_byte = _first_byte(found, first, 0)
    reader = _columns.BatchReader(name, reader_type, None, found.channels if reader_type == "WD2" else None)
    reader.seek(first_byte)
    batches: BatchIterator[Any, Any] = BatchIterator(
        reader, os.fsdecode(name), reader_type, max_events, max_bytes, first_byte=first_byte, limit=limit)
    if found.channels is not None:
        batches._decision = found.report.channel_decision  # as the walk settled it, not "given"
    return batches


def open_pooled(files: list[tuple[str, str, int | None, int | None, EventIndex | None]], max_events: int,
                max_bytes: int, given: int | None, threads: int) -> list[Callable[[], BatchIterator[Any, Any]]]:
    """Openers of the batches of each file (path, reader type, start, stop, index), in order, decoded
    by one pool of `threads` threads through each file's index (given, the sidecar or a walk, built
    ahead by the pool). Open each file's batches after the previous file's are done."""
    from velk_tools.threaded import ChunkPool, PooledReader

    pool = ChunkPool([(functools.partial(resolve_index, path, reader_type, given, index), start, stop)
                      for path, reader_type, start, stop, index in files], threads, max_events, max_bytes)

    def open_file(number: int) -> BatchIterator[Any, Any]:
        path, reader_type = files[number][:2]
        reader = PooledReader(pool, number)
        batches: BatchIterator[Any, Any] = BatchIterator(
            reader, path, reader_type, max_events, max_bytes,  # type: ignore[arg-type]  # a BatchReader's stand-in
            first_byte=reader.first_byte)
        found = pool.index(number)
        if found.channels is not None:
            batches._decision = found.report.channel_decision  # as the walk settled it, not "given"
        return batches

    return [functools.partial(open_file, number) for number in range(len(files))]


def _open_forward(source: Source, reader_type: str, max_events: int, max_bytes: int, given: int | None,
                  start: int | None, stop: int | None, index: EventIndex | None) -> BatchIterator[Any, Any]:
    """A range of a source read once, from its start, which passes over the events before it. With an
    index, or negative bounds, the index (_counted) gives the number of events the bounds count back
    from; its offsets are not sought to."""
    events = sys.maxsize  # not known: bounds from 0 on count from the start alike
    if index is not None or min(start or 0, stop or 0) < 0:
        found = _counted(source, reader_type, given, index)
        if index is not None and len(found) and seekable(source):
            return _open_sought(source, reader_type, max_events, max_bytes, found, start, stop)
        events = len(found)
    batches = _open_whole(decompressed(source), reader_type, max_events, max_bytes, given)
    batches._skip, batches._limit = _slice_of(events, start, stop)
    batches._forward = True
    return batches


def _open_sought(source: Source, reader_type: str, max_events: int, max_bytes: int, found: EventIndex,
                 start: int | None, stop: int | None) -> BatchIterator[Any, Any]:
    """A range of a file object that can seek, through its index (of events in it): sought to as a
    file's range is (open_batches). The index's offsets are positions in the object."""
    first, limit = _slice_of(len(found), start, stop)
    first_byte = _first_byte(found, first, int(found.offsets[0]))
    _check_size(source, found)
    source.seek(first_byte)  # type: ignore[union-attr]  # seekable() said it can
    batches = _open_whole(source, reader_type, max_events, max_bytes, None,
                          found.channels if reader_type == "WD2" else None)
    batches._origin = batches._tally.bytes_read = first_byte
    batches._limit = limit
    if found.channels is not None:
        batches._decision = found.report.channel_decision  # as the walk settled it, not "given"
    return batches


def _slice_of(events: int, start: int | None, stop: int | None) -> tuple[int, int | None]:
    """The first of events [start, stop) of `events`, as a slice takes them, and how many a range with
    a stop reads (None without one: it reads on to the end)."""
    first, last, _ = slice(start, stop).indices(events)
    return first, None if stop is None else max(0, last - first)


def _first_byte(found: EventIndex, first: int, origin: int) -> int:
    """Where a range from event `first` starts: that event, or the end of the indexed events, the walk
    having started at `origin`."""
    return int(found.offsets[first]) if first < len(found) else origin + found.report.bytes_read


def _end_of(found: EventIndex) -> int:
    """Where the complete events of a file object's non-empty index end: its walk started at the first."""
    return _first_byte(found, len(found), int(found.offsets[0]))


def _check_size(source: Source, found: EventIndex) -> None:
    """OSError when a file object that can seek ends before the events its index holds: as a file's
    changed size makes its index stale, though a file object has no size or time to note."""
    end = source.seek(0, os.SEEK_END)  # type: ignore[union-attr]  # seekable() said it can
    if end < _end_of(found):
        raise OSError(f"{source_name(source)}: {end} bytes, fewer than the {_end_of(found)} its index holds; "
                      "has the object changed?")


def _open_whole(path: Source, reader_type: str, max_events: int, max_bytes: int,
                given: int | None, layout: int | None = None) -> BatchIterator[Any, Any]:
    """The batches of a whole recording, from a path or a file object (open_source). `layout` is a WD2
    channel layout an index settled, which the reader keeps without a probe."""
    name, shown, feeder = open_source(path)
    try:
        reader = _columns.BatchReader(name, reader_type, given, layout)
    except Exception as error:
        if feeder is not None and feeder.error is not None:  # the object failed before the probe was done
            raise feeder.error from error
        raise
    finally:
        if feeder is not None:
            feeder.opened()
    return BatchIterator(reader, shown, reader_type, max_events, max_bytes, feeder)

@overload
def read_batches(sources: Sources, reader_type: Literal["WD1"], max_events: int = ..., *, max_bytes: int = ...,
                 channels: None = None, start: int | None = None,
                 stop: int | None = None, index: EventIndex | None = None, threads: int = 1) -> BatchIterator[WD1Event, np.uint16]: ...
@overload
def read_batches(sources: Sources, reader_type: Literal["WD2"], max_events: int = ..., *, max_bytes: int = ...,
                 channels: int | None = None, start: int | None = None,
                 stop: int | None = None, index: EventIndex | None = None, threads: int = 1) -> BatchIterator[WD2Event, np.float32]: ...
@overload
def read_batches(sources: Sources, reader_type: str | None = None, max_events: int = ..., *, max_bytes: int = ...,
                 channels: int | None = None, start: int | None = None,
                 stop: int | None = None, index: EventIndex | None = None, threads: int = 1) -> BatchIterator[WD1Event | WD2Event, Any]: ...
def read_batches(sources: Sources, reader_type: str | None = None, max_events: int = DEFAULT_MAX_EVENTS, *,
                 max_bytes: int = DEFAULT_MAX_BYTES, channels: int | None = None, start: int | None = None,
                 stop: int | None = None, index: EventIndex | None = None, threads: int = 1) -> BatchIterator[Any, Any]:
    """Opens the recording (raising what velk.EventReader raises) and returns an iterator of batches of
    up to `max_events` events. A batch also ends once its samples take `max_bytes` or more (it holds
    at least one event), at end of data, or before an event that raises; the next step raises it, so
    every event decoded before an error is delivered.

    `sources` is one source: a str, bytes or os.PathLike, as the OS takes it, or a binary file object
    with `readinto` (gzip.open, bz2.open, lzma.open, a zstandard reader, io.BytesIO, an fsspec file),
    read from where it stands by a thread through a pipe; its own exception ends the iteration. Or it
    is a dataset: a list or tuple of sources, or a glob pattern (a str with *, ? or [ that names no
    file), read one file after another (see velk_tools.datasets.DatasetIterator): each batch's
    `source` names its file. `reader_type`, "WD1" or "WD2", defaults to what the names' extensions
    tell (run.wd2, run.WD2.gz); ValueError at the call when they tell none, or different ones.

    `channels` (WD2 only) skips the channel probe and reads with that layout: 2 or more, a channel word
    in every header; 1, none. The arguments are checked here: TypeError for a wrong type, ValueError
    for a value out of range.

    `start` and `stop` read events [start, stop) as a slice of the list of the file's events would
    (negatives count from the end). They go by `index`, else the sidecar beside the file when it is
    current, else a walk of the file at scan speed, and the reading seeks straight to `start`. A file
    object or a compressed file is read from its start instead, dropping the events before `start`,
    and takes bounds from 0 on (ValueError for a negative one). They apply to one source: TypeError
    for a dataset."""
    return _open_sources(sources, reader_type, max_events, max_bytes, channels, start, stop, index, threads)


def _open_sources(sources: Sources, reader_type: str | None, max_events: int, max_bytes: int,
                  channels: int | None, start: int | None, stop: int | None,
                  index: EventIndex | None, threads: int = 1) -> BatchIterator[Any, Any]:
    from velk_tools import datasets  # which reads its files through this module

    if not datasets.is_dataset(sources):
        layout = datasets.plan_layout([sources], None) if reader_type is None else reader_type  # type: ignore[list-item]
        return open_batches(sources, layout, max_events, max_bytes, channels, start, stop, index,  # type: ignore[arg-type]
                            threads)
    if start is not None or stop is not None or index is not None:
        raise TypeError("start, stop and index apply to one source, not to a dataset")
    return datasets.open_dataset(sources, reader_type, max_events, max_bytes, channels, threads)


class EventTable(Generic[EventT, SampleT]):
    """All events of one recording, or of a dataset's files one after another, as an Arrow stream
    (`__arrow_c_stream__`): pyarrow.table(t), polars.DataFrame(t) or DuckDB read it batch by batch,
    each batch decoded when it is asked for. The stream can be taken once. Its schema carries the
    provenance as JSON under the metadata key "velk", as far as known when the consumer asks for the
    schema (a dataset's: one entry per file under "files"); `report()` and `reports()` tell how far
    the stream has read. A dataset's table has a last column "source", dictionary<int32, utf8>: the
    name of each event's file."""

    def __init__(self, batches: BatchIterator[EventT, SampleT]) -> None:
        self._batches: BatchIterator[EventT, SampleT] = batches
        self._taken = False
        self._schema: EventBatch[EventT, SampleT] = batches.empty_batch()

    def __arrow_c_schema__(self) -> object:
        s = self._schema
        return _columns.export_schema(s.columns, s.samples, s.offsets, self._batches.provenance(),
                                      s._source_column())

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        if self._taken:
            raise RuntimeError("this table's events have been read already; call read_table again")
        self._taken = True
        return _columns.export_stream(self, self._batches)

    def report(self) -> ScanReport:
        """What the stream has read so far (BatchIterator.report): after the consumer has read it all,
        whether the file was read to its end, and the exception that stopped it, whose class an Arrow
        consumer does not pass on. For a dataset, see DatasetIterator.report."""
        return self._batches.report()

    def reports(self) -> list[ScanReport]:
        """One report per file read so far, in the order of the files (BatchIterator.reports)."""
        return self._batches.reports()


@overload
def read_table(sources: Sources, reader_type: Literal["WD1"], max_events: int = ..., *, max_bytes: int = ...,
               channels: None = None, start: int | None = None,
               stop: int | None = None, index: EventIndex | None = None, threads: int = 1) -> EventTable[WD1Event, np.uint16]: ...
@overload
def read_table(sources: Sources, reader_type: Literal["WD2"], max_events: int = ..., *, max_bytes: int = ...,
               channels: int | None = None, start: int | None = None,
               stop: int | None = None, index: EventIndex | None = None, threads: int = 1) -> EventTable[WD2Event, np.float32]: ...
@overload
def read_table(sources: Sources, reader_type: str | None = None, max_events: int = ..., *, max_bytes: int = ...,
               channels: int | None = None, start: int | None = None,
               stop: int | None = None, index: EventIndex | None = None, threads: int = 1) -> EventTable[WD1Event | WD2Event, Any]: ...
def read_table(sources: Sources, reader_type: str | None = None, max_events: int = DEFAULT_MAX_EVENTS, *,
               max_bytes: int = DEFAULT_MAX_BYTES, channels: int | None = None, start: int | None = None,
               stop: int | None = None, index: EventIndex | None = None, threads: int = 1) -> EventTable[Any, Any]:
    """Opens the recording (raising what velk.EventReader raises) and returns its events as an Arrow
    stream of record batches of up to `max_events` events. A read error fails the stream after the
    batches before it. The arguments are those of read_batches (a dataset, `start`, `stop` and
    `index` too), checked here."""
    return EventTable(_open_sources(sources, reader_type, max_events, max_bytes, channels, start, stop, index, threads))


def read_events(path: Source, reader_type: str,
                indices: Sequence[int] | npt.NDArray[np.integer[Any]] | npt.NDArray[np.bool_], *,
                index: EventIndex | None = None, channels: int | None = None) -> EventBatch[Any, Any]:
    """The events numbered `indices` (any order, repeats and negatives allowed), or those a boolean mask
    of one entry per event selects, as one EventBatch, each reached by one seek through `index`, the
    sidecar beside the file or a walk (as read_batches' ranges). IndexError for a number outside the
    file's complete events, TypeError for numbers that are not integers.

    A file object or a compressed file is read from its start up to the last event wanted instead.
    Negative numbers and masks need its number of events: a compressed file's index (given, its
    sidecar or a walk of its data) or a file object's given `index` (ValueError without one)."""
    given = _channels(channels, reader_type) if reader_type in ("WD1", "WD2") else None
    if not isinstance(path, (str, bytes, os.PathLike)) or _read_once(path):
        return _pick_once(path, reader_type, indices, index, given)
    name = os.fsencode(path)
    found = resolve_index(os.fsdecode(name), reader_type, given, index)
    wanted = _event_numbers(indices, len(found))
    reader = _columns.BatchReader(name, reader_type, None, found.channels if reader_type == "WD2" else None)
    parts = []
    for offset in found.offsets[wanted].tolist():
        reader.seek(offset)
        parts.append(EventBatch(*reader.read(1, 0)))
        if len(parts[-1]) != 1:
            raise OSError(f"{os.fsdecode(name)}: no event at byte {offset}; has the file changed?")
    if len(parts) == 1:
        return parts[0]
    return _concatenated(EventBatch(*reader.read(0, 0)), parts)


def _pick_once(source: Source, reader_type: str, indices: object, index: EventIndex | None,
               given: int | None) -> EventBatch[Any, Any]:
    """read_events of a source read once: its batches up to the last event wanted, from which the
    events wanted are taken."""
    counted = index is not None or (_counts_back(indices) and isinstance(source, (str, bytes, os.PathLike)))
    found = _counted(source, reader_type, given, index) if counted else None
    wanted = _event_numbers(indices, None if found is None else len(found))
    if index is not None and found is not None and len(found) and seekable(source):
        return _pick_sought(source, reader_type, wanted, found)
    order = np.unique(wanted)
    batches = open_batches(source, reader_type, DEFAULT_MAX_EVENTS, DEFAULT_MAX_BYTES, given, 0,
                           int(order[-1]) + 1 if len(order) else 0)
    parts, first = [], 0
    for batch in batches:
        rows = order[(order >= first) & (order < first + len(batch))] - first
        if len(rows):
            parts.append(_taken(batch, rows))
        first += len(batch)
    if len(order) and first <= order[-1]:
        raise IndexError(f"event numbers must be from 0 to {first - 1}: the data holds {first} complete events"
                         ) from batches.report().error  # what ended the data, if anything did
    return _taken(_concatenated(batches.empty_batch(), parts), np.searchsorted(order, wanted))


def _pick_sought(source: Source, reader_type: str, wanted: npt.NDArray[np.int64],
                 found: EventIndex) -> EventBatch[Any, Any]:
    """read_events of a file object that can seek: the bytes of each event wanted, sought to through the
    index, decoded together as consecutive events."""
    _check_size(source, found)
    ends = np.append(found.offsets[1:], _end_of(found))
    spans = []
    for start, end in zip(found.offsets[wanted].tolist(), ends[wanted].tolist()):
        source.seek(start)  # type: ignore[union-attr]  # seekable() said it can
        spans.append(_read_span(source, end - start))
    batches = _open_whole(io.BytesIO(b"".join(spans)), reader_type, max(len(wanted), 1), sys.maxsize, None,
                          found.channels if reader_type == "WD2" else None)
    batch = next(batches, batches.empty_batch())
    if len(batch) != len(wanted):
        raise OSError(f"{source_name(source)}: fewer events than indexed; has the object changed?")
    return batch


def _read_span(source: Source, size: int) -> bytes:
    """Up to `size` bytes from a file object's position, fewer only at its end."""
    buffer = bytearray(size)
    view, got = memoryview(buffer), 0
    while got < size:
        n = source.readinto(view[got:])  # type: ignore[union-attr]  # a file object's
        if not n:
            break
        got += n
    return bytes(buffer[:got])


def _taken(batch: EventBatch[Any, Any], rows: npt.NDArray[np.int64]) -> EventBatch[Any, Any]:
    """The events `rows` of `batch`, in that order, as a new batch."""
    starts, ends = batch.offsets[rows], batch.offsets[rows + 1]
    offsets = np.concatenate([np.zeros(1, np.int64), np.cumsum(ends - starts)])
    positions = np.repeat(starts - offsets[:-1], ends - starts) + np.arange(offsets[-1])
    return EventBatch({key: column[rows] for key, column in batch.columns.items()}, batch.samples[positions], offsets)


def _concatenated(empty: EventBatch[Any, Any], parts: list[EventBatch[Any, Any]]) -> EventBatch[Any, Any]:
    """The events of `parts`, one batch after another, as one batch; `empty` gives the columns' types."""
    columns = {key: np.concatenate([empty.columns[key], *(p.columns[key] for p in parts)]) for key in empty.columns}
    ends = np.cumsum([0, *(int(p.offsets[-1]) for p in parts)])
    offsets = np.concatenate([np.zeros(1, np.int64), *(p.offsets[1:] + end for p, end in zip(parts, ends))])
    samples = np.concatenate([empty.samples, *(p.samples[: p.offsets[-1]] for p in parts)])
    return EventBatch(columns, samples, offsets)
