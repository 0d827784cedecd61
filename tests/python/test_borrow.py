"""Overlapping use of one reader. The first event imports NumPy, which runs Python code in the middle of
next(); a stand-in numpy package placed first on sys.path uses that moment to call back into the reader
from the same thread and from a second one, which must be refused, then refuses to load. The failed
call must give its borrow back and put the reader back at its event, so the reader goes on, without
losing that event, once the real NumPy is found."""

from __future__ import annotations

from recordings import wd1_event

_FAKE_NUMPY = '''
import threading
import __main__ as main

def attempt(name, call):
    try:
        call()
        main.attempts.append(f"{name}: returned")
    except RuntimeError as error:
        main.attempts.append(f"{name}: {error}")

attempt("next, same thread", lambda: next(main.reader))
attempt("iter, same thread", lambda: iter(main.reader))
# A second reader is free to borrow, but the process-wide NumPy setup is in progress on this thread:
# that must fail at once rather than wait for itself.
attempt("next of another reader", lambda: next(main.other))
thread = threading.Thread(target=lambda: (attempt("next, other thread", lambda: next(main.reader)),
                                          attempt("iter, other thread", lambda: iter(main.reader))))
thread.start()
thread.join()
raise ImportError("stand-in numpy refuses to load")
'''

_SCRIPT = """
import sys
import velk

sys.path.insert(0, sys.argv[1])
reader, other, attempts = velk.EventReader(sys.argv[2], "WD1"), velk.EventReader(sys.argv[2], "WD1"), []
try:
    next(reader)
except ImportError as error:
    attempts.append(f"outer next: {error}")
sys.path.pop(0)
print(*attempts, sep="\\n")
print("reader", [e["event_counter"] for e in reader], "other", [e["event_counter"] for e in other])
"""


def test_overlapping_calls_are_refused_and_the_reader_stays_usable(tmp_path, recording, run_python):
    (tmp_path / "fake" / "numpy").mkdir(parents=True)
    (tmp_path / "fake" / "numpy" / "__init__.py").write_text(_FAKE_NUMPY)
    path = recording(b"".join(wd1_event([n, n], event_counter=n) for n in range(4)))
    result = run_python(_SCRIPT, str(tmp_path / "fake"), str(path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "next, same thread: Already borrowed",
        "iter, same thread: Already mutably borrowed",
        "next of another reader: velk: a process-wide object was requested while being created",
        "next, other thread: Already borrowed",
        "iter, other thread: Already mutably borrowed",
        "outer next: stand-in numpy refuses to load",
        # A conversion that fails puts the reader back at its event's start: the failed calls lost no event.
        "reader [0, 1, 2, 3] other [0, 1, 2, 3]",
    ]
