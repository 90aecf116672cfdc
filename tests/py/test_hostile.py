"""Hostile host objects: interrupts raised by the source or a helper, cell classes built on
built-in types, column bounds at the ends of the integer range. Each ends in a clean exception or
a sound result, never in a crash."""
import io
import os

import pytest

import _tovrel
from sheets import reader, sheet
from tovrel.helpers import MAIN_NS, make_helpers
from tovrel.reader import ReadOnlyCell, SheetParser

CRASHES = os.environ.get("TOVREL_CRASH_TESTS") == "1"
SHEET = sheet('<row r="x"><c r="B1"><v>1</v></c></row>')
SST = b'<sst xmlns="%s"><si><t>a</t><rPh/></si></sst>' % MAIN_NS.encode()


def crash(defect):
    return pytest.mark.skipif(not CRASHES, reason=f"crashes until {defect} is fixed; TOVREL_CRASH_TESTS=1 runs it")


DEFECT_8 = pytest.mark.xfail(reason="defect 8: RowReader turns KeyboardInterrupt, SystemExit and MemoryError "
                                    "into NativeFallback", strict=False)


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def read(self, n):
        raise self.exc("from read")


def helpers_raising(exc):
    def fail(*args):
        raise exc("from a helper")
    h = make_helpers()
    h.update(row_index=fail, si_content=fail)
    return h


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("call", [
    pytest.param(lambda exc: _tovrel.find_dimension(Raising(exc)), id="find_dimension-read"),
    pytest.param(lambda exc: _tovrel.read_string_table(Raising(exc), make_helpers()), id="read_string_table-read"),
    pytest.param(lambda exc: _tovrel.read_string_table(io.BytesIO(SST), helpers_raising(exc)),
                 id="read_string_table-helper"),
    pytest.param(lambda exc: _tovrel.prescan_sheet(Raising(exc), False, None, {"row_index": int}),
                 id="prescan_sheet-read"),
    pytest.param(lambda exc: _tovrel.prescan_sheet(io.BytesIO(SHEET), True, None, helpers_raising(exc)),
                 id="prescan_sheet-helper"),
    pytest.param(lambda exc: _tovrel.RowReader(Raising(exc), SheetParser([]), make_helpers()).next_raw(),
                 id="RowReader-read", marks=DEFECT_8),
    pytest.param(lambda exc: _tovrel.RowReader(io.BytesIO(SHEET), SheetParser([]), helpers_raising(exc)).next_raw(),
                 id="RowReader-helper", marks=DEFECT_8),
])
def test_interrupts_propagate_unchanged(call, exc):
    with pytest.raises(exc):
        call(exc)


SLOTS = ("parent", "row", "column", "_value", "data_type", "_style_id")
USE = {dict: lambda c: c.update(a=1) or len(c), set: lambda c: c.add(1) or len(c),
       list: lambda c: c.append(1) or len(c), Exception: lambda c: len(str(c) + repr(c.args)) and 1}


@pytest.mark.parametrize("base", [
    list,
    pytest.param(dict, marks=crash("defect 7 (cell classes built on dict, set or Exception)")),
    pytest.param(set, marks=crash("defect 7 (cell classes built on dict, set or Exception)")),
    pytest.param(Exception, marks=crash("defect 7 (cell classes built on dict, set or Exception)")),
])
def test_cell_classes_on_builtin_types(base):
    cls = type("Cell", (base,), {"__slots__": SLOTS})
    r = reader(sheet('<row><c r="B1"><v>7</v></c></row>'))
    try:
        _, (_, cell) = r.next_row("ws", 1, None, False, cls, None)
    except TypeError:
        return  # refusing the class is sound
    assert (cell.row, cell.column, cell._value) == (1, 2, 7)
    assert USE[base](cell) == 1, "the cell works as an instance of its base type"


DEFECT_2 = crash("defect 2 (next_row's row width overflows for extreme min_col/max_col: a crash, a UBSan "
                 "abort or a SystemError)")


@pytest.mark.parametrize("min_col, max_col", [
    pytest.param(-2**63, 2**63 - 1, marks=DEFECT_2),
    pytest.param(-2**63, None, marks=DEFECT_2),
    pytest.param(-2**62, 2**62, marks=DEFECT_2),
    pytest.param(-2**63 + 1, 0, marks=DEFECT_2),
    (1, 2**63 - 1),
    (2**63 - 1, None),
    (2**63, None),
    (1, 2**64),
])
def test_extreme_columns(min_col, max_col):
    r = reader(sheet('<row><c r="B1"><v>7</v></c></row>'))
    try:
        _, values = r.next_row("ws", min_col, max_col, True, ReadOnlyCell, None)
    except (OverflowError, MemoryError):
        return
    hi = max_col or 2
    assert len(values) == max(0, hi - min_col + 1)
