"""Every event comes back in a dict of its own: whatever a caller does to one event's dict, or to the
dicts of another reader, the next event's dict holds exactly its layout's keys, in order, with its own
values."""

from __future__ import annotations

import gc
import sys

import pytest
from recordings import wd1_event, wd2_event

import velk

WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp", "data"]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"]


def wd1_file(n: int) -> bytes:
    return b"".join(
        wd1_event([i, 2 * i, 70000 % 65536], board_id=7, pattern=-i, board_channel=i % 4,
                  event_counter=1000 + i, timestamp=-(2**31) + i)
        for i in range(n)
    )


def wd2_file(n: int, channels: int | None = 2) -> bytes:
    return b"".join(
        wd2_event([float(i), -0.5, float(i) * 3, 2.0**100], channels=channels, event_counter=1000 + i,
                  timestamp=2**40 + i, sampling_period=2**33 + 5)
        for i in range(n)
    )


def expected(reader_type: str, i: int, channels: int | None = 2) -> dict:
    """The header values of event i of the files above, and its samples as a list."""
    if reader_type == "WD1":
        return {"event_size": 30, "board_id": 7, "pattern": -i, "board_channel": i % 4,
                "event_counter": 1000 + i, "timestamp": -(2**31) + i, "data": [i, 2 * i, 70000 % 65536]}
    return {"event_counter": 1000 + i, "timestamp": 2**40 + i, "samples": 4 // (channels or 1),
            "sampling_period": 2**33 + 5, "channels": channels or 1,
            "data": [float(i), -0.5, float(i) * 3, 2.0**100]}


def as_plain(event: dict) -> dict:
    return {key: value.tolist() if key == "data" else value for key, value in event.items()}


LAYOUTS = {
    "WD1": (wd1_file, WD1_KEYS),
    "WD2": (wd2_file, WD2_KEYS),
}

MUTATIONS = {
    "clear": lambda d: d.clear(),
    "delete the first key": lambda d: d.pop(next(iter(d))),
    "delete data": lambda d: d.pop("data"),
    "add a key": lambda d: d.__setitem__("extra", 1),
    "replace a value": lambda d: d.__setitem__("event_counter", None),
    "move the first key last": lambda d: d.__setitem__(next(iter(d)), d.pop(next(iter(d)))),
    "grow far past the layout": lambda d: d.update({f"k{i}": i for i in range(100)}),
    "replace the data array": lambda d: d.__setitem__("data", None),
}


@pytest.mark.parametrize("reader_type", sorted(LAYOUTS))
@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
def test_mutating_an_event_dict_leaves_later_events_intact(recording, reader_type, mutation):
    make, keys = LAYOUTS[reader_type]
    reader = velk.EventReader(str(recording(make(4))), reader_type)
    first = next(reader)
    MUTATIONS[mutation](first)
    rest = list(reader)
    assert [list(event) for event in rest] == [keys] * 3
    assert [as_plain(event) for event in rest] == [expected(reader_type, i) for i in (1, 2, 3)]
    assert all(type(event) is dict for event in rest)


def test_readers_of_both_layouts_interleaved_keep_their_own_keys(recording):
    wd1 = velk.EventReader(str(recording(wd1_file(3))), "WD1")
    wd2 = velk.EventReader(str(recording(wd2_file(3))), "WD2")
    wd2_single = velk.EventReader(str(recording(wd2_file(3, channels=None))), "WD2")
    for i in range(3):
        one, two, single = next(wd1), next(wd2), next(wd2_single)
        assert (list(one), list(two), list(single)) == (WD1_KEYS, WD2_KEYS, WD2_KEYS)
        assert as_plain(one) == expected("WD1", i)
        assert as_plain(two) == expected("WD2", i)
        assert as_plain(single) == expected("WD2", i, channels=None)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="None is immortal: its count never moves")
@pytest.mark.parametrize("reader_type", sorted(LAYOUTS))
def test_building_dicts_leaves_no_reference_to_none_behind(recording, reader_type):
    """Placeholder values must all be replaced and released, in kept and in dropped dicts alike."""
    make, _ = LAYOUTS[reader_type]
    path = str(recording(make(50)))

    def none_references_gained() -> tuple[int, list]:
        # A collection in the middle would free unrelated objects that hold None.
        gc.collect()
        gc.disable()
        try:
            before = sys.getrefcount(None)
            kept = list(velk.EventReader(path, reader_type))
            for _event in velk.EventReader(path, reader_type):
                pass
            return sys.getrefcount(None) - before, kept
        finally:
            gc.enable()

    none_references_gained()  # the first use creates the process-wide objects
    gained, kept = none_references_gained()
    assert gained == 0
    assert not any(value is None for event in kept for value in event.values())
