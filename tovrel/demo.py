"""An editing round trip through the native engine:

    python -m tovrel.demo [in.xlsx] [--out out.xlsx] [--set "Sheet!B2=42" ...]

1. loads every worksheet with bind_cells into a CellStore (per sheet: cells, _stats(), native
   bytes per cell, load MB/s);
2. applies the edits through the store's mapping interface: a number, text, a formula
   ("=A1*2"), or nothing after "=" to delete the cell;
3. writes a new .xlsx: each worksheet part is its original root start tag, prescan_sheet's head
   snippets, write_sheet_data's <sheetData>, the tail snippets and the end tag; every other part
   is copied unchanged; styles keep their indexes;
4. re-reads the written file with RowReader and compares every value with the store.

Without an input it uses the bundled demo workbook; without --out it writes to a temporary file
and removes it at the end. Progress goes to stderr, results to stdout. Exits 1 on a damaged
input, a difference, or a sheet the engine leaves to the pure-Python path (naming the sheet and
the reason). The input is never modified; the output appears only when complete."""
import argparse
import datetime
import io
import os
import pathlib
import re
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile

import _tovrel

from tovrel.helpers import MAIN_NS, coordinate_to_tuple, make_helpers, make_writer_helpers
from tovrel.reader import EMPTY_CELL, Workbook
from tovrel.worksheet import Cell, StyleArray, Worksheet
from tovrel.worksheet import Workbook as HostWorkbook

DEFAULT = pathlib.Path(__file__).resolve().parent.parent / "demo" / "demo.xlsx"
_NUMBER = re.compile(r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$")


class Failure(Exception):
    """A one-line reason to stop."""


def progress(text):
    print(text, file=sys.stderr, flush=True)


def native_bytes(store):
    """The store's native bytes, from the test probe when it is built alongside; else None."""
    try:
        import _tovrel_probe
    except ImportError:
        return None
    return _tovrel_probe.store_bytes(store)


def parse_edit(text):
    """'Sheet!B2=42' -> (sheet, (row, column), value, data_type); value None deletes."""
    target, sep, value = text.partition("=")
    sheet, bang, coord = target.rpartition("!")
    if not sep or not bang or not sheet:
        raise Failure(f"edit {text!r}: expected Sheet!A1=value")
    try:
        key = coordinate_to_tuple(coord.strip())
    except Exception:
        raise Failure(f"edit {text!r}: {coord!r} is not a cell reference") from None
    if value == "":
        return sheet, key, None, None
    if value.startswith("="):
        return sheet, key, value, "f"
    if _NUMBER.match(value):
        number = float(value)
        return sheet, key, int(value) if re.fullmatch(r"[+-]?\d+", value) else number, "n"
    return sheet, key, value, "s"


def apply_edit(ws, store, key, value, data_type):
    if value is None:
        if key in store:
            del store[key]
        return
    cell = store.get(key)
    if cell is None:
        store[key] = Cell(key[0], key[1], value, data_type, parent=ws)
    else:
        cell._value, cell.data_type = value, data_type


def root_tags(data):
    """(prolog with the root start tag, root end tag) of a worksheet part."""
    i = 0
    while True:
        i = data.index(b"<", i)
        if data[i + 1:i + 2] == b"?":
            i = data.index(b"?>", i) + 2
        elif data[i + 1:i + 4] == b"!--":
            i = data.index(b"-->", i) + 3
        elif data[i + 1:i + 2] == b"!":
            i = data.index(b">", i) + 1
        else:
            break
    j, quote = i + 1, None
    while True:
        ch = data[j:j + 1]
        if not ch:
            raise ValueError("unterminated root start tag")
        if quote:
            quote = None if ch == quote else quote
        elif ch in (b'"', b"'"):
            quote = ch
        elif ch == b">":
            break
        j += 1
    start = data[:j + 1]
    if start.endswith(b"/>"):
        raise ValueError("empty root element")
    name = re.match(rb"<([^\s/>]+)", data[i:]).group(1)
    return start, b"</" + name + b">"


def write_part(data, ws, helpers):
    """The worksheet part rebuilt around a freshly written <sheetData>."""
    pre = _tovrel.prescan_sheet(io.BytesIO(data), False, None, helpers)
    start, end = root_tags(data)
    out = []
    _tovrel.SheetWriter(ws, out.append, True, make_writer_helpers(True)).write_sheet_data(
        lambda: sorted(_rows(ws._cells).items()))
    sheet_data = b"".join(out)
    if f'xmlns="{MAIN_NS}"'.encode() not in start:
        # The root binds the main namespace to a prefix: declare it for the written element.
        sheet_data = sheet_data.replace(b"<sheetData", f'<sheetData xmlns="{MAIN_NS}"'.encode(), 1)
    head = b"".join(snippet for snippet, _ns in pre["head"])
    tail = b"".join(snippet for snippet, _ns in pre["tail"])
    return start + head + sheet_data + tail + end


def _rows(cells):
    rows = {}
    for key in cells:
        rows.setdefault(key[0], []).append(cells[key])
    return rows


def same(a, b):
    if a == "" and b is None:
        return True  # the host writes an empty text as a cell without a value
    if isinstance(a, float) and isinstance(b, (int, float)):
        return float("%.16g" % a) == b or (a != a and b != b)  # written as "%.16g"
    if isinstance(a, datetime.timedelta) and isinstance(b, datetime.timedelta):
        return abs(a - b) < datetime.timedelta(milliseconds=1)
    return a == b


def load(wb, styles):
    """Every sheet bound into a CellStore: {name: (ws, store)}; fallbacks listed by name."""
    loaded, fallbacks = {}, {}
    for name, part in wb.package.sheets:
        ws = Worksheet(styles)
        t0 = time.perf_counter()
        try:
            store, _actions, parser = wb.bind(name, ws, styles._cell_styles, Cell)
        except _tovrel.NativeFallback as e:
            fallbacks[name] = str(e)
            progress(f"# sheet {name!r}: left to the pure-Python path: {e}")
            continue
        except (IndexError, TypeError) as e:
            # A style id the workbook's style list rejects: the package's own loader fails too.
            fallbacks[name] = f"{type(e).__name__}: {e}"
            progress(f"# sheet {name!r}: not loadable: {fallbacks[name]}")
            continue
        except (KeyError, ET.ParseError, zipfile.BadZipFile, EOFError) as e:
            raise Failure(f"part {part}: {type(e).__name__}: {e}") from None
        seconds = time.perf_counter() - t0
        ws._cells = store
        # The attributes a host row dimension keeps: r is written anyway, and attributes of
        # other namespaces are dropped.
        ws.row_dimensions = {int(r): {k: v for k, v in dim.items() if k != "r" and k[0] != "{"}
                             for r, dim in parser.row_dimensions.items()}
        size = wb.package.size(part)
        cells, built, templates, text_bytes = store._stats()
        nbytes = native_bytes(store)
        per_cell = f"{nbytes / cells:.1f} native bytes/cell" if nbytes and cells else "native bytes n/a"
        print(f"sheet {name!r}: {cells} cells; _stats() = {store._stats()}; {per_cell}; "
              f"loaded at {size / 1e6 / seconds if seconds else 0:.1f} MB/s")
        progress(f"# loaded {name!r}: {cells} cells, {size / 1e6 / seconds if seconds else 0:.1f} MB/s")
        loaded[name] = (ws, store)
    return loaded, fallbacks


def save(src, loaded, wb, out_path):
    """Writes the new package to a temporary name beside out_path, then renames it. A sheet
    the engine cannot rewrite keeps its part unchanged; returns {sheet: reason} for those."""
    fallbacks = {}
    names = {part: name for name, part in wb.package.sheets}
    sheet_parts = {part: loaded[name] for name, part in wb.package.sheets if name in loaded}
    folder = out_path.resolve().parent
    fd, tmp = tempfile.mkstemp(prefix=".tovrel-", suffix=".xlsx", dir=folder)
    os.close(fd)
    try:
        with zipfile.ZipFile(src) as zin, zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as zout:
            for info in zin.infolist():
                data = zin.read(info.filename)
                part = info.filename.replace("\\", "/")
                target = next((v for p, v in sheet_parts.items() if p.lower() == part.lower()), None)
                if target is not None:
                    ws, _store = target
                    try:
                        data = write_part(data, ws, wb.helpers)
                        info = zipfile.ZipInfo(info.filename, info.date_time)
                        info.compress_type = zipfile.ZIP_DEFLATED
                    except _tovrel.NativeFallback as e:
                        name = next(n for p, n in names.items() if p.lower() == part.lower())
                        fallbacks[name] = str(e)
                    except ValueError as e:
                        raise Failure(f"part {part}: {e}") from None
                zout.writestr(info, data)
        os.replace(tmp, out_path)
    except BaseException:
        os.unlink(tmp)
        raise
    return fallbacks


def verify(out_path, loaded):
    """Compares every value read back with RowReader against the stores: (compared, diffs)."""
    compared, diffs = 0, []
    with Workbook(out_path) as wb:
        for name, (_ws, store) in loaded.items():
            got = {}
            for _index, row in wb.rows(name, values_only=False):
                got.update(((c.row, c.column), c._value) for c in row if c is not EMPTY_CELL)
            for key in set(got) | set(store):
                want = store[key]._value if key in store else None
                compared += 1
                if not same(want, got.get(key)):
                    diffs.append(f"{name}!{key}: wrote {want!r}, read back {got.get(key)!r}")
    return compared, diffs


def run(path, out_path, edits):
    if out_path is not None and out_path.resolve() == path.resolve():
        raise Failure(f"output {out_path} is the input: the input is never modified")
    try:
        wb = Workbook(path)
    except FileNotFoundError as e:
        raise Failure(f"{path}: {e.strerror}") from None
    except zipfile.BadZipFile as e:
        raise Failure(f"{path}: not a readable package: {e}") from None
    except (KeyError, ET.ParseError, _tovrel.NativeFallback, EOFError) as e:
        raise Failure(f"{path}: {type(e).__name__}: {e}") from None
    with wb:
        bad = wb.package.zip.testzip()
        if bad:
            raise Failure(f"part {bad}: damaged (bad CRC)")
        for kind, part in wb.package._rels(wb.package.workbook_part).values():
            if kind == "worksheet" and not wb.package.has(part):
                raise Failure(f"part {part}: missing from the package")
        host = HostWorkbook(epoch=wb.epoch)
        for i in range(1, wb.cell_format_count):
            host._cell_styles.add(StyleArray([i] + [0] * 8))
        loaded, fallbacks = load(wb, host)
        for sheet, key, value, data_type in map(parse_edit, edits):
            if sheet not in loaded:
                raise Failure(f"edit of {sheet!r}: no such loaded sheet")
            ws, store = loaded[sheet]
            apply_edit(ws, store, key, value, data_type)
        print(f"edits applied: {len(edits)}")
        t0 = time.perf_counter()
        for name, reason in save(path, loaded, wb, out_path).items():
            fallbacks[name] = reason
            del loaded[name]
        print(f"wrote {out_path} in {(time.perf_counter() - t0) * 1000:.1f} ms")
    compared, diffs = verify(out_path, loaded)
    print(f"read back: {compared} cells compared, {len(diffs)} differences")
    for d in diffs[:20]:
        print(f"  {d}")
    for name, reason in fallbacks.items():
        print(f"sheet {name!r}: left to the pure-Python path: {reason}")
    return 1 if diffs or fallbacks else 0


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("input", nargs="?", default=str(DEFAULT))
    ap.add_argument("--out")
    ap.add_argument("--set", nargs="*", default=[], dest="edits")
    args = ap.parse_args(argv[1:])
    path = pathlib.Path(args.input)
    temp_dir = None
    if args.out:
        out_path = pathlib.Path(args.out)
    else:
        temp_dir = tempfile.TemporaryDirectory()
        out_path = pathlib.Path(temp_dir.name) / path.name
    try:
        return run(path, out_path, args.edits)
    except Failure as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    finally:
        if temp_dir:
            temp_dir.cleanup()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
