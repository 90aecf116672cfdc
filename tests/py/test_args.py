"""Argument binding of the module's functions, methods and constructors: the TypeError texts are
those CPython gives for a Python function of the same signature."""
import io

import pytest

import _tovrel

STORE = _tovrel.CellStore()

# (the entry point, its name, its parameters as a Python signature); the fast-call form binds
# the functions and methods, the tuple-and-dict form the constructors.
ENTRIES = [
    (_tovrel.prescan_sheet, "prescan_sheet", "source, want_rows, corners, helpers"),
    (_tovrel.find_dimension, "find_dimension", "source"),
    (STORE.get, "get", "key, default=None"),
    (_tovrel.SheetWriter, "SheetWriter", "ws, write, lxml, helpers"),
    (_tovrel.RowReader, "RowReader", "source, parser, helpers"),
]


def shapes(names):
    """Calls that bind wrongly, over the parameter names: nothing, too many, a stranger keyword,
    a parameter given twice, and the first or the last one missing."""
    first, last = names[0], names[-1]
    args = tuple(range(len(names)))
    yield (), {}
    yield args + (9,), {}
    yield args, {"bogus": 3}
    yield args[:1], {first: 1}
    yield args, {last: 1}
    yield (), {n: 1 for n in names[1:]}
    yield args[:-1], {}
    yield args[:1], {}


def reference(name, params):
    scope = {}
    exec(f"def {name}({params}): pass", scope)
    return scope[name]


@pytest.mark.parametrize("entry, name, params", ENTRIES, ids=[e[1] for e in ENTRIES])
def test_binding_errors_read_as_cpython_writes_them(entry, name, params):
    ref = reference(name, params)
    names = [p.split("=")[0].strip() for p in params.split(",")]
    checked = 0
    for args, kwargs in shapes(names):
        try:
            ref(*args, **kwargs)
            continue  # binds: the entry point goes on to check the values themselves
        except TypeError as e:
            want = str(e)
        with pytest.raises(TypeError) as info:
            entry(*args, **kwargs)
        assert str(info.value) == want, (args, kwargs)
        checked += 1
    assert checked >= 5


def test_binds_by_position_and_keyword():
    assert STORE.get((9, 9)) is None
    assert STORE.get((9, 9), 5) == 5
    assert STORE.get(default=5, key=(9, 9)) == 5
