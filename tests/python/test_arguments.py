"""Binding and conversion of EventReader's two arguments, and the errors for every wrong call shape."""

from __future__ import annotations

import pathlib

import pytest

import velk
from recordings import wd1_event

CALLEE = "EventReader.__new__()"
MISSING = "/nonexistent-velk-dir/missing.bin"  # opening it would raise FileNotFoundError


class _RaisingMeta(type):
    def __getattribute__(cls, name):
        raise KeyError(name)


class _LyingMeta(type):
    def __getattribute__(cls, name):
        return "str" if name == "__qualname__" else super().__getattribute__(name)


class Raising(metaclass=_RaisingMeta):
    pass


class Lying(metaclass=_LyingMeta):
    pass


class Outer:
    class Inner:
        pass


class Text(str):
    pass


# Each call is made with MISSING as the path wherever a path is given, so a call that opened the file
# before rejecting its arguments would raise FileNotFoundError instead of the expected error.
BINDING_ERRORS = [
    ("no arguments", (), {}, f"{CALLEE} missing 2 required positional arguments: 'path' and 'reader_type'"),
    ("path only", (MISSING,), {}, f"{CALLEE} missing 1 required positional argument: 'reader_type'"),
    ("path by keyword only", (), {"path": MISSING},
     f"{CALLEE} missing 1 required positional argument: 'reader_type'"),
    ("reader_type only", (), {"reader_type": "WD1"},
     f"{CALLEE} missing 1 required positional argument: 'path'"),
    ("one positional too many", (MISSING, "WD1", "x"), {},
     f"{CALLEE} takes 2 positional arguments but 3 were given"),
    ("unexpected keyword", (MISSING, "WD1"), {"mode": "r"}, f"{CALLEE} got an unexpected keyword argument 'mode'"),
    ("unexpected keyword before a missing one", (MISSING,), {"kind": "WD1"},
     f"{CALLEE} got an unexpected keyword argument 'kind'"),
    ("keyword name is case-sensitive", (), {"Path": MISSING, "reader_type": "WD1"},
     f"{CALLEE} got an unexpected keyword argument 'Path'"),
    ("first unexpected keyword named", (MISSING, "WD1"), {"b": 1, "a": 2},
     f"{CALLEE} got an unexpected keyword argument 'b'"),
    ("non-ASCII keyword", (MISSING, "WD1"), {"\u00e9t\u00e9": 1},
     f"{CALLEE} got an unexpected keyword argument '\u00e9t\u00e9'"),
    ("path twice", (MISSING,), {"path": MISSING}, f"{CALLEE} got multiple values for argument 'path'"),
    ("reader_type twice", (MISSING, "WD1"), {"reader_type": "WD1"},
     f"{CALLEE} got multiple values for argument 'reader_type'"),
    ("non-str path", (7, "WD1"), {}, "argument 'path': 'int' object cannot be cast as 'str'"),
    ("pathlib path", (pathlib.Path(MISSING), "WD1"), {},
     "argument 'path': 'PosixPath' object cannot be cast as 'str'"),
    ("bytes path", (MISSING.encode(), "WD1"), {}, "argument 'path': 'bytes' object cannot be cast as 'str'"),
    ("None path by keyword", (), {"path": None, "reader_type": "WD1"},
     "argument 'path': 'NoneType' object cannot be cast as 'str'"),
    ("nested class named by its qualified name", (Outer.Inner(), "WD1"), {},
     "argument 'path': 'Outer.Inner' object cannot be cast as 'str'"),
    # The name comes from the type itself: a metaclass cannot run code or change the text.
    ("metaclass with a raising __qualname__", (Raising(), "WD1"), {},
     "argument 'path': 'Raising' object cannot be cast as 'str'"),
    ("metaclass with a lying __qualname__", (Lying(), "WD1"), {},
     "argument 'path': 'Lying' object cannot be cast as 'str'"),
    ("non-str reader_type", (MISSING, 1), {}, "argument 'reader_type': 'int' object cannot be cast as 'str'"),
    ("bytes reader_type", (MISSING, b"WD1"), {}, "argument 'reader_type': 'bytes' object cannot be cast as 'str'"),
    ("path converted before reader_type", (1, 2), {}, "argument 'path': 'int' object cannot be cast as 'str'"),
]


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [case[1:] for case in BINDING_ERRORS],
    ids=[case[0] for case in BINDING_ERRORS],
)
def test_binding_errors_are_type_errors_with_exact_text(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        velk.EventReader(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize(("path", "reader_type", "bad"), [
    ("a\udc80b", "WD1", "a\udc80b"), (MISSING, "WD\udcff", "WD\udcff"), ("\ud800", "\udfff", "\ud800"),
], ids=["path", "reader_type before the missing file", "both: path first"])
def test_lone_surrogates_raise_the_interpreters_encoding_error(path, reader_type, bad):
    with pytest.raises(UnicodeEncodeError) as info:
        velk.EventReader(path, reader_type)
    assert (info.value.encoding, info.value.object, info.value.reason) == ("utf-8", bad, "surrogates not allowed")


class Liar(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


CALL_SHAPES = {
    "positional": lambda p: velk.EventReader(p, "WD1"),
    "keywords reversed": lambda p: velk.EventReader(reader_type="WD1", path=p),
    "mixed": lambda p: velk.EventReader(p, reader_type="WD1"),
    "str subclasses": lambda p: velk.EventReader(Text(p), Text("WD1")),
}


@pytest.mark.parametrize("shape", sorted(CALL_SHAPES))
def test_accepted_call_shapes_open_the_named_file(recording, shape):
    events = list(CALL_SHAPES[shape](str(recording(wd1_event([5, 6], event_counter=9)))))
    assert [(e["event_counter"], e["data"].tolist()) for e in events] == [(9, [5, 6])]


def test_str_subclass_overriding_comparison_is_read_by_its_text(recording):
    with pytest.raises(ValueError, match="unknown reader type 'XYZ'"):
        velk.EventReader(str(recording(wd1_event([1]))), Liar("XYZ"))
