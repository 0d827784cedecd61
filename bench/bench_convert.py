"""Peak memory and time of `velk convert` against the plain pyarrow loop a user would write, on a WD2
recording of large events (300 MB each by default), for each Parquet writer setting tried, and of
pyarrow's Parquet writer alone on one row of an event's samples built in memory.

Each run is a fresh process under /usr/bin/time -v, so "Maximum resident set size" is that run's peak.
The bound convert's help promises: 3 x max(batch, largest event) + 256 MiB.

    OPENBLAS_NUM_THREADS=1 PYTHONPATH=build/dev python bench/bench_convert.py --event-mb 300 --events 2
"""

from __future__ import annotations

import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

# The loop a user writes from the guide: pyarrow's defaults (dictionary encoding, snappy).
PLAIN_LOOP = """
import sys
import pyarrow as pa, pyarrow.parquet as pq
from velk_tools import read_batches
writer = None
for batch in read_batches(sys.argv[1], "WD2", max_bytes=64 << 20):
    record = pa.record_batch(batch)
    writer = writer or pq.ParquetWriter(sys.argv[2], record.schema)
    writer.write_batch(record)
writer.close()
"""

# convert's writer with one setting changed, to see what each costs.
CONVERT_WITH = """
import sys
from velk_tools import cli
options = eval(sys.argv[3])
cli.parquet_options = lambda codec, float_samples: {**options, "compression": codec}
sys.exit(cli.main(["convert", sys.argv[1], sys.argv[2], "--force", "--compression", sys.argv[4]]))
"""

# pyarrow's Parquet writer alone, with convert's settings, on one row holding an event's samples built in
# memory: what the writer itself holds beyond its input, whatever reads the events.
WRITER_ALONE = """
import sys
import numpy as np, pyarrow as pa, pyarrow.parquet as pq
from velk_tools import cli
samples = int(sys.argv[3])
item = pa.field("item", pa.float32(), nullable=False)
values = pa.array(np.random.default_rng(1).standard_normal(samples, np.float32))
data = pa.LargeListArray.from_arrays(pa.array([0, samples], pa.int64()), values, type=pa.large_list(item))
table = pa.table([data], schema=pa.schema([pa.field("data", data.type, nullable=False)]))
with open("/proc/self/statm") as f:
    print("resident before writing MiB", int(f.read().split()[1]) * 4096 >> 20, file=sys.stderr)
writer = pq.ParquetWriter(sys.argv[2], table.schema, **cli.parquet_options(sys.argv[4], True))
writer.write_table(table)
writer.close()
"""


def write_recording(path: Path, event_mb: int, events: int) -> None:
    samples = event_mb * (1 << 20) // 8  # two channels of float32
    rng = np.random.default_rng(1)
    wave = rng.normal(0, 1, 2 * samples).astype("<f4").tobytes()
    with open(path, "wb") as f:
        for n in range(events):
            f.write(struct.pack("<IQIQi", n, 1000 * n, samples, 8, 2))
            f.write(wave)


def measure(command: list[str]) -> tuple[float, int]:
    """Wall seconds and peak RSS in MiB of one run."""
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-v", *command], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if result.returncode not in (0, 1):
        raise RuntimeError(result.stderr[-2000:])
    peak_kib = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
    before = re.search(r"resident before writing MiB (\d+)", result.stderr)
    if before:
        print(f"  (resident before writing: {before.group(1)} MiB)")
    return seconds, peak_kib // 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--event-mb", type=int, default=300)
    parser.add_argument("--events", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as tmp:
        source, out = Path(tmp, "large.wd2"), str(Path(tmp, "out.parquet"))
        write_recording(source, args.event_mb, args.events)
        size_mb = source.stat().st_size / 1e6
        bound = 3 * max(64, args.event_mb) + 256
        print(f"{size_mb:.0f} MB, {args.events} events of {args.event_mb} MB; bound {bound} MiB")
        runs = {"plain pyarrow loop": [sys.executable, "-c", PLAIN_LOOP, str(source), out]}
        settings = {
            "convert: no dictionary, no statistics": "{'use_dictionary': False, 'write_statistics': False}",
            "convert: + dictionary": "{'write_statistics': False}",
            "convert: + byte-stream split (its settings)": "{'use_dictionary': False, 'write_statistics': False, "
                                                          "'use_byte_stream_split': ['data.list.element']}",
        }
        for name, options in settings.items():
            for codec in ("zstd", "snappy", "none") if "its settings" in name else ("zstd",):
                runs[f"{name}, {codec}"] = [sys.executable, "-c", CONVERT_WITH, str(source), out, options, codec]
        samples = 2 * (args.event_mb * (1 << 20) // 8)
        runs["pyarrow's writer alone, one event's row, zstd"] = [sys.executable, "-c", WRITER_ALONE, "-", out,
                                                                   str(samples), "zstd"]
        arrow = str(Path(tmp, "out.arrow"))
        runs["convert to .arrow, zstd"] = [sys.executable, "-m", "velk_tools", "convert", str(source), arrow, "--force"]
        for name, command in runs.items():
            timings = [measure(command) for _ in range(args.rounds)]
            seconds = min(t for t, _ in timings)
            peak = max(p for _, p in timings)
            print(f"{name:60} {seconds:6.2f} s {size_mb / seconds:7.0f} MB/s  peak {peak:6d} MiB  "
                  f"out {os.path.getsize(command[-2] if command[-1] == '--force' else out) / 1e6:7.0f} MB",
                  flush=True)


if __name__ == "__main__":
    main()
