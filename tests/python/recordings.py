"""Builders of WD1 and WD2 event bytes, written from the layouts, for the tests to write their own files."""

from __future__ import annotations

import struct
from collections.abc import Iterable, Sequence


def wd1_event(
    samples: Sequence[int] = (),
    *,
    board_id: int = 1,
    pattern: int = 0,
    board_channel: int = 0,
    event_counter: int = 0,
    timestamp: int = 0,
    event_size: int | None = None,
) -> bytes:
    """One WD1 event: six little-endian signed 32-bit words, then unsigned 16-bit samples.

    `event_size` defaults to the size the samples need; give it to write a header that disagrees.
    """
    if event_size is None:
        event_size = 24 + 2 * len(samples)
    header = struct.pack("<6i", event_size, board_id, pattern, board_channel, event_counter, timestamp)
    return header + struct.pack(f"<{len(samples)}H", *samples)


def wd2_header(
    *,
    event_counter: int = 0,
    timestamp: int = 0,
    samples: int = 0,
    sampling_period: int = 1,
    channels: int | None = None,
) -> bytes:
    """A WD2 header: 24 bytes, or 28 with the signed 32-bit channel word when `channels` is given."""
    header = struct.pack("<IQIQ", event_counter, timestamp, samples, sampling_period)
    if channels is not None:
        header += struct.pack("<i", channels)
    return header


def wd2_event(
    values: Sequence[float] = (),
    *,
    channels: int | None = None,
    samples: int | None = None,
    event_counter: int = 0,
    timestamp: int = 0,
    sampling_period: int = 1,
) -> bytes:
    """One WD2 event with float32 `values` stored flat.

    `samples` (per channel) defaults to len(values) / channels, or len(values) without a word.
    """
    if samples is None:
        samples = len(values) // (channels if channels and channels > 0 else 1)
    header = wd2_header(
        event_counter=event_counter,
        timestamp=timestamp,
        samples=samples,
        sampling_period=sampling_period,
        channels=channels,
    )
    return header + struct.pack(f"<{len(values)}f", *values)


def wd2_float_bits(patterns: Iterable[int]) -> bytes:
    """Raw 32-bit patterns as a WD2 data block (to write NaN payloads and signed zeros exactly)."""
    patterns = list(patterns)
    return struct.pack(f"<{len(patterns)}I", *patterns)
