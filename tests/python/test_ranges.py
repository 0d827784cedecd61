"""Event ranges and the event index against velk.EventReader: a range read, by a walk or through a saved
index, holds the slice of the events a `for` loop over the reader yields, and ends as the loop ends
when it runs to the end; read_events picks the same events; a sidecar of a changed file is refused."""

from __future__ import annotations

import dataclasses
import io
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk
import velk_tools
from recordings import wd1_event
from reference_reader import normalised, trace
from test_reference import PROFILE, RECORDINGS


def loop_of(path: str, reader_type: str, limit: int) -> tuple[list, tuple]:
    """The events a for loop yields and how it ends: ("end",) or the exception's ("raise", ...), the
    exception of construction included."""
    outcomes = trace(velk.EventReader, path, reader_type, limit)
    first_other = next(i for i, outcome in enumerate(outcomes) if outcome[0] != "event")
    return [outcome[1] for outcome in outcomes[:first_other]], outcomes[first_other]


def range_of(path: str, reader_type: str, start, stop, max_events: int, index, threads: int = 1,
             sizes: list | None = None) -> tuple[list, tuple]:
    """The events of a range read, how it ended, and (into `sizes`) its batches' lengths."""
    events: list = []
    try:
        for batch in velk_tools.read_batches(path, reader_type, max_events, start=start, stop=stop, index=index,
                                             threads=threads):
            assert 1 <= len(batch) <= max_events
            events.extend(normalised(batch.event(i)) for i in range(len(batch)))
            if sizes is not None:
                sizes.append(len(batch))
    except Exception as error:  # noqa: BLE001 - the exception is the outcome being compared
        return events, ("raise", type(error), error.args)
    return events, ("end",)


# Bounds as slices take them: Python's ints and NumPy's.
class Stream:
    """A file object that cannot seek, as a pipe's or a socket's."""

    def __init__(self, data: bytes) -> None:
        self.readinto = io.BytesIO(data).readinto


BOUND = st.one_of(st.none(), st.integers(-12, 12), st.integers(-12, 12).map(np.int64))


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("kind", sorted(RECORDINGS))
@settings(PROFILE)
@given(data=st.data())
def test_ranges_are_slices_of_the_loop(tmp_path_factory, kind, reader_type, data) -> None:
    recording = data.draw(RECORDINGS[kind], label="recording")
    path = str(tmp_path_factory.mktemp("ranges") / "recording.bin")
    with open(path, "wb") as f:
        f.write(recording)
    events, ending = loop_of(path, reader_type, len(recording) // 24 + 4)
    start, stop = data.draw(BOUND, label="start"), data.draw(BOUND, label="stop")
    max_events = data.draw(st.integers(1, 5), label="max_events")
    index = velk_tools.index(path, reader_type)
    assert repr(index.report) == repr(velk_tools.scan(path, reader_type))
    counters = [dict((key, value) for key, _, value, *_ in event)["event_counter"] for event in events]
    assert index.event_counters.tolist() == counters
    # Several threads deliver the batches one thread does, cut at the same events.
    threads = data.draw(st.sampled_from([1, 2, 3]), label="threads")
    as_object = data.draw(st.sampled_from([io.BytesIO, Stream]), label="file object")
    for given_index in (None, index):
        sizes: list[int] = []
        got, got_ending = range_of(path, reader_type, start, stop, max_events, given_index, threads, sizes)
        if len(trace(velk.EventReader, path, reader_type, 0)) == 1:
            # No reader can be made (a failed probe): every range raises what construction raises.
            assert (got, got_ending) == ([], ending)
            continue
        assert got == events[start:stop]
        if stop is None:
            assert got_ending == ending
        one_thread: list[int] = []
        assert range_of(path, reader_type, start, stop, max_events, given_index, 1, one_thread)[0] == got
        assert sizes == one_thread
        # A file object that can seek goes by its index as a file does; one that cannot is read from
        # its start, passing over the events before the range. Either gives the same batches and end.
        # Negative bounds need the object's index, which it cannot give first.
        from_object: list[int] = []
        object_index = None if given_index is None else velk_tools.index(as_object(recording), reader_type)
        if given_index is None and min(start or 0, stop or 0) < 0:
            assert range_of(as_object(recording), reader_type, start, stop, max_events, None)[1][:2] == (
                "raise", ValueError)
        else:
            assert range_of(as_object(recording), reader_type, start, stop, max_events, object_index, 1,
                            from_object) == (got, got_ending)
            assert from_object == sizes
    if events:
        picks = data.draw(st.lists(st.integers(-len(events), len(events) - 1), max_size=6), label="picks")
        # The numbers as a list, as a NumPy array of their type, or as a mask of the events they pick.
        form = data.draw(st.sampled_from(["list", "array", "mask"]), label="form")
        if form == "mask":
            picks = sorted({i % len(events) for i in picks})
            indices = np.isin(np.arange(len(events)), picks)
        else:
            indices = np.array(picks, dtype=np.int16) if form == "array" else picks
        object_index = velk_tools.index(as_object(recording), reader_type)
        for source, through in ((path, index), (as_object(recording), object_index)):
            batch = velk_tools.read_events(source, reader_type, indices, index=through)
            assert [normalised(batch.event(i)) for i in range(len(batch))] == [events[i] for i in picks]
        wrong = [np.array([0.0]), np.array([2**64 - 1], np.uint64), [2**70], np.ones(len(events) + 1, bool)]
        for numbers, error in zip(wrong, [TypeError, IndexError, IndexError, IndexError]):
            with pytest.raises(error):
                velk_tools.read_events(path, reader_type, numbers, index=index)


def test_sidecar_round_trip_and_refusal(tmp_path) -> None:
    path = str(tmp_path / "run.wd1")
    with open(path, "wb") as f:
        f.write(b"".join(wd1_event([i] * (i % 3 + 1), event_counter=i) for i in range(9)) + b"\0" * 5)
    index = velk_tools.index(path, "WD1")
    sidecar = index.save()
    assert sidecar == velk_tools.sidecar_path(path) and os.path.exists(sidecar)
    loaded = velk_tools.EventIndex.load(sidecar)
    assert loaded.report == index.report and not loaded.report.complete
    assert [loaded.offsets.tolist(), loaded.sample_counts.tolist(), loaded.event_counters.tolist()] == [
        index.offsets.tolist(), index.sample_counts.tolist(), list(range(9))]
    # The walk's columns come without a copy, as the typed, read-only arrays a loaded index has.
    for arrays in ((index.offsets, index.event_counters, index.sample_counts),
                   (loaded.offsets, loaded.event_counters, loaded.sample_counts)):
        assert [a.dtype.str for a in arrays] == ["<i8", "<i4", "<u4"]
        assert not any(a.flags.writeable for a in arrays)
    # The sidecar beside the file is what a range goes by: a wrong offset there would show.
    assert [b.columns["event_counter"].tolist() for b in velk_tools.read_batches(path, "WD1", start=-3)] == [[6, 7, 8]]
    with open(path, "ab") as f:
        f.write(b"\0")
    with pytest.raises(velk_tools.StaleIndexError, match="changed since it was indexed"):
        velk_tools.EventIndex.load(sidecar)
    # A stale sidecar is passed over, and the range comes from a walk of the file as it is now.
    assert [b.columns["event_counter"].tolist() for b in velk_tools.read_batches(path, "WD1", start=7)] == [[7, 8]]


DAMAGE = {
    "cut short": lambda data: data[: len(data) // 2],
    "empty": lambda data: b"",
    "not an archive": lambda data: b"\x93NUMPY" + data[6:],
}


@pytest.mark.parametrize("damage", [*DAMAGE, "short column", "unknown layout"])
def test_a_damaged_sidecar_is_refused_and_passed_over(tmp_path, damage) -> None:
    path = str(tmp_path / "run.wd1")
    with open(path, "wb") as f:
        f.write(b"".join(wd1_event([i, i], event_counter=i) for i in range(6)))
    index = velk_tools.index(path, "WD1")
    sidecar = index.save()
    if damage in DAMAGE:
        with open(sidecar, "rb") as f:
            data = DAMAGE[damage](f.read())
        with open(sidecar, "wb") as f:
            f.write(data)
    else:
        wrong = {"short column": {"offsets": index.offsets[:-1]}, "unknown layout": {"reader_type": "WD3"}}[damage]
        dataclasses.replace(index, **wrong).save()
    with pytest.raises(ValueError, match="not a velk index sidecar"):
        velk_tools.EventIndex.load(sidecar)
    # Readers walk the file instead.
    assert [b.columns["event_counter"].tolist() for b in velk_tools.read_batches(path, "WD1", start=-2)] == [[4, 5]]
    assert velk_tools.read_events(path, "WD1", [1]).columns["event_counter"].tolist() == [1]


def test_an_object_shorter_than_its_index_is_refused() -> None:
    data = b"".join(wd1_event([i], event_counter=i) for i in range(6))
    index = velk_tools.index(io.BytesIO(data), "WD1")
    for read in (lambda f: velk_tools.read_events(f, "WD1", [0], index=index),
                 lambda f: list(velk_tools.read_batches(f, "WD1", start=0, index=index))):
        with pytest.raises(OSError, match="fewer than the 156 its index holds"):
            read(io.BytesIO(data[:-1]))


def test_velk_index_writes_sidecars_and_exits_as_scan(tmp_path, capsys) -> None:
    from velk_tools.cli import main

    whole, cut = str(tmp_path / "a.wd1"), str(tmp_path / "b.wd1")
    events = b"".join(wd1_event([1, 2], event_counter=i) for i in range(4))
    for name, data in ((whole, events), (cut, events + b"\1")):
        with open(name, "wb") as f:
            f.write(data)
    assert main(["index", whole]) == 0
    assert main(["index", cut, str(tmp_path / "missing.wd1")]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert "INCOMPLETE" in lines[2] and "missing.wd1 [WD1]: cannot index: FileNotFoundError" in lines[3]
    for name in (whole, cut):
        assert velk_tools.EventIndex.load(velk_tools.sidecar_path(name)).offsets.tolist() == [0, 28, 56, 84]
