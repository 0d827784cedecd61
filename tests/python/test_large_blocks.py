"""Events whose sample blocks exceed 16 MiB. velk hands the freed block of one such event to a later
event of the same size; that must never touch an array still in use, and every event must come back
with its own samples whichever earlier arrays the caller keeps or drops."""

from __future__ import annotations

import numpy as np
import pytest
from recordings import wd2_header

import velk

CHANNELS = 2
SAMPLES = 2 * 1024 * 1024 + 1  # per channel: blocks of 16 MiB + 8 bytes
EVENTS = 5


def samples_of(n: int) -> np.ndarray:
    return ((np.arange(CHANNELS * SAMPLES) % 1009) + 2000 * n).astype(np.float32)


@pytest.fixture(scope="module")
def large_events(tmp_path_factory) -> str:
    path = tmp_path_factory.mktemp("large") / "large.bin"
    with open(path, "wb") as f:
        for n in range(EVENTS):
            f.write(wd2_header(event_counter=n, samples=SAMPLES, sampling_period=5, channels=CHANNELS))
            f.write(samples_of(n).tobytes())
    return str(path)


KEEP = {
    "every event": lambda n: True,
    "no event": lambda n: False,
    "every other event": lambda n: n % 2 == 0,
    "only the first": lambda n: n == 0,
}


@pytest.mark.parametrize("keep", sorted(KEEP))
def test_each_event_has_its_own_samples_whatever_is_kept(large_events, keep):
    kept = {}
    counters = []
    for n, event in enumerate(velk.EventReader(large_events, "WD2")):
        counters.append(event["event_counter"])
        data = event["data"]
        assert data.shape == (CHANNELS * SAMPLES,)
        assert np.array_equal(data, samples_of(n)), f"event {n} came back with other samples"
        if KEEP[keep](n):
            kept[n] = data
        del event, data
    assert counters == list(range(EVENTS))
    for n, data in kept.items():
        assert np.array_equal(data, samples_of(n)), f"kept event {n} was overwritten"
    arrays = list(kept.values())
    for i, a in enumerate(arrays):
        assert not any(np.shares_memory(a, b) for b in arrays[i + 1:])


def test_two_readers_of_the_same_sizes_do_not_share_live_blocks(large_events):
    one = velk.EventReader(large_events, "WD2")
    two = velk.EventReader(large_events, "WD2")
    for n in range(EVENTS):
        a, b = next(one)["data"], next(two)["data"]
        assert not np.shares_memory(a, b)
        assert np.array_equal(a, samples_of(n)) and np.array_equal(b, samples_of(n))
