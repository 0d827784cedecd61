"""Hostile inputs: files that change under an open reader, FIFOs, device files, unusual paths, absurd
header values, overlapping use from threads, and arrays that outlive everything else."""

from __future__ import annotations

import errno
import itertools
import os
import stat
import struct
import sys
import threading

import pytest

import velk
from recordings import wd1_event, wd2_event, wd2_header
from reference_reader import ReferenceReader, trace

WD1_EVENTS = [wd1_event([i, 2 * i, 3 * i], event_counter=i) for i in range(6)]
WD2_EVENTS = [wd2_event([float(i)] * 6, channels=3, event_counter=i, sampling_period=4) for i in range(6)]


def summary(event: dict) -> tuple:
    return tuple((key, value.tolist() if key == "data" else value) for key, value in event.items())


def drain(reader) -> list:
    return [summary(event) for event in reader]


# --- files that change under an open reader ---------------------------------------------------------

# Sizes of successive appends, from an event's length n and its header's length h; whatever is left
# is appended last. After each append both readers are drained. Cutting inside a header or a block
# leaves the partial bytes consumed, so later events are read out of step, the same way by both.
GROWTH_SCHEDULES = {
    "whole events": lambda n, h: [n, n, n],
    "inside a header": lambda n, h: [n, 3, n],
    "inside a block": lambda n, h: [h + 2, n],
    "byte by byte": lambda n, h: [1] * (4 * n),
}


def _chunks(data: bytes, sizes: list[int]) -> list[bytes]:
    chunks = []
    for size in sizes:
        chunks.append(data[:size])
        data = data[size:]
    return [*chunks, data]


@pytest.mark.parametrize("schedule", sorted(GROWTH_SCHEDULES))
@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_file_growing_between_reads_matches_reference(tmp_path, reader_type, schedule) -> None:
    events = WD1_EVENTS if reader_type == "WD1" else WD2_EVENTS
    header = 24 if reader_type == "WD1" else 28
    path = tmp_path / "growing.bin"
    path.write_bytes(b"".join(events[:2]))  # enough for the WD2 probe
    readers = velk.EventReader(str(path), reader_type), ReferenceReader(str(path), reader_type)
    seen: tuple[list, list] = ([], [])
    sizes = GROWTH_SCHEDULES[schedule](len(events[0]), header)
    for chunk in [b"", *_chunks(b"".join(events[2:]), sizes)]:
        with open(path, "ab") as f:
            f.write(chunk)
        for reader, outcomes in zip(readers, seen):
            outcomes.append(drain(reader))
    assert seen[0] == seen[1]
    if schedule == "whole events":
        assert sum(seen[0], []) == [summary(e) for e in ReferenceReader(str(path), reader_type)]


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_file_growing_from_another_process_while_iterating(tmp_path, reader_type) -> None:
    """A writer process appends whole events with one write each, within one page each, while the
    reader iterates and retries at end of data: every event arrives once, in order, intact."""
    events = [wd1_event([i] * 244, event_counter=i) if reader_type == "WD1"
              else wd2_event([float(i)] * 122, event_counter=i) for i in range(200)]
    assert {len(e) for e in events} == {512}
    path = tmp_path / "live.bin"
    path.write_bytes(b"".join(events[:2]))
    reader = velk.EventReader(str(path), reader_type)
    pid = os.fork()
    if pid == 0:  # the writer: no Python objects touched, only os calls
        fd = os.open(path, os.O_WRONLY | os.O_APPEND)
        for event in events[2:]:
            os.write(fd, event)
        os._exit(0)
    received = []
    while True:
        finished = os.waitpid(pid, os.WNOHANG)[0] != 0
        received.extend(drain(reader))  # after the writer finished, this drains the rest
        if finished:
            break
    assert received == [summary(e) for e in ReferenceReader(str(path), reader_type)]
    assert len(received) == len(events)


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("events, keep", [(6, 0), (6, 100), (400, 0), (400, 3000)],
                         ids=["small-to-empty", "small-to-mid", "large-to-empty", "large-to-mid"])
def test_file_truncated_under_an_open_reader(tmp_path, reader_type, events, keep) -> None:
    """After truncation the reader may still hand out events it had buffered, but only intact ones
    from the original file, in order; then the iteration ends and stays ended."""
    make = (lambda i: wd1_event([i] * 20, event_counter=i)) if reader_type == "WD1" else \
        (lambda i: wd2_event([float(i)] * 20, channels=2, event_counter=i))
    path = tmp_path / "shrinking.bin"
    path.write_bytes(b"".join(make(i) for i in range(events)))
    original = [summary(e) for e in ReferenceReader(str(path), reader_type)]
    reader = velk.EventReader(str(path), reader_type)
    first = [summary(next(reader)) for _ in range(3)]
    os.truncate(path, keep)
    rest = drain(reader)
    assert first + rest == original[: 3 + len(rest)]
    assert drain(reader) == []


# --- FIFOs -------------------------------------------------------------------------------------------

@pytest.fixture
def fifo(tmp_path) -> str:
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    return path


def test_fifo_with_data_then_closed_writer(tmp_path, fifo) -> None:
    data = b"".join(WD1_EVENTS) + WD1_EVENTS[0][:10]
    (tmp_path / "same.bin").write_bytes(data)
    writer = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # a writer exists, so opening to read cannot block
    reader = velk.EventReader(fifo, "WD1")
    os.write(writer, data)
    os.close(writer)  # the reader sees end of file once the pipe is drained
    assert drain(reader) == drain(ReferenceReader(str(tmp_path / "same.bin"), "WD1"))
    assert drain(reader) == []


def test_fifo_as_wd2_fails_construction_at_the_rewind(fifo) -> None:
    writer = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
    try:
        os.write(writer, b"".join(WD2_EVENTS))  # more than the probe reads, so no read waits
        with pytest.raises(OSError) as raised:
            velk.EventReader(fifo, "WD2")
    finally:
        os.close(writer)
    assert type(raised.value) is OSError and raised.value.args == ("Illegal seek (os error 29)",)


def test_fifo_without_writer_blocks_in_open_until_one_comes(fifo, run_python) -> None:
    """Opening a FIFO nobody writes to waits, as open(2) does; it is not an error and not a spin. A
    child process waits in the constructor; once this test opens and closes a writer end, it sees an
    empty recording. The child's timeout bounds the test if the open never returns."""
    child = threading.Thread(target=lambda: results.append(run_python(
        "import sys, velk\nprint(list(velk.EventReader(sys.argv[1], 'WD1')))\n", fifo, timeout=60)))
    results: list = []
    child.start()
    writer = None
    for _ in range(60_000):  # O_NONBLOCK open for writing fails with ENXIO until a reader is waiting
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError as error:
            assert error.errno == errno.ENXIO
            threading.Event().wait(0.001)
    assert writer is not None, "the child never opened the FIFO"
    os.close(writer)
    child.join()
    assert results[0].returncode == 0, results[0].stderr
    assert results[0].stdout == "[]\n"


# --- device files, directories and unusual paths -----------------------------------------------------

@pytest.mark.parametrize("path, reader_type, calls", [
    ("/dev/null", "WD1", 3),
    ("/dev/null", "WD2", 3),
    ("/dev/zero", "WD1", 50),   # every header says event_size 0: ValueError each time, never a hang
    ("/dev/zero", "WD2", 50),   # the probe refutes the word; then endless empty one-channel events
])
def test_device_files_match_reference(path, reader_type, calls) -> None:
    if not os.path.exists(path):
        pytest.skip(f"{path} is missing")
    expected = trace(ReferenceReader, path, reader_type, calls)
    assert trace(velk.EventReader, path, reader_type, calls) == expected
    kinds = {outcome[0] if outcome[0] != "raise" else outcome[1] for outcome in expected}
    assert kinds == {("/dev/null", "WD1"): {"end"}, ("/dev/null", "WD2"): {OSError},
                     ("/dev/zero", "WD1"): {ValueError}, ("/dev/zero", "WD2"): {"event"}}[(path, reader_type)]


def _non_utf8_name(tmp_path) -> str:
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.bin"
    with open(raw, "wb") as f:
        f.write(WD1_EVENTS[0])
    return os.fsdecode(raw)  # the undecodable byte becomes a lone surrogate


PATH_CASES = {
    "component longer than NAME_MAX": (lambda tmp: str(tmp / ("a" * 300)), OSError, "File name too long (os error 36)"),
    "path longer than PATH_MAX": (lambda tmp: "/".join([str(tmp)] + ["b" * 200] * 25), OSError,
                                  "File name too long (os error 36)"),
    "non-UTF-8 file name": (_non_utf8_name, UnicodeEncodeError, None),
    "lone surrogate": (lambda tmp: str(tmp / "\udc80.bin"), UnicodeEncodeError, None),
    "bytes path": (lambda tmp: os.fsencode(str(tmp / "x")), TypeError,
                   "argument 'path': 'bytes' object cannot be cast as 'str'"),
    "descriptor path of a closed fd": (lambda tmp: "/proc/self/fd/999999", FileNotFoundError,
                                       "No such file or directory (os error 2)"),
}


@pytest.mark.parametrize("case", sorted(PATH_CASES))
@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_unusual_paths_raise(tmp_path, case, reader_type, fd_count) -> None:
    make, error, text = PATH_CASES[case]
    path = make(tmp_path)
    before = fd_count()
    with pytest.raises(error) as raised:
        velk.EventReader(path, reader_type)
    assert type(raised.value) is error
    if text is not None:
        assert raised.value.args == (text,)
    assert fd_count() == before


def test_utf8_file_names_open(tmp_path) -> None:
    path = tmp_path / "données-测量-🙂.bin"
    path.write_bytes(b"".join(WD1_EVENTS))
    assert len(drain(velk.EventReader(str(path), "WD1"))) == len(WD1_EVENTS)


# --- absurd header values ----------------------------------------------------------------------------

# Two headers that confirm a channel word of 4, with empty blocks.
WORD_PAIR = b"".join(wd2_header(event_counter=i, channels=4) for i in range(2))


HUGE_FIELDS = {
    # WD1: the claimed block is never there; the reader reaches end of data without trouble.
    "wd1 event_size 2^31-1": ("WD1", wd1_event(event_size=2**31 - 1) + b"\x01" * 40),
    "wd1 event_size -2^31": ("WD1", wd1_event(event_size=-(2**31)) + wd1_event([5])),
    "wd1 every word at its extremes": ("WD1", struct.pack("<6i", 2**31 - 1, -(2**31), -1, 2**31 - 1, -(2**31), -1)),
    # WD2: blocks of 2^31 bytes or more are refused, the largest accepted one is simply not there.
    "wd2 block wraps to 0": ("WD2", WORD_PAIR + wd2_header(event_counter=2, samples=2**30, channels=4)),
    "wd2 block of exactly 2^31": ("WD2", WORD_PAIR + wd2_header(event_counter=2, samples=2**27, channels=4)),
    "wd2 largest block, short file": ("WD2", WORD_PAIR + wd2_header(samples=2**27 - 1, channels=4) + b"\x02" * 64),
    "wd2 every field at its maximum": ("WD2", b"".join(
        wd2_header(event_counter=(2**32 - 1 + i) % 2**32, timestamp=2**64 - 1, samples=0, sampling_period=2**64 - 1,
                   channels=2**31 - 1) for i in range(3))),
    "wd2 first block beyond the limit, no fallback": ("WD2", wd2_header(samples=2**29, channels=1) + b"\x00" * 64),
}


@pytest.mark.parametrize("name", sorted(HUGE_FIELDS))
def test_huge_claimed_sizes_match_reference(tmp_path, name) -> None:
    reader_type, data = HUGE_FIELDS[name]
    path = str(tmp_path / "huge.bin")
    with open(path, "wb") as f:
        f.write(data)
    expected = trace(ReferenceReader, path, reader_type, 8)
    assert trace(velk.EventReader, path, reader_type, 8) == expected
    assert expected[-1] == ("end",) or expected[-1][1] in (ValueError, OSError)


@pytest.mark.parametrize("reader_type, data", [
    ("WD1", wd1_event(event_size=2**31 - 1, event_counter=3) + b"\x01" * 40),
    ("WD2", b"".join(wd2_event([1.0], event_counter=i) for i in range(2)) + wd2_header(samples=2**29 - 1) + b"\x01" * 40),
], ids=["WD1", "WD2"])
def test_huge_claims_end_the_data_with_little_address_space(tmp_path, run_python, reader_type, data) -> None:
    """A short file claiming a 2 GiB block ends in end of data even where 2 GiB cannot be reserved."""
    path = tmp_path / "claim.bin"
    path.write_bytes(data)
    result = run_python(
        """
        import resource, sys, velk
        import numpy  # loaded before the limit, like any program that already uses it
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        limit = in_use + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        print([len(e["data"]) for e in velk.EventReader(sys.argv[1], sys.argv[2])])
        """,
        str(path), reader_type,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("[]\n" if reader_type == "WD1" else "[1, 1]\n")


# --- overlapping use from another thread, and re-entrant use -----------------------------------------

# The first event of the process imports NumPy, and the import runs Python code, so other threads (and
# code on the same thread) can run while next() holds the reader. An import hook stops that import
# until the interfering calls are done, which makes the overlap deterministic.
OVERLAP_SCRIPT = """
import sys, threading, velk

path = sys.argv[1]
reader, other = velk.EventReader(path, "WD1"), velk.EventReader(path, "WD1")
attempts, tried = [], threading.Event()

def attempt(name, call):
    try:
        call()
        attempts.append((name, "ok"))
    except RuntimeError as error:
        attempts.append((name, str(error)))

def interfere():
    attempt("next, other thread", lambda: next(reader))
    attempt("iter, other thread", lambda: iter(reader))
    tried.set()

class StopNumpyImport:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy":
            sys.meta_path.remove(self)
            attempt("next, same thread", lambda: next(reader))
            attempt("iter, same thread", lambda: iter(reader))
            attempt("next of another reader, same thread", lambda: next(other))
            threading.Thread(target=interfere).start()
            tried.wait()
        return None

sys.meta_path.insert(0, StopNumpyImport())
first = next(reader)
attempt("next afterwards", lambda: next(reader))
attempt("iter afterwards", lambda: iter(reader))
for name, outcome in attempts:
    print(f"{name}: {outcome}")
print("first event counter", first["event_counter"], "data", first["data"].tolist())
print("other reader", [e["event_counter"] for e in other])
"""


def test_overlapping_use_raises_borrow_errors(tmp_path, run_python) -> None:
    path = tmp_path / "shared.bin"
    path.write_bytes(b"".join(WD1_EVENTS))
    result = run_python(OVERLAP_SCRIPT, str(path), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "next, same thread: Already borrowed",
        "iter, same thread: Already mutably borrowed",
        "next of another reader, same thread: velk: a process-wide object was requested while being created",
        "next, other thread: Already borrowed",
        "iter, other thread: Already mutably borrowed",
        "next afterwards: ok",
        "iter afterwards: ok",
        "first event counter 0 data [0, 0, 0]",
        "other reader [1, 2, 3, 4, 5]",  # its first event was read, then lost with the fault
    ]


def test_threads_sharing_nothing_read_concurrently(tmp_path) -> None:
    path = tmp_path / "many.bin"
    path.write_bytes(b"".join(WD1_EVENTS) * 50)
    expected = drain(velk.EventReader(str(path), "WD1"))
    results: list = [None] * 8

    def work(i: int) -> None:
        results[i] = drain(velk.EventReader(str(path), "WD1"))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 8


# --- arrays that outlive their reader ----------------------------------------------------------------

@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_arrays_survive_their_reader_file_and_dicts(tmp_path, reader_type) -> None:
    path = tmp_path / "gone.bin"
    path.write_bytes(b"".join(WD1_EVENTS if reader_type == "WD1" else WD2_EVENTS))
    reader = velk.EventReader(str(path), reader_type)
    events = list(itertools.islice(reader, 4))
    expected = [e["data"].tolist() for e in events]
    arrays = [e["data"] for e in events]
    views = [a[::-1][1:] for a in arrays]
    del reader, events
    path.write_bytes(b"\xff" * 4096)
    path.unlink()
    assert [a.tolist() for a in arrays] == expected
    arrays[1][:] = 7
    assert views[1].tolist() == [7] * (len(arrays[1]) - 1)
    assert type(views[2].base.base).__name__ == "PySliceContainer"
    del arrays
    assert [v.tolist() for v in views[2:]] == [list(reversed(x))[1:] for x in expected[2:]]


def test_a_removed_file_stays_readable_through_an_open_reader(tmp_path) -> None:
    path = tmp_path / "unlinked.bin"
    path.write_bytes(b"".join(WD1_EVENTS))
    reader = velk.EventReader(str(path), "WD1")
    path.unlink()
    assert stat.S_ISREG(os.stat(f"/proc/self/fd/{_fd_on_removed(path)}").st_mode)
    assert len(drain(reader)) == len(WD1_EVENTS)


def _fd_on_removed(path) -> int:
    target = f"{path} (deleted)"
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == target:
                return int(name)
        except OSError:
            continue
    raise AssertionError("the reader holds no descriptor on the removed file")


if sys.platform != "linux":  # pragma: no cover
    pytestmark = pytest.mark.skip("Linux file semantics")
