"""velk compared, event by event and exception by exception, with the plain-Python reference reader on
generated recordings: well-formed WD1 and WD2 files (with and without channel words), the same cut at
random points or followed by stray bytes, and arbitrary bytes. The reference follows the layouts
alone; the decoding-layer unit tests pin the same rules against hand-derived answers.

Example counts come from a hypothesis profile: VELK_HYPOTHESIS_PROFILE=velk-thorough for long runs.
"""

from __future__ import annotations

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velk
from recordings import wd1_event, wd2_float_bits, wd2_header
from reference_reader import ReferenceReader, trace

_COMMON = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("velk-quick", max_examples=100, **_COMMON)
settings.register_profile("velk-thorough", max_examples=3000, **_COMMON)
PROFILE = settings.get_profile(os.environ.get("VELK_HYPOTHESIS_PROFILE", "velk-quick"))

I32 = st.integers(-(2**31), 2**31 - 1)
U32 = st.integers(0, 2**32 - 1)
U64 = st.integers(0, 2**64 - 1)
# Float bit patterns: mostly arbitrary, with the values that steer the WD2 probe (0.0 and 2048.0 make
# the first block empty when read as a channel word) and NaN payloads / negative zero.
FLOAT_BITS = st.one_of(U32, st.sampled_from([0, 0x45000000, 0x3F800000, 0x80000000, 0x7FC00001, 1, 2]))


@pytest.fixture(scope="module")
def recording_path(tmp_path_factory) -> str:
    return str(tmp_path_factory.mktemp("reference") / "recording.bin")


@st.composite
def wd1_recordings(draw) -> bytes:
    events = []
    for _ in range(draw(st.integers(0, 5))):
        samples = draw(st.lists(st.integers(0, 0xFFFF), max_size=40))
        size = draw(st.sampled_from([None] * 6 + [-(2**31), -1, 0, 22, 23, 24, 25, 2**31 - 1, "odd"]))
        if size == "odd":
            size = 24 + 2 * len(samples) + 1
        words = draw(st.tuples(I32, I32, I32, I32, I32))
        events.append(wd1_event(samples, event_size=size, board_id=words[0], pattern=words[1],
                                board_channel=words[2], event_counter=words[3], timestamp=words[4]))
    data = b"".join(events) + draw(st.binary(max_size=30))
    return data[: draw(st.integers(0, len(data)))] if draw(st.booleans()) else data


@st.composite
def wd2_recordings(draw, with_word: bool) -> bytes:
    """Events that mostly continue each other, so the probe meets both agreeing and disagreeing
    headers; channel words include 0, 1 and values whose blocks are far too large."""
    channels = draw(st.one_of(st.integers(0, 4), st.sampled_from([-1, 2**31 - 1]))) if with_word else None
    samples = draw(st.integers(0, 12))
    period, counter = draw(U64), draw(st.one_of(st.sampled_from([0, 2**32 - 1]), U32))
    per_event = samples * (channels if channels is not None and 0 <= channels <= 4 else 1)
    # At most one event breaks the continuation, in one field.
    glitch_at = draw(st.integers(0, 5))
    glitch_field = draw(st.sampled_from([None, "counter", "period", "samples", "word"]))
    events = []
    for i in range(draw(st.integers(0, 5))):
        glitch = glitch_field if i == glitch_at else None
        header = wd2_header(
            event_counter=(counter + i + (glitch == "counter")) % 2**32,
            timestamp=draw(U64),
            samples=samples + (glitch == "samples"),
            sampling_period=period ^ (1 << 40 if glitch == "period" else 0),
            channels=None if channels is None else channels ^ (glitch == "word"),
        )
        values = draw(st.lists(FLOAT_BITS, min_size=per_event, max_size=per_event))
        events.append(header + wd2_float_bits(values))
    data = b"".join(events) + draw(st.binary(max_size=30))
    return data[: draw(st.integers(0, len(data)))] if draw(st.booleans()) else data


RECORDINGS = {
    "wd1": wd1_recordings(),
    "wd2-word": wd2_recordings(with_word=True),
    "wd2-plain": wd2_recordings(with_word=False),
    "bytes": st.binary(max_size=400),
}


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("kind", sorted(RECORDINGS))
@settings(PROFILE)
@given(data=st.data())
def test_velk_matches_reference(recording_path, kind, reader_type, data) -> None:
    recording = data.draw(RECORDINGS[kind], label="recording")
    with open(recording_path, "wb") as f:
        f.write(recording)
    limit = len(recording) // 24 + 4  # every event or failure consumes at least a 24-byte header
    assert trace(velk.EventReader, recording_path, reader_type, limit) == trace(
        ReferenceReader, recording_path, reader_type, limit)
