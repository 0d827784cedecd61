"""The quick start of docs/guide.md as a script: open a recording, print its first event, then go
through all events and report the median of the smallest sample of each.

Without PATH it writes a demo WD1 recording into a temporary directory and reads that.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import numpy as np

import velk
from command_line import add_recording_arguments, parser, run
from demo_recordings import write_wd1


def tour(path: str, reader_type: str) -> None:
    reader = velk.EventReader(path, reader_type)

    # One step of the iteration is one event: a new dict of header integers plus the samples.
    first = next(reader, None)
    if first is None:
        print(f"{path} holds no complete event")
        return
    for key, value in first.items():
        if key != "data":
            print(f"{key:>16}: {value}")
    data = first["data"]  # the last key of both layouts
    print(f"{'data':>16}: {data.dtype} array of {data.size} samples")

    # The rest of the file: the loop ends by itself at the end of the file.
    minima = [float(data.min())] if data.size else []
    count = 1
    for event in reader:
        count += 1
        if event["data"].size:
            minima.append(float(event["data"].min()))
    print(f"{count} events; smallest sample per event: median {np.median(minima):g}" if minima
          else f"{count} events, all without samples")


def main(argv: list[str]) -> int:
    arguments = parser(__doc__)
    add_recording_arguments(arguments, "a demo WD1 recording")
    args = arguments.parse_args(argv)
    if args.path is not None:
        tour(args.path, args.reader_type)
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        tour(str(write_wd1(Path(tmp, "demo.wd1"))), "WD1")
    return 0


if __name__ == "__main__":
    run(main)
