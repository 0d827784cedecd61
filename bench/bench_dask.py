#!/usr/bin/env python3
"""Events per second of velk_tools.dask.read_events on a local Dask cluster of two worker processes
against one process reading the same files.

Readers (timed in one run, interleaved round by round, medians reported):
  loop     for path in paths: pyarrow.table(read_table(path, "WD1")).num_rows, in this process
  sync     read_events(paths).map_partitions(len).sum(), on Dask's synchronous scheduler (this
           process): what building the partitions costs over the loop
  cluster  the same on a LocalCluster of 2 worker processes, 1 thread each, bound to 127.0.0.1 (started
           before the timing; each partition is built on a worker and only its length comes back),
           with the environment Dask gives its workers (MALLOC_TRIM_THRESHOLD_=65536, which also fixes
           glibc's mmap threshold at 128 KiB, so that every 512 KiB batch is mapped and faulted afresh)
  cluster+mmap  the same with MALLOC_MMAP_THRESHOLD_=16 MiB added to the workers' environment
Files: `--files` WD1 recordings of `--events` events of 1024 samples (2072 bytes each) in a temporary
folder under /tmp, read from the page cache; each file is one partition.

Usage: OPENBLAS_NUM_THREADS=1 PYTHONPATH=<build dir> python3 bench/bench_dask.py [--files N]
       [--events N] [--rounds N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from collections.abc import Callable

import dask
import numpy as np
import pyarrow as pa  # type: ignore[import-untyped]  # pyarrow ships no type information
from dask.distributed import Client, LocalCluster

from cpu import cpu_name

from velk_tools import read_table
from velk_tools.dask import read_events

SAMPLES = 1024


def write_recordings(folder: str, files: int, events: int) -> list[str]:
    """`files` WD1 recordings of `events` events each, 1024 noisy samples per event."""
    rng = np.random.default_rng(1)
    layout = np.dtype([("header", "<i4", 6), ("data", "<u2", SAMPLES)])
    paths = []
    for n in range(files):
        records = np.zeros(events, layout)
        records["header"][:, 0] = layout.itemsize
        records["header"][:, 1] = 1
        records["header"][:, 3] = np.arange(events) % 8
        records["header"][:, 4] = np.arange(events)
        records["header"][:, 5] = 1000 * np.arange(events)
        records["data"] = rng.integers(1900, 2100, (events, SAMPLES), dtype=np.uint16)
        paths.append(os.path.join(folder, f"run{n}.wd1"))
        records.tofile(paths[-1])
    return paths


def loop(paths: list[str]) -> int:
    return sum(pa.table(read_table(path, "WD1")).num_rows for path in paths)


def events_of(paths: list[str]) -> object:
    """The number of events, summed from each partition's length: every partition is built whole."""
    return read_events(paths).map_partitions(len).sum()


def timed(read: Callable[[], int], expected: int) -> float:
    start = time.perf_counter()
    events = read()
    elapsed = time.perf_counter() - start
    if events != expected:
        raise RuntimeError(f"read {events} events, not {expected}")
    return elapsed



def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--events", type=int, default=24000, help="events per file (default 24000, 47 MiB)")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir="/tmp") as folder:
        paths = write_recordings(folder, args.files, args.events)
        total = args.files * args.events
        size = sum(os.path.getsize(path) for path in paths)
        print(f"{cpu_name()}, {os.cpu_count()} CPUs, OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS')}; "
              f"{args.files} files x {args.events} events of {SAMPLES} WD1 samples, {size / 2**20:.0f} MiB")
        mmap = {"distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 16 << 20}
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as plain, Client(plain) as client, dask.config.set(mmap), \
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                             dashboard_address=None) as tuned, Client(tuned) as tuned_client:
            readers: dict[str, Callable[[], int]] = {
                "loop": lambda: loop(paths),
                "sync": lambda: int(dask.compute(events_of(paths), scheduler="sync")[0]),
                "cluster": lambda: int(client.compute(events_of(paths)).result()),
                "cluster+mmap": lambda: int(tuned_client.compute(events_of(paths)).result()),
            }
            for read in readers.values():
                timed(read, total)  # warm the caches and the workers' imports
            times: dict[str, list[float]] = {name: [] for name in readers}
            for _ in range(args.rounds):
                for name, read in readers.items():
                    times[name].append(timed(read, total))
        for name, values in times.items():
            median = statistics.median(values)
            print(f"{name:12} {total / median / 1e3:9.1f} k events/s  {size / median / 1e6:7.1f} MB/s  "
                  f"(median of {len(values)}: {median:.3f} s)")
        loop_time = statistics.median(times["loop"])
        print("   ".join(f"{name} / loop: {loop_time / statistics.median(times[name]):.2f}"
                         for name in ("sync", "cluster", "cluster+mmap")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
