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


def real_books(shared):
    """(path, Workbook) for the bundled demo and every readable workbook of the shared corpus
    and real-world folders; damaged packages and unreadable string tables are skipped."""
    import pathlib
    import zipfile

    from tovrel.reader import Workbook
    paths = [pathlib.Path(__file__).resolve().parents[2] / "demo" / "demo.xlsx"]
    for folder in ("corpus", "realworld"):
        paths += sorted((shared / folder).glob("*.xlsx"))
    for path in paths:
        try:
            wb = Workbook(path)
        except (zipfile.BadZipFile, KeyError, _tovrel.NativeFallback):
            continue
        with wb:
            if wb.package.zip.testzip() is None:
                yield path, wb
