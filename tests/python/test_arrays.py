"""The sample arrays: writeable, zero-copy NumPy arrays whose memory a PySliceContainer owns, one per
event, valid for as long as any array or view over them lives."""

from __future__ import annotations

import gc

import numpy as np
import pytest

import velk
from recordings import wd1_event, wd2_event

# Per kind: a file of four events (the first WD1 one empty), the samples of event n, and the dtype.
KINDS = {
    "WD1": (lambda: b"".join(wd1_event([n * 1000 + i for i in range(n * 300)], event_counter=n) for n in range(4)),
            lambda n: [n * 1000 + i for i in range(n * 300)], np.uint16),
    "WD2": (lambda: b"".join(wd2_event([n + i / 4 for i in range(600)], channels=2, event_counter=n)
                             for n in range(4)),
            lambda n: [n + i / 4 for i in range(600)], np.float32),
}


@pytest.mark.parametrize("reader_type", sorted(KINDS))
def test_arrays_are_writeable_contiguous_views_over_their_own_container(recording, reader_type):
    make, expected, dtype = KINDS[reader_type]
    path = recording(make())
    arrays = [event["data"] for event in velk.EventReader(str(path), reader_type)]
    for n, array in enumerate(arrays):
        assert type(array) is np.ndarray and array.dtype == dtype and array.shape == (len(expected(n)),)
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned
        assert not array.flags.owndata
        assert (type(array.base).__qualname__, type(array.base).__module__) == ("PySliceContainer", "builtins")
        assert array.tolist() == expected(n)
    assert len({id(a.base) for a in arrays}) == 4
    assert not np.shares_memory(arrays[2], arrays[3])
    arrays[2][:] = 7
    assert arrays[3].tolist() == expected(3)
    # Reading the file again gives the bytes on disk, not what was written into an earlier array.
    assert [e["data"].tolist() for e in velk.EventReader(str(path), reader_type)][2] == expected(2)


@pytest.mark.parametrize("reader_type", sorted(KINDS))
def test_arrays_and_views_outlive_their_reader_dicts_and_file(recording, reader_type):
    make, expected, _ = KINDS[reader_type]
    path = recording(make())
    reader = velk.EventReader(str(path), reader_type)
    events = [next(reader) for _ in range(4)]
    arrays = [e["data"] for e in events]
    views = [a[::-1][1:] for a in arrays]
    del reader, events
    path.write_bytes(b"\xff" * 4096)
    path.unlink()
    gc.collect()
    assert [a.tolist() for a in arrays] == [expected(n) for n in range(4)]
    arrays[1][:] = 7
    assert views[1].tolist() == [7] * (len(arrays[1]) - 1)
    del arrays
    gc.collect()
    # Memory freed too early would be reused by the events read meanwhile and show their values.
    churn = [e["data"] for e in velk.EventReader(str(recording(make())), reader_type)]
    del churn
    assert [v.tolist() for v in views[2:]] == [expected(n)[::-1][1:] for n in (2, 3)]
