"""Overlapping use of one reader. The first event imports NumPy, which runs Python code in the middle of
next(); a stand-in numpy package placed first on sys.path uses that moment to call back into velk from
the same thread, which must be refused, and from a second thread, which must wait for the import rather
than be refused (a refused thread that retries keeps the interpreter lock busy), then refuses to load.
The refused calls lose no event, and the waiting thread takes the first event once the real NumPy is
found."""

from __future__ import annotations

from recordings import wd1_event

_FAKE_NUMPY = '''
import sys
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
main.waiter = threading.Thread(target=lambda: (attempt("next, other thread", lambda: next(main.reader)),
                                               attempt("iter, other thread", lambda: iter(main.reader))))
main.waiter.start()
main.waiter.join(0.3)
main.attempts.append(f"other thread still waiting: {main.waiter.is_alive()}")
sys.path.pop(0)  # the waiting thread, retrying the setup, finds the real NumPy
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
waiter.join()
print(*attempts, sep="\\n")
print("reader", [e["event_counter"] for e in reader], "other", [e["event_counter"] for e in other])
"""


def test_calls_during_numpy_import_are_refused_on_its_thread_and_wait_on_others(tmp_path, recording,
                                                                               run_python):
    (tmp_path / "fake" / "numpy").mkdir(parents=True)
    (tmp_path / "fake" / "numpy" / "__init__.py").write_text(_FAKE_NUMPY)
    path = recording(b"".join(wd1_event([n, n], event_counter=n) for n in range(4)))
    result = run_python(_SCRIPT, str(tmp_path / "fake"), str(path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "next, same thread: velk: a process-wide object was requested while being created",
        "iter, same thread: returned",
        "next of another reader: velk: a process-wide object was requested while being created",
        "other thread still waiting: True",
        "outer next: stand-in numpy refuses to load",
        "next, other thread: returned",
        "iter, other thread: returned",
        # NumPy is loaded before an event is read, so the refused calls lost no event; the thread that
        # waited took the first.
        "reader [1, 2, 3] other [0, 1, 2, 3]",
    ]
