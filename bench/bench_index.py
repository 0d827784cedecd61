#!/usr/bin/env python3
"""Speed of velk_tools.index against velk_tools.scan, and of reaching one event through a saved index,
on 1 GiB recordings of 1024-sample events served from the page cache.

For each layout: the medians of --rounds runs of scan() and of index() over the same file, taken in turn,
in wall and CPU time (index() walks with the same walker and also keeps each event's offset, counter and
sample count, and builds its int64 arrays); the time to save and
load the sidecar; then read_events(file, type, [N]) for --picks random N through the loaded index
(median and 99th percentile), the same event as read_batches(start=N, stop=N + 1), and through the
same index from an open file object (sought to, its event's bytes read and decoded). The recordings
are written to --dir (default: the system's temporary directory) and removed afterwards.

Usage: OPENBLAS_NUM_THREADS=1 PYTHONPATH=<build dir> python3 bench/bench_index.py [--rounds N] [--picks N]
"""

from __future__ import annotations

import argparse
import os
import platform
import random
import statistics
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velk_tools  # noqa: E402
from cpu import cpu_name  # noqa: E402

GIB = 1 << 30


def write_recording(path: str, kind: str, size: int = GIB) -> int:
    """A recording of `size` bytes (1 GiB) of 1024-sample events (WD2: 4 channels of 256 samples with a
    channel word)."""
    if kind == "WD1":
        record = np.dtype([("header", "<i4", 6), ("samples", "<u2", 1024)])
        events = size // record.itemsize
        data = np.zeros(events, record)
        counters = np.arange(events, dtype=np.int32)
        data["header"][:, 0] = 24 + 2048
        data["header"][:, 4] = counters
        data["header"][:, 5] = counters
    else:
        record = np.dtype([("counter", "<u4"), ("time", "<u8"), ("samples_per_channel", "<u4"),
                           ("period", "<u8"), ("channels", "<i4"), ("samples", "<f4", 1024)])
        events = size // record.itemsize
        data = np.zeros(events, record)
        data["counter"] = np.arange(events, dtype=np.uint32)
        data["time"] = data["counter"]
        data["samples_per_channel"], data["period"], data["channels"] = 256, 8, 4
    data["samples"] = (np.arange(1024) % 4096)
    data.tofile(path)
    return events


def interleaved(calls, rounds: int) -> list[tuple[float, float]]:
    """(median wall time, median CPU time) of each call, run in turn `rounds` times, so that what other
    processes do to the shared cores falls on all of them alike."""
    wall: list[list[float]] = [[] for _ in calls]
    cpu: list[list[float]] = [[] for _ in calls]
    for _ in range(rounds):
        for i, call in enumerate(calls):
            begin, begin_cpu = time.perf_counter(), time.process_time()
            call()
            wall[i].append(time.perf_counter() - begin)
            cpu[i].append(time.process_time() - begin_cpu)
    return [(statistics.median(w), statistics.median(c)) for w, c in zip(wall, cpu)]


def median_time(call, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        begin = time.perf_counter()
        call()
        times.append(time.perf_counter() - begin)
    return statistics.median(times)



def bench(kind: str, directory: str, rounds: int, picks: int) -> None:
    path = os.path.join(directory, f"bench_index.{kind.lower()}")
    try:
        events = write_recording(path, kind)
        velk_tools.scan(path, kind)  # into the page cache
        (scan_s, scan_cpu), (index_s, index_cpu) = interleaved(
            [lambda: velk_tools.scan(path, kind), lambda: velk_tools.index(path, kind)], rounds)
        index = velk_tools.index(path, kind)
        assert len(index) == events and index.report.complete
        save_s = median_time(index.save, rounds)
        load_s = median_time(lambda: velk_tools.EventIndex.load(velk_tools.sidecar_path(path)), rounds)
        loaded = velk_tools.EventIndex.load(velk_tools.sidecar_path(path))
        numbers = [random.randrange(events) for _ in range(picks)]
        one, ranged, through_object = [], [], []
        opened = open(path, "rb")  # noqa: SIM115 - closed below, after the picks
        for n in numbers:
            begin = time.perf_counter()
            batch = velk_tools.read_events(path, kind, [n], index=loaded)
            one.append(time.perf_counter() - begin)
            assert int(batch.columns["event_counter"][0]) == n
            begin = time.perf_counter()
            for _ in velk_tools.read_batches(path, kind, start=n, stop=n + 1, index=loaded):
                pass
            ranged.append(time.perf_counter() - begin)
            begin = time.perf_counter()
            batch = velk_tools.read_events(opened, kind, [n], index=loaded)
            through_object.append(time.perf_counter() - begin)
            assert int(batch.columns["event_counter"][0]) == n
        opened.close()
        for times in (one, ranged, through_object):
            times.sort()
        p99 = max(0, int(len(one) * 0.99) - 1)
        print(f"{kind}: {events} events, {os.path.getsize(path) / GIB:.2f} GiB, sidecar "
              f"{os.path.getsize(velk_tools.sidecar_path(path)) / 1e6:.1f} MB")
        print(f"  wall: scan {scan_s * 1e3:7.1f} ms, index {index_s * 1e3:7.1f} ms, index/scan {index_s / scan_s:.2f}")
        print(f"  CPU:  scan {scan_cpu * 1e3:7.1f} ms, index {index_cpu * 1e3:7.1f} ms, "
              f"index/scan {index_cpu / scan_cpu:.2f}")
        print(f"  save  {save_s * 1e3:8.1f} ms   load  {load_s * 1e3:8.1f} ms")
        print(f"  read_events([N]) through the loaded index: median {statistics.median(one) * 1e3:.3f} ms, "
              f"p99 {one[p99] * 1e3:.3f} ms ({picks} random N)")
        print(f"  read_batches(start=N, stop=N+1):          median {statistics.median(ranged) * 1e3:.3f} ms, "
              f"p99 {ranged[p99] * 1e3:.3f} ms")
        print(f"  read_events(open file object, [N]):       median {statistics.median(through_object) * 1e3:.3f} ms, "
              f"p99 {through_object[p99] * 1e3:.3f} ms")
    finally:
        for name in (path, velk_tools.sidecar_path(path)):
            if os.path.exists(name):
                os.unlink(name)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--picks", type=int, default=1000)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    print(f"CPU: {cpu_name()}, {os.cpu_count()} cores; Python {platform.python_version()}")
    for kind in ("WD1", "WD2"):
        bench(kind, args.dir, args.rounds, args.picks)


if __name__ == "__main__":
    main()
