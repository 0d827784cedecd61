"""Small synthetic recordings for the examples: pulses on a noisy baseline, in either layout.

The writers follow the byte layouts described in docs/guide.md, so they double as a worked example of
producing a recording velk can read.
"""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np
import numpy.typing as npt


def pulses(rng: np.random.Generator, count: int, samples: int) -> npt.NDArray[np.float64]:
    """`count` waveforms of `samples` values: a fast rise and an exponential decay at a random
    position and height, on a baseline of 0 with a little noise. Shape (count, samples), float64."""
    t = np.arange(samples, dtype=np.float64)
    start = rng.uniform(0.2, 0.35, size=(count, 1)) * samples
    height = rng.uniform(0.4, 1.0, size=(count, 1))
    rise, decay = samples / 100, samples / 12
    since = np.clip(t - start, 0, None)
    shape = (1 - np.exp(-since / rise)) * np.exp(-since / decay)
    waves: npt.NDArray[np.float64] = height * shape / shape.max(axis=1, keepdims=True) + rng.normal(0, 0.01, (count, samples))
    return waves


def write_wd1(path: Path | str, events: int = 20, samples: int = 256, seed: int = 1) -> Path:
    """A WD1 recording: per event six little-endian int32 header words (event_size, board_id,
    pattern, board_channel, event_counter, timestamp), then `samples` uint16 values.

    The waveforms are negative-going pulses below a baseline of 3000 counts, as many digitisers
    record them."""
    rng = np.random.default_rng(seed)
    counts = np.clip(np.rint(3000 - 2000 * pulses(rng, events, samples)), 0, 65535).astype("<u2")
    with open(path, "wb") as f:
        for n in range(events):
            header = struct.pack("<6i", 24 + 2 * samples, 7, 0, n % 4, n, 1250 * n)
            f.write(header + counts[n].tobytes())
    return Path(path)


def write_wd2(
    path: Path | str,
    events: int = 20,
    channels: int | None = 2,
    samples: int = 256,
    sampling_period: int = 200,
    seed: int = 2,
) -> Path:
    """A WD2 recording: per event counter (u32), time tag (u64), samples per channel (u32),
    sampling period (u64), then the channel word (i32) unless `channels` is None, then
    channels x samples float32 values, one channel after the other.

    Each channel carries the same pulse at a different height, so the channels are easy to tell
    apart in a plot. The layout gives `sampling_period` no unit; the demo means nanoseconds (200:
    5 MS/s, so 256 samples span 51.2 µs), and examples/plot_waveforms.py reads it so by default."""
    rng = np.random.default_rng(seed)
    stored_channels = 1 if channels is None else channels
    waves = pulses(rng, events, samples)
    with open(path, "wb") as f:
        for n in range(events):
            header = struct.pack("<IQIQ", n, 1_000_000 * n, samples, sampling_period)
            if channels is not None:
                header += struct.pack("<i", channels)
            block = np.concatenate([waves[n] * 0.5 ** c for c in range(stored_channels)])
            f.write(header + block.astype("<f4").tobytes())
    return Path(path)
