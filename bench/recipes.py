#!/usr/bin/env python3
"""What the guide's recipes cost: the progress bar against the read alone, and the peak memory of the
ways to stack events into one 2-D array.

  progress   times three loops over one WD1 recording, interleaved round by round, medians reported:
               read       `for event in reader: pass` (each event dropped at once)
               wrapped    `for event in tqdm(reader)`: a bar that counts events
               per-event  tqdm over the file's bytes, `bar.update(...)` after every event
               chunked    the guide's recipe: tqdm over the file's bytes, updated once per 10,000 events
  stacking   runs each stacking recipe in a fresh interpreter and reports its peak resident memory
             (VmHWM) above its resident memory after importing NumPy and velk, against the
             bytes of samples the result holds:
               stack            numpy.stack over a list of every event's array
               fromiter         numpy.fromiter with a row dtype, length unknown
               fromiter-count   the same with count= from the file size

Usage: OPENBLAS_NUM_THREADS=1 python3 bench/recipes.py progress|stacking [--size-mb N] [--samples N]
       [--rounds N]; progress needs tqdm. The recordings are written to a temporary directory and read
from the page cache.
"""

from __future__ import annotations

import argparse
import itertools
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import numpy as np

import velk
from bench import Case, write_recording

CHUNK = 10_000


def read(path: str) -> None:
    for _event in velk.EventReader(path, "WD1"):
        pass


def wrapped(path: str) -> None:
    from tqdm import tqdm

    with open(os.devnull, "w") as sink:
        for _event in tqdm(velk.EventReader(path, "WD1"), unit=" events", file=sink):
            pass


def per_event(path: str) -> None:
    from tqdm import tqdm

    with open(os.devnull, "w") as sink, tqdm(total=os.path.getsize(path), unit="B", unit_scale=True,
                                             file=sink) as bar:
        for event in velk.EventReader(path, "WD1"):
            bar.update(24 + event["data"].nbytes)


def chunked(path: str) -> None:
    """The guide's progress-bar recipe with its loop body left empty."""
    from tqdm import tqdm

    reader = velk.EventReader(path, "WD1")
    size = os.path.getsize(path)
    with open(os.devnull, "w") as sink, tqdm(total=size, unit="B", unit_scale=True, file=sink) as bar:
        for first in reader:
            for _event in itertools.chain([first], itertools.islice(reader, CHUNK - 1)):
                pass
            bar.update(min(CHUNK * (24 + first["data"].nbytes), size - bar.n))
        bar.update(size - bar.n)


def stack(path: str) -> np.ndarray:
    return np.stack([event["data"] for event in velk.EventReader(path, "WD1")])


def fromiter(path: str, count: bool) -> np.ndarray:
    reader = velk.EventReader(path, "WD1")
    first = next(reader)
    row = np.dtype((first["data"].dtype, first["data"].size))
    n = os.path.getsize(path) // (24 + first["data"].nbytes) if count else -1
    return np.fromiter((e["data"] for e in itertools.chain([first], reader)), dtype=row, count=n)


STACKING: dict[str, Callable[[str], np.ndarray]] = {
    "stack": stack,
    "fromiter": lambda path: fromiter(path, count=False),
    "fromiter-count": lambda path: fromiter(path, count=True),
}


def memory_kib(field: str) -> int:
    """A line of /proc/self/status in KiB: VmRSS (resident now) or VmHWM (peak resident so far)."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1])


def measure_stacking_in_this_process(variant: str, path: str) -> None:
    """Child side: prints the resident memory before the recipe and the peak after it, in KiB, and the
    result's bytes. The peak includes whatever the start-up left resident before it was freed, so the
    recipe's own peak is at most (peak - before), and equal to it once the recipe outgrows start-up."""
    np.zeros(1)  # NumPy's own start-up allocations belong to the baseline
    before = memory_kib("VmRSS")
    result = STACKING[variant](path)
    print(before, memory_kib("VmHWM"), result.nbytes)


def run_stacking(path: str) -> None:
    print("| recipe | samples MB | peak above baseline MB | peak / samples |")
    print("|---|---:|---:|---:|")
    for variant in STACKING:
        out = subprocess.run([sys.executable, __file__, "--child", variant, path], check=True,
                             capture_output=True, text=True).stdout.split()
        before, after, nbytes = map(int, out)
        peak = (after - before) * 1024 / 1e6
        print(f"| {variant} | {nbytes / 1e6:.0f} | {peak:.0f} | {peak / (nbytes / 1e6):.2f} |")


def run_progress(path: str, rounds: int) -> None:
    loops = {"read": read, "wrapped": wrapped, "per-event": per_event, "chunked": chunked}
    times: dict[str, list[float]] = {name: [] for name in loops}
    for r in range(rounds):
        names = list(loops)[r % len(loops):] + list(loops)[:r % len(loops)]  # rotate the order
        for name in names:
            start = time.perf_counter()
            loops[name](path)
            times[name].append(time.perf_counter() - start)
    base = statistics.median(times["read"])
    print("| loop | median s | min s | cost over read |")
    print("|---|---:|---:|---:|")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"| {name} | {median:.3f} | {min(values):.3f} | {100 * (median / base - 1):+.1f}% |")


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        measure_stacking_in_this_process(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["progress", "stacking"])
    parser.add_argument("--size-mb", type=int, default=207, help="recording size (default 207)")
    parser.add_argument("--samples", type=int, default=16, help="samples per WD1 event (default 16)")
    parser.add_argument("--rounds", type=int, default=5, help="progress: rounds of each loop (default 5)")
    args = parser.parse_args()

    case = Case(f"WD1, {args.samples} samples", "WD1", args.samples)
    events = args.size_mb * 1_000_000 // case.event_bytes
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "recording.wd1")
        write_recording(path, case, events, seed=1)
        print(f"{case.name}: {events} events, {os.path.getsize(path) / 1e6:.0f} MB, "
              f"Python {sys.version.split()[0]}, NumPy {np.__version__}\n")
        if args.what == "progress":
            run_progress(path, args.rounds)
        else:
            run_stacking(path)


if __name__ == "__main__":
    main()
