"""velk_tools' batches of columns against velk.EventReader: the same events, errors and ends, in the same
order, on the generated recordings of the reference comparison; the Arrow export read back by pyarrow,
float bits included."""

from __future__ import annotations

import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk
from recordings import wd1_event, wd2_event, wd2_float_bits, wd2_header
from reference_reader import normalised, trace
from test_reference import PROFILE, RECORDINGS
from velk_tools.columns import EventBatch, read_batches, read_table

try:
    import pyarrow as pa
except ImportError:  # an interpreter without the test extra: the tests of batches alone still run
    pa = None
needs_arrow = pytest.mark.skipif(pa is None, reason="pyarrow comes with the test extra")


def batch_trace(path: str, reader_type: str, max_events: int, max_bytes: int, limit: int,
                channels: int | None = None) -> list:
    """trace() of the events of every batch, one outcome per event, stopping at the second end."""
    try:
        batches = read_batches(path, reader_type, max_events, max_bytes=max_bytes, channels=channels)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome being compared
        return [("raise", type(error), error.args)]
    outcomes: list = []
    for _ in range(limit):
        try:
            batch = next(batches)
        except StopIteration:
            outcomes.append(("end",))
            if outcomes.count(("end",)) == 2:
                break
        except Exception as error:  # noqa: BLE001
            outcomes.append(("raise", type(error), error.args))
        else:
            assert 1 <= len(batch) <= max_events
            outcomes.extend(("event", normalised(batch.event(i))) for i in range(len(batch)))
    return outcomes


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("kind", sorted(RECORDINGS))
@settings(PROFILE)
@given(data=st.data())
def test_batches_hold_the_events_of_event_reader(tmp_path_factory, kind, reader_type, data) -> None:
    recording = data.draw(RECORDINGS[kind], label="recording")
    path = str(tmp_path_factory.mktemp("columns") / "recording.bin")
    with open(path, "wb") as f:
        f.write(recording)
    limit = len(recording) // 24 + 4
    expected = trace(velk.EventReader, path, reader_type, limit)
    # The last pairs end batches by the bytes of their samples instead of their count; 1 byte is less
    # than one sample, and each batch still holds one event.
    for max_events, max_bytes in ((1, 1 << 20), (7, 1 << 20), (65536, 1 << 20), (65536, 16), (65536, 1)):
        assert batch_trace(path, reader_type, max_events, max_bytes, limit) == expected, max_events


# Bit patterns a float conversion anywhere on the way would change: NaN payloads, -0.0, infinities,
# subnormals.
FLOAT_BITS = [0x7FC00001, 0xFFC12345, 0x7F800001, 0x80000000, 0x00000001, 0xFF800000, 0x3F800000, 0]


@needs_arrow
@pytest.mark.parametrize("max_events", [1, 2, 65536])
def test_arrow_table_round_trip_keeps_types_and_bits(recording, max_events) -> None:
    path = str(recording(b"".join(
        wd2_header(event_counter=2**32 - 2 + i // 4, timestamp=2**64 - 1 - i, samples=2, sampling_period=2**63,
                   channels=2) + wd2_float_bits(FLOAT_BITS[i:i + 4]) for i in range(0, len(FLOAT_BITS), 4))))
    events = list(velk.EventReader(path, "WD2"))
    # pyarrow reads the stream with the interpreter lock released: get_next takes it itself.
    table = pa.RecordBatchReader.from_stream(read_table(path, "WD2", max_events)).read_all()
    assert table.schema.types[:5] == [pa.uint32(), pa.uint64(), pa.uint32(), pa.uint64(), pa.int32()]
    assert table.column_names == list(events[0])
    for name in table.column_names[:-1]:
        assert table.column(name).to_pylist() == [e[name] for e in events]
    flat = pa.concat_arrays([chunk.flatten() for chunk in table.column("data").chunks])
    assert flat.to_numpy().view(np.uint32).tolist() == FLOAT_BITS
    assert pa.record_batch(next(read_batches(path, "WD2"))).num_rows == len(events)


@needs_arrow
def test_exported_batch_outlives_its_batch_and_releases_from_another_thread(recording) -> None:
    path = str(recording(b"".join(wd1_event([i, 2 * i]) for i in range(100))))
    batch = next(read_batches(path, "WD1"))
    exported = pa.record_batch(batch)
    samples_base = batch.samples.base
    del batch
    result: list = []
    thread = threading.Thread(target=lambda: result.append(exported.column("data").to_pylist()[99]))
    thread.start()
    thread.join()
    assert result == [[99, 198]]
    del exported
    assert type(samples_base).__name__ == "PySliceContainer"


@pytest.mark.parametrize(("events", "error"), [
    ([wd1_event([1, 2]), wd1_event([3, 4])], None),
    ([wd1_event([1, 2]), wd1_event([3])], "hold different numbers of samples (from 1 to 2)"),
])
def test_to_2d_shares_memory_or_refuses(recording, events, error) -> None:
    batch = next(read_batches(str(recording(b"".join(events))), "WD1"))
    if error is None:
        waves = batch.to_2d()
        assert waves.shape == (2, 2) and np.shares_memory(waves, batch.samples)
        assert waves.tolist() == [[1, 2], [3, 4]]
    else:
        with pytest.raises(ValueError, match=error.replace("(", r"\(").replace(")", r"\)")):
            batch.to_2d()


@needs_arrow
def test_empty_recording_gives_no_batch_and_an_empty_typed_table(recording) -> None:
    path = str(recording(b""))
    assert list(read_batches(path, "WD1")) == []
    table = pa.table(read_table(path, "WD1"))
    assert table.num_rows == 0 and table.schema.field("data").type == pa.large_list(
        pa.field("item", pa.uint16(), nullable=False))


@needs_arrow
def test_offsets_an_arrow_consumer_would_trust_are_checked(recording) -> None:
    batch = next(read_batches(str(recording(wd1_event([1, 2, 3]))), "WD1"))
    broken = EventBatch(batch.columns, batch.samples, np.array([0, 4], dtype=np.int64))
    with pytest.raises(ValueError, match="offsets"):
        pa.record_batch(broken)


@needs_arrow
@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
def test_convert_writes_the_events_and_stops_at_an_error(recording, tmp_path, suffix, capsys) -> None:
    from velk_tools.cli import main

    good = [wd1_event(list(range(i, i + i % 5)), event_counter=i, timestamp=-i) for i in range(3000)]
    path = str(recording(b"".join(good) + wd1_event([], event_size=-5) + wd1_event([7])))
    out = str(tmp_path / f"events{suffix}")
    assert main(["convert", path, out, "--type", "WD1"]) == 1
    printed = capsys.readouterr().out
    assert "INCOMPLETE: 3000 events" in printed and "error at event 3000 (byte 84000): ValueError" in printed
    if suffix == ".parquet":
        table = pytest.importorskip("pyarrow.parquet").read_table(out)
    else:
        table = pa.ipc.open_file(out).read_all()
    expected = []
    reader = velk.EventReader(path, "WD1")
    for _ in range(3000):
        event = next(reader)
        expected.append({**event, "data": event["data"].tolist()})
    assert table.to_pylist() == expected


def test_block_beyond_the_eager_size_then_small_events_in_one_batch(recording):
    # A first block too large to be read into the column becomes the column; the events after it
    # are appended behind its samples.
    big = np.arange(9 << 20, dtype="<u2")
    events = [(big, 1), (np.array([7, 8, 9], "<u2"), 2), (np.array([], "<u2"), 3), (np.array([5], "<u2"), 4)]
    data = b"".join(struct.pack("<6i", 24 + 2 * len(s), 0, 0, 0, counter, 0) + s.tobytes()
                    for s, counter in events)
    (batch,) = list(read_batches(recording(data), "WD1", max_bytes=1 << 30))
    assert batch.columns["event_counter"].tolist() == [1, 2, 3, 4]
    assert batch.offsets.tolist() == [0, 9 << 20, (9 << 20) + 3, (9 << 20) + 3, (9 << 20) + 4]
    assert np.array_equal(batch.samples, np.concatenate([s for s, _ in events]))


def test_position_follows_every_byte_decoded(recording) -> None:
    # An odd WD1 size consumes 24 + 2N bytes, a rejected header its 24, and a cut event nothing; WD2
    # headers without a channel word take 24 bytes.
    wd1 = [wd1_event([1, 2], event_size=29), wd1_event(event_size=-5), wd1_event([3])]
    batches = read_batches(recording(b"".join(wd1) + wd1_event([4, 5])[:-1]), "WD1", 1)
    positions = [batches.position]
    for _ in range(4):
        try:
            next(batches)
        except (ValueError, StopIteration):
            pass
        positions.append(batches.position)
    assert positions == [0, 28, 52, 78, 78]
    wd2 = b"".join(wd2_event([float(i)] * 3, event_counter=i) for i in range(5))
    batches = read_batches(recording(wd2), "WD2")
    assert sum(map(len, batches)) == 5 and batches.position == len(wd2) == 5 * 36
