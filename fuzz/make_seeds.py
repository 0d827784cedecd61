"""Writes the fuzzers' seed recordings: a few valid or nearly valid WD1 and WD2 files, mostly small, one
per layout longer than the stream's 64 KiB buffer.

    python3 fuzz/make_seeds.py OUTPUT_DIR     creates OUTPUT_DIR/wd1 and OUTPUT_DIR/wd2
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from recordings import wd1_event, wd2_event, wd2_float_bits, wd2_header  # noqa: E402


def wd1_seeds() -> dict[str, bytes]:
    two = wd1_event([1, 2, 3, 4], event_counter=1) + wd1_event([5, 6], event_counter=2)
    return {
        "two-events": two,
        "sizes-23-24-25": wd1_event(event_size=23) + wd1_event(event_size=24) + wd1_event(event_size=25) + b"\x00",
        "odd-size": wd1_event([7, 8], event_size=29) + wd1_event([9]),
        "below-minimum": wd1_event(event_size=-5) + wd1_event([1]),
        "stray-tail": two + b"\x01" * 10,
        "beyond-the-buffer": wd1_event(list(range(40000))) + wd1_event([1]),
        # Runs of one size, which batches read with one system call each (blocks of 8 KiB and more
        # scattered, smaller ones packed), broken by another size, a rejected header and the end of
        # the file; beyond the buffer, where such reads begin.
        "runs": b"".join(wd1_event([i] * n) for i, n in enumerate([4100] * 8 + [4101] + [4100] * 4))
        + wd1_event(event_size=5) + b"".join(wd1_event([7] * 4100) for _ in range(2))[:-3],
    }


def wd2_seeds() -> dict[str, bytes]:
    def run(count: int, values: list[float], **fields) -> bytes:
        return b"".join(wd2_event(values, event_counter=i, sampling_period=8, **fields) for i in range(count))

    zero_first = [0.0, 1.0, 2.0, 3.0, 0.0, 5.0, 6.0, 7.0]
    return {
        "four-channels": run(3, [float(i) for i in range(16)], channels=4),
        "one-channel-word": run(3, [1.0, 2.0], channels=1),
        "zero-channel-word": run(3, [], channels=0),
        "no-word-zero-first": run(3, zero_first),
        "no-word-large-first": run(3, [-1.0, 2.0, 3.0]),
        "counter-wraps": wd2_event([0.0] * 6, channels=3, event_counter=2**32 - 1) + wd2_event([0.0] * 6, channels=3),
        "nan-payloads": run(2, [], channels=2) + wd2_header(samples=1, channels=2) + wd2_float_bits([0x7FC00001, 0x80000000]),
        "truncated-second-block": run(2, [1.0] * 8, channels=2)[:-3],
        "beyond-the-buffer": run(3, [float(i) for i in range(6000)], channels=1),
        "runs": run(30, [1.0] * 600, channels=2) + run(2, [3.0] * 602, channels=2) + run(9, [2.0] * 600, channels=2)
        + wd2_header(samples=2**28, channels=2) + run(5, [4.0] * 600, channels=2)[:-5],
    }


def main() -> None:
    out = Path(sys.argv[1])
    for name, seeds in (("wd1", wd1_seeds()), ("wd2", wd2_seeds())):
        (out / name).mkdir(parents=True, exist_ok=True)
        for seed, data in seeds.items():
            (out / name / seed).write_bytes(data)


if __name__ == "__main__":
    main()
