#!/usr/bin/env python3
"""User-space instructions per event of each reader, counted by valgrind's callgrind tool.

Wall-clock timings on a shared machine move with the load; instruction counts do not. For each case
and reader this runs bench.py's --profile mode under callgrind twice, once with one pass over the
recording and once with two, and divides the difference by the number of events: what is left is
the cost of one event, without the start-up, the imports and the writing of the recording. Time the
kernel spends copying file data is not counted (callgrind sees user space only), so the figures
describe per-event overhead and matter most for small events.

Usage: PYTHONPATH=<build dir> python3 bench/instructions.py [--case TEXT] [--events N] [--reader NAME]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench  # noqa: E402

DEFAULT_CASES = ("WD1, 16 samples", "WD1, 1024 samples", "WD2, 1024 samples, no channel word")
READERS = ("velk", "struct", "readinto", "fromfile", "objects")


def collected(case: bench.Case, reader: str, events: int, passes: int) -> int:
    """Instructions callgrind counts for a whole --profile run."""
    size_mb = (events * case.event_bytes + case.event_bytes // 2) / 1e6  # exactly `events` events
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
               os.path.join(HERE, "bench.py"), "--profile", reader, "--case", case.name,
               "--size-mb", repr(size_mb), "--passes", str(passes)]
    # A fixed hash seed gives every run the same dict layouts, so the two runs differ only in passes.
    env = dict(os.environ, PYTHONHASHSEED="0")
    result = subprocess.run(command, capture_output=True, text=True, env=env)
    match = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or match is None:
        sys.exit(f"callgrind run failed:\n{result.stderr[-2000:]}")
    return int(match.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--case", action="append", default=None,
                        help="cases whose name contains this text (default: the small-event cases)")
    parser.add_argument("--reader", action="append", default=None, choices=READERS)
    parser.add_argument("--events", type=int, default=20000, help="events per recording")
    args = parser.parse_args()
    texts = args.case or DEFAULT_CASES
    cases = [c for c in bench.CASES if any(text in c.name for text in texts)]
    readers = args.reader or READERS

    print("| case | " + " | ".join(readers) + " | struct / velk |")
    print("|---|" + "---:|" * (len(readers) + 1))
    for case in cases:
        per_event = {}
        for reader in readers:
            one = collected(case, reader, args.events, 1)
            two = collected(case, reader, args.events, 2)
            per_event[reader] = (two - one) / args.events
            print(f"  {case.name}: {reader} {per_event[reader]:,.0f}", file=sys.stderr, flush=True)
        ratio = (f"{per_event['struct'] / per_event['velk']:.2f}"
                 if {"struct", "velk"} <= per_event.keys() else "")
        print(f"| {case.name} | " + " | ".join(f"{per_event[r]:,.0f}" for r in readers) + f" | {ratio} |")


if __name__ == "__main__":
    main()
