"""Failures of construction and iteration: which exception, with which text, and that no file descriptor
outlives them or the readers that own one."""

from __future__ import annotations

import errno
import fcntl
import os
import pickle
import socket
import tempfile

import pytest

import velk
from recordings import wd1_event, wd2_event, wd2_header


def os_error_text(number: int) -> str:
    return f"{os.strerror(number)} (os error {number})"


def assert_single_text(error: BaseException, exception_type: type, text: str) -> None:
    """The error is exactly `exception_type`, built from the text alone (no errno/strerror/filename)."""
    assert type(error) is exception_type
    assert error.args == (text,)
    assert (error.errno, error.strerror, error.filename) == (None, None, None)


def _unix_socket(tmp_path, request):
    # Socket paths are limited to about 100 bytes, so this one lives in a short directory of its own.
    directory = tempfile.TemporaryDirectory(prefix="vk")
    sock = socket.socket(socket.AF_UNIX)
    request.addfinalizer(directory.cleanup)
    request.addfinalizer(sock.close)
    sock.bind(os.path.join(directory.name, "s"))
    return os.path.join(directory.name, "s")


def _symlink_loop(tmp_path, request):
    os.symlink("loop", tmp_path / "loop")
    return str(tmp_path / "loop")


def _below_a_file(tmp_path, request):
    (tmp_path / "file").write_bytes(wd1_event([1]))
    return str(tmp_path / "file" / "child.bin")


def _nul_after_existing_name(tmp_path, request):
    (tmp_path / "file").write_bytes(wd1_event([1]))  # the text cut at the NUL names it; it must not be opened
    return str(tmp_path / "file") + "\0"


OPEN_FAILURES = {
    "missing file": (lambda tmp, _: str(tmp / "missing.bin"), FileNotFoundError, os_error_text(errno.ENOENT)),
    "empty path": (lambda tmp, _: "", FileNotFoundError, os_error_text(errno.ENOENT)),
    "path below a regular file": (_below_a_file, NotADirectoryError, os_error_text(errno.ENOTDIR)),
    "symlink loop": (_symlink_loop, OSError, os_error_text(errno.ELOOP)),
    "component longer than NAME_MAX": (lambda tmp, _: str(tmp / ("n" * 300)), OSError,
                                       os_error_text(errno.ENAMETOOLONG)),
    "path longer than PATH_MAX": (lambda tmp, _: "/".join([str(tmp)] + ["b" * 200] * 25), OSError,
                                  os_error_text(errno.ENAMETOOLONG)),
    "descriptor path of a closed fd": (lambda tmp, _: "/proc/self/fd/999999", FileNotFoundError,
                                       os_error_text(errno.ENOENT)),
    "unix socket": (_unix_socket, OSError, os_error_text(errno.ENXIO)),
    "NUL byte": (_nul_after_existing_name, OSError, "file name contained an unexpected NUL byte"),
}


# The file is opened before the reader type is looked at, so a bad path wins over a bad type.
@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "bogus"])
@pytest.mark.parametrize("case", sorted(OPEN_FAILURES))
def test_open_failures_follow_the_io_mapping(tmp_path, request, fds_opened, case, reader_type):
    make_path, exception_type, text = OPEN_FAILURES[case]
    path = make_path(tmp_path, request)
    opened = fds_opened()
    with pytest.raises(OSError) as info:
        velk.EventReader(path, reader_type)
    assert_single_text(info.value, exception_type, text)
    assert opened() == {}


def test_permission_denied_is_permission_error(recording):
    """Root reads any file, so the attempt runs in a forked child that has given up its privileges."""
    path = recording(wd1_event([1]))
    path.chmod(0)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports the outcome as plain values and never returns into pytest
        try:
            os.close(read_end)
            try:
                if os.geteuid() == 0:
                    os.setgroups([])
                    os.setgid(65534)
                    os.setuid(65534)
            except OSError:
                outcome = "cannot give up root"
            else:
                try:
                    outcome = velk.EventReader(str(path), "WD1") and "opened"
                except Exception as e:
                    outcome = (type(e), e.args, e.errno, e.strerror, e.filename)
            os.write(write_end, pickle.dumps(outcome))
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        outcome = pickle.loads(pipe.read())
    os.waitpid(pid, 0)
    if outcome == "cannot give up root":
        pytest.skip("running as root without the right to give it up")
    assert outcome == (PermissionError, (os_error_text(errno.EACCES),), None, None, None)


@pytest.mark.parametrize("reader_type", ["", "wd1", "WD3", " WD1", "WD1\0", "WD2\n", "\u0174D1"], ids=repr)
def test_unknown_reader_type_is_value_error_after_open_and_close(recording, fds_on, fds_opened,
                                                                 reader_type):
    path = recording(wd1_event([1, 2]))
    opened = fds_opened()
    with pytest.raises(ValueError) as info:
        velk.EventReader(str(path), reader_type)
    assert type(info.value) is ValueError
    assert info.value.args == (f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'",)
    assert fds_on(path) == [] and opened() == {}


def test_directory_as_wd1_raises_on_first_next_then_yields_nothing(tmp_path, fds_on):
    reader = velk.EventReader(str(tmp_path), "WD1")
    assert len(fds_on(tmp_path)) == 1
    with pytest.raises(IsADirectoryError) as info:
        next(reader)
    assert_single_text(info.value, IsADirectoryError, os_error_text(errno.EISDIR))
    assert list(reader) == [] and list(reader) == []  # the reader stays failed
    del reader
    assert fds_on(tmp_path) == []


WD2_CONSTRUCTION_FAILURES = {
    "directory": (None, OSError, os_error_text(errno.EISDIR)),
    "empty file": (b"", OSError, "failed to fill whole buffer"),
    "second header cut short": (wd2_event([1.0, 2.0], channels=2) + wd2_header(event_counter=1, channels=2)[:27],
                                OSError, "failed to fill whole buffer"),
    # 1.0 read as a channel word: 4 x 0x3F800000 x 4 wraps to 0xF8000000 bytes; a lone event cannot
    # confirm the reading without a word, so the block size stands.
    "one event without a word, first block too large": (
        wd2_event([1.0, 2.0, 3.0, 4.0]), ValueError,
        "data block of 4160749568 bytes exceeds the limit of 2147483647 bytes"),
    "first block of 2^31 with a word": (wd2_header(samples=2**28, channels=2) + bytes(64), ValueError,
                                        "data block of 2147483648 bytes exceeds the limit of 2147483647 bytes"),
}


@pytest.mark.parametrize("case", sorted(WD2_CONSTRUCTION_FAILURES))
def test_wd2_files_that_cannot_be_probed(tmp_path, recording, fds_on, fds_opened, case):
    data, exception_type, text = WD2_CONSTRUCTION_FAILURES[case]
    path = tmp_path if data is None else recording(data)
    opened = fds_opened()
    with pytest.raises(Exception) as info:
        velk.EventReader(str(path), "WD2")
    assert type(info.value) is exception_type and info.value.args == (text,)
    assert fds_on(path) == [] and opened() == {}


@pytest.mark.parametrize(("reader_type", "data"), [
    ("WD1", wd1_event([1, 2, 3]) + wd1_event(event_size=4) + wd1_event([1])),
    ("WD2", b"".join(wd2_event([1.0] * 4, channels=2, event_counter=n) for n in range(2))
     + wd2_header(event_counter=2, samples=2**28, channels=2)),
])
def test_readers_own_one_read_only_close_on_exec_descriptor_until_deleted(recording, fds_on, reader_type, data):
    path = recording(data)
    untouched, partway, raised = (velk.EventReader(str(path), reader_type) for _ in range(3))
    (fd,) = fds_on(path)[:1]
    assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
    with open(f"/proc/self/fdinfo/{fd}") as info:
        flags = int(next(line for line in info if line.startswith("flags:")).split()[1], 8)
    assert flags & (os.O_ACCMODE | os.O_TRUNC | os.O_APPEND) == os.O_RDONLY
    next(partway)
    with pytest.raises(ValueError):
        list(raised)
    assert len(fds_on(path)) == 3
    del untouched
    assert len(fds_on(path)) == 2
    del partway, raised
    assert fds_on(path) == []
    assert path.read_bytes() == data
