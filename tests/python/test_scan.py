"""velk_tools.scan compared with reading the same file event by event: the reference reader gives the
events, the offsets after them and the error iteration raises, velk.EventReader the same exceptions, and
the summaries are recomputed from the events. Generated recordings (complete, cut anywhere, damaged
sizes, WD2 with and without channel words, words 0 and 1, unconfirmed probes) and files of large
events, whose blocks the scan seeks over."""

from __future__ import annotations

import os
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import settings as hypothesis_settings
from hypothesis import strategies as st

import velk
import velk_tools
from recordings import wd1_event, wd2_event
from reference_reader import BLOCK_LIMIT, ReferenceReader, _block_length, _continues, _Eof, _read_exact, _wd2_header
from test_reference import PROFILE, RECORDINGS


def reading_continues(path: str, with_word: bool) -> bool:
    """Whether the first two WD2 headers, read with or without a channel word, continue each other."""
    fd = os.open(path, os.O_RDONLY)
    try:
        first = _wd2_header(fd, with_word)
        block = _block_length(first[4] % 2**32 if with_word else 1, first[2])
        if block >= BLOCK_LIMIT:
            return False
        _read_exact(fd, block)
        return _continues(first, _wd2_header(fd, with_word))
    except _Eof:
        return False
    finally:
        os.close(fd)


def first_block_wraps(path: str) -> bool:
    """Whether the first WD2 block's exact length (samples x channel word x 4) reaches 2^32."""
    fd = os.open(path, os.O_RDONLY)
    try:
        first = _wd2_header(fd, True)
    finally:
        os.close(fd)
    return first[2] * (first[4] % 2**32) * 4 >= 2**32


def expected_report(path: str, reader_type: str) -> dict:
    """What a scan must find, from iterating the reference reader up to its first exception."""
    size = os.path.getsize(path)
    try:
        reader = ReferenceReader(path, reader_type)
    except Exception as error:  # noqa: BLE001 - a failed probe is reported, not raised
        return dict(events=0, bytes_read=0, trailing_bytes=0, error=(type(error), error.args), error_event=0,
                    error_offset=0, channels=None, sample_counts={}, steps=[], times=[])
    events, ends, error = [], [0], None
    while True:
        try:
            events.append(next(reader))
        except StopIteration:
            break
        except Exception as raised:  # noqa: BLE001 - the exception is what the scan must report
            error = (type(raised), raised.args)
            break
        ends.append(os.lseek(reader._fd, 0, os.SEEK_CUR))
    counters = [event["event_counter"] % 2**32 for event in events]
    steps = [(b - a + 2**31) % 2**32 - 2**31 for a, b in zip(counters, counters[1:])]
    sample_counts: dict[int, int] = {}
    for event in events:
        sample_counts[len(event["data"])] = sample_counts.get(len(event["data"]), 0) + 1
    channels = reader._reader.layout_channels if reader_type == "WD2" else None
    reader.close()
    return dict(events=len(events), bytes_read=ends[-1], trailing_bytes=0 if error else size - ends[-1],
                error=error, error_event=len(events) if error else None, error_offset=ends[-1] if error else None,
                channels=channels, sample_counts=sample_counts, steps=steps,
                times=[events[0]["timestamp"], events[-1]["timestamp"]] if events else [])


def check_scan(path: str, reader_type: str) -> velk_tools.ScanReport:
    report = velk_tools.scan(path, reader_type)
    expected = expected_report(path, reader_type)
    steps = expected.pop("steps")
    found = dict(events=report.events, bytes_read=report.bytes_read, trailing_bytes=report.trailing_bytes,
                 error=report.error and (type(report.error), report.error.args), error_event=report.error_event,
                 error_offset=report.error_offset, channels=report.channels, sample_counts=report.sample_counts,
                 times=[report.first_timestamp, report.last_timestamp] if report.events else [])
    assert found == expected
    assert report.file_size == os.path.getsize(path)
    assert report.complete == (expected["error"] is None and expected["trailing_bytes"] == 0)
    gaps = [step for step in steps if step > 1]
    assert (report.counter_gaps, report.missing_counts, report.counter_backward_steps) == (
        len(gaps), sum(gaps) - len(gaps), sum(step <= 0 for step in steps))
    if reader_type == "WD2" and report.channels is not None:
        decision = ("word confirmed" + (", block length wraps" if first_block_wraps(path) else "")
                    if reading_continues(path, True)
                    else "no word, confirmed" if reading_continues(path, False) else "no word, unconfirmed")
        assert report.channel_decision == decision
    # velk itself raises what the scan reports, after as many events.
    try:
        iterated = sum(1 for _ in velk.EventReader(path, reader_type))
    except Exception as raised:  # noqa: BLE001
        assert report.error is not None and (type(raised), raised.args) == (type(report.error), report.error.args)
    else:
        assert report.error is None and iterated == report.events
    return report


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("kind", sorted(RECORDINGS))
@hypothesis_settings(PROFILE)
@given(data=st.data())
def test_scan_matches_iteration(tmp_path_factory, kind, reader_type, data) -> None:
    recording = data.draw(RECORDINGS[kind], label="recording")
    path = tmp_path_factory.mktemp("scan") / "recording.bin"
    path.write_bytes(recording)
    check_scan(str(path), reader_type)


def large_wd1() -> bytes:
    return b"".join(wd1_event([n] * 50_000, event_counter=n) for n in range(4))


def large_wd2() -> bytes:
    return b"".join(wd2_event([float(n)] * 40_000, channels=4, event_counter=n) for n in range(4))


# Where the last event is cut, as a function of the event's size.
CUTS = {"whole": None, "in the header": lambda size: 10, "in the block": lambda size: size // 2,
        "one byte short": lambda size: size - 1}


@pytest.mark.parametrize("cut", CUTS)
@pytest.mark.parametrize(("reader_type", "build"), [("WD1", large_wd1), ("WD2", large_wd2)])
def test_scan_passes_over_large_blocks_with_reading_outcomes(tmp_path: Path, reader_type, build, cut) -> None:
    data = build()
    event = len(data) // 4
    if CUTS[cut] is not None:
        data = data[: 3 * event + CUTS[cut](event)]
    path = tmp_path / "large.bin"
    path.write_bytes(data)
    report = check_scan(str(path), reader_type)
    assert (report.events, report.trailing_bytes) == ((4, 0) if CUTS[cut] is None else (3, len(data) - 3 * event))


def test_scan_accepts_path_objects_and_raises_what_construction_raises(tmp_path: Path) -> None:
    path = tmp_path / "one.wd1"
    path.write_bytes(wd1_event([1, 2]))
    assert velk_tools.scan(path, "WD1").events == 1
    for args, exception in [((tmp_path / "missing", "WD1"), FileNotFoundError), ((path, "WD3"), ValueError),
                            ((tmp_path / "missing", "WD3"), FileNotFoundError)]:
        with pytest.raises(exception) as scanned:
            velk_tools.scan(*args)
        with pytest.raises(exception) as constructed:
            velk.EventReader(str(args[0]), args[1])
        assert scanned.value.args == constructed.value.args


def test_progress_is_reported_between_steps(tmp_path: Path, monkeypatch) -> None:
    monkeypatch.setattr(velk_tools, "_STEP_BYTES", 150_000)
    path = tmp_path / "large.wd1"
    path.write_bytes(large_wd1())
    positions: list[int] = []
    report = velk_tools.scan(path, "WD1", progress=positions.append)
    event = len(large_wd1()) // 4
    assert positions == [2 * event, 4 * event] and report.events == 4
