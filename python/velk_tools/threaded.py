"""Batches decoded by several threads at once, delivered in the file's order.

The batch reader decodes without the interpreter lock, so threads that each read another stretch of
events run on as many cores. A file is cut, through its index, into exactly the batches the one-thread
reader makes, and consecutive batches are grouped into chunks of about _CHUNK_BYTES; a pool of
`threads` threads decodes the chunks, and the reader hands them on in order with at most `threads` + 1
chunks read ahead, so memory stays bounded whatever the file's size. Every chunk but a file's last
reads exactly its indexed events; the last reads on to the end of the data as a plain read does, so
that a partial event or an error there comes out in the same place, after the same events.
"""

from __future__ import annotations

import collections
import os
import threading
import weakref
from collections.abc import Callable, Generator, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from velk_tools import _columns
from velk_tools.event_index import EventIndex

__all__ = ["Chunk", "ChunkPool", "PooledReader", "batch_bounds"]

# A thread's task decodes batches until their samples take this many bytes: handing a task over costs
# tens of microseconds, a batch of 512 KiB about a hundred.
_CHUNK_BYTES = 4 << 20

# What a batch read returns: (columns, samples, offsets).
BatchTuple = tuple[dict[str, Any], Any, Any]
# A chunk's file number and what reading it gave.
Outcomes = tuple[int, list[Union[BatchTuple, Exception]]]


def batch_bounds(sample_counts: npt.NDArray[np.uint32], sample_bytes: int, max_events: int,
                 max_bytes: int) -> list[int]:
    """Where the one-thread reader ends its batches over these events: after `max_events` events, or
    once the batch holds max_bytes // sample_bytes samples or more (a batch holds at least one event).
    The list runs from 0 to len(sample_counts)."""
    n = len(sample_counts)
    limit = max_bytes // sample_bytes
    if limit == 0 or max_events == 1:  # one event a batch, without a step per event
        return list(range(n + 1))
    ends = np.concatenate([np.zeros(1, np.int64), np.cumsum(sample_counts, dtype=np.int64)])
    bounds, start = [0], 0
    while start < n:
        end = int(np.searchsorted(ends, ends[start] + limit, side="left"))
        start = min(max(end, start + 1), start + max_events, n)
        bounds.append(start)
    return bounds


def _group(bounds: list[int], ends: npt.NDArray[np.int64]) -> list[int]:
    """Positions in `bounds` where chunks begin: each chunk takes whole batches until its samples
    reach _CHUNK_BYTES, so that a thread's task is long beside the cost of handing it over."""
    groups, taken = [0], 0
    for i in range(1, len(bounds)):
        size = int(ends[bounds[i] - 1])
        if size - taken >= _CHUNK_BYTES or i == len(bounds) - 1:
            groups.append(i)
            taken = size
    return groups


class Chunk:
    """Consecutive batches of the file an index describes, from event `first` on, of `sizes` events
    holding `samples` samples each; `to_end` reads on past them to the end of the data, collecting
    what a plain read meets there."""

    __slots__ = ("index", "first", "sizes", "samples", "to_end")

    def __init__(self, index: EventIndex, first: int, sizes: list[int], samples: list[int], to_end: bool) -> None:
        self.index: EventIndex = index
        self.first: int = first
        self.sizes: list[int] = sizes
        self.samples: list[int] = samples
        self.to_end: bool = to_end


class _Readers(threading.local):
    """Each pool thread keeps one open reader per file, which it seeks from chunk to chunk."""

    def __init__(self) -> None:
        self.by_path: dict[str, _columns.BatchReader] = {}


def _reader_for(readers: _Readers, index: EventIndex) -> _columns.BatchReader:
    reader = readers.by_path.get(index.path)
    if reader is None:
        channels = index.channels if index.reader_type == "WD2" else None
        reader = _columns.BatchReader(os.fsencode(index.path), index.reader_type, None, channels)
        readers.by_path[index.path] = reader
    return reader


def _read_chunk(readers: _Readers, chunk: Chunk, room: object, max_events: int,
                max_bytes: int) -> list[BatchTuple | Exception]:
    """The chunk's batch, then, for a file's last chunk, what reading on brings: more events (the file
    has grown), and the exception that ends the data if one does. The batches' samples go into
    `room`, storage the consuming thread allocated."""
    index = chunk.index
    reader = _reader_for(readers, index)
    offset = int(index.offsets[chunk.first]) if chunk.first < len(index) else index.report.bytes_read
    reader.seek(offset)
    batches = reader.read_counted(chunk.sizes, max_bytes, room)
    if [len(offsets) - 1 for _, _, offsets in batches] != chunk.sizes:
        raise OSError(f"{index.path}: fewer events after byte {offset} than indexed; has the file changed?")
    out: list[BatchTuple | Exception] = list(batches)
    # As a loop that catches errors goes on after them, until the data ends.
    while chunk.to_end:
        try:
            batch = reader.read(max_events, max_bytes)
        except Exception as error:
            out.append(error)
            continue
        if len(batch[2]) == 1:
            break
        out.append(batch)
    if chunk.to_end:
        del readers.by_path[index.path]  # the file is done: close it
    return out


class ChunkPool:
    """Decodes the chunks of a sequence of files on `threads` threads and hands each file's outcomes
    on in order. Each file comes as (the function that gives its index, start, stop), events [start,
    stop) as a slice takes them; an index may take a walk to build, so the pool builds those ahead."""

    def __init__(self, files: list[tuple[Callable[[], EventIndex], int | None, int | None]], threads: int,
                 max_events: int, max_bytes: int) -> None:
        self._pool = ThreadPoolExecutor(threads, thread_name_prefix="velk_tools reader")
        self._threads = threads
        self._max_events, self._max_bytes = max_events, max_bytes
        self._readers = _Readers()
        self._builds = [build for build, _, _ in files]
        self._indexes: list[Future[EventIndex]] = []
        self._ranges = [(start, stop) for _, start, stop in files]
        self._outcomes = self._ordered()
        # The threads end once the reading is done or dropped, not when the interpreter exits.
        weakref.finalize(self, self._pool.shutdown, wait=False, cancel_futures=True)

    def index(self, file: int) -> EventIndex:
        """File `file`'s index, once built (raising what building it raised). The indexes of the
        next `threads` files are built meanwhile, so that their chunks are ready to start."""
        while len(self._indexes) < min(file + 1 + self._threads, len(self._builds)):
            self._indexes.append(self._pool.submit(self._builds[len(self._indexes)]))
        return self._indexes[file].result()

    def first_event(self, file: int) -> int:
        """The number of file `file`'s first event read."""
        return slice(*self._ranges[file]).indices(len(self.index(file)))[0]

    def _chunks(self) -> Iterator[tuple[int, Chunk]]:
        for file in range(len(self._builds)):
            try:
                index = self.index(file)
            except Exception:  # noqa: BLE001 - the file's reader raises it as it opens (PooledReader)
                continue
            start, stop = self._ranges[file]
            first, last, _ = slice(start, stop).indices(len(index))
            last = max(first, last)
            sample_bytes = 2 if index.reader_type == "WD1" else 4
            counts = index.sample_counts[first:last]
            bounds = batch_bounds(counts, sample_bytes, self._max_events, self._max_bytes)
            # before[i]: the samples of the events before event i of the range.
            before = np.concatenate([np.zeros(1, np.int64), np.cumsum(counts, dtype=np.int64)])
            groups = _group(bounds, before[1:] * sample_bytes)
            for a, b in zip(groups, groups[1:]):
                sizes = [e - s for s, e in zip(bounds[a:b], bounds[a + 1:b + 1])]
                samples = np.diff(before[bounds[a:b + 1]]).tolist()
                yield file, Chunk(index, first + bounds[a], sizes, samples,
                                  stop is None and first + bounds[b] == len(index))
            if len(bounds) == 1 and stop is None:  # no event in the range: read on to meet what ends the data
                yield file, Chunk(index, first, [], [], True)

    def _ordered(self) -> Generator[Outcomes, None, None]:
        window: collections.deque[tuple[int, Future[list[BatchTuple | Exception]]]] = collections.deque()
        for file, chunk in self._chunks():
            # The batches' samples are allocated here, on the thread that frees them: memory a pool
            # thread allocates comes from that thread's malloc arena, which hands freed memory back
            # to the kernel, so that every batch page-faults afresh.
            room = _columns.sample_room(chunk.index.reader_type, chunk.sizes, chunk.samples)
            window.append((file, self._pool.submit(_read_chunk, self._readers, chunk, room, self._max_events,
                                                  self._max_bytes)))
            if len(window) > self._threads:
                yield _outcomes(*window.popleft())
        while window:
            yield _outcomes(*window.popleft())
        self._pool.shutdown(wait=False)

    def next_outcomes(self, file: int) -> list[BatchTuple | Exception] | None:
        """The outcomes of file `file`'s next chunk; None once its chunks are done. Chunks of earlier
        files are those of a file whose reader failed to open, and are passed over."""
        upcoming = next(self._outcomes, None)
        while upcoming is not None and upcoming[0] < file:
            upcoming = next(self._outcomes, None)
        if upcoming is None:
            return None
        if upcoming[0] > file:
            self._outcomes = _pushed_back(upcoming, self._outcomes)
            return None
        return upcoming[1]

    def close(self) -> None:
        self._outcomes.close()
        self._pool.shutdown(wait=True, cancel_futures=True)


def _outcomes(file: int, future: Future[list[BatchTuple | Exception]]) -> Outcomes:
    """What a chunk's reading gave: its batches, or the exception that failed it, in its place."""
    try:
        return file, future.result()
    except Exception as error:  # noqa: BLE001 - delivered in order, where the chunk's events would be
        return file, [error]


def _pushed_back(first: Outcomes, rest: Generator[Outcomes, None, None]) -> Generator[Outcomes, None, None]:
    yield first
    yield from rest


class PooledReader:
    """Stands in for file `file`'s batch reader (read, position, file_size, layout) and hands on the
    batches the pool decodes for it, ignoring read()'s limits: the chunks were cut by the same ones.
    An exception met after the file's batches raises once; then the data has ended."""

    def __init__(self, pool: ChunkPool, file: int) -> None:
        self._pool, self._file = pool, file
        index = pool.index(file)
        channels = index.channels if index.reader_type == "WD2" else None
        self._reader = _columns.BatchReader(os.fsencode(index.path), index.reader_type, None, channels)
        self._header_bytes = 28 if channels is not None and channels >= 2 else 24
        first = pool.first_event(file)
        self.first_byte: int = int(index.offsets[first]) if first < len(index) else index.report.bytes_read
        self.position: int = self.first_byte
        self._pending: collections.deque[BatchTuple | Exception] = collections.deque()
        self._done = False

    def read(self, max_events: int, max_bytes: int) -> BatchTuple:
        if max_events == 0:
            return self._reader.read(0, 0)
        while not self._pending and not self._done:
            outcomes = self._pool.next_outcomes(self._file)
            self._done = outcomes is None
            self._pending.extend(outcomes or ())
        if not self._pending:
            return self._reader.read(0, 0)
        outcome = self._pending.popleft()
        if isinstance(outcome, Exception):
            raise outcome
        _, samples, offsets = outcome
        self.position += (len(offsets) - 1) * self._header_bytes + samples.nbytes
        return outcome

    @property
    def file_size(self) -> int | None:
        return self._reader.file_size

    @property
    def received(self) -> int:
        return self._reader.received

    def layout(self) -> tuple[int | None, str | None]:
        return self._reader.layout()
