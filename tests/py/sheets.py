"""Building worksheet XML and readers for the tests."""
import io

import _tovrel

from tovrel.helpers import MAIN_NS, make_helpers
from tovrel.reader import EMPTY_CELL, ReadOnlyCell, SheetParser


def sheet(rows, before="", after="", decl=f'xmlns="{MAIN_NS}"'):
    return f"<worksheet {decl}>{before}<sheetData>{rows}</sheetData>{after}</worksheet>".encode()


def reader(data, parser=None, helpers=None, **settings):
    return _tovrel.RowReader(io.BytesIO(data), parser or SheetParser(["s0", "s1", "s2"], **settings),
                             helpers or make_helpers())


def raw_rows(data, **kw):
    r = reader(data, **kw)
    out = []
    while (row := r.next_raw()) is not None:
        out.append(row)
    return out, r.actions


def value_rows(data, min_col=1, max_col=None, **kw):
    r = reader(data, **kw)
    out = []
    while (row := r.next_row("ws", min_col, max_col, True, ReadOnlyCell, EMPTY_CELL)) is not None:
        out.append(row)
    return out
