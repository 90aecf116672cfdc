"""RowReader against hostile use: changing extra_none, extreme column bounds, readers that fail,
another thread changing lists the reader reads, cell classes with built-in bases, and
exceptions that must not turn into a fallback."""
import gc
import io
import threading
import time

import pytest

import _tovrel
from sheets import reader, sheet
from tovrel.helpers import make_helpers
from tovrel.reader import ReadOnlyCell, SheetParser

NF = _tovrel.NativeFallback


class Extras(ReadOnlyCell):
    __slots__ = ("x", "y", "z")


def test_every_extra_none_name_is_set_on_every_call():
    calls = [["x"], ["y"], ["x", "y", "z"], [], ("z", "x")]
    r = reader(sheet('<row><c><v>1</v></c></row>' * len(calls)))
    for names in calls:
        _, (cell,) = r.next_row("ws", 1, None, False, Extras, None, names)
        assert cell.value == 1
        assert {n for n in "xyz" if hasattr(cell, n)} == set(names)
        assert all(getattr(cell, n) is None for n in names)


@pytest.mark.parametrize("min_col, max_col, error, message", [
    (-2**63, 2**63 - 1, OverflowError, "too many for a row"),
    (-2**62, 2**62, OverflowError, "too many for a row"),
    (1, 2**63 - 1, MemoryError, "does not fit in memory"),
    (-2**61, 2**60, MemoryError, "does not fit in memory"),
])
def test_extreme_column_bounds_are_refused(min_col, max_col, error, message):
    r = reader(sheet('<row><c r="A1"><v>1</v></c></row><row/>'))
    with pytest.raises(error, match=message):
        r.next_row("ws", min_col, max_col, True, ReadOnlyCell, None)
    assert r.next_row("ws", 2**63 - 3, 2**63 - 1, True, ReadOnlyCell, 0) == (2, (0, 0, 0))


def _raise_fallback(text):
    e = NF("from a helper")
    e.offset = 7
    raise e


def _fail(calls, row_index=None):
    h = make_helpers()
    if row_index:
        h["row_index"] = row_index
    r = reader(sheet('<row r="x"/><row><c r="A1" s="x"><v>1</v></c></row>'), helpers=h)
    errors = []
    for _ in range(calls):
        try:
            r.next_raw()
        except NF as e:
            errors.append(e)
    return errors


@pytest.mark.parametrize("row_index, message, offset", [
    (None, "native reader error: ValueError: invalid literal for int() with base 10: 'x'", None),
    (_raise_fallback, "from a helper", 7),
])
def test_each_call_raises_a_fresh_error(row_index, message, offset):
    errors = _fail(3, row_index)
    assert len({id(e) for e in errors}) == 3
    for e in errors:
        assert (str(e), getattr(e, "offset", None)) == (message, offset)
        assert e.__traceback__.tb_next is None, "one traceback entry: the call that raised"


@pytest.mark.parametrize("base, builtin", [
    (dict, "dict"), (set, "set"), (list, "list"), (Exception, "Exception"),
    (type("Mid", (dict,), {}), "dict"), (io.BytesIO, "_io.BytesIO"),
])
def test_cell_classes_with_builtin_state_are_refused(base, builtin):
    cls = type("Cell", (base,), {"__slots__": ReadOnlyCell.__slots__})
    r = reader(sheet('<row><c><v>1</v></c></row>'))
    with pytest.raises(TypeError, match=f"Cell cannot be built without its constructor: it "
                                        f"derives from {builtin};"):
        r.next_row("ws", 1, None, False, cls, None)


class _Raising(io.BytesIO):
    def __init__(self, exc):
        super().__init__(b"")
        self.exc = exc

    def read(self, n=-1):
        raise self.exc


@pytest.mark.parametrize("where", ["read", "helper"])
@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupts_are_not_turned_into_fallbacks(where, kind):
    exc = kind("stop")
    if where == "read":
        r = _tovrel.RowReader(_Raising(exc), SheetParser([]), make_helpers())
    else:
        h = make_helpers()
        h["row_index"] = lambda text: (_ for _ in ()).throw(exc)
        r = reader(sheet('<row r="x"/>'), helpers=h)
    with pytest.raises(kind) as info:
        r.next_raw()
    assert info.value is exc
    # The reader cannot go on: later calls fall back.
    with pytest.raises(NF, match=f"^native reader error: {kind.__name__}: stop$"):
        r.next_raw()


@pytest.mark.parametrize("values_only", [True, False])
def test_rows_being_built_are_out_of_the_collectors_sight(values_only):
    # A later cell of the same column displaces a host object whose finaliser looks into every
    # tuple the collector knows of: the row's tuple, its later slots still empty, must not be
    # among them.
    looked = []

    class Finaliser:
        def __del__(self):
            looked.append(sum(len(list(t)) for t in gc.get_objects() if type(t) is tuple))

    helpers = {**make_helpers(), "from_ISO8601": lambda text: Finaliser()}
    row = '<row><c r="A1" t="d"><v>x</v></c><c r="A1"><v>1</v></c><c r="C1"><v>3</v></c></row>'
    r = reader(sheet(row), helpers=helpers)
    idx, cells = r.next_row("ws", 1, None, values_only, ReadOnlyCell, "gap")
    assert looked, "the displaced value was not released while the row was built"
    values = list(cells) if values_only else [c if c == "gap" else c.value for c in cells]
    assert (idx, values) == (1, [1, "gap", 3])
    assert values_only or gc.is_tracked(cells)  # cells refer back to their worksheet
