"""Sources that are not paths: a binary file object is copied into a pipe by a thread while the reader
decodes the pipe's other end, and compressed files open through the decompressor their extension names.

The decoding layer reads a pipe as it reads a FIFO: it gives up the interpreter lock while it waits, so
the thread that feeds the pipe runs meanwhile (and decompressors that give up the lock run on another
core). The WD2 probe keeps the bytes it reads and replays them instead of seeking back.
"""

from __future__ import annotations

import fcntl
import os
import threading
from collections.abc import Callable
from typing import Any, Protocol, Union

__all__ = ["Source", "Feeder", "decompressed", "open_source", "open_compressed", "inner_name", "seekable"]


class Readable(Protocol):
    def readinto(self, buffer: Any, /) -> int | None: ...


# A path as the OS takes it, or a binary file object with readinto.
Source = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", Readable]

# Bytes the feeder reads per readinto: a few pipe's worths, so that decompressors work in large steps.
_CHUNK_BYTES = 1 << 20
# The pipe's capacity asked for (Linux; the default pipe-max-size): one chunk goes in without waiting.
_PIPE_BYTES = 1 << 20


class Feeder:
    """Copies a binary file object into a pipe from a daemon thread. `path` names the pipe's read end
    for the reader to open; `opened()` then closes this object's own copy of it, so the reader holds
    the only one. When the reader is closed or collected, the next write fails with a broken pipe and
    the thread ends; at the end of the object, or on its error, the thread closes the write end, so the
    reader meets end of data. The error, of its own class, is in `error` from then on."""

    def __init__(self, file: Readable) -> None:
        if not callable(getattr(file, "readinto", None)):
            raise TypeError(f"a source must be a path or a binary file object with readinto, "
                            f"not {type(file).__name__}")
        self.error: Exception | None = None
        read_end, write_end = os.pipe()
        self._read_end: int = read_end
        try:
            fcntl.fcntl(write_end, getattr(fcntl, "F_SETPIPE_SZ", 1031), _PIPE_BYTES)
        except OSError:
            pass  # a smaller pipe only costs more switches between the threads
        self.path: bytes = os.fsencode(f"/dev/fd/{read_end}")
        self._thread: threading.Thread = threading.Thread(target=self._run, args=(file, write_end), daemon=True,
                                        name="velk_tools source feeder")
        self._thread.start()

    def opened(self) -> None:
        """Closes this object's read end once the reader has opened its own (or failed to)."""
        if self._read_end >= 0:
            os.close(self._read_end)
            self._read_end = -1

    def join(self, timeout: float | None = None) -> None:
        self._thread.join(timeout)

    def _run(self, file: Readable, write_end: int) -> None:
        buffer = memoryview(bytearray(_CHUNK_BYTES))
        # readinto1 hands on what one read of the object gives: the reader starts sooner, and an error
        # of the object loses no bytes before it, where readinto would drop a partly filled buffer.
        readinto = getattr(file, "readinto1", None) or file.readinto
        try:
            while True:
                got = readinto(buffer)
                if got is None:  # a non-blocking object with nothing yet
                    continue
                if got == 0:
                    break
                written = 0
                while written < got:
                    written += os.write(write_end, buffer[written:got])
        except BrokenPipeError:
            pass  # the reader is gone: nothing waits for the rest
        except Exception as error:  # handed to the reader's caller, which raises it as it is
            self.error = error
        finally:
            os.close(write_end)


def seekable(source: object) -> bool:
    """Whether a file object can be sought in (and tells its position), so that reading goes by its
    index as a file's does."""
    answer = getattr(source, "seekable", None)
    try:
        return callable(answer) and bool(answer()) and all(
            callable(getattr(source, name, None)) for name in ("seek", "tell"))
    except (OSError, ValueError):  # a closed object
        return False


def source_name(source: object) -> str:
    """The name a report gives a file object: its `name` when it has a text or bytes one."""
    name = getattr(source, "name", None)
    if isinstance(name, (str, bytes)):
        return os.fsdecode(name)
    return f"<{type(source).__name__}>"


def open_source(source: Source) -> tuple[bytes, str, Feeder | None]:
    """The path the reader opens, the name reports give, and the feeder when `source` is a file object.
    A path raises TypeError as os.fsencode does for anything that is neither."""
    if isinstance(source, (str, bytes, os.PathLike)):
        name = os.fsencode(source)
        return name, os.fsdecode(name), None
    if not hasattr(source, "readinto"):
        os.fsencode(source)  # type: ignore[arg-type]  # raises the TypeError a path argument raises
    feeder = Feeder(source)
    return feeder.path, source_name(source), feeder


# The decompressors the commands apply, by the file's last extension.
COMPRESSIONS = (".gz", ".bz2", ".xz", ".zst")


def inner_name(name: str) -> str:
    """The file name without a compression extension: the layout comes from what is left."""
    root, extension = os.path.splitext(name)
    return root if extension.lower() in COMPRESSIONS else name


class NamedReader:
    """A decompressing reader under the name of its file, which reports give (bz2, lzma and zstandard
    readers carry no name)."""

    def __init__(self, file: Any, name: str) -> None:
        self.name: str = name
        self.readinto: Callable[[Any], int | None] = file.readinto
        self.readinto1: Callable[[Any], int | None] = getattr(file, "readinto1", file.readinto)
        self.close: Callable[[], None] = file.close


def decompressed(source: Source) -> Source:
    """What to read for `source`: the decompressing reader of a path named .gz, .bz2, .xz or .zst,
    else `source` itself."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return source
    name = os.fsdecode(source)
    if inner_name(name) == name:
        return source
    return open_compressed(name) or source


def open_compressed(name: str) -> NamedReader | None:
    """The decompressing reader of a `.gz`, `.bz2`, `.xz` or `.zst` file; None for any other name.
    `.zst` needs the zstandard package (pip install 'velk[zstd]'): ImportError without it."""
    file = _decompressor(name)
    return None if file is None else NamedReader(file, name)


def _decompressor(name: str) -> Any:
    extension = os.path.splitext(name)[1].lower()
    if extension == ".gz":
        import gzip
        return gzip.open(name, "rb")
    if extension == ".bz2":
        import bz2
        return bz2.open(name, "rb")
    if extension == ".xz":
        import lzma
        return lzma.open(name, "rb")
    if extension == ".zst":
        try:
            import zstandard
        except ImportError:
            raise ImportError(f"reading {name} needs the zstandard package: pip install 'velk[zstd]'") from None
        return zstandard.open(name, "rb")
    return None
