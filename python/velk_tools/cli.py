"""The `velk` command line: `velk scan` checks recordings, `velk head` shows their first events, `velk
convert` writes them to Parquet or Arrow files."""

from __future__ import annotations

import argparse
import importlib
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

import velk
from velk_tools import ScanReport, read_batches, read_table, scan

LAYOUTS = ("WD1", "WD2")
# A scan that takes longer than this shows a progress bar, when stderr is a terminal and tqdm is there.
PROGRESS_AFTER_SECONDS = 1.0

DESCRIPTION = """\
Check recordings of the WD1 and WD2 layouts as velk reads them.

  velk scan FILE...      walk each file with velk's own rules and say how much of it reads as events
  velk head FILE -n N    print the first N events' header values and a summary of their samples
  velk convert FILE OUT  write the events to OUT.parquet or OUT.arrow (needs pyarrow: velk[parquet])

The layout comes from the file name's extension (.wd1 or .wd2, any case) unless --type is given."""

SCAN_HELP = """\
Walk each file as velk.EventReader would read it, without building events (sample blocks are passed
over), and print one line per file: complete or not, events, bytes read of the file's size, trailing
bytes of a partial event, for WD2 the channel count and how it was decided, and the first error
iteration would raise. Exit status 0 when every file is complete, 1 when any is not, 2 for usage
errors."""

HEAD_HELP = """\
Print the first N events of FILE: their header values and the count, minimum, maximum and mean of
their samples."""


CONVERT_HELP = """\
Write every event of FILE to OUT as a table: one column per header field and "data", a list of the
event's samples. OUT's extension picks the format: .parquet, or .arrow (the Arrow IPC file format).
Events are read and written in batches of about 64 MiB, so memory stays bounded whatever the file's
size. If reading fails part-way, OUT holds the events before the error and the exit status is 1.
Needs pyarrow (pip install 'velk[parquet]')."""

# Bytes of samples at which `velk convert` ends a batch.
CONVERT_BATCH_BYTES = 64 << 20
FORMATS = (".parquet", ".arrow")


class UsageError(Exception):
    """A command line that cannot be carried out as given (exit status 2)."""


def layout_of(path: str, given: str | None) -> str:
    if given is not None:
        return given
    extension = os.path.splitext(path)[1].upper().lstrip(".")
    if extension in LAYOUTS:
        return extension
    raise UsageError(f"cannot tell the layout of {path!r} from its name: give --type WD1 or --type WD2")


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


def scan_one(path: str, reader_type: str) -> ScanReport:
    try:
        size: int | None = os.stat(path).st_size
    except OSError:
        size = None
    progress = ProgressBar(path, size)
    try:
        return scan(path, reader_type, progress=progress)
    finally:
        progress.close()


def describe_error(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def report_line(report: ScanReport) -> str:
    parts = [f"{report.events} events",
             f"{report.bytes_read} of {report.file_size if report.file_size is not None else '?'} bytes"]
    if report.trailing_bytes:
        parts.append(f"{report.trailing_bytes} trailing bytes (a partial event)")
    if report.channels is not None:
        channels = f"{report.channels} channel{'s' if report.channels != 1 else ''} ({report.channel_decision})"
        if report.channel_decision == "no word, unconfirmed":
            channels += " - WARNING: the first two events match neither layout; the channel count is a guess"
        parts.append(channels)
    if report.counter_gaps or report.counter_backward_steps:
        parts.append(f"counter gaps {report.counter_gaps} ({report.missing_counts} missing), "
                     f"backward steps {report.counter_backward_steps}")
    if report.error is not None:
        parts.append(f"error at event {report.error_event} (byte {report.error_offset}): "
                     f"{describe_error(report.error)}")
    status = "complete" if report.complete else "INCOMPLETE"
    return f"{report.path} [{report.reader_type}]: {status}: " + ", ".join(parts)


def run_scan(args: argparse.Namespace) -> int:
    jobs = [(path, layout_of(path, args.type)) for path in args.files]
    complete = 0
    for path, reader_type in jobs:
        try:
            report = scan_one(path, reader_type)
        except OSError as error:
            if args.json:
                print(json.dumps({"path": path, "reader_type": reader_type, "complete": False,
                                  "error": {"type": type(error).__name__, "message": str(error)}}))
            else:
                print(f"{path} [{reader_type}]: cannot open: {describe_error(error)}")
            continue
        complete += report.complete
        print(json.dumps(report.to_json()) if args.json else report_line(report), flush=True)
    if not args.json:
        print(f"{len(jobs)} file{'s' if len(jobs) != 1 else ''}: {complete} complete, "
              f"{len(jobs) - complete} incomplete")
    return 0 if complete == len(jobs) else 1


def event_line(event: dict[str, Any]) -> str:
    data = event.pop("data")
    header = " ".join(f"{key}={value}" for key, value in event.items())
    summary = f"{data.size} {data.dtype} samples"
    if data.size:
        summary += f", min {data.min():g}, max {data.max():g}, mean {data.mean():.4g}"
    return f"  {header} | {summary}"


def run_head(args: argparse.Namespace) -> int:
    reader_type = layout_of(args.file, args.type)
    reader = velk.EventReader(args.file, reader_type)
    print(f"{args.file} ({reader_type})")
    shown = 0
    for event in reader:
        if shown == args.n:
            break
        print(event_line(dict(event)), flush=True)
        shown += 1
    return 0


def open_writer(out: str, schema_source: object) -> tuple[Any, Any]:
    """pyarrow, and its writer of `out` in the format the name's extension gives, with the schema of
    `schema_source` (an object with __arrow_c_schema__)."""
    try:
        pa = importlib.import_module("pyarrow")  # optional (the parquet extra), and untyped
        parquet = importlib.import_module("pyarrow.parquet")
    except ImportError as error:
        raise UsageError(f"velk convert needs pyarrow: pip install 'velk[parquet]' ({error})") from None
    schema = pa.schema(schema_source)
    if out.lower().endswith(".parquet"):
        return pa, parquet.ParquetWriter(out, schema)
    return pa, pa.ipc.new_file(out, schema)


def run_convert(args: argparse.Namespace) -> int:
    reader_type = layout_of(args.file, args.type)
    if not args.out.lower().endswith(FORMATS):
        raise UsageError(f"cannot tell the output format of {args.out!r}: name it .parquet or .arrow")
    batches = read_batches(args.file, reader_type, 65536, max_bytes=CONVERT_BATCH_BYTES)
    pa, writer = open_writer(args.out, batches.empty_batch())
    progress = ProgressBar(args.file, os.stat(args.file).st_size)
    events = 0
    try:
        for batch in batches:
            writer.write_batch(pa.record_batch(batch))
            events += len(batch)
            progress(batches.position)
    except Exception as error:  # noqa: BLE001 - the events converted so far stay readable
        print(f"velk convert: {args.file}: stopped after {events} events: {describe_error(error)}",
              file=sys.stderr)
        return 1
    finally:
        writer.close()
        progress.close()
    print(f"{args.file} ({reader_type}): {events} events written to {args.out}")
    return 0


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a count of 0 or more, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="velk", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    scan_parser = commands.add_parser("scan", help="check how much of each file reads as events",
                                      description=SCAN_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    scan_parser.add_argument("files", nargs="+", metavar="FILE", help="recordings to check")
    scan_parser.add_argument("--json", action="store_true", help="print each report as one JSON line")
    head_parser = commands.add_parser("head", help="print the first events of a file",
                                      description=HEAD_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    head_parser.add_argument("file", metavar="FILE", help="the recording")
    head_parser.add_argument("-n", type=count, default=10, metavar="N", help="how many events (default 10)")
    convert_parser = commands.add_parser("convert", help="write a file's events to Parquet or Arrow",
                                         description=CONVERT_HELP,
                                         formatter_class=argparse.RawDescriptionHelpFormatter)
    convert_parser.add_argument("file", metavar="FILE", help="the recording")
    convert_parser.add_argument("out", metavar="OUT", help="the table to write: OUT.parquet or OUT.arrow")
    handlers = {scan_parser: run_scan, head_parser: run_head, convert_parser: run_convert}
    for sub, handler in handlers.items():
        sub.add_argument("--type", choices=LAYOUTS, help="the layout (default: from the extension)")
        sub.set_defaults(handler=handler)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
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
