"""The module and the EventReader type as Python sees them, including what only a fresh interpreter
can show: when NumPy is imported, re-imports, second interpreters and the library's exported symbols."""

from __future__ import annotations

import gc
import shutil
import subprocess
import weakref

import pytest

import velk
from recordings import wd1_event, wd2_event


def test_module_attributes():
    assert velk.__all__ == ["EventReader"]
    assert type(velk.__all__) is list
    assert velk.__doc__ == ""
    assert velk.__name__ == "velk"
    assert [name for name in vars(velk) if not name.startswith("__")] == ["EventReader"]


def test_event_reader_type_names_and_signature():
    cls = velk.EventReader
    assert cls.__name__ == "EventReader"
    assert cls.__qualname__ == "EventReader"
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == "(path, reader_type)"
    # The docstring holds only the signature, so nothing is left for __doc__.
    assert not cls.__doc__
    assert cls.__bases__ == (object,)


def test_event_reader_offers_iteration_only():
    own = set(vars(velk.EventReader))
    assert {"__new__", "__iter__", "__next__"} <= own
    absent = {"__init__", "__repr__", "__len__", "__enter__", "__exit__", "close", "read", "__getitem__",
              "__dict__", "__weakref__", "__del__", "__reduce__"}
    assert own & absent == set()


def test_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (velk.EventReader,), {})


def test_instances_have_no_dict_or_weakrefs_and_are_not_gc_tracked(recording):
    reader = velk.EventReader(str(recording(wd1_event([1]))), "WD1")
    with pytest.raises(AttributeError):
        reader.extra = 1
    assert not hasattr(reader, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(reader)
    assert not gc.is_tracked(reader)


@pytest.mark.parametrize(
    ("reader_type", "data"),
    [
        ("WD1", wd1_event([1]) * 2),
        ("WD2", b"".join(wd2_event([1.0, 2.0], channels=2, event_counter=n) for n in range(2))),
    ],
)
def test_iter_returns_the_reader_itself(recording, reader_type, data):
    reader = velk.EventReader(str(recording(data)), reader_type)
    assert iter(reader) is reader
    assert iter(iter(reader)) is reader
    next(reader)
    assert iter(reader) is reader
    # iter() took and returned a shared borrow: the reader still iterates.
    assert len(list(reader)) == 1


def test_import_does_not_import_numpy_but_the_first_event_does(run_python, recording):
    wd1 = recording(wd1_event([1, 2]))
    wd2 = recording(b"".join(wd2_event([1.0, 2.0], channels=2, event_counter=n) for n in range(2)))
    result = run_python(
        """
        import sys
        assert "numpy" not in sys.modules, "numpy imported before velk"
        import velk
        print("after import:", "numpy" in sys.modules)
        reader = velk.EventReader(sys.argv[2], "WD2")
        print("after construction:", "numpy" in sys.modules)
        empty = velk.EventReader(sys.argv[1], "WD1")
        next(empty)
        print("after first event:", "numpy" in sys.modules)
        import numpy
        print("array type:", type(next(reader)["data"]) is numpy.ndarray)
        """,
        str(wd1),
        str(wd2),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "after import: False",
        "after construction: False",
        "after first event: True",
        "array type: True",
    ]


def test_reimport_returns_the_same_module(run_python):
    result = run_python(
        """
        import sys
        import velk
        first, reader_type = velk, velk.EventReader
        del sys.modules["velk"]
        import velk
        print(velk is first, velk.EventReader is reader_type, velk.__all__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == "True True ['EventReader']"


_SUBINTERPRETER = """
import sys
import velk

out = sys.argv[1]
code = f'''
try:
    import velk
except ImportError as e:
    result = "ImportError: " + str(e)
except BaseException as e:
    result = "unexpected: " + type(e).__name__ + ": " + str(e)
else:
    result = "imported"
with open({out!r}, "w") as f:
    f.write(result)
'''

try:
    import _testcapi
except ImportError:
    _testcapi = None
if _testcapi is not None and hasattr(_testcapi, "run_in_subinterp"):
    # A legacy interpreter, which accepts single-phase modules, so only velk's own check can refuse.
    _testcapi.run_in_subinterp(code)
    print("legacy")
else:
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            interpreters = __import__(name)
            break
        except ImportError:
            interpreters = None
    if interpreters is None:
        print("none")
        sys.exit(0)
    interpreter = interpreters.create()
    interpreters.run_string(interpreter, code)
    interpreters.destroy(interpreter)
    print("isolated")
# The first interpreter keeps working.
print(velk.EventReader.__name__)
"""


def test_second_interpreter_is_refused(run_python, tmp_path):
    out = tmp_path / "subinterpreter.txt"
    result = run_python(_SUBINTERPRETER, str(out))
    assert result.returncode == 0, result.stderr
    how, name = (result.stdout.splitlines() + ["", ""])[:2]
    if how == "none":
        pytest.skip("this interpreter offers no way to start a second interpreter")
    assert name == "EventReader"
    outcome = out.read_text()
    if how == "legacy":
        assert outcome == "ImportError: velk does not support sub-interpreters"
    else:
        # An isolated interpreter may refuse the module itself before velk's check runs.
        assert outcome.startswith("ImportError: ")


def test_library_exports_only_its_init_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", velk.__file__], capture_output=True, text=True,
                             check=True)
    symbols = [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_velk"]
