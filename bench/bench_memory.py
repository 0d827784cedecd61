#!/usr/bin/env python3
"""Peak memory of velk while it reads, against the size of one event.

For each case of bench.py and each loop shape, a fresh child process imports velk and NumPy and notes
its resident set (the file-independent baseline). It then resets the kernel's high-water mark
(/proc/self/clear_refs), opens the recording, reads every event with the loop, and reports the peak
growth over the baseline. The budget is what the loop itself must hold, plus 1 MiB: one event when each
event is dropped before the next is read, two when the loop keeps the last event while the next is
read (any reader needs the next event's memory before the loop lets go of the last one).

Usage: PYTHONPATH=<build dir> python3 bench/bench_memory.py [--size-mb N] [--case TEXT]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

CHILD = r"""
import sys, numpy, velk
path, kind, loop = sys.argv[1:4]

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

baseline = status("VmRSS")
reader = velk.EventReader(path, kind)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the high-water mark starts again from the current resident set
count = 0
if loop == "keep":
    for event in reader:
        count += 1
else:
    for event in reader:
        count += 1
        del event
print(count, status("VmHWM") - baseline)
"""

MIB = 1 << 20


def measure(path: str, case: bench.Case, loop: str) -> tuple[int, int]:
    out = subprocess.run([sys.executable, "-c", CHILD, path, case.kind, loop],
                         check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=128, help="size of each recording (default 128)")
    parser.add_argument("--case", action="append", default=None, help="run only cases whose name holds TEXT")
    args = parser.parse_args()
    cases = [c for c in bench.CASES if not args.case or any(text in c.name for text in args.case)]
    print("| case | loop | events | event | peak growth | budget | within |")
    print("|---|---|---:|---:|---:|---:|---|")
    with tempfile.TemporaryDirectory() as directory:
        for case in cases:
            path, events = bench.prepare(case, directory, int(args.size_mb * MIB))
            for loop, held in (("drop", 1), ("keep", 2)):
                count, growth = measure(path, case, loop)
                if count != events:
                    raise SystemExit(f"{case.name}: read {count} events of {events}")
                budget = held * case.event_bytes + MIB
                print(f"| {case.name} | {loop} | {count:,} | {case.event_bytes / MIB:.3f} MiB "
                      f"| {growth / MIB:.2f} MiB | {budget / MIB:.2f} MiB | {'yes' if growth <= budget else 'NO'} |")
            os.remove(path)


if __name__ == "__main__":
    main()
