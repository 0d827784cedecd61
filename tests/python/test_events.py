"""Events read end to end through velk.EventReader: each layout's dictionary (keys in order, value types
and signedness, sample arrays), the errors next() raises, events appended after the end of the data,
and dictionaries that stay independent of each other."""

from __future__ import annotations

import numpy as np
import pytest

import velk
from recordings import wd1_event, wd2_event, wd2_float_bits, wd2_header

WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp", "data"]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"]


def headers(events: list[dict]) -> list[dict]:
    assert all(type(event) is dict for event in events)
    assert all(type(value) is int for event in events for key, value in event.items() if key != "data")
    return [{key: value for key, value in event.items() if key != "data"} for event in events]


def test_wd1_events_have_signed_fields_in_order_and_unsigned_16_bit_samples(recording):
    samples = [0, 1, 0x00FF, 0x7FFF, 0x8000, 0xFFFF]
    fields = [dict(board_id=-1, pattern=2**31 - 1, board_channel=-(2**31), event_counter=7, timestamp=-2),
              dict(board_id=3, pattern=0x1234, board_channel=15, event_counter=8, timestamp=2**31 - 1)]
    events = list(velk.EventReader(str(recording(wd1_event(samples, **fields[0]) + wd1_event(**fields[1]))), "WD1"))
    assert [list(event) for event in events] == [WD1_KEYS] * 2
    assert headers(events) == [dict(event_size=36, **fields[0]), dict(event_size=24, **fields[1])]
    assert [event["data"].dtype for event in events] == [np.uint16] * 2
    assert [event["data"].tolist() for event in events] == [samples, []]


def test_wd2_multi_channel_file(recording):
    values = [[(n * 64 + i) * 0.25 for i in range(32)] for n in range(3)]
    fields = [dict(event_counter=(2**32 - 1 + n) % 2**32, timestamp=2**64 - 1 - n, sampling_period=2**63 + 5)
              for n in range(3)]
    data = b"".join(wd2_event(v, channels=4, **f) for v, f in zip(values, fields))
    events = list(velk.EventReader(str(recording(data)), "WD2"))
    assert [list(event) for event in events] == [WD2_KEYS] * 3
    assert headers(events) == [dict(f, samples=8, channels=4) for f in fields]
    assert [event["data"].dtype for event in events] == [np.float32] * 3
    assert [event["data"].tolist() for event in events] == values


SPECIAL_PATTERNS = [
    0x7FC00001,  # quiet NaN with a payload
    0x7F800001,  # signalling NaN: converting through double would set its quiet bit
    0xFFC12345,  # negative NaN with a payload
    0xFF800000,  # -inf
    0x80000000,  # -0.0
    0x00000001,  # smallest subnormal
]


@pytest.mark.parametrize("channels", [2, None], ids=["channel words", "no channel words"])
def test_sample_bit_patterns_survive_with_and_without_channel_words(recording, channels):
    # Without a word the first sample, 1.5, read as a word would make the first block far too large,
    # so the reading without a word is the one confirmed.
    patterns = [[0x3FC00000, *SPECIAL_PATTERNS[n:], *SPECIAL_PATTERNS[:n], 0x40000000 + n] for n in range(3)]
    data = b"".join(wd2_header(event_counter=n, samples=8 // (channels or 1), sampling_period=3, channels=channels)
                    + wd2_float_bits(p) for n, p in enumerate(patterns))
    events = list(velk.EventReader(str(recording(data)), "WD2"))
    assert [(e["event_counter"], e["channels"], e["samples"]) for e in events] == [
        (n, channels or 1, 8 // (channels or 1)) for n in range(3)]
    assert [e["data"].view(np.uint32).tolist() for e in events] == patterns


@pytest.mark.parametrize(("reader_type", "bad", "message"), [
    ("WD1", wd1_event(event_size=-5), "event_size -5 is below the smallest accepted size 23"),
    ("WD1", wd1_event(event_size=22), "event_size 22 is below the smallest accepted size 23"),
    ("WD2", wd2_header(samples=2**28, channels=2),
     "data block of 2147483648 bytes exceeds the limit of 2147483647 bytes"),
], ids=["WD1 size -5", "WD1 size 22", "WD2 block of 2^31"])
def test_malformed_sizes_raise_value_error_and_reading_goes_on(recording, reader_type, bad, message):
    make = (lambda n: wd1_event([n, n], event_counter=n)) if reader_type == "WD1" else \
        (lambda n: wd2_event([n, n], channels=2, event_counter=n))
    reader = velk.EventReader(str(recording(make(0) + make(1) + bad + make(2))), reader_type)
    assert [next(reader)["event_counter"] for _ in range(2)] == [0, 1]
    with pytest.raises(ValueError) as info:
        next(reader)
    assert type(info.value) is ValueError and info.value.args == (message,)
    # Only the bad header is consumed, and the reader is not failed.
    assert [(e["event_counter"], e["data"].tolist()) for e in reader] == [(2, [2, 2])]


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_events_appended_after_the_end_are_delivered(recording, reader_type):
    make = (lambda n: wd1_event([n] * 4, event_counter=n)) if reader_type == "WD1" else \
        (lambda n: wd2_event([float(n)] * 4, channels=2, event_counter=n))
    path = recording(make(0) + make(1))
    reader = velk.EventReader(str(path), reader_type)
    assert [e["event_counter"] for e in reader] == [0, 1]
    assert list(reader) == []
    with open(path, "ab") as f:
        f.write(make(2) + make(3)[:30])  # an event cut short waits for the rest of its bytes
    assert [e["event_counter"] for e in reader] == [2]
    with open(path, "ab") as f:
        f.write(make(3)[30:] + make(4))
    assert [(e["event_counter"], e["data"].tolist()) for e in reader] == [(3, [3] * 4), (4, [4] * 4)]


FILES = {
    "WD1": b"".join(wd1_event([i, 70000 % 65536], pattern=-i, event_counter=1000 + i) for i in range(9)),
    "WD2": b"".join(wd2_event([float(i), -0.5], channels=2, event_counter=1000 + i, timestamp=2**40 + i)
                    for i in range(9)),
}
MUTATIONS = [
    lambda d: d.clear(),
    lambda d: d.pop(next(iter(d))),
    lambda d: d.__setitem__("extra", 1),
    lambda d: d.__setitem__("event_counter", None),
    lambda d: d.__setitem__(next(iter(d)), d.pop(next(iter(d)))),
    lambda d: d.update({f"k{i}": i for i in range(100)}),
    lambda d: d.__setitem__("data", None),
]


@pytest.mark.parametrize("reader_type", sorted(FILES))
def test_mutating_one_event_dict_leaves_the_others_intact(recording, reader_type):
    readers = [velk.EventReader(str(recording(FILES[name])), name) for name in (reader_type, "WD1", "WD2")]
    expected = [[(k, v.tolist() if k == "data" else v) for k, v in e.items()] for e in velk.EventReader(
        str(recording(FILES[reader_type])), reader_type)]
    for mutation, want in zip(MUTATIONS, expected):
        event = next(readers[0])
        next(readers[1]), next(readers[2])  # both layouts' dicts built in between
        assert [(k, v.tolist() if k == "data" else v) for k, v in event.items()] == want
        mutation(event)
