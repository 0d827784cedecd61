"""The interpreter shutting down while a daemon thread is inside velk's first next(): the thread is ended
by the interpreter, and the process must exit normally, whether the thread was importing NumPy or taking
velk's one-time objects. Many short-lived child interpreters, as the timing varies from run to run."""

from __future__ import annotations

import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from recordings import wd1_event

RUNS = 100  # per case

_SCRIPT = """
import sys, threading, time
numpy_first = sys.argv[2] == "numpy first"
if numpy_first:
    import numpy
import velk
reader = velk.EventReader(sys.argv[1], "WD1")
# With NumPy loaded, next() takes microseconds: the thread starts it about when the interpreter exits.
threading.Thread(target=lambda: (time.sleep(0.03 if numpy_first else 0), next(reader)), daemon=True).start()
time.sleep(float(sys.argv[3]))
"""


@pytest.mark.parametrize("case", ["numpy first", "numpy in the thread"])
def test_exit_with_a_daemon_thread_inside_next_never_aborts(tmp_path, run_python, case):
    path = tmp_path / "one.wd1"
    path.write_bytes(wd1_event([1, 2]))
    script = tmp_path / "exit.py"
    script.write_text(_SCRIPT)

    def run(i: int) -> tuple[int, str]:
        delay = f"{0.02 + 0.04 * (i % 9) / 8:.3f}"
        done = subprocess.run([sys.executable, str(script), str(path), case, delay], capture_output=True,
                              text=True, timeout=60, env=run_python.env)
        return done.returncode, done.stderr

    with ThreadPoolExecutor(4) as pool:
        outcomes = list(pool.map(run, range(RUNS)))
    failures = [o for o in outcomes if o != (0, "")]
    assert not failures, f"{len(failures)} of {RUNS} runs failed, first: {failures[0]}"
