"""Argument binding of the module's functions, methods and constructors: the TypeError texts are
those CPython gives a Python function of the same signature."""
import pytest

import _tovrel

STORE = _tovrel.CellStore()

# (entry point, name, parameters): fast calls bind the functions and methods, the tuple and dict
# form the constructors.
ENTRIES = [
    (_tovrel.prescan_sheet, "prescan_sheet", "source, want_rows, corners, helpers"),
    (_tovrel.find_dimension, "find_dimension", "source"),
    (STORE.get, "get", "key, default=None"),
    (_tovrel.SheetWriter, "SheetWriter", "ws, write, lxml, helpers"),
    (_tovrel.RowReader, "RowReader", "source, parser, helpers"),
]


def shapes(names):
    """Nothing, one too many, a stranger keyword, the first or last parameter twice, the first
    or the last missing, all but the first missing."""
    args = tuple(range(len(names)))
    return [((), {}), (args + (9,), {}), (args, {"bogus": 3}), (args[:1], {names[0]: 1}),
            (args, {names[-1]: 1}), ((), {n: 1 for n in names[1:]}), (args[:-1], {}), (args[:1], {})]


@pytest.mark.parametrize("entry, name, params", ENTRIES, ids=[e[1] for e in ENTRIES])
def test_binding_errors_read_as_cpython_writes_them(entry, name, params):
    scope = {}
    exec(f"def {name}({params}): pass", scope)
    checked = 0
    for args, kwargs in shapes([p.split("=")[0].strip() for p in params.split(",")]):
        try:
            scope[name](*args, **kwargs)
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
