"""Leak checks: repeated reading, keeping arrays, failed constructions and raised errors must not grow the
interpreter's allocated blocks, the C heap, the resident set or any reference count.

Run as a script (`python test_leaks.py [ITERATIONS]`) it is the workload scripts/test-sanitized runs
under LeakSanitizer, which then reports any leak whose allocation passed through velk;
`python test_leaks.py --figures` prints the growth figures the tests check.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import velk
from recordings import wd1_event, wd2_event


@dataclass
class Files:
    wd1: str
    wd2: str
    wd1_big: str
    wd2_big: str
    wd1_too_small: str
    wd2_block_too_large: str
    empty: str
    directory: str


def write_files(root: Path) -> Files:
    def write(name: str, data: bytes) -> str:
        (root / name).write_bytes(data)
        return str(root / name)

    big = 1 << 17  # samples per event in the "big" files: a leaked block shows in the C heap and RSS
    return Files(
        wd1=write("wd1", b"".join(wd1_event([i, i + 1, i + 2], event_counter=i) for i in range(20))),
        wd2=write("wd2", b"".join(wd2_event([1.0] * 8, channels=2, event_counter=i) for i in range(20))),
        wd1_big=write("wd1-big", wd1_event([7] * big) * 2),
        wd2_big=write("wd2-big", b"".join(wd2_event([0.5] * big, event_counter=i) for i in range(2))),
        wd1_too_small=write("wd1-small", wd1_event(event_size=-5) * 3 + wd1_event([1])),
        wd2_block_too_large=write(
            "wd2-large",
            wd2_event([0.0] * 4, channels=2) + wd2_event([0.0] * 4, channels=2, event_counter=1)
            + wd2_event([], channels=2, samples=2**29, event_counter=2),
        ),
        empty=write("empty", b""),
        directory=str(root),
    )


def read_all(files: Files) -> None:
    for path, kind in ((files.wd1, "WD1"), (files.wd2, "WD2"), (files.wd1_big, "WD1"), (files.wd2_big, "WD2")):
        for event in velk.EventReader(path, kind):
            assert event["data"].base is not None


def keep_arrays_past_their_reader(files: Files) -> None:
    reader = velk.EventReader(files.wd2_big, "WD2")
    arrays = [event["data"] for event in reader]
    views = [array[1::2] for array in arrays]
    del reader, arrays
    assert all(view.base.base is not None for view in views)


def fail_to_construct(files: Files) -> None:
    for args, error in (
        ((files.directory + "/missing", "WD1"), FileNotFoundError),
        ((files.wd1 + "/below", "WD1"), NotADirectoryError),
        ((files.wd1 + "\0", "WD1"), OSError),
        ((files.wd1, "wd1"), ValueError),
        ((files.empty, "WD2"), OSError),
        ((files.directory, "WD2"), OSError),
        ((Path(files.wd1), "WD1"), TypeError),
        ((files.wd1, "WD1", "extra"), TypeError),
        (("\udcff", "WD1"), UnicodeEncodeError),
    ):
        try:
            velk.EventReader(*args)
        except error:
            continue
        raise AssertionError(f"{args!r} did not raise {error.__name__}")
    try:
        velk.EventReader(path=files.wd1, reader_type="WD1", extra=1)
    except TypeError:
        pass


def raise_from_next(files: Files) -> None:
    reader = velk.EventReader(files.wd1_too_small, "WD1")
    for _ in range(3):
        try:
            next(reader)
        except ValueError:
            continue
        raise AssertionError("event_size -5 did not raise")
    assert len(list(reader)) == 1
    reader = velk.EventReader(files.wd2_block_too_large, "WD2")
    assert len([next(reader), next(reader)]) == 2
    try:
        next(reader)
    except ValueError:
        pass
    reader = velk.EventReader(files.directory, "WD1")
    try:
        next(reader)
    except IsADirectoryError:
        pass
    assert list(reader) == []


WORKLOADS = {
    "read every event": read_all,
    "arrays outlive their reader": keep_arrays_past_their_reader,
    "failed constructions": fail_to_construct,
    "errors raised from next": raise_from_next,
}


def _sanitizer_allocated_bytes():
    try:
        function = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        return None
    function.restype = ctypes.c_size_t
    return function


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def _malloc_in_use():
    """Bytes the C heap has handed out and not taken back: the sanitizer's own count when it runs,
    else glibc's mallinfo2 (small chunks plus mmapped ones)."""
    sanitizer = _sanitizer_allocated_bytes()
    if sanitizer is not None:
        return sanitizer
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2
    return lambda: (lambda info: info.uordblks + info.hblkhd)(mallinfo2())


MALLOC_IN_USE = _malloc_in_use()
UNDER_SANITIZER = _sanitizer_allocated_bytes() is not None


def _rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure() -> dict[str, int]:
    gc.collect()
    figures = {"python blocks": sys.getallocatedblocks()}
    if MALLOC_IN_USE is not None:
        figures["malloc bytes"] = MALLOC_IN_USE()
    if not UNDER_SANITIZER:  # freed memory sits in the sanitizer's quarantine, so RSS says nothing there
        figures["rss bytes"] = _rss()
    return figures


# Growth allowed over the measured iterations. A leak of one small object per iteration exceeds the
# block limit, one 8 KiB stream buffer per iteration the byte limit, one big block per iteration the
# RSS limit.
ITERATIONS = 150
LIMITS = {"python blocks": ITERATIONS // 3, "malloc bytes": 256 << 10, "rss bytes": 16 << 20}


def growth(workload, files: Files) -> dict[str, int]:
    """The smaller growth of two windows of ITERATIONS runs each, after a warm-up window: a leak grows
    both, a cache the interpreter fills once (on a first exception of some kind, say) at most one."""
    for _ in range(ITERATIONS):
        workload(files)
    marks = [measure()]
    for _ in range(2):
        for _ in range(ITERATIONS):
            workload(files)
        marks.append(measure())
    return {name: min(marks[1][name] - marks[0][name], marks[2][name] - marks[1][name]) for name in marks[0]}


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> Files:
    return write_files(tmp_path_factory.mktemp("leaks"))


@pytest.mark.parametrize("name", sorted(WORKLOADS))
def test_no_growth_over_many_iterations(files, name) -> None:
    grown = growth(WORKLOADS[name], files)
    excess = {metric: value for metric, value in grown.items() if value > LIMITS[metric]}
    assert not excess, f"{name}: grew {grown} (limits {LIMITS})"


def test_the_limits_catch_a_leak(files) -> None:
    """The same measurement over a workload that keeps one event per iteration must fail the limits."""
    kept = []

    def leaky(files: Files) -> None:
        kept.append(next(velk.EventReader(files.wd1_big, "WD1")))  # 256 KiB of samples each

    grown = growth(leaky, files)
    assert grown["python blocks"] > LIMITS["python blocks"] or sys.getallocatedblocks() == 0
    if "malloc bytes" in grown:
        assert grown["malloc bytes"] > LIMITS["malloc bytes"]
    if "rss bytes" in grown:
        assert grown["rss bytes"] > LIMITS["rss bytes"]


def _reader_type() -> type:
    return velk.EventReader


def _container_type(files: Files) -> type:
    return type(next(velk.EventReader(files.wd1, "WD1"))["data"].base)


@pytest.mark.parametrize("name", sorted(WORKLOADS))
@pytest.mark.parametrize("type_of", [lambda files: velk.EventReader, _container_type],
                         ids=["EventReader", "PySliceContainer"])
def test_type_reference_counts_return(files, name, type_of) -> None:
    cls = type_of(files)
    WORKLOADS[name](files)
    gc.collect()
    before = sys.getrefcount(cls)
    for _ in range(50):
        WORKLOADS[name](files)
    gc.collect()
    assert sys.getrefcount(cls) == before


def test_returned_objects_hold_only_their_own_references(files) -> None:
    reader = velk.EventReader(files.wd2, "WD2")
    assert sys.getrefcount(reader) == 2  # the name and the argument
    assert sys.getrefcount(iter(reader)) == 3  # plus the returned reference, alive during the call
    event = next(reader)
    assert sys.getrefcount(event) == 2
    array = event["data"]
    assert sys.getrefcount(array) == 3  # the dict, the name and the argument
    container = array.base
    assert sys.getrefcount(container) == 3  # the array's base, the name and the argument
    del event
    assert sys.getrefcount(array) == 2
    del array
    assert sys.getrefcount(container) == 2  # the array is gone and released its base


@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "wd1"])
@pytest.mark.parametrize("path_kind", ["wd1", "wd2", "empty", "directory", "missing"])
def test_argument_reference_counts_return(files, path_kind, reader_type) -> None:
    """Constructing borrows its arguments, whether it succeeds or fails."""
    path = "".join([getattr(files, path_kind, files.directory + "/missing")])  # a fresh str object
    kind = "".join([reader_type])
    before = sys.getrefcount(path), sys.getrefcount(kind)
    for _ in range(20):
        try:
            for _event in velk.EventReader(path, kind):
                pass
        except (OSError, ValueError):
            pass
    assert (sys.getrefcount(path), sys.getrefcount(kind)) == before


def drive(iterations: int) -> None:
    """The workload LeakSanitizer watches: every path through velk, many times, then everything dropped."""
    with tempfile.TemporaryDirectory() as root:
        files = write_files(Path(root))
        for _ in range(iterations):
            for workload in WORKLOADS.values():
                workload(files)
        kept = [event["data"] for event in velk.EventReader(files.wd1, "WD1")]
        assert np.all(kept[0] == [0, 1, 2])
        del kept
    gc.collect()


def print_figures() -> None:
    """The growth each workload shows, next to the limits the tests hold it to."""
    with tempfile.TemporaryDirectory() as root:
        files = write_files(Path(root))
        print(f"growth over {ITERATIONS} iterations (smaller of two windows); limits {LIMITS}")
        for name, workload in WORKLOADS.items():
            print(f"  {name}: {growth(workload, files)}")


if __name__ == "__main__":
    if sys.argv[1:] == ["--figures"]:
        print_figures()
    else:
        drive(int(sys.argv[1]) if len(sys.argv) > 1 else 20)
