"""The `velk` command line: `velk scan` checks recordings, `velk index` writes their event indexes, `velk
head` shows their first events, `velk convert` writes them to Parquet or Arrow files."""

from __future__ import annotations

import argparse
import base64
import concurrent.futures
import dataclasses
import importlib
import json
import os
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

import numpy as np

from velk_tools import ScanReport, index, read_batches, scan
from velk_tools.columns import BatchIterator
from velk_tools.datasets import expand_sources, is_dataset
from velk_tools.report import velk_version
from velk_tools.sources import NamedReader, inner_name, open_compressed

LAYOUTS = ("WD1", "WD2")
# A scan that takes longer than this shows a progress bar, when stderr is a terminal and tqdm is there.
PROGRESS_AFTER_SECONDS = 1.0
# The name that reads standard input.
STDIN = "-"

DESCRIPTION = """\
Check recordings of the WD1 and WD2 layouts as velk reads them.

  velk scan FILE...      walk each file with velk's own rules and say how much of it reads as events
  velk index FILE...     scan each file and write its event index beside it (FILE.vidx)
  velk head FILE... -n N print the first N events' header values and a summary of their samples
  velk convert FILE OUT  write the events to OUT.parquet or OUT.arrow (needs pyarrow: velk[parquet])
  velk convert FILE... DIR/  write each file to DIR/NAME.parquet: one Parquet dataset

The layout comes from the file name's extension (.wd1 or .wd2, any case) unless --type is given; FILE
"-" reads standard input, with --type. A FILE ending in .gz, .bz2, .xz or .zst (zstd needs the
zstandard package: velk[zstd]) is read through its decompressor, with the layout from the extension
before that one (run.wd2.gz is WD2). --channels N reads WD2 files with N channels (a channel word in
every header for N >= 2, none for 1) instead of detecting the layout."""

SCAN_HELP = """\
Walk each file as velk.EventReader would read it, without building events (sample blocks are passed
over), and print one line per file: complete or not, events, bytes read of the file's size, trailing
bytes of a partial event, for WD2 the channel count and how it was decided, and the first error
iteration would raise. A file that cannot be opened or whose layout is unknown gets its own line, and
the other files are scanned. Exit status 0 when every file is complete, 1 when any is not, 2 for usage
errors."""

INDEX_HELP = """\
Walk each file as `velk scan` does, noting where every complete event starts, and write that index
beside the file as FILE.vidx (through a temporary file renamed into place), where read_batches,
read_table and read_events find it. Prints the file's scan line and the index written. The index holds
the events before an error or a partial event, as iteration reads them. Exit status 0 when every file
is complete and indexed, 1 when any is not, 2 for usage errors."""

HEAD_HELP = """\
Print the first N events of each FILE: their header values and the count, minimum, maximum and mean of
their samples, and whether the file turned out incomplete or its WD2 layout suspect within them. Exit
status 1 when a file could not be read or ended incomplete within the events shown."""

CONVERT_HELP = """\
Write every event of FILE to OUT as a table: one column per header field and "data", a list of the
event's samples. OUT's extension picks the format: .parquet, or .arrow (the Arrow IPC file format).
Events are read and written in batches of about 64 MiB, one at a time, so memory stays bounded
whatever the file's size: below 3 x max(64 MiB, largest event) + 256 MiB for .arrow, and for events
of a few MB and less also for .parquet, whose writer holds about 4 times an event of hundreds of MB at
once. The table is written to a temporary file beside OUT and renamed into place when done, so OUT is
never left half written; an existing OUT is replaced only with --force, and never when it is FILE. If
FILE does not read to its end, OUT holds the events before that point, the file's INCOMPLETE line is
printed and the exit status is 1. The schema metadata "velk" tells where the table came from and how
far the file was read. Needs pyarrow (pip install 'velk[parquet]').

With several FILEs, a quoted glob pattern, or an OUT that ends in "/" or is a directory, OUT is a
directory (created if missing) that receives one Parquet dataset: FILE's events in OUT/NAME.parquet,
NAME being FILE's base name without its extensions (run7.wd2.gz gives run7.parquet). Every file has
the same schema, the columns above and "source", FILE's name as given, so pyarrow.dataset, DuckDB's
read_parquet('OUT/*.parquet') and polars.scan_parquet read them as one table; each carries its own
"velk" metadata. All FILEs must have one layout. Each output follows the rules above; an output is
not written over an existing file without --force, nor over any input (checked for all before any is
written, exit status 2). A FILE that cannot be read or does not read to its end gets its line and the
others are converted; the exit status is then 1."""

# Bytes of samples at which `velk convert` ends a batch.
CONVERT_BATCH_BYTES = 64 << 20
FORMATS = (".parquet", ".arrow")
COMPRESSIONS = ("zstd", "snappy", "lz4", "gzip", "none")
# The text of a WD2 probe that ran out of file: fewer than two events to compare.
PROBE_EOF = "failed to fill whole buffer"


class UsageError(Exception):
    """A command line that cannot be carried out as given (exit status 2)."""


class FileError(Exception):
    """A file the command cannot handle as given; its message goes after the file's name."""


def shown(name: str | bytes) -> str:
    """A file name as messages show it."""
    return os.fsdecode(name)


def layout_of(name: str, given: str | None) -> str:
    if given is not None:
        return given
    extension = os.path.splitext(inner_name(name))[1].upper().lstrip(".")
    if extension in LAYOUTS:
        return extension
    what = "standard input" if name == STDIN else "its name"
    raise FileError(f"cannot tell the layout from {what}: give --type WD1 or --type WD2")


def source(name: str) -> str | NamedReader:
    """What to read for a command-line FILE: the decompressing reader of a .gz, .bz2, .xz or .zst file,
    standard input for "-" (the WD2 probe replays what it read from a pipe), else the path."""
    if name == STDIN:
        return "/dev/stdin"
    try:
        compressed = open_compressed(name)
    except ImportError as error:
        raise FileError(str(error)) from None
    return name if compressed is None else compressed


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


class ProgressBar:
    """A progress callback for scan(): opens a tqdm bar on stderr once the scan has run for
    PROGRESS_AFTER_SECONDS, when stderr is a terminal and tqdm is installed; otherwise does nothing."""

    def __init__(self, path: str, total: int | None) -> None:
        self._make: Callable[[], Any] | None = None
        self._bar: Any = None
        self._started = time.monotonic()
        if not sys.stderr.isatty():
            return
        try:
            tqdm = importlib.import_module("tqdm").tqdm  # optional (the cli extra), and untyped
        except ImportError:
            return
        self._make = lambda: tqdm(total=total, desc=os.path.basename(path), unit="B", unit_scale=True,
                                  unit_divisor=1024, file=sys.stderr, leave=False)

    def __call__(self, position: int) -> None:
        if self._bar is None:
            if self._make is None or time.monotonic() - self._started < PROGRESS_AFTER_SECONDS:
                return
            self._bar = self._make()
        self._bar.update(position - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def regular_size(path: str) -> int | None:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def scan_one(path: str | NamedReader, reader_type: str, channels: int | None = None) -> ScanReport:
    # A decompressed file's progress counts its decompressed bytes, whose total is not known.
    if isinstance(path, str):
        progress = ProgressBar(path, regular_size(path))
    else:
        progress = ProgressBar(path.name, None)
    try:
        return scan(path, reader_type, progress=progress, channels=channels)
    finally:
        progress.close()


def describe_error(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def probe_ran_out(report: ScanReport) -> bool:
    """Whether a WD2 channel probe failed for want of a second event."""
    return (report.reader_type == "WD2" and report.channel_decision is None and report.error_event == 0
            and type(report.error) is OSError and report.error.args == (PROBE_EOF,))


FEW_EVENTS = ("fewer than two events, so the channel layout cannot be decided: give --channels N "
              "(N channels with a channel word, or 1 for none)")


def channel_warning(report: ScanReport) -> str | None:
    if report.channel_decision == "no word, unconfirmed":
        return "WARNING: the first two events match neither layout; the channel count is a guess"
    if report.channel_decision == "word confirmed, block length wraps":
        return ("WARNING: the confirmed channel word makes the first block wrap past 2^32 bytes; it is "
                "probably a sample of a file without channel words: try --channels 1")
    return None


def report_line(report: ScanReport) -> str:
    parts = [plural(report.events, "event"),
             f"{report.bytes_read} of {report.file_size if report.file_size is not None else '?'} bytes"]
    if report.trailing_bytes:
        parts.append(f"{report.trailing_bytes} trailing bytes (a partial event)")
    if report.channels is not None:
        channels = f"{plural(report.channels, 'channel')} ({report.channel_decision})"
        warning = channel_warning(report)
        if warning is not None:
            channels += f" - {warning}"
        parts.append(channels)
    if report.counter_gaps or report.counter_backward_steps:
        parts.append(f"counter gaps {report.counter_gaps} ({report.missing_counts} missing), "
                     f"backward steps {report.counter_backward_steps}")
    if report.error is not None:
        error = f"error at event {report.error_event} (byte {report.error_offset}): {describe_error(report.error)}"
        if probe_ran_out(report):
            error += f" - {FEW_EVENTS}"
        parts.append(error)
    status = "complete" if report.complete else "INCOMPLETE"
    return f"{report.path} [{report.reader_type}]: {status}: " + ", ".join(parts)


def unreadable(name: str, reader_type: str | None, error: BaseException) -> dict[str, object]:
    """The JSON report of a file that could not be scanned: every key, None where unknown."""
    keys = {field.name: None for field in dataclasses.fields(ScanReport)}
    kind = "UsageError" if isinstance(error, FileError) else type(error).__name__
    return {**keys, "path": shown(name), "reader_type": reader_type, "complete": False,
            "error": {"type": kind, "message": str(error)}}


def scan_line(name: str, args: argparse.Namespace) -> tuple[str, bool]:
    """What scan prints for the file `name`, and whether it read to its end. Progress bars are shown
    only when one file is scanned at a time."""
    reader_type: str | None = None
    try:
        reader_type = layout_of(name, args.type)
        if args.jobs > 1:
            report = scan(source(name), reader_type, channels=args.channels)
        else:
            report = scan_one(source(name), reader_type, args.channels)
    except (OSError, ValueError, FileError) as error:
        if args.json:
            return json.dumps(unreadable(name, reader_type, error)), False
        what = "cannot open" if isinstance(error, OSError) else "cannot scan"
        text = str(error) if isinstance(error, FileError) else describe_error(error)
        return f"{shown(name)} [{reader_type or '?'}]: {what}: {text}", False
    if name == STDIN:
        report = dataclasses.replace(report, path=STDIN)
    return (json.dumps(report.to_json()) if args.json else report_line(report)), report.complete


def run_scan(args: argparse.Namespace) -> int:
    """Scans the files in order, printing each line as soon as it and those before it are done; with
    --jobs N, N files at a time (the scanner walks without the interpreter lock)."""
    complete = 0
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        # One file at a time runs on this thread, where Ctrl-C stops the scan at once.
        lines = map if args.jobs == 1 else pool.map
        for line, whole in lines(lambda name: scan_line(name, args), args.files):
            complete += whole
            print(line, flush=True)
    if not args.json:
        print(f"{plural(len(args.files), 'file')}: {complete} complete, {len(args.files) - complete} incomplete")
    return 0 if complete == len(args.files) else 1


def index_one(name: str, reader_type: str, channels: int | None) -> tuple[ScanReport, str]:
    if name == STDIN:
        raise FileError("standard input has no place for an index beside it: give a file")
    found = index(name, reader_type, channels=channels)
    return found.report, found.save()


def run_index(args: argparse.Namespace) -> int:
    good = 0
    for name in args.files:
        reader_type: str | None = None
        try:
            reader_type = layout_of(name, args.type)
            report, written = index_one(name, reader_type, args.channels)
        except (OSError, ValueError, FileError) as error:
            text = str(error) if isinstance(error, FileError) else describe_error(error)
            print(f"{shown(name)} [{reader_type or '?'}]: cannot index: {text}", flush=True)
            continue
        good += report.complete
        print(f"{report_line(report)}; {plural(report.events, 'event')} indexed in {shown(written)}", flush=True)
    print(f"{plural(len(args.files), 'file')}: {good} complete and indexed, {len(args.files) - good} not")
    return 0 if good == len(args.files) else 1


def sample_summary(data: np.ndarray[Any, Any]) -> dict[str, object]:
    summary: dict[str, object] = {"count": int(data.size), "dtype": str(data.dtype)}
    if data.size:
        summary.update(min=data.min().item(), max=data.max().item(), mean=float(data.mean()))
    return summary


def event_line(event: dict[str, Any]) -> str:
    data = event.pop("data")
    header = " ".join(f"{key}={value}" for key, value in event.items())
    summary = f"{data.size} {data.dtype} samples"
    if data.size:
        summary += f", min {data.min():g}, max {data.max():g}, mean {data.mean():.4g}"
    return f"  {header} | {summary}"


def first_events(batches: BatchIterator[Any, Any], count: int) -> tuple[list[dict[str, Any]], Exception | None]:
    """Up to `count` events, and the exception that ended them early, if any."""
    events: list[dict[str, Any]] = []
    while len(events) < count:
        try:
            batch = next(batches)
        except StopIteration:
            break
        except Exception as error:  # noqa: BLE001 - shown after the events before it
            return events, error
        events.extend(batch.event(i) for i in range(min(len(batch), count - len(events))))
    return events, None


def open_batches(name: str, reader_type: str, channels: int | None, max_events: int,
                 max_bytes: int = 1 << 19) -> BatchIterator[Any, Any]:
    """read_batches of a command-line FILE; a WD2 probe without two events gets the plain reason."""
    try:
        return read_batches(source(name), reader_type, max_events, max_bytes=max_bytes,
                            channels=channels)
    except OSError as error:
        if reader_type == "WD2" and channels is None and type(error) is OSError and error.args == (PROBE_EOF,):
            raise FileError(f"OSError: {PROBE_EOF} - {FEW_EVENTS}") from None
        raise


def head_one(name: str, args: argparse.Namespace) -> int:
    reader_type = layout_of(name, args.type)
    batches = open_batches(name, reader_type, args.channels, max(args.n, 1))
    events, error = first_events(batches, args.n)
    report = batches.report()
    warnings = [w for w in [channel_warning(report)] if w is not None]
    incomplete = batches.ended and not report.complete
    if incomplete:
        warnings.append(report_line(dataclasses.replace(report, path=name)))
    if args.json:
        print(json.dumps({"path": shown(name), "reader_type": reader_type, "channels": report.channels,
                          "channel_decision": report.channel_decision,
                          "complete": report.complete if batches.ended else None,
                          "events": [{**{k: v for k, v in e.items() if k != "data"},
                                      "data": sample_summary(e["data"])} for e in events],
                          "warnings": warnings,
                          "error": None if error is None else {"type": type(error).__name__,
                                                               "message": str(error)}}), flush=True)
    else:
        layout = f", {plural(report.channels, 'channel')} ({report.channel_decision})" if report.channels else ""
        print(f"{shown(name)} ({reader_type}{layout})")
        for event in events:
            print(event_line(event), flush=True)
        for warning in warnings:
            print(f"  {warning}", flush=True)
    if error is not None:
        print(f"velk head: {shown(name)}: {describe_error(error)}", file=sys.stderr)
    return 1 if incomplete else 0


def run_head(args: argparse.Namespace) -> int:
    status = 0
    for name in args.files:
        try:
            status = max(status, head_one(name, args))
        except (OSError, ValueError, FileError) as error:
            status = failed("head", name, error)
    return status


def file_error_text(error: BaseException) -> str:
    """An error's text after a file name: the OS's message alone for a failed open or read."""
    return str(error) if isinstance(error, (OSError, FileError)) else describe_error(error)


def import_pyarrow() -> tuple[Any, Any]:
    try:
        pa = importlib.import_module("pyarrow")  # optional (the parquet extra), and untyped
        parquet = importlib.import_module("pyarrow.parquet")
    except ImportError as error:
        raise UsageError(f"velk convert needs pyarrow: pip install 'velk[parquet]' ({error})") from None
    return pa, parquet


class TableWriter:
    """Writes batches to a temporary file beside `out`, in the format `out`'s extension names, and
    renames it into place in finish(); abandon() removes it. The schema metadata "velk" is final: the
    Parquet footer takes it after the last batch, and the Arrow file's two copies of the schema are
    given a placeholder of fixed length that finish() overwrites in place."""

    def __init__(self, out: str, batches: BatchIterator[Any, Any], compression: str,
                 source: str | None = None) -> None:
        self.pa: Any
        self.pa, self._parquet_module = import_pyarrow()
        self.out: str = out
        self.schema: Any = self.pa.schema(batches.empty_batch())
        # A dataset's file names its input in a last column, a string, the same type in every file.
        self.source: str | None = source
        if source is not None:
            self.schema = self.schema.append(self.pa.field("source", self.pa.string(), nullable=False))
        self.parquet: bool = out.lower().endswith(".parquet")
        self.placeholder: str = ""
        directory = os.path.dirname(os.path.abspath(out))
        self.temporary: str
        fd, self.temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(out)}.", suffix=".part")
        os.close(fd)
        try:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self.temporary, 0o666 & ~umask)  # as a plain open would have created OUT
            codec = None if compression == "none" else compression
            self.writer: Any = self._open_parquet(codec) if self.parquet else self._open_arrow(codec, batches)
        except BaseException:
            os.unlink(self.temporary)
            raise

    def _open_parquet(self, codec: str | None) -> Any:
        options = parquet_options(codec, self.schema.field("data").type.value_type == self.pa.float32())
        if self.source is not None:
            options["use_dictionary"] = ["source"]  # one value, stored once per page
        return self._parquet_module.ParquetWriter(self.temporary, self.schema, **options)

    def _open_arrow(self, codec: str | None, batches: BatchIterator[Any, Any]) -> Any:
        # Room for the final values: the names are known now, the counts take at most 20 digits each.
        room = len(json.dumps(batches.report().provenance())) + 128
        self.placeholder = json.dumps({"pending": "x" * room})
        schema = self.schema.with_metadata({"velk": self.placeholder})
        options = self.pa.ipc.IpcWriteOptions(compression=codec if codec in ("zstd", "lz4") else None)
        return self.pa.ipc.new_file(self.temporary, schema, options=options)

    def write(self, batch: Any) -> None:
        record_batch = self.pa.record_batch(batch)
        if self.source is not None:
            columns = [*record_batch.columns, self.pa.repeat(self.source, len(record_batch))]
            record_batch = self.pa.RecordBatch.from_arrays(columns, schema=self.schema)
        self.writer.write_batch(record_batch)

    def finish(self, provenance: str) -> None:
        if self.parquet:
            final = self.schema.with_metadata({"velk": provenance})
            stored = base64_schema(final)
            self.writer.add_key_value_metadata({"ARROW:schema": stored, "velk": provenance})
            self.writer.close()
        else:
            self.writer.close()
            patch_in_place(self.temporary, self.placeholder.encode(), provenance.encode())
        os.replace(self.temporary, self.out)

    def abandon(self) -> None:
        try:
            self.writer.close()
        except Exception:  # noqa: BLE001, S110 - the file goes anyway
            pass
        os.unlink(self.temporary)


def parquet_options(codec: str | None, float_samples: bool) -> dict[str, object]:
    """The Parquet writer's settings, chosen with bench/bench_convert.py on 300 MB events. Dictionary
    encoding of the samples (pyarrow's default) took 20 times as long and 3.5 times the memory and
    made the file larger; statistics of the samples are of no use to a reader. Float samples are
    split by byte, which zstd then compresses about 10% better at the same speed."""
    options: dict[str, object] = {"compression": codec, "use_dictionary": False, "write_statistics": False}
    if float_samples:
        options["use_byte_stream_split"] = ["data.list.element"]
    return options


def base64_schema(schema: Any) -> str:
    """The schema as Parquet files store it for Arrow readers (the "ARROW:schema" key)."""
    return base64.b64encode(schema.serialize().to_pybytes()).decode()


# An Arrow file holds its schema at its start and in its footer, each well within this many bytes.
SCHEMA_REACH = 1 << 16


def patch_in_place(path: str, placeholder: bytes, value: bytes) -> None:
    """Overwrites each copy of `placeholder` near the start and the end of the file with `value`,
    padded with spaces to the same length (so the schema's encoding stays valid)."""
    if len(value) > len(placeholder):
        raise ValueError("the provenance outgrew its placeholder")
    padded = value + b" " * (len(placeholder) - len(value))
    size = os.path.getsize(path)
    found = 0
    with open(path, "r+b") as f:
        for start in sorted({0, max(0, size - SCHEMA_REACH)}):
            f.seek(start)
            region = f.read(SCHEMA_REACH)
            at = region.find(placeholder)
            while at >= 0:
                f.seek(start + at)
                f.write(padded)
                found += 1
                at = region.find(placeholder, at + 1)
    if found == 0:
        raise RuntimeError("the Arrow file's schema metadata was not found")


def refuse_to_overwrite(name: str, out: str, force: bool) -> None:
    """UsageError when OUT is the input (same device and inode, so links count) or exists without
    --force."""
    try:
        target = os.stat(out)
    except FileNotFoundError:
        return
    given = os.fstat(0) if name == STDIN else os.stat(name)
    if (target.st_dev, target.st_ino) == (given.st_dev, given.st_ino):
        raise UsageError(f"{shown(out)} is the input {shown(name)}: refusing to write over it")
    if not force:
        raise UsageError(f"{shown(out)} exists: give --force to replace it")


def run_convert(args: argparse.Namespace) -> int:
    names, out = args.files, args.out
    if (len(names) > 1 or out.endswith(("/", os.sep)) or os.path.isdir(out)
            or any(name != STDIN and is_dataset(name) for name in names)):
        return convert_dataset(names, out, args)
    name = names[0]
    if not out.lower().endswith(FORMATS):
        raise UsageError(f"cannot tell the output format of {shown(out)!r}: name it .parquet or .arrow")
    refuse_to_overwrite(name, out, args.force)
    return convert_file(name, out, command_layout(name, args.type), args)


def command_layout(name: str, given: str | None) -> str:
    try:
        return layout_of(name, given)
    except FileError as error:
        raise UsageError(f"{shown(name)}: {error}") from None


def dataset_inputs(patterns: Sequence[str]) -> list[str]:
    """The FILEs of a dataset conversion, each glob pattern (given quoted) as the names it matches."""
    names: list[str] = []
    for pattern in patterns:
        if pattern == STDIN:
            raise UsageError("standard input cannot be part of a dataset: give files")
        try:
            names.extend(str(name) for name in expand_sources(pattern))  # a str names str files
        except FileNotFoundError as error:
            raise UsageError(str(error)) from None
    return names


def dataset_outputs(names: list[str], out_dir: str) -> list[str]:
    """OUT_DIR/NAME.parquet for each FILE; UsageError when two FILEs would write the same one."""
    outs = [os.path.join(out_dir, os.path.splitext(os.path.basename(inner_name(name)))[0] + ".parquet")
            for name in names]
    seen: dict[str, str] = {}
    for name, out in zip(names, outs):
        if out in seen:
            raise UsageError(f"{shown(seen[out])} and {shown(name)} would both be written to {shown(out)}")
        seen[out] = name
    return outs


def refuse_dataset_outputs(names: list[str], outs: list[str], force: bool) -> None:
    """refuse_to_overwrite for every output against every input, before anything is written."""
    inputs: dict[tuple[int, int], str] = {}
    for name in names:
        try:
            info = os.stat(name)
        except OSError:
            continue  # its own line when it is read
        inputs[(info.st_dev, info.st_ino)] = name
    for out in outs:
        try:
            target = os.stat(out)
        except FileNotFoundError:
            continue
        given = inputs.get((target.st_dev, target.st_ino))
        if given is not None:
            raise UsageError(f"{shown(out)} is the input {shown(given)}: refusing to write over it")
        if not force:
            raise UsageError(f"{shown(out)} exists: give --force to replace it")


def convert_dataset(patterns: Sequence[str], out_dir: str, args: argparse.Namespace) -> int:
    if not (out_dir.endswith(("/", os.sep)) or os.path.isdir(out_dir)):
        raise UsageError(f"several files go to a directory: end {shown(out_dir)!r} with / to create it")
    names = dataset_inputs(patterns)
    layouts = {name: command_layout(name, args.type) for name in names}
    first = names[0]
    other = next((name for name in names if layouts[name] != layouts[first]), None)
    if other is not None:
        raise UsageError(f"a dataset holds one layout, but {shown(first)} is {layouts[first]} and "
                         f"{shown(other)} is {layouts[other]}")
    outs = dataset_outputs(names, out_dir)
    refuse_dataset_outputs(names, outs, args.force)
    os.makedirs(out_dir, exist_ok=True)
    good = sum(convert_file(name, out, layouts[name], args, source_column=True) == 0
               for name, out in zip(names, outs))
    print(f"{plural(len(names), 'file')} to {shown(out_dir)}: {good} complete, {len(names) - good} not")
    return 0 if good == len(names) else 1


def convert_file(name: str, out: str, reader_type: str, args: argparse.Namespace, *,
                 source_column: bool = False) -> int:
    """Writes FILE's events to OUT (with the "source" column for a dataset); the exit status."""
    try:
        batches = open_batches(name, reader_type, args.channels, 65536, CONVERT_BATCH_BYTES)
    except (OSError, ValueError, FileError) as error:
        return failed("convert", name, error)
    try:
        writer = TableWriter(out, batches, args.compression, shown(name) if source_column else None)
        events, report = write_table(name, batches, writer)
    except OSError as error:  # the writer's: an older OUT stays as it was
        return failed("convert", out, error)
    if not report.complete:
        print(report_line(report))
    elif report.suspect:
        print(f"velk convert: {shown(name)}: {channel_warning(report)}", file=sys.stderr)
    print(f"{shown(name)} ({reader_type}): {plural(events, 'event')} written to {shown(out)}")
    return 0 if report.complete else 1


def failed(command: str, name: str, error: BaseException) -> int:
    """Prints the error line of a file and returns the exit status 1."""
    print(f"velk {command}: {shown(name)}: {file_error_text(error)}", file=sys.stderr)
    return 1


def write_table(name: str, batches: BatchIterator[Any, Any], writer: TableWriter) -> tuple[int, ScanReport]:
    """Writes the events and renames the table into place; on any failure removes it instead."""
    progress = ProgressBar(name, regular_size("/dev/stdin" if name == STDIN else name))
    try:
        events = write_events(batches, writer, progress)
        report = batches.report()
        if name == STDIN:
            report = dataclasses.replace(report, path=STDIN)
        writer.finish(json.dumps(report.provenance()))
    except BaseException:
        writer.abandon()
        raise
    finally:
        progress.close()
    return events, report


def write_events(batches: BatchIterator[Any, Any], writer: TableWriter, progress: ProgressBar) -> int:
    """Writes batches until the end of the data or the first error (which the report then holds)."""
    events = 0
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return events
        except (OSError, ValueError, MemoryError):
            return events
        writer.write(batch)
        events += len(batch)
        del batch  # before the next batch is read, so that at most one is held
        progress(batches.position)


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a count of 0 or more, got {text}")
    return value


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a count of 1 or more, got {text}")
    return value


def channel_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a channel count, got {text!r}") from None
    if not 1 <= value <= 2**31 - 1:
        raise argparse.ArgumentTypeError(f"expected a channel count from 1 to {2**31 - 1}, got {text}")
    return value


def version_text() -> str:
    return f"velk {velk_version() or 'unknown (not installed)'}, NumPy {np.__version__}"


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="velk", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=version_text())
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    raw = argparse.RawDescriptionHelpFormatter
    scan_parser = commands.add_parser("scan", help="check how much of each file reads as events",
                                      description=SCAN_HELP, formatter_class=raw)
    scan_parser.add_argument("files", nargs="+", metavar="FILE", help="recordings to check")
    scan_parser.add_argument("--json", action="store_true", help="print each report as one JSON line")
    scan_parser.add_argument("--jobs", "-j", type=positive, default=1, metavar="N",
                             help="scan N files at once (default 1); reports keep the files' order")
    index_parser = commands.add_parser("index", help="write each file's event index beside it",
                                       description=INDEX_HELP, formatter_class=raw)
    index_parser.add_argument("files", nargs="+", metavar="FILE", help="recordings to index")
    head_parser = commands.add_parser("head", help="print the first events of files", description=HEAD_HELP,
                                      formatter_class=raw)
    head_parser.add_argument("files", nargs="+", metavar="FILE", help="the recordings")
    head_parser.add_argument("-n", type=count, default=10, metavar="N", help="how many events (default 10)")
    head_parser.add_argument("--json", action="store_true", help="print each file as one JSON line")
    convert_parser = commands.add_parser("convert", help="write files' events to Parquet or Arrow",
                                         description=CONVERT_HELP, formatter_class=raw)
    convert_parser.add_argument("files", nargs="+", metavar="FILE", help="the recordings (or a quoted glob)")
    convert_parser.add_argument("out", metavar="OUT", help="the table to write, OUT.parquet or OUT.arrow, or "
                                                          "a directory DIR/ for one Parquet dataset")
    convert_parser.add_argument("--force", action="store_true", help="replace existing outputs")
    convert_parser.add_argument("--compression", choices=COMPRESSIONS, default="zstd",
                                help="the codec of the table's pages (default zstd; lz4 and zstd only "
                                     "for .arrow, where the others mean none)")
    handlers = {scan_parser: run_scan, index_parser: run_index, head_parser: run_head,
                convert_parser: run_convert}
    for sub, handler in handlers.items():
        sub.add_argument("--type", choices=LAYOUTS, help="the layout (default: from the extension)")
        sub.add_argument("--channels", type=channel_count, metavar="N",
                         help="read WD2 files with N channels instead of detecting it: a channel word in "
                              "every header for N >= 2, none for 1")
        sub.set_defaults(handler=handler)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="surrogateescape")  # file names print as the bytes they are
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.handler(args))
    except UsageError as error:
        parser.error(str(error))
    except KeyboardInterrupt:
        print("velk: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # A reader that closed the pipe early (velk head ... | head) wants no more output.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except Exception as error:  # noqa: BLE001 - one line, no traceback, for any failure
        print(f"velk {args.command}: {describe_error(error)}", file=sys.stderr)
        return 1
