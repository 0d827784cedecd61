"""WD2 recordings read end to end through velk.EventReader, with and without channel words."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import velk
from recordings import wd2_event, wd2_float_bits, wd2_header

WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"]


def read_all(path) -> list[dict]:
    return list(velk.EventReader(str(path), "WD2"))


def bits(array: np.ndarray) -> list[int]:
    return array.view(np.uint32).tolist()


def float_bits(values) -> list[int]:
    return list(struct.unpack(f"<{len(values)}I", struct.pack(f"<{len(values)}f", *values)))


def test_four_channel_file(recording):
    events = [[(n * 4096 + i) * 0.25 for i in range(1024)] for n in range(3)]
    data = b"".join(
        wd2_event(values, channels=4, event_counter=10 + n, timestamp=1000 * n, sampling_period=200)
        for n, values in enumerate(events)
    )
    assert len(data) == 3 * (28 + 4096)
    read = read_all(recording(data))
    assert len(read) == 3
    for n, event in enumerate(read):
        assert type(event) is dict
        assert list(event) == WD2_KEYS
        assert event["event_counter"] == 10 + n
        assert event["timestamp"] == 1000 * n
        assert event["samples"] == 256
        assert event["sampling_period"] == 200
        assert event["channels"] == 4
        assert all(type(event[k]) is int for k in WD2_KEYS[:5])
        assert event["data"].dtype == np.float32
        assert event["data"].shape == (1024,)
        assert event["data"].tolist() == events[n]


def test_file_without_channel_words_reads_back_exactly(recording):
    # 1.5 as a channel word makes the first block 4026531840 bytes, so the reading without a word
    # is the one that the second header confirms.
    events = [[1.5] + [n + i / 8 for i in range(1, 16)] for n in range(4)]
    data = b"".join(
        wd2_event(values, event_counter=n, timestamp=2**40 + n, sampling_period=5)
        for n, values in enumerate(events)
    )
    read = read_all(recording(data))
    assert [e["event_counter"] for e in read] == [0, 1, 2, 3]
    assert [e["timestamp"] for e in read] == [2**40 + n for n in range(4)]
    for event, values in zip(read, events):
        assert list(event) == WD2_KEYS
        assert event["channels"] == 1
        assert event["samples"] == 16
        assert bits(event["data"]) == float_bits(values)


SPECIAL_PATTERNS = [
    0x7FC00000,  # quiet NaN
    0x7FC00001,  # quiet NaN with a payload
    0x7F800001,  # signalling NaN: converting through double would set its quiet bit
    0xFFC12345,  # negative NaN with a payload
    0x7F800000,  # +inf
    0xFF800000,  # -inf
    0x80000000,  # -0.0
    0x00000000,  # +0.0
    0x00000001,  # smallest subnormal
    0x807FFFFF,  # largest negative subnormal
    0x3F800000,  # 1.0
    0xC0490FDB,  # -pi
]


@pytest.mark.parametrize("channels", [2, None], ids=["with channel word", "without channel word"])
def test_bit_patterns_survive(recording, channels):
    # Two samples per channel in the events with a word. Without a word the first sample steers the
    # probe, so those events start with 0.5: read as a channel word it makes the first block too large,
    # and the reading without a word is the one confirmed.
    events = []
    for n in range(3):
        patterns = SPECIAL_PATTERNS[n:] + SPECIAL_PATTERNS[:n]
        if channels is None:
            patterns = [0x3F000000] + patterns
        samples = len(patterns) // (channels or 1)
        events.append((patterns, wd2_header(event_counter=n, samples=samples, channels=channels)
                       + wd2_float_bits(patterns)))
    read = read_all(recording(b"".join(raw for _, raw in events)))
    assert [bits(e["data"]) for e in read] == [patterns for patterns, _ in events]


def test_unsigned_fields_are_never_negative(recording):
    data = b"".join(
        wd2_header(event_counter=counter, timestamp=2**64 - 1, samples=2**31, sampling_period=2**64 - 1,
                   channels=2)
        for counter in (0xFFFFFFFF, 0, 1)
    )
    # 2 x 2^31 x 4 wraps to a block of 0 bytes, so each event is its 28-byte header.
    read = read_all(recording(data))
    assert [e["event_counter"] for e in read] == [0xFFFFFFFF, 0, 1]
    for event in read:
        assert event["timestamp"] == 2**64 - 1
        assert event["sampling_period"] == 2**64 - 1
        assert event["samples"] == 2**31
        assert event["channels"] == 2
        assert event["data"].shape == (0,)


@pytest.mark.parametrize(("word", "value"), [(0xFFFFFFFF, -1), (0x80000000, -(2**31)), (0x7FFFFFFF, 2**31 - 1)])
def test_event_channel_word_is_signed_and_does_not_size_the_block(recording, word, value):
    def event(counter, word_bits, values):
        return wd2_header(event_counter=counter, samples=2) + struct.pack("<I", word_bits) + wd2_float_bits(values)

    data = event(0, 2, [1, 2, 3, 4]) + event(1, 2, [5, 6, 7, 8]) + event(2, word, [9, 10, 11, 12]) + event(
        3, 2, [13, 14, 15, 16]
    )
    read = read_all(recording(data))
    assert [e["channels"] for e in read] == [2, 2, value, 2]
    # Every block is 2 channels x 2 samples, whatever the event's own word says.
    assert [bits(e["data"]) for e in read] == [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12], [13, 14, 15, 16]]


def _pair(**fields) -> bytes:
    """Two events with a channel word; `fields` gives per-event overrides as (first, second) pairs."""
    base = dict(event_counter=(7, 8), timestamp=(1, 2), samples=(2, 2), sampling_period=(10, 10), channels=(3, 3))
    base.update(fields)
    events = []
    for i in range(2):
        header = {k: v[i] for k, v in base.items()}
        count = header["samples"] * max(header["channels"], 0)
        events.append(wd2_header(**header) + wd2_float_bits(range(100 * i, 100 * i + count)))
    return b"".join(events)


def _no_word(first_samples, samples, count=3, counter=0) -> bytes:
    """`count` events without a channel word, each starting with the float bit patterns given."""
    events = []
    for n in range(count):
        patterns = list(first_samples) + [0x40000000 + n * 16 + i for i in range(samples - len(first_samples))]
        header = wd2_header(event_counter=counter + n, samples=samples, sampling_period=4)
        events.append(header + wd2_float_bits(patterns))
    return b"".join(events)


# Name, file, then what the first event shows: "channels" and the length of "data".
LAYOUTS = [
    ("channel words confirmed", _pair(), 3, 6),
    ("counter wraps around", _pair(event_counter=(0xFFFFFFFF, 0)), 3, 6),
    ("time tags are not compared", _pair(timestamp=(5, 2**63)), 3, 6),
    ("counter does not continue", _pair(event_counter=(7, 9)), 1, 2),
    ("counter goes back", _pair(event_counter=(7, 6)), 1, 2),
    ("samples differ", _pair(samples=(2, 3)), 1, 2),
    ("periods differ only in the high word", _pair(sampling_period=(10, 10 + 2**32)), 1, 2),
    ("channel words differ", _pair(channels=(3, 4)), 1, 2),
    ("channel word 1 agreed", _pair(channels=(1, 1)), 1, 2),
    ("channel word 0 agreed", _pair(channels=(0, 0)), 0, 0),
    ("no word, first and fifth samples 0.0", _no_word([0, 0x3F800000, 0x40000000, 0x40400000, 0], 8), 1, 8),
    ("no word, 2048.0 first of 1024", _no_word([0x45000000], 1024), 1, 1024),
    ("no word, first block beyond the limit", _no_word([0x3FC00000], 16), 1, 16),
    ("no word, first block past the end", _no_word([0x00001000], 16), 1, 16),
]


@pytest.mark.parametrize(("data", "channels", "length"), [c[1:] for c in LAYOUTS], ids=[c[0] for c in LAYOUTS])
def test_channel_layout_decision(recording, data, channels, length):
    first = next(velk.EventReader(str(recording(data)), "WD2"))
    assert first["channels"] == channels
    assert first["data"].shape == (length,)
    assert first["event_counter"] == struct.unpack_from("<I", data)[0]
    assert first["samples"] == struct.unpack_from("<I", data, 12)[0]


def test_word_of_1_is_read_as_the_first_sample(recording):
    first = next(velk.EventReader(str(recording(_pair(channels=(1, 1)))), "WD2"))
    assert bits(first["data"]) == [1, 0]


@pytest.mark.parametrize(
    ("data", "message"),
    [
        # 1.0 read as a channel word: 4 x 0x3F800000 x 4 wraps to 0xF8000000 bytes; a lone event cannot
        # confirm the reading without a word, so the block size stands.
        (wd2_event([1.0, 2.0, 3.0, 4.0]), "data block of 4160749568 bytes exceeds the limit of 2147483647 bytes"),
        (wd2_header(samples=0x10000000, channels=2) + bytes(64),
         "data block of 2147483648 bytes exceeds the limit of 2147483647 bytes"),
    ],
    ids=["no word, one event", "channel word, one header"],
)
def test_first_block_beyond_the_limit_fails_construction(recording, fds_on, data, message):
    path = recording(data)
    with pytest.raises(ValueError) as info:
        velk.EventReader(str(path), "WD2")
    assert info.value.args == (message,)
    assert fds_on(path) == []


def test_first_block_past_the_end_without_confirmation_is_end_of_file(recording):
    # Neither reading works: the word makes the block run past the end, and the counters of the
    # reading without a word do not continue.
    data = _no_word([0x00001000], 16, count=1) + _no_word([0x00001000], 16, count=1, counter=5)
    with pytest.raises(OSError) as info:
        velk.EventReader(str(recording(data)), "WD2")
    assert type(info.value) is OSError
    assert info.value.args == ("failed to fill whole buffer",)


def test_block_beyond_the_limit_during_iteration_raises_and_reading_goes_on(recording):
    good = [wd2_event([1.0, 2.0], channels=2, samples=1, event_counter=n) for n in range(2)]
    huge = wd2_header(event_counter=2, samples=0x10000000, channels=2)  # 2 x 2^28 x 4 = 2^31 bytes
    after = wd2_event([3.0, 4.0], channels=2, samples=1, event_counter=3)
    reader = velk.EventReader(str(recording(b"".join(good) + huge + after)), "WD2")
    assert [next(reader)["event_counter"] for _ in range(2)] == [0, 1]
    with pytest.raises(ValueError) as info:
        next(reader)
    assert info.value.args == ("data block of 2147483648 bytes exceeds the limit of 2147483647 bytes",)
    # The header stays consumed; the next call reads the following event.
    event = next(reader)
    assert event["event_counter"] == 3
    assert event["data"].tolist() == [3.0, 4.0]


def test_zero_samples_give_empty_float_arrays(recording):
    data = b"".join(wd2_header(event_counter=n, samples=0, channels=2) for n in range(3))
    read = read_all(recording(data))
    assert len(read) == 3
    for event in read:
        assert event["data"].dtype == np.float32
        assert event["data"].shape == (0,)


def test_truncated_second_block_passes_the_probe_and_ends_iteration(recording):
    first = wd2_event([1.0, 2.0, 3.0, 4.0], channels=2, event_counter=0)
    second = wd2_event([5.0, 6.0, 7.0, 8.0], channels=2, event_counter=1)
    read = read_all(recording(first + second[:-1]))
    assert [e["data"].tolist() for e in read] == [[1.0, 2.0, 3.0, 4.0]]


def test_events_appended_after_the_end_are_delivered(recording):
    events = [wd2_event([float(n)] * 4, channels=2, event_counter=n) for n in range(5)]
    path = recording(events[0] + events[1])
    reader = velk.EventReader(str(path), "WD2")
    assert [e["event_counter"] for e in reader] == [0, 1]
    with pytest.raises(StopIteration):
        next(reader)
    with open(path, "ab") as f:
        f.write(events[2])
    assert [e["event_counter"] for e in reader] == [2]
    # An event cut short is consumed as far as it goes; what is appended next is read from there.
    with open(path, "ab") as f:
        f.write(events[3][:30])
    assert list(reader) == []
    with open(path, "ab") as f:
        f.write(events[4])
    (event,) = list(reader)
    assert event["event_counter"] == 4
    assert event["data"].tolist() == [4.0] * 4


def test_layout_is_not_probed_again_after_the_file_changes(recording):
    path = recording(b"".join(wd2_event([1.0, 2.0], channels=2, samples=1, event_counter=n) for n in range(2)))
    reader = velk.EventReader(str(path), "WD2")
    assert len(list(reader)) == 2
    with open(path, "ab") as f:
        f.write(wd2_event([7.0, 8.0, 9.0], channels=3, samples=1, event_counter=2))
    (event,) = list(reader)
    # Sized by the two channels found at construction, not by this event's word of 3.
    assert event["channels"] == 3
    assert event["data"].tolist() == [7.0, 8.0]
