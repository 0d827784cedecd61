"""Print every event of a recording: one line per event with its header values and a summary of its
samples (count, type, smallest, largest, mean).

Without PATH it writes two small demo recordings, one of each layout, and prints both.
"""

from __future__ import annotations

import tempfile
from pathlib import Path

import velk
from command_line import add_recording_arguments, parser, run
from demo_recordings import write_wd1, write_wd2


def describe(path: str, reader_type: str) -> None:
    print(f"{path} ({reader_type})")
    for event in velk.EventReader(path, reader_type):
        data = event["data"]
        header = " ".join(f"{key}={value}" for key, value in event.items() if key != "data")
        summary = f"{data.size} {data.dtype} samples"
        if data.size:
            summary += f", min {data.min():g}, max {data.max():g}, mean {data.mean():.4g}"
        print(f"  {header} | {summary}")


def main(argv: list[str]) -> int:
    arguments = parser(__doc__)
    add_recording_arguments(arguments, "demo recordings of both layouts")
    args = arguments.parse_args(argv)
    if args.path is not None:
        describe(args.path, args.reader_type)
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        wd1, wd2 = Path(tmp, "demo.wd1"), Path(tmp, "demo.wd2")
        write_wd1(wd1, events=5)
        write_wd2(wd2, events=5)
        describe(str(wd1), "WD1")
        describe(str(wd2), "WD2")
    return 0


if __name__ == "__main__":
    run(main)
