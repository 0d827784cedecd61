#!/usr/bin/env python3
"""Speed of velk_tools.scan on multi-GB sparse recordings of large events, against iterating
velk.EventReader over the same file.

Each recording is written as a sparse file: its headers are real, its sample blocks are holes that read
as zeros, so a file of several GB takes no disk space and the page cache serves its reads. The scan
seeks over the blocks, so its time should follow the number of events, not the bytes; iteration reads
every block.

Loop shapes: scan() builds no events at all; the EventReader loop is `for event in reader: pass`, which
drops each event before the next is read (the block cache reuses its memory). Medians of --rounds runs
for the scan; the EventReader loop runs once per case (it reads every byte).

Usage: OPENBLAS_NUM_THREADS=1 PYTHONPATH=<build dir> python3 bench/bench_scan.py [--gib N] [--rounds N]
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import struct
import sys
import tempfile
import time
from dataclasses import dataclass

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import velk  # noqa: E402
import velk_tools  # noqa: E402


@dataclass(frozen=True)
class Case:
    name: str
    kind: str
    block_bytes: int  # bytes of samples per event

    def header(self, counter: int) -> bytes:
        if self.kind == "WD1":
            return struct.pack("<6i", 24 + self.block_bytes, 1, 0, 0, counter, counter)
        # WD2 with a channel word of 4
        return struct.pack("<IQIQi", counter, counter, self.block_bytes // 16, 8, 4)

    def event_bytes(self) -> int:
        return len(self.header(0)) + self.block_bytes


CASES = (
    Case("WD1, 64 MiB events", "WD1", 64 << 20),
    Case("WD2, 4 channels, 4 MiB events", "WD2", 4 << 20),
    Case("WD2, 4 channels, 64 KiB events", "WD2", 64 << 10),
)


def write_sparse(path: str, case: Case, total: int) -> int:
    """Writes the headers of as many events as fit in `total` bytes; returns the event count."""
    events = total // case.event_bytes()
    with open(path, "wb") as f:
        for n in range(events):
            f.seek(n * case.event_bytes())
            f.write(case.header(n))
        f.truncate(events * case.event_bytes())
    return events


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def iterate(path: str, kind: str) -> None:
    for _event in velk.EventReader(path, kind):
        pass


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gib", type=float, default=4.0, help="size of each recording (default 4 GiB)")
    parser.add_argument("--rounds", type=int, default=5, help="scan runs per case (default 5)")
    args = parser.parse_args()
    print(f"{platform.python_implementation()} {platform.python_version()}, {platform.machine()}, "
          f"{args.gib:g} GiB sparse files, scan median of {args.rounds}\n")
    print("| case | events | scan | per event | iterate (drop each) | speed-up |")
    print("|---|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as tmp:
        for case in CASES:
            path = os.path.join(tmp, "sparse.bin")
            events = write_sparse(path, case, int(args.gib * (1 << 30)))
            report = velk_tools.scan(path, case.kind)
            assert report.complete and report.events == events, report
            scan_s = statistics.median(timed(lambda: velk_tools.scan(path, case.kind)) for _ in range(args.rounds))
            iterate_s = timed(lambda: iterate(path, case.kind))
            print(f"| {case.name} | {events} | {scan_s * 1e3:.1f} ms | {scan_s / events * 1e6:.1f} µs "
                  f"| {iterate_s:.2f} s | {iterate_s / scan_s:.0f}x |", flush=True)
            os.remove(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
