#!/usr/bin/env python3
"""Throughput of velk_tools.read_batches against iterating velk.EventReader and against reading the
file, on the recordings of bench/bench.py, and the peak memory each adds.

Readers (each timed in the same process, interleaved round by round, medians or with --stat best the
fastest rounds reported):
  batches     for batch in read_batches(path, kind): each batch is kept until the next has been read
              (up to 65536 events and 512 KiB of samples per batch)
  velk        for event in velk.EventReader(path, kind): each event kept until the next has been read
  bandwidth   the file read in 1 MiB chunks into one reused, page-aligned buffer: no decoding, no objects
  read+copy   a plain reader that only hands over each event's samples in memory it keeps, on these
              files of one event size, with no decoding: events read a batch's worth (512 KiB)
              at a time into one reused buffer, their samples copied into one of two kept arrays by
              one NumPy assignment; events of 512 KiB and more read one by one, the samples straight
              into one of two kept arrays
With --decoder PATH (the program bench/decode_batches.cpp, built with -DVELK_BUILD_BENCH=ON), the
decoding layer's batches are also timed alone, without Python, against the same bandwidth loop in C++
(its own fastest rounds): the share no binding of this decoder can exceed. For blocks below 8 KiB it
also times the bare reads and moves such batches need, with no decoding (see decode_batches.cpp).
Peak memory: each reader runs once more in a fresh interpreter, which reports how far its resident
set's high-water mark rose above what importing velk, velk_tools and NumPy left.

Usage: OPENBLAS_NUM_THREADS=1 PYTHONPATH=<build dir> python3 bench/bench_columns.py [--size-mb N]
       [--rounds N] [--case TEXT] [--clock cpu] [--stat best] [--decoder PATH]
"""

from __future__ import annotations

import argparse
import gc
import os
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench  # noqa: E402 - the harness, recordings and floors of the per-event benchmark
import numpy as np  # noqa: E402
import velk  # noqa: E402
from velk_tools import read_batches  # noqa: E402


def read_batch_events(path: str, case: bench.Case) -> int:
    events = 0
    for batch in read_batches(path, case.kind):
        events += len(batch)
    return events


def read_event_reader(path: str, case: bench.Case) -> int:
    return bench.drain(velk.EventReader(path, case.kind))


def read_file(path: str, case: bench.Case) -> int:
    bench.drain(bench.read_bandwidth(path, case))
    return 0


def read_and_copy(path: str, case: bench.Case) -> int:
    header, block = case.header_size, case.event_bytes - case.header_size
    per_read = max(1, (1 << 19) // block)
    kept = [np.empty(per_read * block, np.uint8) for _ in range(2)]
    with open(path, "rb", buffering=0) as f:
        readinto = f.readinto
        if per_read == 1:
            heads = bytearray(header)
            while readinto(heads) == header and readinto(kept[0]) == block:
                kept.reverse()
            return 0
        buffer = np.empty(per_read * case.event_bytes, np.uint8)
        samples = buffer.reshape(per_read, case.event_bytes)[:, header:]
        while readinto(buffer) == buffer.size:
            kept[0].reshape(per_read, block)[:] = samples
            kept.reverse()
    return 0


READERS = {"batches": read_batch_events, "velk": read_event_reader, "bandwidth": read_file,
           "read+copy": read_and_copy}


def time_once(name: str, path: str, case: bench.Case) -> float:
    """One timed pass of a reader. (Going through bench.time_once would count the events a second
    time in a Python loop, which costs more than reading them in batches.)"""
    gc.collect()
    start = bench.CLOCK()
    READERS[name](path, case)
    return bench.CLOCK() - start


def time_case(path: str, case: bench.Case, events: int, rounds: int) -> dict[str, float]:
    assert read_batch_events(path, case) == read_event_reader(path, case) == events
    seconds: dict[str, list[float]] = {name: [] for name in READERS}
    names = list(READERS)
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            seconds[name].append(time_once(name, path, case))
    return {name: bench.Timing(values).value for name, values in seconds.items()}


def peak_kib(reader: str, path: str, case_name: str) -> int:
    """The rise of the resident set's high-water mark while `reader` reads the file once, in KiB."""
    output = subprocess.run([sys.executable, __file__, "--peak-of", reader, "--path", path, "--case", case_name],
                            capture_output=True, text=True, check=True).stdout
    return int(output)


def high_water_kib() -> int:
    """The resident set's high-water mark of this process image. (getrusage's ru_maxrss would not do:
    a child started by a larger parent inherits the parent's mark.)"""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def measure_peak(reader: str, path: str, case_name: str) -> None:
    case = next(c for c in bench.CASES if c.name == case_name)
    before = high_water_kib()
    READERS[reader](path, case)
    print(high_water_kib() - before)


def decoder_shares(decoder: str, path: str, case: bench.Case, rounds: int) -> str:
    """Two table cells: the decoding layer's batches and the bare reads and moves of packed blocks, each
    as a share of read bandwidth, all timed by `decoder`."""
    output = subprocess.run([decoder, path, case.kind, str(rounds)], capture_output=True, text=True,
                            check=True).stdout.split()
    bare = "-" if output[4] == "-" else f"{float(output[4]):.0%}"
    return f" {float(output[0]):.0%} | {bare} |"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=256, help="size of each recording (default 256)")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds per case (default 5)")
    parser.add_argument("--case", action="append", default=None, help="only cases whose name contains TEXT")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="time readers by the wall clock (default) or by the process's CPU time,\n"
                             "which on a loaded machine leaves out the time spent waiting for a CPU")
    parser.add_argument("--stat", choices=("median", "best"), default="median",
                        help="report each reader's median round (default) or its fastest")
    parser.add_argument("--decoder", help="also time the decoding layer alone with this decode_batches program")
    parser.add_argument("--peak-of", choices=sorted(READERS), help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_of:
        measure_peak(args.peak_of, args.path, args.case[0])
        return
    bench.CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter
    bench.STAT = args.stat
    cases = [c for c in bench.CASES if args.case is None or any(t in c.name for t in args.case)]
    print(bench.machine())
    stat = "fastest" if args.stat == "best" else "medians"
    print(f"\n{args.size_mb:g} MB per recording, {stat} of {args.rounds} rounds, {args.clock} clock; "
          f"load {bench.load()}\n")
    decoder_heading, decoder_rule = ((" decoder alone / bandwidth | bare reads+moves / bandwidth |", "---:|---:|")
                                     if args.decoder else ("", ""))
    print("| case | batches events/s | velk events/s | batches / velk | batches MB/s | "
          f"/ bandwidth |{decoder_heading} read+copy / bandwidth | peak MiB batches | velk | bandwidth |")
    print(f"|---|---:|---:|---:|---:|---:|{decoder_rule}---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory(prefix="velk-bench-columns-") as directory:
        for case in cases:
            path, events = bench.prepare(case, directory, int(args.size_mb * 1e6))
            t = time_case(path, case, events, args.rounds)
            size = os.path.getsize(path)
            peaks = {name: peak_kib(name, path, case.name) / 1024 for name in ("batches", "velk", "bandwidth")}
            alone = decoder_shares(args.decoder, path, case, args.rounds) if args.decoder else ""
            print(f"| {case.name} | {events / t['batches']:,.0f} | {events / t['velk']:,.0f} | "
                  f"{t['velk'] / t['batches']:.1f}x | {size / t['batches'] / 1e6:,.0f} | "
                  f"{t['bandwidth'] / t['batches']:.0%} |{alone} {t['bandwidth'] / t['read+copy']:.0%} | "
                  f"{peaks['batches']:.0f} | {peaks['velk']:.0f} | "
                  f"{peaks['bandwidth']:.0f} |", flush=True)
            os.remove(path)


if __name__ == "__main__":
    main()
