"""WD1 recordings read end to end through velk.EventReader."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import velk
from recordings import wd1_event

WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp", "data"]
HEADER_FIELDS = WD1_KEYS[1:6]


def read_all(path) -> list[dict]:
    return list(velk.EventReader(str(path), "WD1"))


def test_events_come_back_with_every_field_in_order(recording):
    written = [
        dict(samples=[0, 1, 2], board_id=3, pattern=0x1234, board_channel=7, event_counter=0, timestamp=100),
        dict(samples=[], board_id=4, pattern=0, board_channel=15, event_counter=1, timestamp=200),
        dict(samples=list(range(1000, 1300)), board_id=-1, pattern=-2, board_channel=2, event_counter=2,
             timestamp=300),
    ]
    path = recording(b"".join(wd1_event(e["samples"], **{k: e[k] for k in HEADER_FIELDS}) for e in written))
    events = read_all(path)
    assert len(events) == len(written)
    for event, expected in zip(events, written):
        assert type(event) is dict
        assert list(event) == WD1_KEYS
        assert event["event_size"] == 24 + 2 * len(expected["samples"])
        for field in HEADER_FIELDS:
            assert type(event[field]) is int
            assert event[field] == expected[field]
        assert event["data"].dtype == np.uint16
        assert event["data"].ndim == 1
        assert event["data"].tolist() == expected["samples"]


# Raw little-endian words, so the sign comes from the reader and not from the test's own packing.
SIGNED_WORDS = [
    (b"\xff\xff\xff\xff", -1),
    (b"\x00\x00\x00\x80", -2147483648),
    (b"\xff\xff\xff\x7f", 2147483647),
    (b"\x01\x00\x00\x00", 1),
    (b"\x00\x01\x02\x03", 0x03020100),
    (b"\xfe\xff\xff\xff", -2),
]


@pytest.mark.parametrize("field", HEADER_FIELDS)
@pytest.mark.parametrize(("word", "value"), SIGNED_WORDS, ids=[w.hex() for w, _ in SIGNED_WORDS])
def test_header_words_are_signed_32_bit(recording, field, word, value):
    index = WD1_KEYS.index(field)
    header = bytearray(struct.pack("<6i", 26, 11, 22, 33, 44, 55))
    header[4 * index : 4 * index + 4] = word
    path = recording(bytes(header) + b"\x07\x00")
    (event,) = read_all(path)
    assert event[field] == value
    others = {f: v for f, v in zip(WD1_KEYS[:6], (26, 11, 22, 33, 44, 55)) if f != field}
    assert {f: event[f] for f in others} == others


def test_samples_are_unsigned_16_bit_little_endian(recording):
    samples = [0, 1, 0x00FF, 0x0100, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF]
    path = recording(wd1_event(samples))
    (event,) = read_all(path)
    assert event["data"].dtype == np.dtype("uint16")
    assert event["data"].tolist() == samples
    assert event["data"].tobytes() == struct.pack(f"<{len(samples)}H", *samples)


# event_size, bytes of samples written after the header, samples expected. The next event starts right
# after those bytes: the reader consumes 24 + 2 * N, never a byte the size claims beyond an even count.
SIZE_TABLE = [
    (23, 0, 0),
    (24, 0, 0),
    (25, 0, 0),
    (26, 2, 1),
    (27, 2, 1),
    (1048, 1024, 512),
    (1049, 1024, 512),
    (24 + 2 * 8192, 2 * 8192, 8192),  # a block larger than the read buffer
]


@pytest.mark.parametrize(("event_size", "block", "count"), SIZE_TABLE, ids=[str(s[0]) for s in SIZE_TABLE])
def test_event_size_decides_samples_and_bytes_consumed(recording, event_size, block, count):
    samples = [(3 * i + 1) & 0xFFFF for i in range(block // 2)]
    first = wd1_event(samples, event_size=event_size, event_counter=1)
    following = wd1_event([0xABCD, 0x1234], event_counter=2, timestamp=-7)
    path = recording(first + following)
    events = read_all(path)
    assert [e["event_counter"] for e in events] == [1, 2]
    assert events[0]["event_size"] == event_size
    assert events[0]["data"].tolist() == samples[:count]
    assert events[1]["data"].tolist() == [0xABCD, 0x1234]
    assert events[1]["timestamp"] == -7


def test_many_events_across_buffer_boundaries(recording):
    # Sizes chosen so that headers and blocks straddle every position of an 8192-byte buffer.
    sizes = [0, 1, 4093, 2, 4094, 5000, 0, 12000, 3, 4095, 1]
    written = [[(n * 31 + i) & 0xFFFF for i in range(size)] for n, size in enumerate(sizes)]
    path = recording(b"".join(wd1_event(s, event_counter=n) for n, s in enumerate(written)))
    events = read_all(path)
    assert [e["event_counter"] for e in events] == list(range(len(sizes)))
    assert [e["data"].tolist() for e in events] == written


@pytest.mark.parametrize("cut", [1, 10, 23, 24, 25, 30])
def test_incomplete_event_at_the_end_is_not_returned(recording, cut):
    whole = wd1_event([1, 2, 3, 4], event_counter=1)
    partial = wd1_event([5, 6, 7, 8], event_counter=2)[:cut]
    path = recording(whole + partial)
    assert [e["event_counter"] for e in read_all(path)] == [1]


def test_empty_file_yields_nothing(recording):
    assert read_all(recording(b"")) == []


def test_list_twice_gives_events_then_nothing(recording):
    path = recording(wd1_event([1], event_counter=5) + wd1_event([2], event_counter=6))
    reader = velk.EventReader(str(path), "WD1")
    assert [e["event_counter"] for e in reader] == [5, 6]
    assert list(reader) == []
    assert list(reader) == []


def test_stray_tail_is_consumed_and_appended_event_follows(recording):
    path = recording(wd1_event([1], event_counter=1) + wd1_event([2], event_counter=2) + bytes(range(10)))
    reader = velk.EventReader(str(path), "WD1")
    assert [e["event_counter"] for e in reader] == [1, 2]
    # The ten stray bytes stay consumed: an event appended after them is read from its first byte.
    with open(path, "ab") as f:
        f.write(wd1_event([3, 4], event_counter=3))
    (event,) = list(reader)
    assert event["event_counter"] == 3
    assert event["data"].tolist() == [3, 4]


def test_events_appended_after_the_end_are_delivered(recording):
    path = recording(wd1_event([1], event_counter=1))
    reader = velk.EventReader(str(path), "WD1")
    assert [e["event_counter"] for e in reader] == [1]
    with pytest.raises(StopIteration):
        next(reader)
    with open(path, "ab") as f:
        f.write(wd1_event([7, 8, 9], event_counter=2))
        f.write(wd1_event([], event_counter=3))
    assert [e["event_counter"] for e in reader] == [2, 3]
    with open(path, "ab") as f:
        f.write(wd1_event([10], event_counter=4)[:20])
    assert list(reader) == []
    with open(path, "ab") as f:
        f.write(wd1_event([10], event_counter=5))
    # The 20 bytes of the cut event stay consumed; the next complete event starts after them.
    assert [e["event_counter"] for e in reader] == [5]


@pytest.mark.parametrize("event_size", [22, 0, -1, -5, -24, -2147483648])
def test_event_size_below_23_raises_and_reading_goes_on(recording, event_size):
    bad = wd1_event(event_size=event_size, event_counter=99)
    path = recording(wd1_event([1], event_counter=1) + bad + wd1_event([2, 3], event_counter=2))
    reader = velk.EventReader(str(path), "WD1")
    assert next(reader)["event_counter"] == 1
    with pytest.raises(ValueError) as info:
        next(reader)
    assert type(info.value) is ValueError
    assert info.value.args == (f"event_size {event_size} is below the smallest accepted size 23",)
    # The bad header is consumed and the reader is not failed: the next call decodes the next header.
    event = next(reader)
    assert event["event_counter"] == 2
    assert event["data"].tolist() == [2, 3]
    assert list(reader) == []

