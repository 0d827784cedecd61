"""Events whose sample blocks exceed 16 MiB. velk hands the freed block of one such event to a later
event of the same size; that must never touch an array still in use, whichever arrays the caller keeps
and however many readers are open."""

from __future__ import annotations

import numpy as np
import pytest

import velk
from recordings import wd2_header

SAMPLES = 2 * 1024 * 1024 + 1  # per channel, two channels: blocks of 16 MiB + 8 bytes


def samples_of(n: int) -> np.ndarray:
    return ((np.arange(2 * SAMPLES) % 1009) + 2000 * n).astype(np.float32)


@pytest.fixture(scope="module")
def large_events(tmp_path_factory) -> str:
    path = tmp_path_factory.mktemp("large") / "large.bin"
    with open(path, "wb") as f:
        for n in range(5):
            f.write(wd2_header(event_counter=n, samples=SAMPLES, channels=2) + samples_of(n).tobytes())
    return str(path)


@pytest.mark.parametrize("keep", [lambda n: True, lambda n: False, lambda n: n % 2 == 0, lambda n: n == 0],
                         ids=["every event", "no event", "every other event", "only the first"])
def test_each_event_has_its_own_samples_whatever_is_kept(large_events, keep):
    kept, other = {}, velk.EventReader(large_events, "WD2")
    for n, event in enumerate(velk.EventReader(large_events, "WD2")):
        data, other_data = event["data"], next(other)["data"]
        assert np.array_equal(data, samples_of(n)), f"event {n} came back with other samples"
        assert np.array_equal(other_data, samples_of(n)) and not np.shares_memory(data, other_data)
        if keep(n):
            kept[n] = data
        del event, data, other_data
    assert sorted(kept) == [n for n in range(5) if keep(n)]
    for n, data in kept.items():
        assert np.array_equal(data, samples_of(n)), f"kept event {n} was overwritten"
