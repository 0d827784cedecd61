"""Leak checks: repeated reading, keeping arrays, failed constructions and raised errors must not grow the
interpreter's allocated blocks, the C heap, the resident set or any reference count.

Run as a script (`python test_leaks.py [ITERATIONS]`) it is the workload scripts/test-sanitized runs
under LeakSanitizer, which then reports any leak whose allocation passed through velk.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import tempfile
from pathlib import Path
from types import SimpleNamespace

# NumPy is imported here, before velk's first event would import it: the interpreter keeps what an
# import allocates for good, and LeakSanitizer would count that against velk's frames on the stack.
import numpy as np
import pytest

import velk
from recordings import wd1_event, wd2_event

BIG = 1 << 17  # samples per event in the "big" files: a leaked block shows in the C heap and RSS


def write_files(root: Path) -> SimpleNamespace:
    def write(name: str, data: bytes) -> str:
        (root / name).write_bytes(data)
        return str(root / name)

    # Header values beyond the small ints the interpreter caches, so a leaked reference to one leaks a block.
    return SimpleNamespace(
        wd1=write("wd1", b"".join(wd1_event([i, i + 1], pattern=-(10**6) - i, event_counter=10**6 + i,
                                            timestamp=-(2**31) + i) for i in range(20))),
        wd2=write("wd2", b"".join(wd2_event([1.0] * 8, channels=2, event_counter=10**6 + i, timestamp=2**40 + i,
                                            sampling_period=2**63 + 5) for i in range(20))),
        wd1_big=write("wd1-big", wd1_event([7] * BIG) * 2),
        wd2_big=write("wd2-big", b"".join(wd2_event([0.5] * BIG, event_counter=i) for i in range(2))),
        wd1_too_small=write("wd1-small", wd1_event(event_size=-5) * 3 + wd1_event([1])),
        wd2_block_too_large=write("wd2-large", b"".join(wd2_event([0.0] * 4, channels=2, event_counter=i)
                                                        for i in range(2))
                                  + wd2_event([], channels=2, samples=2**28, event_counter=2)),
        empty=write("empty", b""),
        directory=str(root),
        # Made once: building a Path allocates blocks of its own that come and go in bursts.
        wd1_as_path=root / "wd1",
    )


def read_all(files) -> None:
    for path, kind in ((files.wd1, "WD1"), (files.wd2, "WD2"), (files.wd1_big, "WD1"), (files.wd2_big, "WD2")):
        for event in velk.EventReader(path, kind):
            assert type(event["data"]) is np.ndarray and event["data"].base is not None


def keep_arrays_past_their_reader(files) -> None:
    reader = velk.EventReader(files.wd2_big, "WD2")
    views = [event["data"][1::2] for event in reader]
    del reader
    assert all(view.base.base is not None for view in views)


def fail_to_construct(files) -> None:
    for args, kwargs, error in (
        ((files.directory + "/missing", "WD1"), {}, FileNotFoundError),
        ((files.wd1 + "\0", "WD1"), {}, OSError),
        ((files.wd1, "wd1"), {}, ValueError),
        ((files.empty, "WD2"), {}, OSError),
        ((files.directory, "WD2"), {}, OSError),
        ((files.wd2_block_too_large + "-missing", "WD2"), {}, FileNotFoundError),
        ((files.wd1_as_path, "WD1"), {}, TypeError),
        ((files.wd1, "WD1", "extra"), {}, TypeError),
        ((), {"path": files.wd1, "reader_type": "WD1", "extra": 1}, TypeError),
        (("\udcff", "WD1"), {}, UnicodeEncodeError),
    ):
        try:
            velk.EventReader(*args, **kwargs)
        except error:
            continue
        raise AssertionError(f"{args} {kwargs} did not raise {error.__name__}")


def raise_from_next(files) -> None:
    for path, kind, good, error in ((files.wd1_too_small, "WD1", 0, ValueError),
                                    (files.wd2_block_too_large, "WD2", 2, ValueError),
                                    (files.directory, "WD1", 0, IsADirectoryError)):
        reader = velk.EventReader(path, kind)
        assert len([next(reader) for _ in range(good)]) == good
        with pytest.raises(error):
            next(reader)


WORKLOADS = {
    "read every event": read_all,
    "arrays outlive their reader": keep_arrays_past_their_reader,
    "failed constructions": fail_to_construct,
    "errors raised from next": raise_from_next,
}


def _malloc_in_use():
    """Bytes the C heap has handed out and not taken back: the sanitizer's own count when it runs,
    else glibc's mallinfo2 (small chunks plus mmapped ones); None when neither is there."""
    libc = ctypes.CDLL(None)
    if hasattr(libc, "__sanitizer_get_current_allocated_bytes"):
        libc.__sanitizer_get_current_allocated_bytes.restype = ctypes.c_size_t
        return libc.__sanitizer_get_current_allocated_bytes, True
    if not hasattr(libc, "mallinfo2"):
        return None, False

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

    libc.mallinfo2.restype = MallInfo2
    return lambda: (lambda info: info.uordblks + info.hblkhd)(libc.mallinfo2()), False


MALLOC_IN_USE, UNDER_SANITIZER = _malloc_in_use()
LIBC = ctypes.CDLL(None)


def measure() -> dict[str, int]:
    gc.collect()
    figures = {}
    if sys.getallocatedblocks():  # 0 when the interpreter allocates through malloc alone
        figures["python blocks"] = sys.getallocatedblocks()
    if MALLOC_IN_USE is not None:
        figures["malloc bytes"] = MALLOC_IN_USE()
    if not UNDER_SANITIZER:  # freed memory sits in the sanitizer's quarantine, so RSS says nothing there
        # Free heap memory goes back to the system at every mark: otherwise a trim glibc happens to make
        # inside a window (of memory earlier tests freed) hides what the window retained.
        if hasattr(LIBC, "malloc_trim"):
            LIBC.malloc_trim(0)
        with open("/proc/self/statm") as statm:
            figures["rss bytes"] = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return figures


# Growth allowed over the measured iterations. A leak of one small object per iteration exceeds the
# block limit, one 64 KiB stream buffer per iteration the byte limit, one big block per iteration the
# RSS limit. The block limit leaves room for the interpreter's own growth in a long test session (up to
# 59 blocks in both windows was seen once there, never alone).
ITERATIONS = 150
LIMITS = {"python blocks": 2 * ITERATIONS // 3, "malloc bytes": 256 << 10, "rss bytes": 16 << 20}


def growth(workload, files) -> dict[str, int]:
    """The smaller growth of two windows of ITERATIONS runs each, after a warm-up window: a leak grows
    both, a cache the interpreter fills once (on a first exception of some kind, say) at most one."""
    marks = []
    for _window in range(3):
        for _ in range(ITERATIONS):
            workload(files)
        marks.append(measure())
    return {name: min(marks[1][name] - marks[0][name], marks[2][name] - marks[1][name]) for name in marks[0]}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return write_files(tmp_path_factory.mktemp("leaks"))


@pytest.mark.parametrize("name", sorted(WORKLOADS))
def test_no_growth_over_many_iterations(files, name):
    grown = growth(WORKLOADS[name], files)
    assert all(grown[metric] <= LIMITS[metric] for metric in grown), f"{name}: grew {grown} (limits {LIMITS})"


def test_the_limits_catch_a_leak(files):
    """The same measurement over a workload that keeps one event per iteration must fail every limit."""
    kept = []
    grown = growth(lambda files: kept.append(next(velk.EventReader(files.wd1_big, "WD1"))), files)
    assert all(grown[metric] > LIMITS[metric] for metric in grown), grown


@pytest.mark.parametrize("name", sorted(WORKLOADS))
def test_type_reference_counts_return(files, name):
    types = velk.EventReader, type(next(velk.EventReader(files.wd1, "WD1"))["data"].base)
    WORKLOADS[name](files)
    gc.collect()
    before = [sys.getrefcount(cls) for cls in types]
    for _ in range(50):
        WORKLOADS[name](files)
    gc.collect()
    assert [sys.getrefcount(cls) for cls in types] == before


def test_returned_objects_hold_only_their_own_references(files):
    reader = velk.EventReader(files.wd2, "WD2")
    assert sys.getrefcount(reader) == 2  # the name and the argument
    assert sys.getrefcount(iter(reader)) == 3  # plus the returned reference, alive during the call
    event = next(reader)
    assert sys.getrefcount(event) == 2
    # Values beyond the cached small ints: held by the dict and the argument only.
    assert [sys.getrefcount(event[key]) for key in ("event_counter", "timestamp", "sampling_period")] == [2] * 3
    array = event["data"]
    container = array.base
    assert (sys.getrefcount(array), sys.getrefcount(container)) == (3, 3)
    del event
    assert sys.getrefcount(array) == 2
    del array
    assert sys.getrefcount(container) == 2  # the array is gone and released its base


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="None is immortal: its count never moves")
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_dict_placeholders_leave_no_reference_to_none_behind(files, kind):
    """Every None a new dict starts with must be replaced and released, in kept and dropped dicts alike."""
    path = files.wd1 if kind == "WD1" else files.wd2

    def none_references_gained() -> tuple[int, list]:
        gc.collect()
        gc.disable()  # a collection in the middle would free unrelated objects that hold None
        try:
            before = sys.getrefcount(None)
            kept = [list(event.values()) for event in velk.EventReader(path, kind)]
            return sys.getrefcount(None) - before, kept
        finally:
            gc.enable()

    none_references_gained()  # the first use creates the process-wide objects
    gained, kept = none_references_gained()
    assert gained == 0 and not any(value is None for values in kept for value in values)


@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "wd1"])
@pytest.mark.parametrize("path_kind", ["wd1", "wd2", "empty", "directory", "missing"])
def test_argument_reference_counts_return(files, path_kind, reader_type):
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


if __name__ == "__main__":
    # The workload LeakSanitizer watches: every path through velk, many times, then everything dropped.
    with tempfile.TemporaryDirectory() as root:
        leak_files = write_files(Path(root))
        for _ in range(int(sys.argv[1]) if len(sys.argv) > 1 else 20):
            for workload in WORKLOADS.values():
                workload(leak_files)
    gc.collect()
