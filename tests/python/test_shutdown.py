"""The interpreter shutting down while daemon threads are inside velk's first next(): the threads are
ended by the interpreter, and the process must exit normally, whether a thread was importing NumPy,
taking velk's one-time objects, or sharing the reader with a thread that imports NumPy. Many short-lived
child interpreters, as the timing varies from run to run."""

from __future__ import annotations

import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from recordings import wd1_event

RUNS = 100  # per case

_SCRIPT = """
import sys, threading, time
case = sys.argv[2]
if case == "numpy first":
    import numpy
import velk
reader = velk.EventReader(sys.argv[1], "WD1")

def first_event():
    while True:  # a thread sharing the reader retries until it has an event
        try:
            return next(reader)
        except RuntimeError:
            pass

if case == "two threads, one reader":
    for _ in range(2):
        threading.Thread(target=first_event, daemon=True).start()
else:
    # With NumPy loaded, next() takes microseconds: the thread starts it about when the interpreter exits.
    threading.Thread(target=lambda: (time.sleep(0.03 if case == "numpy first" else 0), next(reader)),
                     daemon=True).start()
time.sleep(float(sys.argv[3]))
"""


def child_environment(env: dict[str, str], case: str) -> dict[str, str]:
    if case != "two threads, one reader":
        return env
    # OpenBLAS's own threads, started by NumPy's import as in a user's process, make the import longer and
    # the machine busier: a second thread kept spinning meanwhile made CPython 3.10 crash at exit in about
    # one run in ten.
    return {k: v for k, v in env.items() if k != "OPENBLAS_NUM_THREADS"}


@pytest.mark.parametrize("case", ["numpy first", "numpy in the thread", "two threads, one reader"])
def test_exit_with_a_daemon_thread_inside_next_never_aborts(tmp_path, run_python, case):
    path = tmp_path / "one.wd1"
    path.write_bytes(wd1_event([1, 2]) * 2)
    script = tmp_path / "exit.py"
    script.write_text(_SCRIPT)

    env = child_environment(run_python.env, case)

    def run(i: int) -> tuple[int, str]:
        # Exits spread over NumPy's import in the thread, or for "numpy first" around the call to next().
        shared = case == "two threads, one reader"
        delay = f"{0.01 * (i % 13):.3f}" if shared else f"{0.02 + 0.04 * (i % 9) / 8:.3f}"
        done = subprocess.run([sys.executable, str(script), str(path), case, delay], capture_output=True,
                              text=True, timeout=60, env=env)
        return done.returncode, done.stderr

    with ThreadPoolExecutor(min(4, os.cpu_count() or 1)) as pool:
        outcomes = list(pool.map(run, range(RUNS)))
    failures = [o for o in outcomes if o != (0, "")]
    assert not failures, f"{len(failures)} of {RUNS} runs failed, first: {failures[0]}"
