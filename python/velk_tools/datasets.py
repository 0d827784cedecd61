"""Datasets: many recordings, or one large recording cut into event ranges, read as one sequence.

A dataset is planned as a list of `Part`s, each a whole file or a range of a file's events, in the
order their events are delivered. The sequential readers, the threaded readers and the Dask partitions
all read the same plan, so they deliver the same events in the same order.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Union

from velk_tools.event_index import EventIndex, resolve_index
from velk_tools.sources import Source, inner_name, source_name

__all__ = ["Part", "Sources", "expand_sources", "layout_from_name", "plan_layout", "split_by_index"]

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
