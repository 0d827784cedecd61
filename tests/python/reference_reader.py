"""A slow, plain-Python reader of WD1 and WD2 recordings, written from the layouts, for velk to be
compared with.

`ReferenceReader(path, reader_type)` behaves like `velk.EventReader`: it opens the file, runs the WD2
channel-layout probe at construction (or takes the layout given as `channels`), and yields one dict per event, raising the exceptions velk raises.
Reads go straight to the file descriptor (no buffer), which is equivalent for files that only grow. A
file that ends inside an event leaves the reader at that event's first byte.
`trace` drives either reader over a file and records every outcome in a comparable form.
"""

from __future__ import annotations

import errno
import os
import struct

import numpy as np

BLOCK_LIMIT = 2**31  # WD2 data blocks of this many bytes or more are refused
EOF_TEXT = "failed to fill whole buffer"

_EXCEPTION_FOR_ERRNO = {
    errno.ENOENT: FileNotFoundError, errno.EPERM: PermissionError, errno.EACCES: PermissionError,
    errno.EEXIST: FileExistsError, errno.EISDIR: IsADirectoryError, errno.ENOTDIR: NotADirectoryError,
    errno.EINTR: InterruptedError, errno.EAGAIN: BlockingIOError, errno.ETIMEDOUT: TimeoutError,
    errno.EPIPE: BrokenPipeError, errno.ECONNREFUSED: ConnectionRefusedError,
    errno.ECONNRESET: ConnectionResetError, errno.ECONNABORTED: ConnectionAbortedError, errno.ENOMEM: MemoryError,
}


class _Eof(Exception):
    """The file ended inside an exact read; the bytes delivered before stay consumed."""


def _event_start(fd: int) -> int:
    return os.lseek(fd, 0, os.SEEK_CUR)


def _partial_event(fd: int, start: int) -> None:
    """End of data inside an event: nothing of the event is consumed."""
    os.lseek(fd, start, os.SEEK_SET)


class _OsFailure(Exception):
    """Any other failed system call: `text` is velk's message, `mapped()` the exception velk raises for
    it on open and during iteration."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error.errno)
        self.errno = error.errno
        self.text = f"{os.strerror(error.errno)} (os error {error.errno})"

    def mapped(self) -> Exception:
        return _EXCEPTION_FOR_ERRNO.get(self.errno, OSError)(self.text)


def _block_too_large(length: int) -> ValueError:
    return ValueError(f"data block of {length} bytes exceeds the limit of {BLOCK_LIMIT - 1} bytes")


def _read_exact(fd: int, n: int) -> bytes:
    parts, got = [], 0
    while got < n:
        try:
            part = os.read(fd, min(n - got, 1 << 20))
        except OSError as error:
            raise _OsFailure(error) from None
        if not part:
            raise _Eof
        parts.append(part)
        got += len(part)
    return b"".join(parts)


def _rewind(fd: int) -> None:
    try:
        os.lseek(fd, 0, os.SEEK_SET)
    except OSError as error:
        raise _OsFailure(error) from None


class _WD1:
    def __init__(self, fd: int) -> None:
        self.fd, self.failed = fd, False

    def next(self) -> dict | None:
        if self.failed:
            return None
        start = _event_start(self.fd)
        try:
            words = struct.unpack("<6i", _read_exact(self.fd, 24))
            if words[0] < 23:
                raise ValueError(f"event_size {words[0]} is below the smallest accepted size 23")
            data = np.frombuffer(_read_exact(self.fd, 2 * (max(words[0] - 24, 0) // 2)), dtype="<u2")
        except _Eof:
            _partial_event(self.fd, start)
            return None
        except _OsFailure as failure:
            self.failed = True
            raise failure.mapped() from None
        keys = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
        return {**dict(zip(keys, words)), "data": data.astype(np.uint16)}


def _block_length(channels: int, samples: int) -> int:
    return (channels * samples * 4) % 2**32


def _wd2_header(fd: int, with_word: bool) -> tuple[int, int, int, int, int | None]:
    """(counter, timestamp, samples, period, channel word or None)."""
    if with_word:
        return struct.unpack("<IQIQi", _read_exact(fd, 28))
    return (*struct.unpack("<IQIQ", _read_exact(fd, 24)), None)


def _continues(first: tuple, second: tuple) -> bool:
    counter, _, samples, period, word = first
    return second[0] == (counter + 1) % 2**32 and second[2:] == (samples, period, word)


def _probe_with_word(fd: int) -> int:
    """The layout's channel count, or raises what velk's constructor raises."""
    first = _wd2_header(fd, True)
    block = _block_length(first[4] % 2**32, first[2])
    if block >= BLOCK_LIMIT:
        return _probe_without_word(fd, _block_too_large(block))
    try:
        _read_exact(fd, block)
        second = _wd2_header(fd, True)
    except _Eof:
        return _probe_without_word(fd, OSError(EOF_TEXT))
    return first[4] if _continues(first, second) else 1


def _probe_without_word(fd: int, refutation: Exception) -> int:
    """The fallback: a file with 24-byte headers confirmed the same way, or else the refutation."""
    _rewind(fd)
    try:
        first = _wd2_header(fd, False)
        block = _block_length(1, first[2])
        if block >= BLOCK_LIMIT:
            raise refutation
        _read_exact(fd, block)
        second = _wd2_header(fd, False)
    except _Eof:
        raise refutation from None
    if not _continues(first, second):
        raise refutation
    return 1


class _WD2:
    def __init__(self, fd: int, channels: int | None = None) -> None:
        self.fd = fd
        if channels is not None:  # a layout the caller gives: no probe
            self.layout_channels = channels
            return
        try:
            self.layout_channels = _probe_with_word(fd)
            _rewind(fd)
        except _Eof:
            raise OSError(EOF_TEXT) from None
        except _OsFailure as failure:
            raise OSError(failure.text) from None

    def next(self) -> dict | None:
        with_word = self.layout_channels >= 2
        start = _event_start(self.fd)
        try:
            counter, timestamp, samples, period, word = _wd2_header(self.fd, with_word)
            block = _block_length(self.layout_channels % 2**32, samples)
            if block >= BLOCK_LIMIT:
                raise _block_too_large(block)
            data = np.frombuffer(_read_exact(self.fd, block), dtype="<f4").astype(np.float32)
        except _Eof:
            _partial_event(self.fd, start)
            return None
        except _OsFailure as failure:
            raise failure.mapped() from None
        return {"event_counter": counter, "timestamp": timestamp, "samples": samples, "sampling_period": period,
                "channels": word if with_word else self.layout_channels, "data": data}


class ReferenceReader:
    """Iterates like velk.EventReader over the same file."""

    _fd = -1  # until the file is open, so that close() and __del__ work after a failed open

    def __init__(self, path: str, reader_type: str, channels: int | None = None) -> None:
        if "\0" in path:
            raise OSError("file name contained an unexpected NUL byte")
        try:
            self._fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as error:
            raise _OsFailure(error).mapped() from None
        try:
            if reader_type not in ("WD1", "WD2"):
                raise ValueError(f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'")
            self._reader = _WD1(self._fd) if reader_type == "WD1" else _WD2(self._fd, channels)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def __iter__(self) -> ReferenceReader:
        return self

    def __next__(self) -> dict:
        event = self._reader.next()
        if event is None:
            raise StopIteration
        return event

    __del__ = close


def normalised(event: dict) -> list:
    """Everything a caller can see of one event, in insertion order."""
    items = []
    for key, value in event.items():
        if isinstance(value, np.ndarray):
            assert value.ndim == 1 and value.flags.c_contiguous
            items.append((key, "array", value.dtype.str, len(value), value.tobytes()))
        else:
            items.append((key, type(value), value))
    return items


def trace(reader_class, path: str, reader_type: str, limit: int) -> list:
    """Outcomes of construction and of up to `limit` next() calls, stopping at the second end."""
    try:
        reader = reader_class(path, reader_type)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome being compared
        return [("raise", type(error), error.args)]
    outcomes = []
    for _ in range(limit):
        try:
            outcomes.append(("event", normalised(next(reader))))
        except StopIteration:
            outcomes.append(("end",))
            if outcomes.count(("end",)) == 2:
                break
        except Exception as error:  # noqa: BLE001
            outcomes.append(("raise", type(error), error.args))
    return outcomes
