"""EventIndex: where each complete event of a recording starts, found at scan speed, and kept beside the
file in a sidecar so that ranges and single events are reached by one seek.

The sidecar (`FILE.vidx`) is a NumPy `.npz` archive, written to a temporary file and renamed into place:
- `header`: a 0-d str array holding JSON: {"format": "velk-index", "version": 1, "source", "reader_type",
  "channels", "file_size", "mtime_ns", "report"}; `report` is ScanReport.to_json() of the walk;
- `offsets` (int64), `event_counters` (int32 for WD1, uint32 for WD2), `sample_counts` (uint32): one
  entry per complete event.
`file_size` and `mtime_ns` are the file's when it was walked; a sidecar whose file differs is refused.
"""

from __future__ import annotations

import builtins
import dataclasses
import json
import os
import tempfile
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from velk_tools._scan import Scanner
from velk_tools.report import ScanReport
from velk_tools.sources import Source, decompressed, inner_name, open_source, seekable

__all__ = ["EventIndex", "StaleIndexError", "build_index", "build_stream_index", "resolve_index", "sidecar_path",
           "walk"]

FORMAT, VERSION = "velk-index", 1
SIDECAR_SUFFIX = ".vidx"
_STEP_BYTES = 64 << 20


class StaleIndexError(ValueError):
    """A sidecar that does not belong to its file as it is now (changed size or time, or another
    layout or channel count)."""


def sidecar_path(source: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """Where the sidecar of `source` lives: beside it, its name with ".vidx" appended."""
    return os.fsdecode(source) + SIDECAR_SUFFIX


def _file_identity(path: str) -> tuple[int, int]:
    info = os.stat(path)
    return info.st_size, info.st_mtime_ns


def _report_from_json(fields: dict[str, Any]) -> ScanReport:
    error = fields["error"]
    if error is not None:
        kind = getattr(builtins, error["type"], None)
        error = (kind if isinstance(kind, type) and issubclass(kind, Exception) else OSError)(error["message"])
    counts = {int(values): events for values, events in fields["sample_counts"].items()}
    return ScanReport(**{**fields, "error": error, "sample_counts": counts})


@dataclasses.dataclass(frozen=True, eq=False)
class EventIndex:
    """The complete events of one recording: `offsets[i]` is event i's first byte (int64),
    `event_counters[i]` its counter (of the column's type: int32 for WD1, uint32 for WD2) and
    `sample_counts[i]` the length of its data array (uint32). `report` is what the
    walk found (an error or a partial event ends the index where iteration ends). `channels` is the
    WD2 layout the walk read with, which readers through this index keep. `file_size` and `mtime_ns`
    identify the file as it was walked (a compressed file by its own size and time); both are None
    for an index of a file object, which names no file to check it against."""

    path: str
    reader_type: str
    channels: int | None
    offsets: npt.NDArray[np.int64]
    event_counters: npt.NDArray[np.integer[Any]]
    sample_counts: npt.NDArray[np.uint32]
    report: ScanReport
    file_size: int | None
    mtime_ns: int | None

    def __len__(self) -> int:
        return len(self.offsets)

    def __repr__(self) -> str:
        return f"<EventIndex of {len(self)} events of {self.path!r} [{self.reader_type}]>"

    def check(self, path: str | None = None) -> None:
        """Raises StaleIndexError when the file (`path`, by default the one walked) has changed in size
        or modification time since the walk."""
        path = self.path if path is None else path
        if self.file_size is None or self.mtime_ns is None:
            raise StaleIndexError(f"{self.path}: an index of a file object cannot be checked against {path}; "
                                  "index the file itself")
        size, mtime = _file_identity(path)
        if (size, mtime) != (self.file_size, self.mtime_ns):
            raise StaleIndexError(
                f"{path}: the file has changed since it was indexed (size {self.file_size} -> {size}, "
                f"mtime_ns {self.mtime_ns} -> {mtime}); index it again")

    def save(self, path: str | os.PathLike[str] | None = None) -> str:
        """Writes the sidecar to `path` (by default beside the file) through a temporary file renamed
        into place; returns the path written. An index of a file object is not saved: nothing would tell
        later whether it still fits (ValueError)."""
        if self.file_size is None or self.mtime_ns is None:
            raise ValueError(f"{self.path}: an index of a file object is not saved, since nothing would tell "
                             "whether it still fits; index the file by its path")
        target = sidecar_path(self.path) if path is None else os.fspath(path)
        header = {"format": FORMAT, "version": VERSION, "source": self.path, "reader_type": self.reader_type,
                  "channels": self.channels, "file_size": self.file_size, "mtime_ns": self.mtime_ns,
                  "report": self.report.to_json()}
        fd, temporary = tempfile.mkstemp(prefix=".", suffix=".tmp", dir=os.path.dirname(target) or ".")
        try:
            with os.fdopen(fd, "wb") as out:
                np.savez(out, header=np.array(json.dumps(header)), offsets=self.offsets,
                         event_counters=self.event_counters, sample_counts=self.sample_counts)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
        return target

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, source: str | os.PathLike[str] | None = None) -> EventIndex:
        """Reads a sidecar written by save() and checks it against its file (`source`, by default the
        one it records): ValueError for a file that is not a whole sidecar of this version (cut short or
        damaged included), StaleIndexError when the file has changed since, OSError when either file
        cannot be read."""
        name = os.fspath(path)
        with open(name, "rb") as file:
            index = _parse_sidecar(name, file, source)
        index.check()
        return index


def _parse_sidecar(name: str, file: Any, source: str | os.PathLike[str] | None) -> EventIndex:
    """The index a sidecar's bytes hold. Whatever a file that is not one makes the parsing raise (a zip
    cut short, a missing key, a header of other types, columns of other lengths) is its ValueError, so
    that readers pass such a sidecar over and walk the file instead."""
    try:
        with np.load(file, allow_pickle=False) as archive:
            header = json.loads(str(archive["header"]))
            if header.get("format") != FORMAT or header.get("version") != VERSION:
                raise ValueError(f"format {header.get('format')!r}, version {header.get('version')!r}")
            if header["reader_type"] not in ("WD1", "WD2"):
                raise ValueError(f"reader type {header['reader_type']!r}")
            counter_type = np.int32 if header["reader_type"] == "WD1" else np.uint32
            arrays = {key: archive[key].astype(kind, copy=False) for key, kind in
                      (("offsets", np.int64), ("event_counters", counter_type), ("sample_counts", np.uint32))}
        report = _report_from_json(header["report"])
        if {array.shape for array in arrays.values()} != {(report.events,)}:
            shapes = [array.shape for array in arrays.values()]
            raise ValueError(f"columns of shapes {shapes} for {report.events} events")
        for array in arrays.values():
            array.flags.writeable = False  # as a walk's index: not edited
        return EventIndex(path=header["source"] if source is None else os.fspath(source),
                          reader_type=header["reader_type"], channels=header["channels"], report=report,
                          file_size=header["file_size"], mtime_ns=header["mtime_ns"], **arrays)
    except Exception as error:  # noqa: BLE001 - any failure to parse means the file is no sidecar
        raise ValueError(f"{name}: not a velk index sidecar of version {VERSION} "
                         f"({type(error).__name__}: {error})") from None


def walk(source: Source, reader_type: str, channels: int | None, keep_index: bool,
         progress: Callable[[int], None] | None = None, step_bytes: int = _STEP_BYTES) -> tuple[ScanReport, Scanner]:
    """Walks `source` with the scan walker: a path, or a file object through a pipe that a thread feeds.
    Returns the report, whose error is the file object's own exception when that ended the data, and
    the scanner, which holds the index with `keep_index`. `progress` is called with the offset reached
    every `step_bytes` or so."""
    name, shown, feeder = open_source(source)
    try:
        scanner = Scanner(name, reader_type, channels, keep_index)  # raises as EventReader would
    finally:
        if feeder is not None:
            feeder.opened()
    while not scanner.step(step_bytes):
        if progress is not None:
            progress(scanner.position())
    report = ScanReport(path=shown, reader_type=reader_type, **scanner.report())
    if feeder is None or feeder.error is None:
        return report, scanner
    # The file object failed: its bytes ended there, and its exception is the report's error.
    return dataclasses.replace(report, complete=False, error=feeder.error, error_event=report.events,
                               error_offset=report.bytes_read), scanner


def build_index(path: str, reader_type: str, channels: int | None) -> EventIndex:
    """Walks the file with the scan walker, noting every complete event; a compressed file, its data
    through the decompressor."""
    if inner_name(path) != path:
        size, mtime = _file_identity(path)
        return _indexed(path, *walk(decompressed(path), reader_type, channels, True), size, mtime)
    scanner = Scanner(os.fsencode(path), reader_type, channels, True)  # raises as EventReader would
    size, mtime = _file_identity(path)  # before the walk: a file that grows during it reads as changed
    while not scanner.step(_STEP_BYTES):
        pass
    return _indexed(path, ScanReport(path=path, reader_type=reader_type, **scanner.report()), scanner, size, mtime)


def build_stream_index(source: Source, reader_type: str, channels: int | None) -> EventIndex:
    """Walks a file object from where it stands, noting every complete event. The offsets are positions
    in an object that can seek; in one that cannot, they count from where it stood."""
    origin = source.tell() if seekable(source) else 0  # type: ignore[union-attr]  # seekable() said it can
    report, scanner = walk(source, reader_type, channels, True)
    index = _indexed(report.path, report, scanner, None, None)
    if not origin:
        return index
    offsets = index.offsets + origin
    offsets.flags.writeable = False
    return dataclasses.replace(index, offsets=offsets)


def _indexed(path: str, report: ScanReport, scanner: Scanner, size: int | None, mtime: int | None) -> EventIndex:
    offsets, counters, counts = scanner.index()
    if report.reader_type == "WD1":
        counters = counters.view(np.int32)
    for array in (offsets, counters, counts):
        array.flags.writeable = False  # an index is not edited
    return EventIndex(path=path, reader_type=report.reader_type, channels=report.channels, offsets=offsets,
                      event_counters=counters, sample_counts=counts, report=report, file_size=size,
                      mtime_ns=mtime)


def resolve_index(path: str | None, reader_type: str, channels: int | None, index: EventIndex | None) -> EventIndex:
    """The index a range read goes by: `index` when given (checked against the layout and the file,
    unless `path` is None: a file object's is taken on trust), else the sidecar beside the file when
    it belongs to the file as it is now and to this layout, else a walk of the file at scan speed."""
    if index is not None:
        if index.reader_type != reader_type:
            raise ValueError(f"the index is of a {index.reader_type} file, not {reader_type}")
        if channels is not None and index.channels != channels:
            raise ValueError(f"the index was made with {index.channels} channels, not {channels}")
        if path is not None:
            index.check(path)
        return index
    if path is None:
        raise TypeError("resolve_index needs a path or an index")
    sidecar = sidecar_path(path)
    if os.path.exists(sidecar):
        try:
            found = EventIndex.load(sidecar, source=path)
        except (StaleIndexError, ValueError, OSError):
            found = None  # a sidecar that does not fit is passed over: the walk below is always right
        if found is not None and found.reader_type == reader_type and channels in (None, found.channels):
            return found
    return build_index(path, reader_type, channels)
