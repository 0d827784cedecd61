"""ScanReport: what a scan, or the batches read so far, found in one recording."""

from __future__ import annotations

import importlib.metadata
from dataclasses import dataclass
from typing import Literal

@dataclass(frozen=True)
class ScanReport:
    """What `scan` found in one recording, or what the batches of one have read so far.

    `error` is the exception iterating the file would raise (same class and text), `error_event` the
    number of complete events before it and `error_offset` the first byte of the event being decoded
    (0 for a WD2 file whose channel-layout probe failed, so that no reader can be made). The scan stops
    there, as a `for` loop over the reader does. `trailing_bytes` counts the bytes of a partial event at
    the end of the file; the scan ended at end of data there. `path` is the file name as
    `os.fsdecode` gives it.
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
    channel_decision: Literal["word confirmed", "no word, confirmed", "no word, unconfirmed",
                              "word confirmed, block length wraps", "given"] | None
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

    @property
    def suspect(self) -> bool:
        """Whether the WD2 channel layout was a guess or looks wrong (see the guide's channel table)."""
        return self.channel_decision in ("no word, unconfirmed", "word confirmed, block length wraps")

    def provenance(self, *, final: bool = True) -> dict[str, object]:
        """The facts a table written from this recording carries under the schema metadata key "velk".
        `complete` is None while the reading has not ended (`final` false)."""
        return {"reader_type": self.reader_type, "source": self.path, "file_size": self.file_size,
                "bytes_read": self.bytes_read, "complete": self.complete if final else None,
                "channels": self.channels, "channel_decision": self.channel_decision,
                "velk_version": velk_version()}


def velk_version() -> str | None:
    """The installed distribution's version; None in a build tree that is not installed."""
    try:
        return importlib.metadata.version("velk")
    except importlib.metadata.PackageNotFoundError:
        return None
