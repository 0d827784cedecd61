"""Failures of construction and iteration: which exception, with which text, and that no file
descriptor outlives them."""

from __future__ import annotations

import errno
import fcntl
import os
import pickle
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest

import velk
from recordings import wd1_event, wd2_event


def os_error_text(number: int) -> str:
    return f"{os.strerror(number)} (os error {number})"


def assert_single_text(error: BaseException, exception_type: type, text: str) -> None:
    """The error is exactly `exception_type`, built from the text alone (no errno/strerror/filename)."""
    assert type(error) is exception_type
    assert error.args == (text,)
    assert str(error) == text
    if isinstance(error, OSError):
        assert error.errno is None
        assert error.strerror is None
        assert error.filename is None


# --- opening ------------------------------------------------------------------------------------------


def _missing(tmp_path, request):
    return str(tmp_path / "missing.bin")


def _empty_path(tmp_path, request):
    return ""


def _below_a_file(tmp_path, request):
    (tmp_path / "plain").write_bytes(b"")
    return str(tmp_path / "plain" / "child.bin")


def _symlink_loop(tmp_path, request):
    os.symlink("loop", tmp_path / "loop")
    return str(tmp_path / "loop")


def _name_too_long(tmp_path, request):
    return str(tmp_path / ("n" * 300))


def _unix_socket(tmp_path, request):
    # Socket paths are limited to about 100 bytes, so this one lives in a short directory of its own.
    directory = tempfile.TemporaryDirectory(prefix="vk")
    sock = socket.socket(socket.AF_UNIX)
    request.addfinalizer(directory.cleanup)
    request.addfinalizer(sock.close)
    path = os.path.join(directory.name, "s")
    sock.bind(path)
    return path


OPEN_FAILURES = [
    ("missing file", _missing, FileNotFoundError, errno.ENOENT),
    ("empty path", _empty_path, FileNotFoundError, errno.ENOENT),
    ("path below a regular file", _below_a_file, NotADirectoryError, errno.ENOTDIR),
    ("symlink loop", _symlink_loop, OSError, errno.ELOOP),
    ("name too long", _name_too_long, OSError, errno.ENAMETOOLONG),
    ("unix socket", _unix_socket, OSError, errno.ENXIO),
]


@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "bogus"])
@pytest.mark.parametrize(
    ("make_path", "exception_type", "number"),
    [case[1:] for case in OPEN_FAILURES],
    ids=[case[0] for case in OPEN_FAILURES],
)
def test_open_failures_follow_the_io_mapping(tmp_path, request, fd_count, make_path, exception_type, number,
                                            reader_type):
    path = make_path(tmp_path, request)
    before = fd_count()
    with pytest.raises(OSError) as info:
        velk.EventReader(path, reader_type)
    assert_single_text(info.value, exception_type, os_error_text(number))
    assert fd_count() == before


def test_missing_file_text_is_the_c_library_message():
    with pytest.raises(FileNotFoundError) as info:
        velk.EventReader("/nonexistent-velk-dir/x.bin", "WD1")
    assert info.value.args == ("No such file or directory (os error 2)",)


NUL_PLACES = {
    "inside": lambda p: p[:-4] + "\0" + p[-4:],
    "alone": lambda p: "\0",
    "after an existing name": lambda p: p + "\0",
}


@pytest.mark.parametrize("place", list(NUL_PLACES))
def test_nul_byte_in_path_is_plain_oserror(recording, place):
    # Text cut at the NUL would name an existing file; it must not be opened.
    existing = str(recording(wd1_event([1])))
    with pytest.raises(OSError) as info:
        velk.EventReader(NUL_PLACES[place](existing), "WD1")
    assert_single_text(info.value, OSError, "file name contained an unexpected NUL byte")


def _open_as_unprivileged(path: str):
    """Runs velk.EventReader(path, "WD1") in a forked child that first gives up root; returns the
    raised exception's (type, args, errno, strerror, filename), None on success, or "no-setuid"."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: never returns into the test runner
        status = 0
        try:
            os.close(read_end)
            try:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
            except OSError:
                result = "no-setuid"
            else:
                try:
                    velk.EventReader(path, "WD1")
                    result = None
                except Exception as e:  # reported to the parent as plain values
                    result = (type(e), e.args, getattr(e, "errno", 0), getattr(e, "strerror", 0),
                              getattr(e, "filename", 0))
            os.write(write_end, pickle.dumps(result))
        except BaseException:
            status = 1
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        payload = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    return pickle.loads(payload)


def test_permission_denied_is_permission_error(recording):
    path = recording(wd1_event([1]))
    path.chmod(0)
    if os.geteuid() != 0:
        with pytest.raises(PermissionError) as info:
            velk.EventReader(str(path), "WD1")
        assert_single_text(info.value, PermissionError, os_error_text(errno.EACCES))
        return
    # Root reads any file, so the attempt runs in a child that has given up its privileges.
    outcome = _open_as_unprivileged(str(path))
    if outcome == "no-setuid":
        pytest.skip("running as root without the right to drop privileges")
    assert outcome == (PermissionError, (os_error_text(errno.EACCES),), None, None, None)


@pytest.mark.parametrize(
    "reader_type",
    ["", "wd1", "wd2", "WD3", "WD", "WD12", " WD1", "WD1\0", "WD2\n", "\u0174D1", "W\u00d0", "\u00e9"],
    ids=repr,
)
def test_unknown_reader_type_is_value_error_after_open_and_close(recording, fds_on, fd_count, reader_type):
    path = recording(wd1_event([1, 2]))
    before = fd_count()
    with pytest.raises(ValueError) as info:
        velk.EventReader(str(path), reader_type)
    assert type(info.value) is ValueError
    assert info.value.args == (f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'",)
    assert fds_on(path) == []
    assert fd_count() == before


@pytest.mark.parametrize("reader_type", ["bogus", "", "wd1", "WD1\0"])
def test_bad_path_wins_over_bad_reader_type(tmp_path, reader_type):
    with pytest.raises(FileNotFoundError):
        velk.EventReader(str(tmp_path / "missing.bin"), reader_type)


# --- read errors ----------------------------------------------------------------------------------


def test_directory_as_wd1_raises_on_first_next_then_yields_nothing(tmp_path, fds_on):
    reader = velk.EventReader(str(tmp_path), "WD1")
    assert len(fds_on(tmp_path)) == 1
    with pytest.raises(IsADirectoryError) as info:
        next(reader)
    assert_single_text(info.value, IsADirectoryError, os_error_text(errno.EISDIR))
    # The reader stays failed: further calls end the iteration without reading again.
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert list(reader) == []
    del reader
    assert fds_on(tmp_path) == []


def test_directory_as_wd2_fails_construction_with_plain_oserror(tmp_path, fd_count):
    before = fd_count()
    with pytest.raises(OSError) as info:
        velk.EventReader(str(tmp_path), "WD2")
    assert_single_text(info.value, OSError, os_error_text(errno.EISDIR))
    assert fd_count() == before


WD2_UNPROBEABLE = [
    ("empty file", b""),
    ("part of a header", wd2_event([1.0, 2.0], channels=2)[:20]),
    ("one event with a channel word", wd2_event([float(i) for i in range(8)], channels=2, samples=4)),
    ("one event without a channel word", wd2_event([0.0, 2.0, 3.0, 4.0])),
    ("second header cut short", wd2_event([1.0, 2.0], channels=2, samples=1)
     + wd2_event([1.0, 2.0], channels=2, samples=1, event_counter=1)[:27]),
]


@pytest.mark.parametrize("data", [c[1] for c in WD2_UNPROBEABLE], ids=[c[0] for c in WD2_UNPROBEABLE])
def test_wd2_files_too_short_to_probe(recording, fds_on, fd_count, data):
    path = recording(data)
    before = fd_count()
    with pytest.raises(OSError) as info:
        velk.EventReader(str(path), "WD2")
    assert_single_text(info.value, OSError, "failed to fill whole buffer")
    assert fds_on(path) == []
    assert fd_count() == before


# --- descriptors ----------------------------------------------------------------------------------


def _wd2_pair() -> bytes:
    return b"".join(wd2_event([1.0, 2.0, 3.0, 4.0], channels=2, event_counter=n) for n in range(2))


@pytest.mark.parametrize(("reader_type", "data"), [("WD1", wd1_event([1, 2, 3])), ("WD2", _wd2_pair())])
def test_reader_owns_one_read_only_close_on_exec_descriptor(recording, fds_on, reader_type, data):
    path = recording(data)
    reader = velk.EventReader(str(path), reader_type)
    (fd,) = fds_on(path)
    assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
    with open(f"/proc/self/fdinfo/{fd}") as info:
        flags = int(next(line for line in info if line.startswith("flags:")).split()[1], 8)
    assert flags & os.O_ACCMODE == os.O_RDONLY
    assert not flags & (os.O_TRUNC | os.O_APPEND)
    next(reader)
    assert fds_on(path) == [fd]
    del reader
    assert fds_on(path) == []
    assert path.read_bytes() == data


@pytest.mark.parametrize(("reader_type", "data"), [("WD1", wd1_event([1, 2, 3])), ("WD2", _wd2_pair())])
def test_readers_close_their_file_however_far_they_got(recording, fds_on, reader_type, data):
    path = recording(data)
    untouched = velk.EventReader(str(path), reader_type)
    partway = velk.EventReader(str(path), reader_type)
    next(partway)
    exhausted = velk.EventReader(str(path), reader_type)
    list(exhausted)
    assert len(fds_on(path)) == 3
    del untouched
    assert len(fds_on(path)) == 2
    del partway, exhausted
    assert fds_on(path) == []


def test_reader_that_raised_still_closes_its_file(recording, fds_on):
    path = recording(wd1_event(event_size=4) + wd1_event([1]))
    reader = velk.EventReader(str(path), "WD1")
    with pytest.raises(ValueError):
        next(reader)
    assert fds_on(path) != []
    del reader
    assert fds_on(path) == []


# --- pipes ---------------------------------------------------------------------------------------

_WRITER = textwrap.dedent(
    """
    import os, signal, sys, time
    pid, tid, fifo, data = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], bytes.fromhex(sys.argv[4])
    interrupt = sys.argv[5] == "1"

    def wait_until(predicate, limit=20.0):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            try:
                with open(f"/proc/{pid}/task/{tid}/wchan") as f:
                    if predicate(f.read()):
                        return True
            except OSError:
                return False
            time.sleep(0.002)
        return False

    def nudge(predicate):
        # Interrupt the reader while it is blocked, then see it blocked in the same call again.
        seen = wait_until(predicate)
        if seen:
            os.kill(pid, signal.SIGUSR1)
            time.sleep(0.05)
            seen = wait_until(predicate)
        return seen

    seen = [nudge(lambda w: w == "wait_for_partner")] if interrupt else []
    end = time.monotonic() + 20
    while True:  # non-blocking, so a reader that gave up does not leave this process stuck
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            if time.monotonic() > end:
                sys.exit(3)
            time.sleep(0.002)
    os.set_blocking(fd, True)
    if interrupt:
        seen.append(nudge(lambda w: "pipe_read" in w))
    try:
        os.write(fd, data)
    except BrokenPipeError:
        pass
    os.close(fd)
    print("seen" if all(seen) else "unseen")
    """
)


def _start_writer(fifo, data: bytes, interrupt: bool) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-c", _WRITER, str(os.getpid()), str(threading.get_native_id()), str(fifo),
         data.hex(), "1" if interrupt else "0"],
        stdout=subprocess.PIPE,
        text=True,
    )


def test_wd2_on_a_pipe_fails_at_the_rewind(tmp_path, fd_count):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = _start_writer(fifo, _wd2_pair(), interrupt=False)
    before = fd_count()
    try:
        with pytest.raises(OSError) as info:
            velk.EventReader(str(fifo), "WD2")
    finally:
        writer.wait(timeout=60)
    assert_single_text(info.value, OSError, os_error_text(errno.ESPIPE))
    assert fd_count() == before


def test_open_and_read_retry_after_signals(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    events = [wd1_event([n, n + 1], event_counter=n) for n in range(3)]
    received = []
    previous = signal.signal(signal.SIGUSR1, lambda *_: received.append(1))
    try:
        writer = _start_writer(fifo, b"".join(events), interrupt=True)
        try:
            reader = velk.EventReader(str(fifo), "WD1")
            counters = [e["event_counter"] for e in reader]
        finally:
            out, _ = writer.communicate(timeout=60)
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert counters == [0, 1, 2]
    if out.strip() != "seen":
        pytest.skip("the reader was never seen blocked, so no signal arrived during a system call")
    assert received
