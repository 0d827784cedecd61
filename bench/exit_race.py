#!/usr/bin/env python3
"""How often a process ends badly when its main thread exits while daemon threads are busy.

Each run is a fresh child process: two daemon threads start, the main thread sleeps a random time in
[0, --max-delay] seconds and returns, and the interpreter shuts down around the threads. A run fails if
the child exits with a status other than 0 or writes anything to stderr (a signal shows as -N).

Scenarios:
  velk-shared  two threads share one EventReader; each calls next() until it has an event, retrying on
               "Already borrowed". The first event imports NumPy.
  velk-own     two threads, each with its own EventReader, take one event. The first imports NumPy.
  no-velk      no velk: one thread imports NumPy while the other raises and catches an exception in a
               loop. Crashes here are the interpreter's own.

Usage: PYTHONPATH=<build dir> python3 bench/exit_race.py [--python PY ...] [--scenario NAME ...]
           [--runs N] [--jobs J] [--max-delay S] [--blas-threads N]
"""

from __future__ import annotations

import argparse
import collections
import os
import random
import struct
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

CHILDREN = {
    "velk-shared": """
import sys, threading, time
import velk
reader = velk.EventReader(sys.argv[2], "WD1")
def first_event():
    while True:
        try:
            return next(reader)
        except RuntimeError:
            pass
""",
    "velk-own": """
import sys, threading, time
import velk
def first_event():
    return next(velk.EventReader(sys.argv[2], "WD1"))
""",
    "no-velk": """
import sys, threading, time
def import_numpy():
    import numpy
def spin():
    while True:
        try:
            raise RuntimeError("busy")
        except RuntimeError:
            pass
""",
}

STARTS = {
    "velk-shared": "first_event, first_event",
    "velk-own": "first_event, first_event",
    "no-velk": "import_numpy, spin",
}

MAIN = """
for target in ({starts}):
    threading.Thread(target=target, daemon=True).start()
time.sleep(float(sys.argv[1]))
"""


def write_recording(path: str, events: int) -> None:
    """WD1 events of 8 samples each: a 24-byte header of six int32 words, then uint16 samples."""
    with open(path, "wb") as f:
        for n in range(events):
            f.write(struct.pack("<6i", 24 + 16, 1, 0, 0, n, n) + struct.pack("<8H", *range(8)))


def child_environment(blas_threads: str | None) -> dict[str, str]:
    # By default OpenBLAS starts its own threads at NumPy's import, as in a user's process; they make
    # the import longer and the machine busier, and the failures more frequent.
    env = dict(os.environ)
    env.pop("OPENBLAS_NUM_THREADS", None)
    if blas_threads is not None:
        env["OPENBLAS_NUM_THREADS"] = blas_threads
    if env.get("PYTHONPATH"):
        paths = env["PYTHONPATH"].split(os.pathsep)
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths if p)
    return env


def run_once(python: str, script: str, recording: str, delay: float, env: dict[str, str]) -> str | None:
    """None for a clean exit, else a short description of the failure."""
    done = subprocess.run([python, script, f"{delay:.4f}", recording], capture_output=True, text=True,
                          env=env, timeout=120)
    if done.returncode == 0 and not done.stderr:
        return None
    last_line = done.stderr.strip().splitlines()[-1:] or [""]
    return f"exit {done.returncode} {last_line[0][:120]}".strip()


def version(python: str) -> str:
    return subprocess.run([python, "-c", "import sys; print(sys.version.split()[0])"], capture_output=True,
                          text=True, check=True).stdout.strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", nargs="+", default=[sys.executable], help="interpreters to run")
    parser.add_argument("--scenario", nargs="+", choices=sorted(CHILDREN), default=sorted(CHILDREN))
    parser.add_argument("--runs", type=int, default=200, help="child processes per interpreter and scenario")
    parser.add_argument("--jobs", type=int, default=2, help="child processes at once")
    parser.add_argument("--max-delay", type=float, default=0.12, help="longest sleep of the main thread, s")
    parser.add_argument("--blas-threads", help="OPENBLAS_NUM_THREADS for the children (default: unset)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    env = child_environment(args.blas_threads)
    with tempfile.TemporaryDirectory() as tmp:
        recording = os.path.join(tmp, "events.wd1")
        write_recording(recording, 10_000)
        print(f"{'python':<8} {'scenario':<12} {'failed':>12}  failures")
        for python in args.python:
            for name in args.scenario:
                script = os.path.join(tmp, f"{name}.py")
                with open(script, "w") as f:
                    f.write(CHILDREN[name] + MAIN.format(starts=STARTS[name]))
                delays = [rng.uniform(0, args.max_delay) for _ in range(args.runs)]
                with ThreadPoolExecutor(args.jobs) as pool:
                    outcomes = list(pool.map(lambda d: run_once(python, script, recording, d, env), delays))
                failures = collections.Counter(o for o in outcomes if o is not None)
                count = sum(failures.values())
                kinds = ", ".join(f"{n} x {kind}" for kind, n in failures.most_common())
                print(f"{version(python):<8} {name:<12} {count:>5} of {args.runs:<5} {kinds}", flush=True)


if __name__ == "__main__":
    main()
