#!/usr/bin/env python3
"""Throughput of velk_tools.read_batches over a gzip file object against decompressing it alone.

Readers (timed in the same process, interleaved round by round, medians reported):
  decompress  gzip.open(path).read(): the decompressed bytes in one object, nothing decoded
  batches     for batch in read_batches(gzip.open(path), kind): the feeder thread decompresses into a
              pipe while the decoding layer reads it with the interpreter lock given up
The ratio batches / decompress is the share of gzip's own speed that reading the events keeps; the
decompression is the bottleneck, so on two cores it should stay close to 1.

Usage: OPENBLAS_NUM_THREADS=1 PYTHONPATH=<build dir> python3 bench/bench_gzip.py [--size-mb N]
       [--samples N] [--rounds N]
"""

from __future__ import annotations

import argparse
import gzip
import os
import statistics
import struct
import sys
import tempfile
import time

import numpy as np

from velk_tools import read_batches

from cpu import cpu_name


def write_recording(path: str, size_mb: int, samples: int) -> int:
    """A WD2 recording of about size_mb MiB, two channels of `samples` noisy float32 samples per event,
    gzip-compressed at level 6; returns its decompressed size."""
    rng = np.random.default_rng(1)
    values = 2 * samples
    count = max(2, (size_mb << 20) // (28 + 4 * values))
    total = 0
    with gzip.open(path, "wb", compresslevel=6) as out:
        for first in range(0, count, 256):
            chunk = bytearray()
            for i in range(first, min(count, first + 256)):
                block = np.round(rng.normal(100.0, 5.0, values)).astype(np.float32).tobytes()
                chunk += struct.pack("<IQIQi", i, 1000 * i, samples, 200, 2) + block
            out.write(chunk)
            total += len(chunk)
    return total


def time_decompress(path: str) -> float:
    start = time.perf_counter()
    with gzip.open(path) as f:
        f.read()
    return time.perf_counter() - start


def time_batches(path: str) -> float:
    start = time.perf_counter()
    events = 0
    with gzip.open(path) as f:
        batches = read_batches(f, "WD2")
        for batch in batches:
            events += len(batch)
        if not batches.report().complete:
            raise RuntimeError(f"the recording did not read to its end: {batches.report()}")
    return time.perf_counter() - start



def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=256, help="decompressed size (default 256)")
    parser.add_argument("--samples", type=int, default=1024, help="samples per channel (default 1024)")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "run.wd2.gz")
        size = write_recording(path, args.size_mb, args.samples)
        print(f"{cpu_name()}, {os.cpu_count()} CPUs; {size / 2**20:.0f} MiB decompressed, "
              f"{os.path.getsize(path) / 2**20:.0f} MiB gzip, {args.samples} samples x 2 channels per event")
        times: dict[str, list[float]] = {"decompress": [], "batches": []}
        for _ in range(args.rounds):
            times["decompress"].append(time_decompress(path))
            times["batches"].append(time_batches(path))
        for name, values in times.items():
            print(f"{name:10} {size / statistics.median(values) / 1e6:8.1f} MB/s decompressed")
        ratio = statistics.median(times["decompress"]) / statistics.median(times["batches"])
        print(f"batches / decompress: {ratio:.3f} (target at least 0.9)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
