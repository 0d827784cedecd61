"""The sample arrays: zero-copy NumPy arrays whose memory is owned by a PySliceContainer."""

from __future__ import annotations

import gc
import weakref

import numpy as np
import pytest

import velk
from recordings import wd1_event, wd2_event

# Each kind with a file of three events and the sample values written into them.
KINDS = {
    "WD1": (
        lambda: b"".join(wd1_event([n * 1000 + i for i in range(n * 300)], event_counter=n) for n in range(3)),
        lambda n: [n * 1000 + i for i in range(n * 300)],
        np.uint16,
    ),
    "WD2": (
        lambda: b"".join(
            wd2_event([n + i / 4 for i in range(600)], channels=2, event_counter=n) for n in range(3)
        ),
        lambda n: [n + i / 4 for i in range(600)],
        np.float32,
    ),
}


@pytest.fixture(params=list(KINDS))
def kind(request, recording):
    """(reader type, path of a three-event file, expected samples of event n, dtype)."""
    make, expected, dtype = KINDS[request.param]
    return request.param, recording(make()), expected, dtype


def test_arrays_are_writeable_contiguous_views_over_a_container(kind):
    reader_type, path, expected, dtype = kind
    events = list(velk.EventReader(str(path), reader_type))
    assert [len(e["data"]) for e in events] == [len(expected(n)) for n in range(3)]
    for n, event in enumerate(events):
        array = event["data"]
        assert type(array) is np.ndarray
        assert array.dtype == dtype
        assert array.ndim == 1
        assert array.strides == (array.itemsize,)
        assert array.flags.writeable
        assert array.flags.c_contiguous
        assert array.flags.aligned
        assert not array.flags.owndata
        base_type = type(array.base)
        assert base_type.__name__ == "PySliceContainer"
        assert base_type.__qualname__ == "PySliceContainer"
        assert base_type.__module__ == "builtins"
        assert array.tolist() == expected(n)


def test_every_event_has_its_own_container_and_memory(kind):
    reader_type, path, _, _ = kind
    arrays = [e["data"] for e in velk.EventReader(str(path), reader_type)]
    assert len({id(a.base) for a in arrays}) == len(arrays)
    assert not np.shares_memory(arrays[1], arrays[2])


def test_writes_stay_in_their_own_array(kind):
    reader_type, path, expected, _ = kind
    events = list(velk.EventReader(str(path), reader_type))
    events[1]["data"][:] = 7
    events[1]["data"][0] = 9
    assert events[1]["data"][:2].tolist() == [9, 7]
    assert events[2]["data"].tolist() == expected(2)
    # Reading the file again gives the bytes on disk, not what was written into an earlier array.
    again = list(velk.EventReader(str(path), reader_type))
    assert again[1]["data"].tolist() == expected(1)


def test_arrays_and_views_outlive_reader_and_dict(kind):
    reader_type, path, expected, _ = kind
    reader = velk.EventReader(str(path), reader_type)
    next(reader)
    event = next(reader)
    array = event["data"]
    view = array[5:-5:3]
    del reader, event
    gc.collect()
    assert array.tolist() == expected(1)
    del array
    gc.collect()
    # The view alone keeps the container, and with it the samples, alive.
    assert view.tolist() == expected(1)[5:-5:3]


def test_samples_stay_valid_while_many_other_events_come_and_go(recording):
    # Memory freed too early would be reused by later events and show their values.
    path = recording(b"".join(wd1_event([n] * 500, event_counter=n) for n in range(200)))
    kept = [e["data"] for i, e in enumerate(velk.EventReader(str(path), "WD1")) if i % 50 == 0]
    gc.collect()
    churn = list(velk.EventReader(str(path), "WD1"))
    del churn
    gc.collect()
    assert [a.tolist() for a in kept] == [[n] * 500 for n in (0, 50, 100, 150)]


@pytest.mark.parametrize(
    ("reader_type", "data", "dtype"),
    [
        ("WD1", wd1_event([]) + wd1_event([], event_size=25), np.uint16),
        ("WD2", b"".join(wd2_event([], channels=2, samples=0, event_counter=n) for n in range(2)), np.float32),
    ],
)
def test_empty_arrays(recording, reader_type, data, dtype):
    events = list(velk.EventReader(str(recording(data)), reader_type))
    assert len(events) == 2
    for event in events:
        array = event["data"]
        assert array.shape == (0,)
        assert array.dtype == dtype
        assert array.flags.writeable and array.flags.c_contiguous and not array.flags.owndata
        assert type(array.base).__name__ == "PySliceContainer"
        assert array.tolist() == []
        assert np.concatenate([array, array]).shape == (0,)


@pytest.fixture
def container_type(recording):
    (event,) = velk.EventReader(str(recording(wd1_event([1]))), "WD1")
    return type(event["data"].base)


def test_container_cannot_be_instantiated(container_type):
    with pytest.raises(TypeError):
        container_type()
    with pytest.raises(TypeError):
        container_type.__new__(container_type)


def test_container_has_no_dict_weakrefs_or_subclasses(recording):
    (event,) = velk.EventReader(str(recording(wd1_event([1]))), "WD1")
    container = event["data"].base
    with pytest.raises(AttributeError):
        container.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(container)
    with pytest.raises(TypeError):
        type("Sub", (type(container),), {})
    assert not gc.is_tracked(container)
