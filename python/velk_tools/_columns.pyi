# Type information for the batch reader and the Arrow exports behind velk_tools.columns.

from collections.abc import Sequence
from typing import Any, final

import numpy as np
import numpy.typing as npt

@final
class BatchReader:
    """Reads an event file in batches of NumPy columns with velk.EventReader's rules."""

    def __new__(
        cls, path: str | bytes, reader_type: str, channels: int | None, layout: int | None
    ) -> BatchReader: ...
    @property
    def position(self) -> int: ...
    @property
    def file_size(self) -> int | None: ...
    @property
    def received(self) -> int: ...
    def layout(self) -> tuple[int | None, str | None]: ...
    def seek(self, offset: int, /) -> None: ...
    def read_counted(
        self, counts: Sequence[int], max_bytes: int, room: object = None, /
    ) -> list[tuple[dict[str, npt.NDArray[Any]], npt.NDArray[Any], npt.NDArray[np.int64]]]: ...
    def read(
        self, max_events: int, max_bytes: int, /
    ) -> tuple[dict[str, npt.NDArray[Any]], npt.NDArray[Any], npt.NDArray[np.int64]]: ...

def export_schema(
    columns: dict[str, npt.NDArray[Any]],
    samples: npt.NDArray[Any],
    offsets: npt.NDArray[np.int64],
    metadata: dict[str, str] | None = None,
    source: tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.uint8]] | None = None,
    /,
) -> object: ...
def export_batch(
    columns: dict[str, npt.NDArray[Any]],
    samples: npt.NDArray[Any],
    offsets: npt.NDArray[np.int64],
    source: tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.uint8]] | None = None,
    /,
) -> tuple[object, object]: ...
def export_stream(schema_source: object, batches: object, /) -> object: ...
def sample_room(reader_type: str, events: Sequence[int], samples: Sequence[int], /) -> object: ...
