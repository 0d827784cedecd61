"""The module and its two types as Python sees them, including what only a fresh interpreter can show:
when NumPy is imported, re-imports, second interpreters and the library's exported symbols."""

from __future__ import annotations

import gc
import shutil
import subprocess
import weakref

import pytest

import velk
from recordings import wd1_event, wd2_event


def test_module_facts():
    assert velk.__all__ == ["EventReader"] and type(velk.__all__) is list
    assert [name for name in vars(velk) if not name.startswith("__")] == ["EventReader"]
    cls = velk.EventReader
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("EventReader", "EventReader", "builtins")
    assert cls.__text_signature__ == "(path, reader_type)"
    assert not cls.__doc__  # the docstring holds only the signature
    own = set(vars(cls))
    assert {"__new__", "__iter__", "__next__"} <= own
    assert not own & {"__init__", "__len__", "__enter__", "close", "__dict__", "__weakref__", "__reduce__"}


@pytest.fixture
def instances(recording):
    """An EventReader and, from its first event, a PySliceContainer."""
    reader = velk.EventReader(str(recording(wd1_event([1]) * 3)), "WD1")
    return reader, next(reader)["data"].base


@pytest.mark.parametrize("which", [0, 1], ids=["EventReader", "PySliceContainer"])
def test_types_are_closed(instances, which):
    instance = instances[which]
    cls = type(instance)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)
    if which == 1:
        for make in (cls, lambda: cls.__new__(cls)):
            with pytest.raises(TypeError, match="builtins.PySliceContainer"):
                make()


def test_iter_returns_the_reader_itself(instances):
    reader = instances[0]
    assert iter(reader) is reader and iter(iter(reader)) is reader
    assert len(list(reader)) == 2  # iter() gave its shared borrows back


def test_import_does_not_import_numpy_but_the_first_event_does(run_python, recording):
    wd2 = recording(b"".join(wd2_event([1.0, 2.0], channels=2, event_counter=n) for n in range(2)))
    result = run_python(
        """
        import sys
        assert "numpy" not in sys.modules, "numpy imported before velk"
        import velk
        print("after import:", "numpy" in sys.modules)
        reader = velk.EventReader(sys.argv[1], "WD2")
        print("after construction:", "numpy" in sys.modules)
        open("empty.wd1", "wb").close()
        assert list(velk.EventReader("empty.wd1", "WD1")) == []
        print("after a file without events:", "numpy" in sys.modules)
        event = next(reader)
        import numpy
        print("after first event:", "numpy" in sys.modules, type(event["data"]) is numpy.ndarray)
        """,
        str(wd2),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["after import: False", "after construction: False",
                                          "after a file without events: False", "after first event: True True"]


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
    assert result.stdout == "True True ['EventReader']\n"


_SUBINTERPRETER = """
import sys
import velk

code = f'''
try:
    import velk
    result = "imported"
except BaseException as e:
    result = type(e).__name__ + ": " + str(e)
with open({sys.argv[1]!r}, "w") as f:
    f.write(result)
'''
try:
    import _testcapi
except ImportError:
    _testcapi = None
if hasattr(_testcapi, "run_in_subinterp"):
    # A legacy interpreter accepts single-phase modules, so only velk's own check can refuse.
    _testcapi.run_in_subinterp(code)
    print("legacy")
else:
    import importlib.util
    name = next((n for n in ("_interpreters", "_xxsubinterpreters") if importlib.util.find_spec(n)), None)
    if name is None:
        print("none")
        sys.exit(0)
    interpreters = __import__(name)
    interpreter = interpreters.create()
    interpreters.run_string(interpreter, code)
    interpreters.destroy(interpreter)
    print("isolated")
print(velk.EventReader.__name__)  # the first interpreter keeps working
"""


def test_second_interpreter_is_refused(run_python, tmp_path):
    out = tmp_path / "subinterpreter.txt"
    result = run_python(_SUBINTERPRETER, str(out))
    assert result.returncode == 0, result.stderr
    how, name = (result.stdout.splitlines() + ["", ""])[:2]
    if how == "none":
        pytest.skip("this interpreter offers no way to start a second interpreter")
    assert name == "EventReader"
    if how == "legacy":
        assert out.read_text() == "ImportError: velk does not support sub-interpreters"
    else:  # an isolated interpreter may refuse the single-phase module before velk's check runs
        assert out.read_text().startswith("ImportError: ")


def test_library_exports_only_its_init_function():
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(["nm", "-D", "--defined-only", velk.__file__], capture_output=True, text=True,
                             check=True)
    assert [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()] == ["PyInit_velk"]
