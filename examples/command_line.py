"""What every example shares as a command-line program: its help text, the recording arguments, and a
quiet end when the reader of its output goes away (`python examples/read_recording.py | head`)."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Callable
from typing import NoReturn

LAYOUTS = ("WD1", "WD2")


def parser(doc: str | None) -> argparse.ArgumentParser:
    """An argument parser whose --help shows the example's docstring as written."""
    return argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)


def add_recording_arguments(parser: argparse.ArgumentParser, demo: str) -> None:
    """The optional PATH and layout every example takes; `demo` says what runs without PATH."""
    parser.add_argument("path", nargs="?", help=f"recording to read (default: {demo})")
    parser.add_argument("reader_type", nargs="?", default="WD1", choices=LAYOUTS, metavar="{WD1,WD2}",
                        help="layout of PATH (default: WD1)")


def positive_int(text: str) -> int:
    """An argparse type for counts: a usage error, not a silent "all", for 0 and below."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is not a positive number")
    return value


def run(main: Callable[[list[str]], int]) -> NoReturn:
    """Exit with main's status for the command-line arguments.

    A closed pipe ends the program the way it ends other command-line tools: without a traceback and
    with the status of a process stopped by SIGPIPE."""
    try:
        status = main(sys.argv[1:])
        sys.stdout.flush()
    except BrokenPipeError:
        # The interpreter flushes stdout once more on the way out; with the pipe still attached that
        # flush would fail and print an error, so stdout now points at /dev/null.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 128 + signal.SIGPIPE
    sys.exit(status)
