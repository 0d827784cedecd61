"""Print every event of a recording: its header values and a summary of its samples.

    python examples/read_recording.py                   # writes and reads small demo recordings
    python examples/read_recording.py PATH [WD1|WD2]     # reads PATH (layout WD1 unless given)
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import velk
from demo_recordings import write_wd1, write_wd2


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
        write_wd1(wd1, events=5)
        write_wd2(wd2, events=5)
        describe(str(wd1), "WD1")
        describe(str(wd2), "WD2")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
