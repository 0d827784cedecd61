"""Print every event of a recording: its header values and a summary of its samples.

    python examples/read_recording.py                   # writes and reads small demo recordings
    python examples/read_recording.py PATH [WD1|WD2]     # reads PATH (layout WD1 unless given)
"""

from __future__ import annotations

import math
import struct
import sys
import tempfile
from pathlib import Path

import velk


def write_demo_wd1(path: Path, events: int = 5, samples: int = 64) -> None:
    """A WD1 recording: per event six little-endian int32 header words, then uint16 samples."""
    with open(path, "wb") as f:
        for n in range(events):
            wave = [2048 + round(800 * math.sin(2 * math.pi * (i + 4 * n) / 32)) for i in range(samples)]
            header = struct.pack("<6i", 24 + 2 * samples, 3, 0, n % 4, n, 1000 * n)
            f.write(header + struct.pack(f"<{samples}H", *wave))


def write_demo_wd2(path: Path, events: int = 5, channels: int = 2, samples: int = 32) -> None:
    """A WD2 recording with a channel word: counter, time tag, samples, period, channels, float32 data."""
    with open(path, "wb") as f:
        for n in range(events):
            values = [math.sin(2 * math.pi * (i + n) / samples) * (1 + c) for c in range(channels)
                      for i in range(samples)]
            header = struct.pack("<IQIQi", n, 5000 * n, samples, 200, channels)
            f.write(header + struct.pack(f"<{len(values)}f", *values))


def describe(path: str, reader_type: str) -> None:
    print(f"{path} ({reader_type})")
    for event in velk.EventReader(path, reader_type):
        data = event.pop("data")
        header = " ".join(f"{key}={value}" for key, value in event.items())
        summary = f"{data.size} {data.dtype} samples"
        if data.size:
            summary += f", min {data.min():g}, max {data.max():g}, mean {data.mean():.4g}"
        print(f"  {header} | {summary}")


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print(__doc__, file=sys.stderr)
        return 2
    if argv:
        describe(argv[0], argv[1] if len(argv) > 1 else "WD1")
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        wd1, wd2 = Path(tmp, "demo.wd1"), Path(tmp, "demo.wd2")
        write_demo_wd1(wd1)
        write_demo_wd2(wd2)
        describe(str(wd1), "WD1")
        describe(str(wd2), "WD2")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
