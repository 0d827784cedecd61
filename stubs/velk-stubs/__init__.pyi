# Type information for the velk extension module.
#
# The module itself exposes only EventReader and __all__. The event dictionaries and the reader's
# type parameter exist for type checkers alone: at run time EventReader is one plain class, so
# `EventReader[WD1Event]` belongs in annotations that are not evaluated (quoted, or under
# `from __future__ import annotations`), and WD1Event / WD2Event are imported under TYPE_CHECKING.

from typing import Generic, Literal, TypedDict, TypeVar, final, overload, type_check_only

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Self

__all__ = ["EventReader"]

@final
@type_check_only
class WD1Event(TypedDict):
    """One WD1 event: six signed 32-bit header words, then the unsigned 16-bit samples."""

    event_size: int
    board_id: int
    pattern: int
    board_channel: int
    event_counter: int
    timestamp: int
    data: NDArray[np.uint16]

@final
@type_check_only
class WD2Event(TypedDict):
    """One WD2 event: counter, time tag, samples per channel, sampling period, channel count, samples."""

    event_counter: int
    timestamp: int
    samples: int
    sampling_period: int
    channels: int
    data: NDArray[np.float32]

_EventT_co = TypeVar("_EventT_co", WD1Event, WD2Event, WD1Event | WD2Event, covariant=True)

@final
class EventReader(Generic[_EventT_co]):
    """Reads the events of one recording, one dictionary per step."""

    @overload
    def __new__(cls, path: str, reader_type: Literal["WD1"]) -> EventReader[WD1Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: Literal["WD2"]) -> EventReader[WD2Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: str) -> EventReader[WD1Event | WD2Event]: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> _EventT_co: ...
