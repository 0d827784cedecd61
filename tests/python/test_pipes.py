"""Readers on pipes. A reader waiting for a silent writer lets the rest of the process run, Ctrl-C and
exit act; and an event whose bytes came in several reads survives any number of interruptions: the next
call delivers it whole."""

from __future__ import annotations

import array
import fcntl
import os
import signal
import termios
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velk
import velk_tools
from recordings import wd1_event

READERS = {
    "EventReader": "list(velk.EventReader(fifo, 'WD1'))",
    "scan": "velk_tools.scan(fifo, 'WD1')",
    "read_batches": "list(velk_tools.read_batches(fifo, 'WD1'))",
}

_SILENT_WRITER = """
import os, signal, sys, threading, time
import velk, velk_tools
fifo, how = sys.argv[1], sys.argv[2]
writer = os.open(fifo, os.O_RDWR)  # a writer that stays open and silent
follow = lambda: {reader}
if how == "thread":
    threading.Thread(target=follow, daemon=True).start()
    time.sleep(0.3)  # the thread waits in read(2) by now; without the lock given up, sleep never returns
    print("main thread ran")
else:
    threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    try:
        follow()
    except KeyboardInterrupt:
        print("interrupted")
"""


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("how", ["thread", "ctrl-c"])
def test_a_reader_waiting_on_a_silent_pipe_blocks_nothing_else(tmp_path, run_python, reader, how):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    result = run_python(_SILENT_WRITER.format(reader=READERS[reader]), str(fifo), how, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == (["main", "thread", "ran"] if how == "thread" else ["interrupted"])


class Interrupt(Exception):
    pass


# The system calls a reader waits in: read and readv.
_READ_CALLS = {"x86_64": {"0", "19"}, "aarch64": {"63", "65"}}.get(os.uname().machine)


def waits_for_data(thread_id: int, writer) -> bool:
    """Whether the thread sleeps in read(2) on an empty pipe: it has taken every byte written and waits
    for more, so a signal now interrupts that read."""
    buffered = array.array("i", [0])
    fcntl.ioctl(writer.fileno(), termios.FIONREAD, buffered)
    try:
        with open(f"/proc/self/task/{thread_id}/syscall") as call, open(f"/proc/self/task/{thread_id}/stat") as stat:
            in_read = call.read().split()[0] in _READ_CALLS
            sleeping = stat.read().rsplit(")", 1)[1].split()[0] == "S"
    except (OSError, IndexError):
        return False
    return buffered[0] == 0 and in_read and sleeping


def feed(fifo, pieces, interrupt_after, main_id, main_native_id, caught):
    """Writes the pieces, and after each piece flagged in interrupt_after signals the main thread once it
    waits for more, so that the signal interrupts that very read; goes on once the main thread has
    caught the exception (before that, closing the pipe could end the read first)."""
    with open(fifo, "wb", buffering=0) as writer:
        for piece, interrupt in zip(pieces, interrupt_after):
            writer.write(piece)
            if interrupt:
                deadline = time.monotonic() + 5
                while not waits_for_data(main_native_id, writer):
                    assert time.monotonic() < deadline, "the reader never waited for more bytes"
                    time.sleep(0.0005)
                signal.pthread_kill(main_id, signal.SIGUSR1)
                assert caught.acquire(timeout=5), "the interruption never came out of the reader"


@pytest.fixture
def interrupting_signal():
    def handler(signum, frame):
        raise Interrupt

    previous = signal.signal(signal.SIGUSR1, handler)
    yield
    signal.signal(signal.SIGUSR1, previous)


def events_of(item) -> list[tuple[int, list[int]]]:
    if isinstance(item, dict):
        return [(item["event_counter"], item["data"].tolist())]
    return [events_of(item.event(i))[0] for i in range(len(item))]


@pytest.mark.skipif(_READ_CALLS is None, reason="read system call numbers unknown for this machine")
@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sizes=st.lists(st.integers(0, 12_000), min_size=1, max_size=4),
       cuts=st.lists(st.floats(0, 1), max_size=8), interrupts=st.lists(st.booleans(), min_size=9, max_size=9),
       batches=st.booleans())
def test_an_interrupted_event_comes_back_whole(tmp_path_factory, interrupting_signal, sizes, cuts, interrupts,
                                               batches):
    events = [wd1_event([(n + i) % 65536 for i in range(size)], event_counter=n) for n, size in enumerate(sizes)]
    data = b"".join(events)
    bounds = sorted({0, len(data), *(int(c * len(data)) for c in cuts)})
    pieces = [data[a:b] for a, b in zip(bounds, bounds[1:])]
    fifo = tmp_path_factory.mktemp("pipe") / "fifo"
    os.mkfifo(fifo)
    caught = threading.Semaphore(0)
    writer = threading.Thread(target=feed, args=(fifo, pieces, interrupts, threading.get_ident(),
                                                 threading.get_native_id(), caught))
    writer.start()
    try:
        reader = velk_tools.read_batches(fifo, "WD1", 3) if batches else velk.EventReader(str(fifo), "WD1")
        got = []
        while True:
            try:
                for item in reader:
                    got.extend(events_of(item))
                break
            except Interrupt:
                caught.release()
    finally:
        writer.join()
    assert got == [(n, [(n + i) % 65536 for i in range(size)]) for n, size in enumerate(sizes)]
