"""Hostile inputs, each compared with the reference reader where one applies: files that grow or shrink
under an open reader, FIFOs, device files, file names that are not UTF-8 and absurd header values.
Very long paths are among the open failures of test_errors."""

from __future__ import annotations

import os
import signal
import struct
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk
from recordings import wd1_event, wd2_event, wd2_header
from reference_reader import ReferenceReader, trace

EVENTS = {
    "WD1": [wd1_event([i, 2 * i, 3 * i], event_counter=i) for i in range(6)],
    "WD2": [wd2_event([float(i)] * 6, channels=3, event_counter=i, sampling_period=4) for i in range(6)],
}


def drain(reader) -> list:
    return [[(k, v.tolist() if k == "data" else v) for k, v in event.items()] for event in reader]


# Events of 3 to 5000 samples, so that appends end inside headers, inside blocks held in the buffer and
# inside blocks read past it.
FOLLOWED = {
    "WD1": [wd1_event([i] * n, event_counter=i) for i, n in enumerate([3, 5000, 7, 1, 3000, 4, 9, 2])],
    "WD2": [wd2_event([float(i)] * 2 * n, channels=2, samples=n, event_counter=i)
            for i, n in enumerate([3, 3, 2500, 7, 1, 1500, 4, 9])],
}


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@settings(deadline=None, max_examples=60)
@given(pieces=st.lists(st.integers(1, 24000), min_size=1, max_size=40))
def test_follower_of_a_growing_file_sees_every_event_once(tmp_path_factory, reader_type, pieces):
    """A writer appends the recording in pieces of any size; a follower that drains the reader after each
    piece ends up with every event exactly once, in order, as the reference reads the whole file."""
    events = FOLLOWED[reader_type]
    path = tmp_path_factory.mktemp("follow") / "growing.bin"
    path.write_bytes(b"".join(events[:2]))  # enough for the WD2 probe
    reader, rest, seen = velk.EventReader(str(path), reader_type), b"".join(events[2:]), []
    for size in [*pieces, len(rest)]:
        with open(path, "ab") as f:
            f.write(rest[:size])
        rest = rest[size:]
        seen += drain(reader)
    assert seen == drain(ReferenceReader(str(path), reader_type))
    assert [dict(event)["event_counter"] for event in seen] == list(range(len(events)))


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize(("events", "keep"), [(6, 0), (400, 3000)], ids=["small-to-empty", "large-to-mid"])
def test_file_truncated_under_an_open_reader(tmp_path, reader_type, events, keep):
    """The reader may still hand out events it had buffered, but only intact ones of the original file,
    in order; then the iteration ends and stays ended."""
    make = (lambda i: wd1_event([i] * 20, event_counter=i)) if reader_type == "WD1" else \
        (lambda i: wd2_event([float(i)] * 20, channels=2, event_counter=i))
    path = tmp_path / "shrinking.bin"
    path.write_bytes(b"".join(make(i) for i in range(events)))
    original = drain(ReferenceReader(str(path), reader_type))
    reader = velk.EventReader(str(path), reader_type)
    first = drain(next(reader) for _ in range(3))
    os.truncate(path, keep)
    rest = drain(reader)
    assert first + rest == original[: 3 + len(rest)]
    assert drain(reader) == []


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_fifo_is_read_until_the_writer_closes_and_cannot_be_probed(tmp_path, reader_type):
    fifo, copy = str(tmp_path / "fifo"), tmp_path / "copy.bin"
    os.mkfifo(fifo)
    data = b"".join(EVENTS[reader_type]) + EVENTS[reader_type][0][:10]
    copy.write_bytes(data)
    writer = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # a writer exists, so opening to read cannot block
    try:
        os.write(writer, data)  # more than the WD2 probe reads, so no read waits
        if reader_type == "WD2":  # the probe cannot rewind a pipe
            assert trace(velk.EventReader, fifo, "WD2", 1) == [("raise", OSError, ("Illegal seek (os error 29)",))]
            return
        reader = velk.EventReader(fifo, "WD1")
    finally:
        os.close(writer)  # the reader sees end of file once the pipe is drained
    assert drain(reader) == drain(ReferenceReader(str(copy), "WD1"))
    assert drain(reader) == []


_INTERRUPTED = """
import os, signal, sys, velk
fifo, alarms = sys.argv[1], []
signal.signal(signal.SIGALRM, lambda *args: alarms.append(1))  # a handler that returns: reads go on
signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
print("opening", flush=True)
try:
    velk.EventReader(fifo, "WD1")  # no writer: open(2) waits
except KeyboardInterrupt:
    print("KeyboardInterrupt at open", flush=True)
writer = os.open(fifo, os.O_RDWR)
reader = velk.EventReader(fifo, "WD1")
print("reading", flush=True)
try:
    next(reader)  # a silent writer: read(2) waits inside the event's header
except KeyboardInterrupt:
    print("KeyboardInterrupt at next", flush=True)
signal.setitimer(signal.ITIMER_REAL, 0)
event = next(reader)
print(event["event_counter"], event["data"].tolist(), len(alarms) > 2, flush=True)
"""


def test_ctrl_c_ends_a_blocked_open_or_next_and_the_event_is_read_whole_after(tmp_path, run_python):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    (tmp_path / "interrupted.py").write_text(_INTERRUPTED)
    child = subprocess.Popen([sys.executable, "interrupted.py", fifo], cwd=tmp_path, env=run_python.env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(30, child.kill)
    watchdog.start()
    event, lines = wd1_event([1, 2, 3], event_counter=7), []

    def interrupt_and_read() -> float:
        time.sleep(0.3)
        start = time.monotonic()
        child.send_signal(signal.SIGINT)
        lines.append(child.stdout.readline().strip())
        return time.monotonic() - start

    try:
        lines.append(child.stdout.readline().strip())
        delays = [interrupt_and_read()]
        lines.append(child.stdout.readline().strip())
        with open(fifo, "wb", buffering=0) as writer:
            writer.write(event[:10])
            delays.append(interrupt_and_read())
            writer.write(event[10:])
            lines.append(child.stdout.readline().strip())
        child.wait()
    finally:
        watchdog.cancel()
        child.kill()
    assert (lines, child.returncode) == (["opening", "KeyboardInterrupt at open", "reading",
                                          "KeyboardInterrupt at next", "7 [1, 2, 3] True"], 0), child.stderr.read()
    assert max(delays) < 1


# /dev/zero as WD1: every header says event_size 0, so ValueError each time, never a hang; as WD2 the
# probe refutes the word, then endless empty one-channel events.
@pytest.mark.parametrize("path", ["/dev/null", "/dev/zero"])
@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_device_files_match_reference(path, reader_type):
    if not os.path.exists(path):
        pytest.skip(f"{path} is missing")
    expected = trace(ReferenceReader, path, reader_type, 20)
    assert trace(velk.EventReader, path, reader_type, 20) == expected
    lengths = {"/dev/null": {"WD1": 2, "WD2": 1}, "/dev/zero": {"WD1": 20, "WD2": 20}}
    assert len(expected) == lengths[path][reader_type]


def test_file_names_must_be_utf8_text(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.bin"  # not UTF-8: decoded, the byte is a lone surrogate
    with open(raw, "wb") as f:
        f.write(EVENTS["WD1"][0])
    for path in (os.fsdecode(raw), str(tmp_path / "\udc80.bin")):
        with pytest.raises(UnicodeEncodeError):
            velk.EventReader(path, "WD1")
    path = tmp_path / "données-测量-🙂.bin"
    path.write_bytes(b"".join(EVENTS["WD1"]))
    assert len(drain(velk.EventReader(str(path), "WD1"))) == 6


WORD_PAIR = b"".join(wd2_header(event_counter=i, channels=4) for i in range(2))  # confirms a word of 4
HUGE = {
    "wd1 event_size 2^31-1": ("WD1", wd1_event(event_size=2**31 - 1) + b"\x01" * 40),
    "wd1 event_size -2^31": ("WD1", wd1_event(event_size=-(2**31)) + wd1_event([5])),
    "wd1 every word at its extremes": ("WD1", struct.pack("<6i", 2**31 - 1, -(2**31), -1, 2**31 - 1, -(2**31), -1)),
    "wd2 block wraps to 0": ("WD2", WORD_PAIR + wd2_header(event_counter=2, samples=2**30, channels=4)),
    "wd2 largest block, short file": ("WD2", WORD_PAIR + wd2_header(samples=2**27 - 1, channels=4) + b"\x02" * 64),
    "wd2 every field at its maximum": ("WD2", b"".join(
        wd2_header(event_counter=(2**32 - 1 + i) % 2**32, timestamp=2**64 - 1, samples=0, sampling_period=2**64 - 1,
                   channels=2**31 - 1) for i in range(3))),
    "wd2 first block beyond the limit, no fallback": ("WD2", wd2_header(samples=2**29, channels=1) + bytes(64)),
}


@pytest.mark.parametrize("name", sorted(HUGE))
def test_huge_claimed_sizes_match_reference(recording, name):
    reader_type, data = HUGE[name]
    path = str(recording(data))
    expected = trace(ReferenceReader, path, reader_type, 8)
    assert trace(velk.EventReader, path, reader_type, 8) == expected
    assert expected[-1] == ("end",) or expected[-1][1] in (ValueError, OSError)
