"""Datasets: many recordings, or one large recording cut into event ranges, read as one sequence.

A dataset is planned as a list of `Part`s, each a whole file or a range of a file's events, in the
order their events are delivered. The sequential readers, the threaded readers and the Dask partitions
all read the same plan, so they deliver the same events in the same order: `open_part` opens the
batches of one part, `read_parts` reads parts one after another.
"""

from __future__ import annotations

import glob
import json
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Union

from velk_tools.columns import (BatchIterator, EventBatch, EventT, SampleT, SourceNames, _channels, _count,
                                open_batches, open_pooled)
from velk_tools.event_index import EventIndex, resolve_index
from velk_tools.report import ScanReport, velk_version
from velk_tools.sources import Source, inner_name, source_name

__all__ = ["DatasetIterator", "Part", "Sources", "expand_sources", "is_dataset", "layout_from_name",
           "open_dataset", "open_part", "plan_layout", "read_parts", "split_by_index"]

# One source, a list of them, or a glob pattern (a str holding *, ? or [ that names no existing file).
Sources = Union[Source, Sequence[Source]]

LAYOUTS = ("WD1", "WD2")


@dataclass(frozen=True)
class Part:
    """Events [start, stop) of one source (None for a whole file, as read_batches takes them), the
    name reports and the `source` column give it, and its layout."""

    source: Source
    name: str
    reader_type: str
    start: int | None = None
    stop: int | None = None
    index: EventIndex | None = None


def _is_path(source: object) -> bool:
    return isinstance(source, (str, bytes, os.PathLike))


def is_dataset(sources: Sources) -> bool:
    """Whether `sources` names a dataset (a list, a tuple or a glob pattern) rather than one source."""
    return isinstance(sources, (list, tuple)) or (
        isinstance(sources, str) and glob.has_magic(sources) and not os.path.exists(sources))


def expand_sources(sources: Sources) -> list[Source]:
    """The sources a dataset argument names, in order: a list or tuple as given, a glob pattern as the
    sorted names it matches (FileNotFoundError when none), anything else as itself."""
    if isinstance(sources, (list, tuple)):
        return [each for item in sources for each in expand_sources(item)]
    if isinstance(sources, str) and glob.has_magic(sources) and not os.path.exists(sources):
        matches = sorted(glob.glob(sources))
        if not matches:
            raise FileNotFoundError(f"no file matches {sources!r}")
        return list(matches)
    return [sources]  # type: ignore[list-item]  # a single Source


def shown_name(source: Source) -> str:
    """The name of a source as reports and the `source` column give it."""
    return os.fsdecode(source) if _is_path(source) else source_name(source)  # type: ignore[arg-type]


def layout_from_name(name: str) -> str | None:
    """"WD1" or "WD2" from a file name's extension, past a compression extension (run.wd2.gz is WD2);
    None when the name tells neither."""
    extension = os.path.splitext(inner_name(name))[1].upper().lstrip(".")
    return extension if extension in LAYOUTS else None


def plan_layout(sources: list[Source], reader_type: str | None) -> str:
    """The one layout of a dataset: `reader_type` when given, else the layout every source's name
    tells. ValueError when a name tells none, or when the names tell different layouts."""
    if reader_type is not None:
        return reader_type
    found: dict[str, str] = {}
    for source in sources:
        name = shown_name(source)
        layout = layout_from_name(name)
        if layout is None:
            raise ValueError(f"cannot tell the layout of {name} from its name: give reader_type 'WD1' or 'WD2'")
        found.setdefault(layout, name)
    if len(found) > 1:
        (a, first), (b, second) = list(found.items())[:2]
        raise ValueError(f"a dataset holds one layout, but {first} is {a} and {second} is {b}")
    if not found:
        raise ValueError("a dataset needs at least one source")
    return next(iter(found))


def split_by_index(path: str, reader_type: str, channels: int | None, events_per_part: int,
                   index: EventIndex | None = None) -> list[Part]:
    """The complete events of the file at `path` as consecutive ranges of `events_per_part` events
    (the last may be shorter), each read through the file's index (`index`, the sidecar or a walk).
    The last part has no stop, so that it reads on to the end as a whole-file read does and meets the
    same partial event or error there."""
    found = resolve_index(path, reader_type, channels, index)
    starts = list(range(0, len(found), events_per_part)) or [0]
    return [Part(path, path, reader_type, start, start + events_per_part if start + events_per_part < len(found)
                 else None, found) for start in starts]


def open_dataset(sources: Sources, reader_type: str | None, max_events: int, max_bytes: int,
                 channels: int | None, threads: int = 1) -> DatasetIterator[Any, Any]:
    """read_batches of a dataset: its sources as whole-file parts, the layout planned before anything
    is read, and the first file opened. With `threads` above 1 and every source a path of an
    uncompressed file, one pool of threads decodes the files (columns.open_pooled)."""
    listed = expand_sources(sources)
    layout = plan_layout(listed, reader_type)
    parts = [Part(source, shown_name(source), layout) for source in listed]
    threads = _count(threads, "threads", 1)
    if threads > 1 and all(_is_path(p.source) and inner_name(p.name) == p.name for p in parts):
        openers = open_pooled([(p.name, p.reader_type, None, None, None) for p in parts], max_events, max_bytes,
                              _channels(channels, layout) if layout in LAYOUTS else None, threads)
        return DatasetIterator(parts, max_events, max_bytes, channels, openers)
    return read_parts(parts, max_events, max_bytes, channels)


def open_part(part: Part, max_events: int, max_bytes: int, channels: int | None) -> BatchIterator[Any, Any]:
    """The batches of one part, as read_batches opens one source (raising what it raises). A file
    whose name ends in .gz, .bz2, .xz or .zst is read through its decompressor, as the commands read
    it."""
    return open_batches(part.source, part.reader_type, max_events, max_bytes, channels, part.start, part.stop,
                        part.index)


def read_parts(parts: Sequence[Part], max_events: int, max_bytes: int,
               channels: int | None) -> DatasetIterator[Any, Any]:
    """The batches of `parts`, one part after another (DatasetIterator); the first part is opened now."""
    return DatasetIterator(parts, max_events, max_bytes, channels)


class DatasetIterator(BatchIterator[EventT, SampleT]):
    """The batches of a dataset's parts, read one after another: a BatchIterator whose batches never
    span two parts and carry their file's name as `source`.

    The first part is opened at the call, raising what read_batches raises for it; each later part is
    opened when the reading reaches it, and a failure to open it (a missing file, a failed WD2 probe)
    raises from that step, after every batch before it. As with one file, an exception leaves the
    iterator usable: the next step reads on in that file, and then in the next ones, so a loop that
    catches errors reads every file it can. The iteration ends at the end of the last part.

    `reports()` gives one ScanReport per part reached, in order (a part that failed to open reports
    its exception as `error`, with no events); parts not reached have none. `report()` is the report
    that decides whether the dataset was read whole: that of the first part not read completely (the
    one that failed or is being read), or the last part's once every part is complete, so
    `report().complete` tells whether the whole dataset was read to its end and `report().path`
    names the file where it was not. `position` is the position in the file being read.
    """

    def __init__(self, parts: Sequence[Part], max_events: int, max_bytes: int, channels: int | None,
                 openers: Sequence[Callable[[], BatchIterator[Any, Any]]] | None = None) -> None:
        if not parts:
            raise ValueError("a dataset needs at least one source")
        self._parts = list(parts)
        self._names = SourceNames([part.name for part in self._parts])
        self.max_events: int = _count(max_events, "max_events", 1)
        self.max_bytes: int = _count(max_bytes, "max_bytes", 0)
        self._given_channels = channels
        self._openers = openers  # each part's opener, when not open_part
        # One entry per part reached: its batches while it is being read, its report once it is done.
        self._reached: list[BatchIterator[Any, Any] | ScanReport] = []
        self._ended = False
        self._open_next()
        first = self._reached[0]
        assert isinstance(first, BatchIterator)
        self._empty: EventBatch[EventT, SampleT] = self._stamped(first.empty_batch(), self._parts[0])

    def _stamped(self, batch: EventBatch[EventT, SampleT], part: Part) -> EventBatch[EventT, SampleT]:
        batch.source, batch._names = part.name, self._names
        return batch

    def _open_next(self) -> None:
        part = self._parts[len(self._reached)]
        try:
            if self._openers is not None:
                self._reached.append(self._openers[len(self._reached)]())
            else:
                self._reached.append(open_part(part, self.max_events, self.max_bytes, self._given_channels))
        except Exception as error:
            self._reached.append(_unopened(part, error))
            self._ended = True
            _name_file(error, part.name)
            raise

    def __next__(self) -> EventBatch[EventT, SampleT]:
        while True:
            current = self._reached[-1]
            last = len(self._reached) == len(self._parts)
            if isinstance(current, BatchIterator):
                current.max_events, current.max_bytes = self.max_events, self.max_bytes
                try:
                    batch = next(current)
                except StopIteration:
                    if last:
                        self._ended = True
                        raise
                    self._reached[-1] = current.report()  # dropping the reader closes its file
                except Exception as error:
                    self._ended = True
                    _name_file(error, self._parts[len(self._reached) - 1].name)
                    raise
                else:
                    self._ended = False
                    return self._stamped(batch, self._parts[len(self._reached) - 1])
            elif last:
                self._ended = True
                raise StopIteration
            del current  # a traceback of the next part's failure keeps this frame, and so the file
            self._open_next()

    @property
    def position(self) -> int:
        current = self._reached[-1]
        return current.position if isinstance(current, BatchIterator) else 0

    def empty_batch(self) -> EventBatch[EventT, SampleT]:
        return self._empty

    @property
    def ended(self) -> bool:
        return self._ended

    def reports(self) -> list[ScanReport]:
        return [each.report() if isinstance(each, BatchIterator) else each for each in self._reached]

    def report(self) -> ScanReport:
        reports = self.reports()
        return next((each for each in reports if not each.complete), reports[-1])

    def provenance(self) -> dict[str, str]:
        """JSON under "velk": the layout, "complete" (null until the reading has ended) and under
        "files" one entry per part as a single file's table has it, null where not yet known."""
        files: list[dict[str, object]] = []
        for each in self._reached:
            report = each.report() if isinstance(each, BatchIterator) else each
            final = not isinstance(each, BatchIterator) or each.ended
            files.append(report.provenance(final=final))
        for part in self._parts[len(self._reached):]:
            files.append({"reader_type": part.reader_type, "source": part.name, "file_size": None,
                          "bytes_read": None, "complete": None, "channels": None, "channel_decision": None,
                          "velk_version": velk_version()})
        complete = self.report().complete if self._ended else None
        return {"velk": json.dumps({"reader_type": self._parts[0].reader_type, "complete": complete,
                                    "files": files, "velk_version": velk_version()})}


def _name_file(error: BaseException, name: str) -> None:
    """Notes the file an exception of a dataset's reading is about (shown under its message from
    Python 3.11 on); its class and arguments stay those one file's reading raises."""
    note = f"while reading {name}"
    add_note = getattr(error, "add_note", None)
    if add_note is not None and note not in getattr(error, "__notes__", ()):
        add_note(note)


def _unopened(part: Part, error: Exception) -> ScanReport:
    """The report of a part that could not be opened: its exception, nothing read."""
    return ScanReport(path=part.name, reader_type=part.reader_type, events=0, bytes_read=0, file_size=None,
                      trailing_bytes=0, complete=False, error=error, error_event=0, error_offset=0,
                      channels=None, channel_decision=None, sample_counts={}, counter_gaps=0,
                      missing_counts=0, counter_backward_steps=0, first_gap_event=None,
                      first_backward_event=None, first_timestamp=None, last_timestamp=None)
