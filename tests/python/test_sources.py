"""velk_tools over file objects and compressed files against velk.EventReader over the plain file: the
same events and ends through a pipe that a thread feeds, the WD2 probe replayed instead of rewound, the
file object's own exception passed on, and no thread or descriptor left behind."""

from __future__ import annotations

import bz2
import gc
import gzip
import io
import lzma
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk
import velk_tools
from recordings import wd2_event
from reference_reader import normalised, trace
from test_columns import batch_trace
from test_reference import PROFILE, RECORDINGS
from velk_tools import cli, read_batches, scan
from velk_tools.sources import open_compressed

try:
    import zstandard
except ImportError:  # an interpreter without the test extra
    zstandard = None

COMPRESSORS = {
    ".gz": gzip.compress,
    ".bz2": bz2.compress,
    ".xz": lzma.compress,
    ".zst": None if zstandard is None else lambda data: zstandard.ZstdCompressor().compress(data),
}


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("kind", sorted(RECORDINGS))
@settings(PROFILE)
@given(data=st.data())
def test_file_objects_read_as_the_file(tmp_path_factory, kind, reader_type, data) -> None:
    # A BytesIO goes through the pipe, and the WD2 probe replays what it read: cut and damaged
    # recordings end and fail exactly as EventReader over the file does.
    recording = data.draw(RECORDINGS[kind], label="recording")
    path = str(tmp_path_factory.mktemp("sources") / "recording.bin")
    with open(path, "wb") as f:
        f.write(recording)
    limit = len(recording) // 24 + 4
    expected = trace(velk.EventReader, path, reader_type, limit)
    for max_events in (1, 65536):
        assert batch_trace(io.BytesIO(recording), reader_type, max_events, 1 << 20, limit) == expected
    # Without a size, a partial event at the end still shows, as the bytes taken past the last event.
    from_file, from_object = scan(path, reader_type), scan(io.BytesIO(recording), reader_type)
    assert (from_object.complete, from_object.trailing_bytes) == (from_file.complete, from_file.trailing_bytes)


def wd2_recording(events: int, values: int = 1500) -> bytes:
    # Events larger than the feeder's chunk size would not be; several make the pipe fill and drain.
    return b"".join(wd2_event([float(i * values + j) for j in range(values)], channels=3, event_counter=i)
                    for i in range(events))


@pytest.mark.parametrize("extension", sorted(COMPRESSORS))
def test_compressed_files_read_as_the_plain_file(tmp_path, capsys, extension) -> None:
    compress = COMPRESSORS[extension]
    if compress is None:
        pytest.skip("zstandard comes with the test extra")
    plain, packed = tmp_path / "run.wd2", tmp_path / f"run.wd2{extension}"
    plain.write_bytes(wd2_recording(200))
    packed.write_bytes(compress(plain.read_bytes()))
    expected = [normalised(event) for event in velk.EventReader(str(plain), "WD2")]
    # A file object, or the path, whose name picks the decompressor (and past it the layout).
    for batches in (read_batches(open_compressed(str(packed)), "WD2", 37), read_batches(str(packed), None, 37)):
        assert [normalised(b.event(i)) for b in batches for i in range(len(b))] == expected
        report = batches.report()
        assert (report.complete, report.path, report.channels, report.bytes_read) == (
            True, str(packed), 3, plain.stat().st_size)
    assert scan(str(packed), "WD2").complete
    # A range or a pick decompresses from the start and passes over the events before it. Negative
    # numbers count back from the compressed file's own index: a walk of its data, then its sidecar.
    def counters(batches) -> list[int]:
        return [int(c) for b in batches for c in b.columns["event_counter"]]

    assert counters(read_batches(str(packed), None, 7, start=190, stop=195)) == list(range(190, 195))
    for _ in range(2):
        assert counters(read_batches(str(packed), None, 7, start=-3)) == [197, 198, 199]
        assert counters([velk_tools.read_events(str(packed), "WD2", [-1, 5, -200])]) == [199, 5, 0]
        assert cli.main(["index", str(packed)]) == 0
    capsys.readouterr()
    with pytest.raises(velk_tools.StaleIndexError):  # the plain file's index is another file's
        read_batches(str(packed), "WD2", start=-1, index=velk_tools.index(str(plain), "WD2"))
    # The command takes the layout from the extension inside the compression one.
    assert cli.main(["scan", str(packed)]) == 0
    assert capsys.readouterr().out.startswith(f"{packed} [WD2]: complete: 200 events")


def test_failing_file_object_passes_its_exception_on(tmp_path, capsys) -> None:
    data = wd2_recording(400)
    packed = gzip.compress(data)
    cut = tmp_path / "cut.wd2.gz"
    cut.write_bytes(packed[: len(packed) // 2])
    batches = read_batches(gzip.open(cut), "WD2")
    events = 0
    with pytest.raises(EOFError):
        for batch in batches:
            events += len(batch)
    report = batches.report()
    assert 0 < events < 400 and (report.complete, type(report.error), report.error_event) == (False, EOFError, events)
    assert type(scan(gzip.open(cut), "WD2").error) is EOFError
    assert cli.main(["scan", str(cut)]) == 1
    assert "INCOMPLETE" in capsys.readouterr().out
    # A source that fails before the probe has two events raises its own exception from the opening.
    with pytest.raises(gzip.BadGzipFile):
        read_batches(gzip.GzipFile(fileobj=io.BytesIO(b"not gzip" * 8)), "WD2")


def settle() -> None:
    """Drops unreachable readers and waits for the feeder threads they leave to end."""
    gc.collect()
    for thread in threading.enumerate():
        if thread.name == "velk_tools source feeder" or thread.name.startswith("velk_tools reader"):
            thread.join(10)


def test_abandoned_sources_leave_no_thread_or_descriptor(fds_opened) -> None:
    data = wd2_recording(50)
    settle()  # the sources of earlier tests
    threads, opened = threading.active_count(), fds_opened()
    for _ in range(3):
        batches = read_batches(io.BytesIO(data * 40), "WD2", 1)  # far more than the pipe holds
        next(batches)
        del batches
    settle()
    # At most as many threads: what earlier tests left may end meanwhile.
    assert threading.active_count() <= threads and opened() == {}
