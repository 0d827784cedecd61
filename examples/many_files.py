"""Summarise many recordings at once, one worker process per CPU: for each file the number of events
and samples, and the mean over its events of each event's smallest sample.

Without PATH it writes a dozen demo WD1 recordings into a temporary directory and summarises those.
Each worker opens its own files: an EventReader cannot be sent to another process, so only the path
goes in and plain numbers (or NumPy arrays) come back.
"""

from __future__ import annotations

import os
import tempfile
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import velk
from command_line import LAYOUTS, parser, positive_int, run
from demo_recordings import write_wd1


@dataclass(frozen=True)
class Summary:
    path: str
    events: int = 0
    samples: int = 0
    mean_minimum: float = float("nan")  # mean over events of each event's smallest sample
    error: str = ""


def summarise(path: str, reader_type: str) -> Summary:
    """Runs in a worker: one pass over the file, keeping only per-file totals."""
    events = samples = 0
    minima = 0.0
    try:
        for event in velk.EventReader(path, reader_type):
            data = event["data"]
            events += 1
            samples += data.size
            if data.size:
                minima += float(data.min())
    except (OSError, ValueError, MemoryError) as exc:
        # A damaged file ends its own summary; the other files go on.
        return Summary(path, events, samples, minima / events if events else float("nan"),
                       f"{type(exc).__name__}: {exc}")
    return Summary(path, events, samples, minima / events if events else float("nan"))


def summarise_all(paths: list[str], reader_type: str, workers: int | None) -> list[Summary]:
    with ProcessPoolExecutor(max_workers=workers) as pool:
        # map keeps the input order; chunksize > 1 would batch small files per task.
        return list(pool.map(summarise, paths, [reader_type] * len(paths)))


def main(argv: list[str]) -> int:
    arguments = parser(__doc__)
    arguments.add_argument("paths", nargs="*", metavar="PATH", help="recordings (default: demo WD1 recordings)")
    arguments.add_argument("--reader-type", default="WD1", choices=LAYOUTS, help="layout of every PATH (default: WD1)")
    arguments.add_argument("--workers", type=positive_int, default=None, help="processes (default: CPU count)")
    args = arguments.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        paths = args.paths or [str(write_wd1(Path(tmp, f"run{n:02}.wd1"), events=50 + 10 * n, seed=n))
                               for n in range(12)]
        summaries = summarise_all(paths, args.reader_type, args.workers)

    width = max(len(os.path.basename(s.path)) for s in summaries)
    print(f"{'file':<{width}}  {'events':>7}  {'samples':>9}  {'mean minimum':>12}")
    for s in summaries:
        # Six significant digits suit 16-bit counts and floats alike; adding 0.0 turns a minimum of -0.0
        # (a float sample can be one) into 0.
        line = f"{os.path.basename(s.path):<{width}}  {s.events:>7}  {s.samples:>9}  {s.mean_minimum + 0.0:>12.6g}"
        print(line + (f"  ({s.error})" if s.error else ""))
    total = sum(s.events for s in summaries)
    print(f"{len(summaries)} files, {total} events, {sum(s.samples for s in summaries)} samples")
    return 1 if any(s.error for s in summaries) else 0


if __name__ == "__main__":
    run(main)
