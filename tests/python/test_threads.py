"""Readers used from several threads. The batch reader decodes without the interpreter lock, so threads
sharing one reader must take turns, each with whole batches, and a signal handler that calls the reader
during its own read must be turned away rather than deadlock or corrupt the read."""

from __future__ import annotations

import itertools
import os
import signal
import threading

import pytest

import velk_tools
from velk_tools import _columns
from recordings import wd1_event
from test_pipes import _READ_CALLS, Interrupt, feed


def test_threads_sharing_one_iterator_take_whole_batches_in_turn(recording):
    sizes = [(n * 37) % 600 for n in range(3000)]
    path = recording(b"".join(wd1_event([n % 65536] * size, event_counter=n) for n, size in enumerate(sizes)))
    batches = velk_tools.read_batches(path, "WD1", 7, max_bytes=4096)
    taken: list[list] = [[] for _ in range(4)]
    threads = [threading.Thread(target=lambda mine: mine.extend(batches), args=(mine,)) for mine in taken]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # Each thread got runs of consecutive events; together, every event once, whole.
    runs = sorted((int(b.columns["event_counter"][0]), b) for mine in taken for b in mine)
    counters = [int(c) for _, b in runs for c in b.columns["event_counter"]]
    assert counters == list(range(len(sizes)))
    assert [len(b.event(i)["data"]) for _, b in runs for i in range(len(b))] == sizes
    assert all(b.event(i)["data"].tolist() == [b.event(i)["event_counter"] % 65536] * len(b.event(i)["data"])
               for _, b in runs for i in range(len(b)))
    report = batches.report()
    assert (report.events, report.complete) == (len(sizes), True)


@pytest.mark.skipif(_READ_CALLS is None, reason="read system call numbers unknown for this machine")
def test_a_signal_handler_calling_the_reader_it_interrupted_is_turned_away(tmp_path):
    events = [wd1_event([n] * 50, event_counter=n) for n in range(3)]
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    caught, refused = threading.Semaphore(0), []

    def handler(signum, frame):
        try:
            reader.read(1, 0)
        except RuntimeError as error:
            refused.append(str(error))
        raise Interrupt

    previous = signal.signal(signal.SIGUSR1, handler)
    writer = threading.Thread(target=feed, args=(fifo, [events[0], b"".join(events[1:])], [True, False],
                                                 threading.get_ident(), threading.get_native_id(), caught))
    writer.start()
    try:
        batches = velk_tools.read_batches(fifo, "WD1", 10)
        reader = batches._reader
        with pytest.raises(Interrupt):
            next(batches)  # the handler runs while the read waits for the second event
        caught.release()
        got = [int(c) for batch in batches for c in batch.columns["event_counter"]]
    finally:
        writer.join()
        signal.signal(signal.SIGUSR1, previous)
    assert refused == ["Already borrowed"]
    assert got == [0, 1, 2]


def test_batches_decoded_into_storage_another_thread_allocated_are_the_same(recording):
    sizes = [(n * 53) % 700 for n in range(400)]
    path = recording(b"".join(wd1_event([n % 65536] * size, event_counter=n) for n, size in enumerate(sizes)))
    counts = [1, 50, 7, 100, 242]
    samples = [sum(sizes[a:a + n]) for a, n in zip(itertools.accumulate([0, *counts]), counts)]

    def read(*room):
        reader = _columns.BatchReader(os.fsencode(path), "WD1", None, None)
        return [(b[0]["event_counter"].tolist(), b[1].tolist(), b[2].tolist())
                for b in reader.read_counted(counts, 1 << 20, *room)]

    expected = read()
    exact = _columns.sample_room("WD1", counts, samples)
    assert read(exact) == expected
    assert read(exact) == expected  # taken: a second read allocates its own
    assert read(_columns.sample_room("WD1", counts, [0] * len(counts))) == expected  # too small: grows
    assert read(_columns.sample_room("WD1", counts[:2], [10**6, 1])) == expected  # fewer, odd sizes
    with pytest.raises(ValueError):
        read(_columns.sample_room("WD2", counts, samples))
    with pytest.raises(ValueError):
        _columns.sample_room("WD1", counts, samples[:1])
