"""Re-entrant use of one reader. The first event imports numpy, which runs Python code in the middle
of next(); a stand-in numpy package placed first on sys.path uses that moment to call back into the
reader being iterated, which must be refused without disturbing the outer call's bookkeeping."""

from __future__ import annotations

import json

from recordings import wd1_event

# The stand-in records what next(), iter() and a second reader's next() do while the outer next() of
# the first reader is in progress, then refuses to import so the outer call fails.
_FAKE_NUMPY = '''
import __main__

state = __main__.state
state["imports"] += 1
for name, call in (("next", lambda: next(state["reader"])), ("iter", lambda: iter(state["reader"])),
                   ("other next", lambda: next(state["other"]))):
    try:
        call()
        state["inner"].append([name, "returned"])
    except Exception as error:
        state["inner"].append([name, type(error).__name__, str(error)])
raise ImportError("stand-in numpy refuses to load")
'''

_SCRIPT = """
import json, os, sys

fake, path, other_path = sys.argv[1], sys.argv[2], sys.argv[3]
sys.path.insert(0, fake)
import velk

state = {"imports": 0, "inner": [], "outer": []}
state["reader"] = velk.EventReader(path, "WD1")
state["other"] = velk.EventReader(other_path, "WD1")

def outer_next():
    try:
        event = next(state["reader"])
        state["outer"].append(["event", event["event_counter"], event["data"].tolist()])
    except StopIteration:
        state["outer"].append(["end"])
    except Exception as error:
        state["outer"].append([type(error).__name__, str(error)])

outer_next()                     # the stand-in is imported, calls back in, and refuses
outer_next()                     # a failed import is not cached, so the same happens again
sys.path.remove(fake)            # from here on the real numpy is found
outer_next()
outer_next()
outer_next()
state["other events"] = [e["event_counter"] for e in state["other"]]
del state["reader"], state["other"]
print(json.dumps(state))
"""


def test_reentrant_calls_are_refused_and_the_reader_stays_usable(tmp_path, recording, run_python):
    fake = tmp_path / "fake"
    (fake / "numpy").mkdir(parents=True)
    (fake / "numpy" / "__init__.py").write_text(_FAKE_NUMPY)
    path = recording(b"".join(wd1_event([n, n], event_counter=n) for n in range(4)))
    other = recording(b"".join(wd1_event([n], event_counter=10 + n) for n in range(4)))

    result = run_python(_SCRIPT, str(fake), str(path), str(other))
    assert result.returncode == 0, result.stderr
    state = json.loads(result.stdout)

    refused_once = [
        ["next", "RuntimeError", "Already borrowed"],
        ["iter", "RuntimeError", "Already mutably borrowed"],
    ]
    assert state["imports"] == 2
    inner = state["inner"]
    assert [entry for entry in inner if entry[0] != "other next"] == refused_once * 2
    # A second reader is free to borrow, but the process-wide numpy setup is still in progress on this
    # thread: that must fail at once rather than wait for itself.
    others = [entry for entry in inner if entry[0] == "other next"]
    assert len(others) == 2
    assert all(entry[1] == "RuntimeError" for entry in others)

    refusal = ["ImportError", "stand-in numpy refuses to load"]
    # Each failed call consumed its event; the borrow came back each time, so with the real numpy the
    # reader goes on with the events not yet read.
    assert state["outer"] == [refusal, refusal, ["event", 2, [2, 2]], ["event", 3, [3, 3]], ["end"]]
    # The second reader lost the events its failed calls read, and is otherwise unharmed.
    assert state["other events"] == [12, 13]
