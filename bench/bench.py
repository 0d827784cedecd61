#!/usr/bin/env python3
"""Throughput of velk against the readers a user would otherwise write, and against two floors.

The script writes its own recordings into a temporary directory, checks that every reader yields the
same dictionaries as velk, then times all readers of a case in one process, interleaved round by round
(the order rotates each round), and reports medians (or with --stat best the fastest rounds) as a
Markdown table on stdout.

Readers of every case:
  velk        velk.EventReader over the file
  struct      f.read + struct.unpack of the header, numpy.frombuffer(...).copy() of the samples
  readinto    numpy.empty filled by readinto, header from a precompiled struct.Struct
  fromfile    numpy.fromfile with a structured dtype in chunks, one dict per record (uniform files)
Floors:
  bandwidth   the file read in 1 MiB chunks into one reused, page-aligned buffer: no decoding, no objects
  objects     the same dicts and numpy.empty arrays built with no I/O at all
  floor       bandwidth + objects: what a reader that costs nothing of its own would take

Usage: PYTHONPATH=<build dir> python3 bench/bench.py [--quick] [--size-mb N] [--rounds N] [--case TEXT]
       PYTHONPATH=<build dir> python3 bench/bench.py --profile READER --passes N [--case TEXT] [--size-mb N]
"""

from __future__ import annotations

import argparse
import gc
import mmap
import os
import platform
import statistics
import struct
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass

# The benchmark makes no BLAS calls; idle BLAS worker threads would only compete for the CPUs.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velk  # noqa: E402

WD1_KEYS = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
WD2_KEYS = ("event_counter", "timestamp", "samples", "sampling_period", "channels")
CHUNK = 1 << 20


@dataclass(frozen=True)
class Case:
    name: str
    kind: str  # "WD1" or "WD2"
    samples: int  # WD1: samples per event; WD2: samples per channel
    channels: int | None = None  # WD2 channel word, None when events carry none
    min_events: int = 4  # recordings hold at least this many events, whatever --size-mb says

    @property
    def values(self) -> int:
        """Sample values per event."""
        return self.samples * (self.channels or 1)

    @property
    def header_size(self) -> int:
        if self.kind == "WD1":
            return 24
        return 28 if self.channels is not None else 24

    @property
    def event_bytes(self) -> int:
        return self.header_size + self.values * (2 if self.kind == "WD1" else 4)


CASES = (
    Case("WD1, 16 samples", "WD1", 16),
    Case("WD1, 1024 samples", "WD1", 1024),
    Case("WD1, 65536 samples", "WD1", 65536),
    Case("WD2, 4 x 1024 samples, channel word", "WD2", 1024, 4),
    Case("WD2, 4 x 16384 samples, channel word", "WD2", 16384, 4),
    Case("WD2, 1024 samples, no channel word", "WD2", 1024, None),
    # 64 MiB events: beyond malloc's largest mmap threshold, so every block is fresh memory unless
    # velk's block cache hands the previous one back.
    Case("WD2, 4 x 4194304 samples, channel word", "WD2", 4194304, 4, min_events=12),
)


# ---------------------------------------------------------------------------------------------------
# Recordings


def record_dtype(case: Case) -> np.dtype:
    """One event of a uniform recording as a packed structured dtype."""
    if case.kind == "WD1":
        fields = [(key, "<i4") for key in WD1_KEYS] + [("data", "<u2", (case.values,))]
    else:
        fields = [("event_counter", "<u4"), ("timestamp", "<u8"), ("samples", "<u4"),
                  ("sampling_period", "<u8")]
        if case.channels is not None:
            fields.append(("channels", "<i4"))
        fields.append(("data", "<f4", (case.values,)))
    dtype = np.dtype(fields)
    assert dtype.itemsize == case.event_bytes
    return dtype


def write_recording(path: str, case: Case, events: int, seed: int) -> None:
    """Writes `events` uniform events with counting headers and random samples."""
    rng = np.random.default_rng(seed)
    dtype = record_dtype(case)
    batch = max(1, (8 << 20) // dtype.itemsize)
    with open(path, "wb") as f:
        for start in range(0, events, batch):
            n = min(batch, events - start)
            rec = np.zeros(n, dtype)
            counter = np.arange(start, start + n)
            if case.kind == "WD1":
                rec["event_size"] = case.event_bytes
                rec["board_id"] = 3
                rec["pattern"] = counter % 7
                rec["board_channel"] = counter % 16
                rec["event_counter"] = counter
                rec["timestamp"] = counter * 1000 + 17
                rec["data"] = rng.integers(0, 1 << 16, size=(n, case.values), dtype=np.uint16)
            else:
                rec["event_counter"] = counter
                rec["timestamp"] = counter * 1_000_000_007 + (1 << 40)
                rec["samples"] = case.samples
                rec["sampling_period"] = 200
                if case.channels is not None:
                    rec["channels"] = case.channels
                rec["data"] = rng.standard_normal(size=(n, case.values), dtype=np.float32)
            rec.tofile(f)


# ---------------------------------------------------------------------------------------------------
# Readers: each returns an iterator of event dictionaries.


def read_velk(path: str, case: Case) -> Iterator[dict]:
    return iter(velk.EventReader(path, case.kind))


def load_build(directory: str):
    """Another build of velk, loaded beside the one on the path, to compare two builds side by side."""
    import importlib.machinery
    import importlib.util

    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(directory, "velk" + suffix)
        if os.path.exists(path):
            loader = importlib.machinery.ExtensionFileLoader("velk", path)
            spec = importlib.util.spec_from_file_location("velk", path, loader=loader)
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
            return module
    sys.exit(f"no velk module in {directory}")


def build_reader(module) -> Callable[[str, Case], Iterator[dict]]:
    def read(path: str, case: Case) -> Iterator[dict]:
        return iter(module.EventReader(path, case.kind))

    return read


OTHER_BUILDS: dict[str, Callable[[str, Case], Iterator[dict]]] = {}


def read_struct(path: str, case: Case) -> Iterator[dict]:
    """What a user writes by hand: read, unpack, frombuffer, copy."""
    with open(path, "rb") as f:
        if case.kind == "WD1":
            while True:
                head = f.read(24)
                if len(head) < 24:
                    return
                size, board, pattern, channel, counter, stamp = struct.unpack("<6i", head)
                nbytes = max(size - 24, 0) // 2 * 2
                body = f.read(nbytes)
                if len(body) < nbytes:
                    return
                yield {"event_size": size, "board_id": board, "pattern": pattern,
                       "board_channel": channel, "event_counter": counter, "timestamp": stamp,
                       "data": np.frombuffer(body, dtype=np.uint16).copy()}
        else:
            word = case.channels is not None
            layout = case.channels if word else 1
            head_size = 28 if word else 24
            while True:
                head = f.read(head_size)
                if len(head) < head_size:
                    return
                if word:
                    counter, stamp, samples, period, channels = struct.unpack("<IQIQi", head)
                else:
                    counter, stamp, samples, period = struct.unpack("<IQIQ", head)
                    channels = 1
                nbytes = (layout * samples * 4) & 0xFFFFFFFF
                body = f.read(nbytes)
                if len(body) < nbytes:
                    return
                yield {"event_counter": counter, "timestamp": stamp, "samples": samples,
                       "sampling_period": period, "channels": channels,
                       "data": np.frombuffer(body, dtype=np.float32).copy()}


def read_readinto(path: str, case: Case) -> Iterator[dict]:
    """The careful hand-written reader: no intermediate bytes, samples read into numpy.empty."""
    with open(path, "rb") as f:
        readinto = f.readinto
        empty = np.empty
        if case.kind == "WD1":
            unpack = struct.Struct("<6i").unpack
            head = bytearray(24)
            while True:
                if readinto(head) < 24:
                    return
                size, board, pattern, channel, counter, stamp = unpack(head)
                data = empty(max(size - 24, 0) // 2, dtype=np.uint16)
                if readinto(data) < data.nbytes:
                    return
                yield {"event_size": size, "board_id": board, "pattern": pattern,
                       "board_channel": channel, "event_counter": counter, "timestamp": stamp,
                       "data": data}
        else:
            word = case.channels is not None
            layout = case.channels if word else 1
            unpack = struct.Struct("<IQIQi" if word else "<IQIQ").unpack
            head = bytearray(28 if word else 24)
            while True:
                if readinto(head) < len(head):
                    return
                if word:
                    counter, stamp, samples, period, channels = unpack(head)
                else:
                    counter, stamp, samples, period = unpack(head)
                    channels = 1
                data = empty(((layout * samples * 4) & 0xFFFFFFFF) // 4, dtype=np.float32)
                if readinto(data) < data.nbytes:
                    return
                yield {"event_counter": counter, "timestamp": stamp, "samples": samples,
                       "sampling_period": period, "channels": channels, "data": data}


def read_fromfile(path: str, case: Case) -> Iterator[dict]:
    """A structured dtype over a uniform file, read in chunks; "data" is a view into the chunk."""
    dtype = record_dtype(case)
    keys = WD1_KEYS if case.kind == "WD1" else WD2_KEYS
    count = max(1, (8 << 20) // dtype.itemsize)
    with open(path, "rb") as f:
        while True:
            rec = np.fromfile(f, dtype=dtype, count=count)
            if len(rec) == 0:
                return
            columns = [rec[key].tolist() if key in dtype.names else [1] * len(rec) for key in keys]
            for row, data in zip(zip(*columns), rec["data"]):
                event = dict(zip(keys, row))
                event["data"] = data
                yield event


def read_bandwidth(path: str, case: Case) -> Iterator[dict]:
    """Reads the whole file into one reused, page-aligned 1 MiB buffer; yields nothing.

    The buffer is a fresh anonymous mapping, so its pages start where the file's 1 MiB chunks start
    within their pages. Where a buffer lands matters: on some CPUs the kernel copies page-cache data
    into a destination 8 - 48 bytes past the source's offset within a page a quarter slower (a
    bytearray from malloc sits 16 bytes in), which made this floor vary by that much from run to run.
    """
    with mmap.mmap(-1, CHUNK) as buffer, open(path, "rb", buffering=0) as f:
        readinto = f.readinto
        while readinto(buffer):
            pass
    return iter(())


def make_objects(events: int) -> Callable[[str, Case], Iterator[dict]]:
    """Builds the dicts of `events` events with empty arrays, touching no file."""

    def objects(path: str, case: Case) -> Iterator[dict]:
        empty = np.empty
        n = case.values
        if case.kind == "WD1":
            size = case.event_bytes
            for i in range(events):
                yield {"event_size": size, "board_id": 3, "pattern": i % 7, "board_channel": i % 16,
                       "event_counter": i, "timestamp": i * 1000 + 17,
                       "data": empty(n, dtype=np.uint16)}
        else:
            channels = case.channels or 1
            for i in range(events):
                yield {"event_counter": i, "timestamp": i * 1_000_000_007 + (1 << 40),
                       "samples": case.samples, "sampling_period": 200, "channels": channels,
                       "data": empty(n, dtype=np.float32)}

    return objects


def drain(events: Iterable[dict]) -> int:
    """The "keep" loop: a plain for loop, which holds each dict until the next one has been read."""
    count = 0
    for _ in events:
        count += 1
    return count


def drain_dropping(events: Iterable[dict]) -> int:
    """The "drop" loop: each dict is dropped before the next one is read, as in
    collections.deque(reader, maxlen=0) or a loop that keeps only a summary."""
    count = 0
    for event in events:
        count += 1
        del event
    return count


LOOPS = {"keep": drain, "drop": drain_dropping}

# Wall-clock time by default; --clock cpu counts only the time this process ran, which on a loaded
# machine leaves out the time spent waiting for a CPU.
CLOCK = time.perf_counter


# ---------------------------------------------------------------------------------------------------
# Checks and timing


def same_event(a: dict, b: dict) -> bool:
    if list(a) != list(b):
        return False
    for key in a:
        if key == "data":
            x, y = a[key], b[key]
            if x.dtype != y.dtype or x.shape != y.shape or x.tobytes() != y.tobytes():
                return False
        elif type(b[key]) is not int or a[key] != b[key]:
            return False
    return True


def check_readers(path: str, case: Case, readers: dict, events: int, limit: int) -> None:
    """Every decoding reader yields velk's dicts, and all of them count the same events."""
    expected = [e for _, e in zip(range(limit), read_velk(path, case))]
    for name, reader in readers.items():
        got = [e for _, e in zip(range(limit), reader(path, case))]
        if len(got) != len(expected) or not all(map(same_event, got, expected)):
            sys.exit(f"{case.name}: reader {name} disagrees with velk on the first {limit} events")
        total = drain(reader(path, case))
        if total != events:
            sys.exit(f"{case.name}: reader {name} yields {total} events, expected {events}")


def time_once(reader: Callable, path: str, case: Case, loop: str = "keep") -> tuple[float, int]:
    gc.collect()
    consume = LOOPS[loop]
    start = CLOCK()
    count = consume(reader(path, case))
    return CLOCK() - start, count


# The statistic a table reports: the median round, or (--stat best) the fastest one, which on a shared
# machine whose neighbours come and go is the steadier of the two from run to run.
STAT = "median"


@dataclass
class Timing:
    seconds: list[float]

    @property
    def median(self) -> float:
        return statistics.median(self.seconds)

    @property
    def value(self) -> float:
        return min(self.seconds) if STAT == "best" else self.median

    @property
    def spread(self) -> float:
        """(max - min) / median over the rounds."""
        return (max(self.seconds) - min(self.seconds)) / self.median


def readers_for(events: int) -> dict[str, Callable[[str, Case], Iterator[dict]]]:
    return {"velk": read_velk, **OTHER_BUILDS, "struct": read_struct, "readinto": read_readinto,
            "fromfile": read_fromfile, "bandwidth": read_bandwidth, "objects": make_objects(events)}


DECODERS = ("struct", "readinto", "fromfile")


def prepare(case: Case, directory: str, size_bytes: int) -> tuple[str, int]:
    """Writes the case's recording; returns its path and its number of events."""
    events = max(case.min_events, size_bytes // case.event_bytes)
    path = os.path.join(directory, case.name.replace(" ", "_").replace(",", "") + ".dat")
    write_recording(path, case, events, seed=len(case.name))
    return path, events


def run_case(case: Case, path: str, events: int, rounds: int, check_limit: int,
             loops: tuple[str, ...]) -> dict[str, dict[str, Timing]]:
    """Times every reader in every loop shape, interleaved; the bandwidth floor, which yields no
    events, is timed once per round and shared by the loop shapes."""
    readers = readers_for(events)
    checked = (*DECODERS, *OTHER_BUILDS)
    check_readers(path, case, {name: readers[name] for name in checked}, events, check_limit)
    runs = [(loop, name) for loop in loops for name in readers if name != "bandwidth" or loop == loops[0]]
    timings = {loop: {name: Timing([]) for name in readers} for loop in loops}
    for loop, name in runs:  # one untimed pass each warms the page cache, the allocator and NumPy
        time_once(readers[name], path, case, loop)
    for r in range(rounds):
        for loop, name in runs[r % len(runs):] + runs[:r % len(runs)]:
            seconds, count = time_once(readers[name], path, case, loop)
            if name != "bandwidth" and count != events:
                sys.exit(f"{case.name}: {name} yielded {count} events during timing")
            timings[loop][name].seconds.append(seconds)
    for loop in loops[1:]:
        timings[loop]["bandwidth"] = timings[loops[0]]["bandwidth"]
    return timings


# ---------------------------------------------------------------------------------------------------
# Report


def format_table(results) -> str:
    lines = [
        "| case | loop | reader | events/s | MB/s | time / velk's | spread |",
        "|---|---|---|---:|---:|---:|---:|",
    ]
    summary = [
        "| case | loop | velk / best hand-written | velk / struct | velk / objects | velk / floor "
        "| velk / read bandwidth |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for case, events, nbytes, by_loop in results:
        for loop, timings in by_loop.items():
            velk_time = timings["velk"].value
            rows = {name: t.value for name, t in timings.items()}
            rows["floor"] = rows["bandwidth"] + rows["objects"]
            for name, seconds in rows.items():
                spread = f"{timings[name].spread:.0%}" if name in timings else ""
                lines.append(
                    f"| {case.name} | {loop} | {name} | {events / seconds:,.0f} "
                    f"| {nbytes / seconds / 1e6:,.0f} | {seconds / velk_time:.2f} | {spread} |")
            best = min(rows[name] for name in DECODERS)
            summary.append(
                f"| {case.name} | {loop} | {best / velk_time:.2f}x | {rows['struct'] / velk_time:.2f}x "
                f"| {rows['objects'] / velk_time:.2f} | {rows['floor'] / velk_time:.2f} "
                f"| {rows['bandwidth'] / velk_time:.2f} |")
    return "\n".join(lines) + "\n\n" + "\n".join(summary)


def machine() -> str:
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return (f"{model}, {os.cpu_count()} CPUs, Linux {platform.release()}; "
            f"Python {platform.python_version()}, NumPy {np.__version__}; velk from {velk.__file__}")


def load() -> str:
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="files of a few MB, 3 rounds (smoke run)")
    parser.add_argument("--size-mb", type=float, default=None, help="size of each recording (default 256)")
    parser.add_argument("--rounds", type=int, default=None, help="timed rounds per case (default 7)")
    parser.add_argument("--case", action="append", default=None,
                        help="run only cases whose name contains this text (repeatable)")
    parser.add_argument("--profile", metavar="READER", default=None,
                        help="no timing: drain the recordings with this reader, for a profiler; one "
                             f"of {', '.join(readers_for(0))} or a NAME given to --build")
    parser.add_argument("--passes", type=int, default=1, help="passes over each recording with --profile")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="time readers by the wall clock (default) or by the process's CPU time")
    parser.add_argument("--stat", choices=("median", "best"), default="median",
                        help="report each reader's median round (default) or its fastest")
    parser.add_argument("--build", action="append", default=[], metavar="NAME=DIR",
                        help="also time the velk module built in DIR, as reader NAME (repeatable)")
    parser.add_argument("--loop", choices=("keep", "drop", "both"), default="both",
                        help="consumer loop: keep the last event, drop each event, or both (default)")
    args = parser.parse_args()
    size_mb = args.size_mb if args.size_mb is not None else (4 if args.quick else 256)
    rounds = args.rounds if args.rounds is not None else (3 if args.quick else 7)
    cases = [c for c in CASES if not args.case or any(text in c.name for text in args.case)]
    loops = ("keep", "drop") if args.loop == "both" else (args.loop,)
    global CLOCK, STAT
    CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter
    STAT = args.stat
    for entry in args.build:
        name, _, directory = entry.partition("=")
        OTHER_BUILDS[name] = build_reader(load_build(directory))

    if args.profile and args.profile not in readers_for(0):
        parser.error(f"unknown reader {args.profile!r}")
    if args.profile:
        profile(cases, args.profile, size_mb, args.passes, loops[0])
        return
    print(f"velk benchmark: {size_mb:g} MB per recording, {rounds} rounds", file=sys.stderr)
    load_before = load()
    results = []
    with tempfile.TemporaryDirectory(prefix="velk-bench-") as directory:
        for case in cases:
            print(f"  {case.name} ...", file=sys.stderr, flush=True)
            path, events = prepare(case, directory, int(size_mb * 1e6))
            timings = run_case(case, path, events, rounds, 200, loops)
            os.unlink(path)
            results.append((case, events, events * case.event_bytes, timings))
    print(f"Machine: {machine()}\n")
    print(f"Recordings of {size_mb:g} MB in the page cache; {args.clock} clock; "
          f"{'fastest' if STAT == 'best' else 'median'} of {rounds} interleaved rounds; "
          f"spread = (slowest - fastest) / median; load average {load_before} before, {load()} after.\n")
    print(format_table(results))


def profile(cases: list[Case], reader: str, size_mb: float, passes: int, loop: str) -> None:
    """Drains each case's recording `passes` times with one reader, untimed, for running under a
    profiler: the difference between two runs with different `passes` is the cost of the passes."""
    with tempfile.TemporaryDirectory(prefix="velk-bench-") as directory:
        for case in cases:
            path, events = prepare(case, directory, int(size_mb * 1e6))
            read = readers_for(events)[reader]
            drain(read_velk(path, case))  # imports NumPy and creates velk's process-wide objects
            for _ in range(passes):
                LOOPS[loop](read(path, case))
            print(f"{case.name}: {reader}, {passes} passes over {events} events", file=sys.stderr)


if __name__ == "__main__":
    main()
