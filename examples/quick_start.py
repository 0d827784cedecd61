"""The quick start of docs/guide.md as a script: open a recording, look at one event, go through all.

    python examples/quick_start.py [PATH [WD1|WD2]]

Without PATH it writes a demo WD1 recording into a temporary directory and reads that.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import numpy as np

import velk
from demo_recordings import write_wd1


def tour(path: str, reader_type: str) -> None:
    reader = velk.EventReader(path, reader_type)

    # One step of the iteration is one event: a new dict of header integers plus the samples.
    first = next(reader, None)
    if first is None:
        print(f"{path} holds no complete event")
        return
    for key, value in first.items():
        shown = f"{value.dtype} array of {value.size} samples" if key == "data" else value
        print(f"{key:>16}: {shown}")

    # The rest of the file: the loop ends by itself at the end of the file.
    minima = [float(first["data"].min())] if first["data"].size else []
    count = 1
    for event in reader:
        count += 1
        if event["data"].size:
            minima.append(float(event["data"].min()))
    print(f"{count} events; smallest sample per event: median {np.median(minima):g}" if minima
          else f"{count} events, all without samples")


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print(__doc__, file=sys.stderr)
        return 2
    if argv:
        tour(argv[0], argv[1] if len(argv) > 1 else "WD1")
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        tour(str(write_wd1(Path(tmp, "demo.wd1"))), "WD1")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
