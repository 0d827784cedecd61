#!/usr/bin/env python3
"""Speed of read_table and read_batches with threads=N against threads=1, on recordings of 1024-sample
WD1 events served from the page cache.

Sources: --files files of --file-mb MB each (one dataset, read as a list), and one file of --big-mb MB
split by its index. Each is read with a saved sidecar beside every file (the index costs nothing) and,
for the dataset, without one (each file is walked first, by the pool).

Loop shapes, each timed as the median of --rounds runs taken in turn:
- table: `pyarrow.table(read_table(source, "WD1", threads=N))`, the whole table kept;
- loop: `for batch in read_batches(source, "WD1", threads=N): events += len(batch)`, one batch at a time;
- copy: the machine's ceiling for these loops: the same bytes read with os.preadv into 64 reused
  buffers of 512 KiB (a batch's size) per thread, the data split evenly over N threads, nothing decoded.
  A loop can gain from threads at most what this copy gains.

Usage: OPENBLAS_NUM_THREADS=1 PYTHONPATH=<build dir> python3 bench/bench_threads.py [--rounds N]
"""

from __future__ import annotations

import argparse
import os
import threading
import shutil
import statistics
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import pyarrow as pa  # noqa: E402

import velk_tools  # noqa: E402
from bench_index import write_recording  # noqa: E402
from cpu import cpu_name  # noqa: E402

MB = 1_000_000



def table(source: object, threads: int) -> int:
    return int(pa.table(velk_tools.read_table(source, "WD1", threads=threads)).num_rows)  # type: ignore[arg-type]


def loop(source: object, threads: int) -> int:
    events = 0
    for batch in velk_tools.read_batches(source, "WD1", threads=threads):  # type: ignore[arg-type]
        events += len(batch)
    return events


def copy(source: object, threads: int) -> int:
    """Reads every byte of the source's files with `threads` threads, each taking an even share of
    each file into its own 64 buffers of 512 KiB, allocated once so that no round page-faults them."""
    paths = source if isinstance(source, list) else [source]
    shares = [(path, threads, part) for path in paths for part in range(threads)]
    while len(_BUFFERS) < threads:
        _BUFFERS.append([memoryview(bytearray(512 << 10)) for _ in range(64)])
    workers = [threading.Thread(target=_copy_shares, args=(shares[n::threads], _BUFFERS[n])) for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return sum(os.path.getsize(path) for path in paths)


_BUFFERS: list[list[memoryview]] = []


def _copy_shares(shares: list[tuple[str, int, int]], views: list[memoryview]) -> None:
    used = 0
    for path, parts, part in shares:
        size = os.path.getsize(path)
        start, end = size * part // parts, size * (part + 1) // parts
        fd = os.open(path, os.O_RDONLY)
        try:
            while start < end:
                view = views[used % len(views)]
                used += 1
                start += os.preadv(fd, [view[:min(len(view), end - start)]], start) or end - start
        finally:
            os.close(fd)


def medians(calls: list, rounds: int) -> list[float]:
    times: list[list[float]] = [[] for _ in calls]
    for _ in range(rounds):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            call()
            times[i].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]



def compare(label: str, source: object, threads: list[int], rounds: int, before=lambda: None) -> None:
    for shape in (table, loop, copy):
        calls = [lambda n=n: (before(), shape(source, n)) for n in threads]
        times = medians(calls, rounds)
        ratios = ", ".join(f"threads={n}: {times[0] / t:.2f}x ({t:.3f} s)" for n, t in zip(threads, times))
        print(f"  {label:<24} {shape.__name__:<6} {ratios}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--file-mb", type=int, default=128)
    parser.add_argument("--big-mb", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="velk-bench-threads-", dir=args.dir)
    try:
        files = [os.path.join(folder, f"run{i:02}.wd1") for i in range(args.files)]
        for path in files:
            write_recording(path, "WD1", args.file_mb * MB)
        big = os.path.join(folder, "big.wd1")
        write_recording(big, "WD1", args.big_mb * MB)
        print(f"CPU: {cpu_name()}, {os.cpu_count()} logical CPUs; OPENBLAS_NUM_THREADS="
              f"{os.environ['OPENBLAS_NUM_THREADS']}; medians of {args.rounds} rounds; ratio = threads=1 time / time")
        threads = [1, 2]

        def drop_sidecars() -> None:
            for path in files:
                if os.path.exists(velk_tools.sidecar_path(path)):
                    os.remove(velk_tools.sidecar_path(path))

        print(f"{args.files} files of {args.file_mb} MB:")
        compare("no sidecars", files, threads, args.rounds, drop_sidecars)
        for path in files:
            velk_tools.index(path, "WD1").save()
        compare("sidecars", files, threads, args.rounds)
        print(f"one file of {args.big_mb} MB:")
        velk_tools.index(big, "WD1").save()
        compare("split by its index", big, threads, args.rounds)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
