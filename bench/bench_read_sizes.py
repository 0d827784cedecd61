#!/usr/bin/env python3
"""What the kernel's copy alone reaches for reads of a given size: the bound on any reader that makes
one read call per event into memory the event keeps.

A 128 MB file in the page cache is read with os.readv in chunks of each size, into page-aligned
buffers (anonymous maps) that rotate among 1, 2, 3 or 16 (the fewer, the more of the destination is
still in the CPU cache), and into buffers 16 bytes past a page boundary (where malloc's blocks start).
Reports the fastest of --rounds passes in GB/s. No decoding, no Python objects per chunk beyond the
call itself.

Usage: python3 bench/bench_read_sizes.py [--size-mb N] [--rounds N] [--sizes BYTES,...]
"""

from __future__ import annotations

import argparse
import mmap
import os
import tempfile
import time

DEFAULT_SIZES = (16 << 10, 128 << 10, 256 << 10, 1 << 20, 64 << 20)


def pass_rate(path: str, chunk: int, buffers: list[memoryview]) -> float:
    fd = os.open(path, os.O_RDONLY)
    try:
        start, total, i = time.perf_counter(), 0, 0
        while got := os.readv(fd, [buffers[i % len(buffers)]]):
            total += got
            i += 1
        return total / (time.perf_counter() - start) / 1e9
    finally:
        os.close(fd)


def buffers(chunk: int, count: int, offset: int) -> list[memoryview]:
    return [memoryview(mmap.mmap(-1, chunk + offset))[offset:offset + chunk] for _ in range(count)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=128, help="file size (default 128)")
    parser.add_argument("--rounds", type=int, default=7, help="passes per cell (default 7)")
    parser.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)), help="read sizes in bytes")
    args = parser.parse_args()
    # Two rotating buffers are the loop that keeps each event (or one-event batch) until the next.
    variants = {"1 buffer": (1, 0), "2 rotating": (2, 0), "3 rotating": (3, 0), "16 rotating": (16, 0),
                "1 buffer, +16 B": (1, 16)}
    print(f"| read size | {' | '.join(variants)} |")
    print(f"|---:|{'---:|' * len(variants)}")
    with tempfile.TemporaryDirectory(prefix="velk-read-sizes-") as directory:
        path = os.path.join(directory, "data")
        with open(path, "wb") as f:  # one large write: the page cache holds it in large folios
            f.write(os.urandom(args.size_mb << 20))
        for chunk in (int(s) for s in args.sizes.split(",")):
            cells = []
            for count, offset in variants.values():
                if count * chunk > 1 << 30:
                    cells.append("")
                    continue
                views = buffers(chunk, count, offset)
                cells.append(f"{max(pass_rate(path, chunk, views) for _ in range(args.rounds)):.1f}")
            print(f"| {chunk:,} | {' | '.join(cells)} |", flush=True)


if __name__ == "__main__":
    main()
