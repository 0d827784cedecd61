"""A slow, plain-Python reader of WD1 and WD2 recordings, written from the layouts, for velk to be
compared with.

`ReferenceReader(path, reader_type)` behaves like `velk.EventReader`: it opens the file, runs the WD2
channel-layout probe at construction, and yields one dict per event, raising the exceptions velk raises.
Reads go straight to the file descriptor (no buffer), which is equivalent for files that only grow.
`trace` drives either reader over a file and records every outcome in a comparable form.
"""

from __future__ import annotations

import errno
import os
import struct

import numpy as np

BLOCK_LIMIT = 2**31  # WD2 data blocks of this many bytes or more are refused
WD1_MIN_EVENT_SIZE = 23
EOF_TEXT = "failed to fill whole buffer"

_EXCEPTION_FOR_ERRNO = {
    errno.ENOENT: FileNotFoundError,
    errno.EPERM: PermissionError,
    errno.EACCES: PermissionError,
    errno.EEXIST: FileExistsError,
    errno.EISDIR: IsADirectoryError,
    errno.ENOTDIR: NotADirectoryError,
    errno.EINTR: InterruptedError,
    errno.EAGAIN: BlockingIOError,
    errno.ETIMEDOUT: TimeoutError,
    errno.EPIPE: BrokenPipeError,
    errno.ECONNREFUSED: ConnectionRefusedError,
    errno.ECONNRESET: ConnectionResetError,
    errno.ECONNABORTED: ConnectionAbortedError,
    errno.ENOMEM: MemoryError,
}


class _Eof(Exception):
    """The file ended inside an exact read; the bytes delivered before stay consumed."""


class _OsFailure(Exception):
    """Any other failed system call, with its error number."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.errno = number

    @property
    def text(self) -> str:
        return f"{os.strerror(self.errno)} (os error {self.errno})"

    def mapped(self) -> Exception:
        """The exception velk raises for this failure on open and during iteration."""
        return _EXCEPTION_FOR_ERRNO.get(self.errno, OSError)(self.text)


def _block_too_large(length: int) -> ValueError:
    return ValueError(f"data block of {length} bytes exceeds the limit of {BLOCK_LIMIT - 1} bytes")


class _Source:
    """Exact reads over an open descriptor."""

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def read_exact(self, n: int) -> bytes:
        parts, got = [], 0
        while got < n:
            try:
                part = os.read(self.fd, min(n - got, 1 << 20))
            except OSError as error:
                raise _OsFailure(error.errno) from None
            if not part:
                raise _Eof
            parts.append(part)
            got += len(part)
        return b"".join(parts)

    def rewind(self) -> None:
        try:
            os.lseek(self.fd, 0, os.SEEK_SET)
        except OSError as error:
            raise _OsFailure(error.errno) from None


class _WD1:
    def __init__(self, source: _Source) -> None:
        self.source = source
        self.failed = False

    def next(self) -> dict | None:
        if self.failed:
            return None
        try:
            return self._decode()
        except _Eof:
            return None
        except _OsFailure as failure:
            self.failed = True
            raise failure.mapped() from None

    def _decode(self) -> dict:
        words = struct.unpack("<6i", self.source.read_exact(24))
        size = words[0]
        if size < WD1_MIN_EVENT_SIZE:
            raise ValueError(f"event_size {size} is below the smallest accepted size {WD1_MIN_EVENT_SIZE}")
        count = max(size - 24, 0) // 2
        data = np.frombuffer(self.source.read_exact(2 * count), dtype="<u2").astype(np.uint16)
        keys = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
        return {**dict(zip(keys, words)), "data": data}


def _block_length(channels: int, samples: int) -> int:
    return (channels * samples * 4) % 2**32


def _wd2_header(source: _Source, with_word: bool) -> tuple[int, int, int, int, int | None]:
    """(counter, timestamp, samples, period, channel word or None)."""
    if with_word:
        return struct.unpack("<IQIQi", source.read_exact(28))
    return (*struct.unpack("<IQIQ", source.read_exact(24)), None)


def _continues(first: tuple, second: tuple) -> bool:
    counter, _, samples, period, word = first
    return second[0] == (counter + 1) % 2**32 and second[2:] == (samples, period, word)


def _probe_with_word(source: _Source) -> int:
    """The layout's channel count, or raises what velk's constructor raises."""
    first = _wd2_header(source, True)
    block = _block_length(first[4] % 2**32, first[2])
    if block >= BLOCK_LIMIT:
        return _probe_without_word(source, _block_too_large(block))
    try:
        source.read_exact(block)
        second = _wd2_header(source, True)
    except _Eof:
        return _probe_without_word(source, OSError(EOF_TEXT))
    return first[4] if _continues(first, second) else 1


def _probe_without_word(source: _Source, refutation: Exception) -> int:
    """The mended fallback: a file with 24-byte headers confirmed the same way, or the refutation."""
    source.rewind()
    try:
        first = _wd2_header(source, False)
        block = _block_length(1, first[2])
        if block >= BLOCK_LIMIT:
            raise refutation
        source.read_exact(block)
        second = _wd2_header(source, False)
    except _Eof:
        raise refutation from None
    if not _continues(first, second):
        raise refutation
    return 1


class _WD2:
    def __init__(self, source: _Source) -> None:
        self.source = source
        try:
            self.layout_channels = _probe_with_word(source)
            source.rewind()
        except _Eof:
            raise OSError(EOF_TEXT) from None
        except _OsFailure as failure:
            raise OSError(failure.text) from None

    def next(self) -> dict | None:
        try:
            return self._decode()
        except _Eof:
            return None
        except _OsFailure as failure:
            raise failure.mapped() from None

    def _decode(self) -> dict:
        with_word = self.layout_channels >= 2
        counter, timestamp, samples, period, word = _wd2_header(self.source, with_word)
        block = _block_length(self.layout_channels % 2**32, samples)
        if block >= BLOCK_LIMIT:
            raise _block_too_large(block)
        data = np.frombuffer(self.source.read_exact(block), dtype="<f4").astype(np.float32)
        return {
            "event_counter": counter,
            "timestamp": timestamp,
            "samples": samples,
            "sampling_period": period,
            "channels": word if with_word else self.layout_channels,
            "data": data,
        }


class ReferenceReader:
    """Iterates like velk.EventReader over the same file."""

    _fd = -1  # until the file is open, so that close() and __del__ work after a failed open

    def __init__(self, path: str, reader_type: str) -> None:
        if "\0" in path:
            raise OSError("file name contained an unexpected NUL byte")
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as error:
            raise _OsFailure(error.errno).mapped() from None
        self._fd = fd
        try:
            if reader_type == "WD1":
                self._reader = _WD1(_Source(fd))
            elif reader_type == "WD2":
                self._reader = _WD2(_Source(fd))
            else:
                raise ValueError(f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'")
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

    def __del__(self) -> None:
        self.close()


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
    """Outcomes of construction and of up to `limit` next() calls; one more call after the end."""
    try:
        reader = reader_class(path, reader_type)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome being compared
        return [("raise", type(error), error.args)]
    outcomes = []
    ends = 0
    for _ in range(limit):
        try:
            outcomes.append(("event", normalised(next(reader))))
        except StopIteration:
            outcomes.append(("end",))
            ends += 1
            if ends == 2:
                break
        except Exception as error:  # noqa: BLE001
            outcomes.append(("raise", type(error), error.args))
    return outcomes
