"""Counts how often a process whose thread follows a silent pipe fails to go on and exit.

Each run is a child interpreter that opens a FIFO with a writer that stays open and silent, starts a daemon
thread reading it through one of velk's readers, and then must: run its main thread again (a 0.2 s sleep
returns), and exit normally. A run that does not finish within the timeout is a hang; any other exit status
or output is a failure.

    OPENBLAS_NUM_THREADS=1 PYTHONPATH=build/dev python3 bench/pipe_follow.py --runs 40 \\
        --python /path/to/python3.10 --python /path/to/python3.13

Every interpreter given must import velk, velk_tools and NumPy (a virtualenv with NumPy, and the build
directory on PYTHONPATH: the module is built for the stable ABI).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

READERS = {
    "EventReader": "list(velk.EventReader(fifo, 'WD1'))",
    "scan": "velk_tools.scan(fifo, 'WD1')",
    "read_batches": "list(velk_tools.read_batches(fifo, 'WD1'))",
}

CHILD = """
import os, sys, threading, time
import velk, velk_tools
fifo = sys.argv[1]
writer = os.open(fifo, os.O_RDWR)
threading.Thread(target=lambda: {reader}, daemon=True).start()
time.sleep(0.2)
print("ran")
"""


def one_run(python: str, reader: str, timeout: float) -> str:
    with tempfile.TemporaryDirectory() as folder:
        fifo = os.path.join(folder, "fifo")
        os.mkfifo(fifo)
        try:
            done = subprocess.run([python, "-c", CHILD.format(reader=READERS[reader]), fifo],
                                  capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return "hang"
        return "ok" if done.returncode == 0 and done.stdout == "ran\n" and not done.stderr else "failure"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="append", help="an interpreter to run (repeatable)")
    parser.add_argument("--runs", type=int, default=40, help="runs per interpreter and reader")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds before a run counts as a hang")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    for python in args.python or [sys.executable]:
        version = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        for reader in READERS:
            with ThreadPoolExecutor(args.jobs) as pool:
                outcomes = list(pool.map(lambda _: one_run(python, reader, args.timeout), range(args.runs)))
            counts = {kind: outcomes.count(kind) for kind in ("ok", "hang", "failure")}
            print(f"{version:8} {reader:13} runs {args.runs}: " + ", ".join(f"{k} {v}" for k, v in counts.items()),
                  flush=True)


if __name__ == "__main__":
    main()
