"""Streams a workbook through the native engine: ``python -m tovrel.demo [book.xlsx]``.

Prints every row of every worksheet (CSV-like), then a summary line per sheet and for the whole
book. Then writes every streamed sheet back through SheetWriter.write_row (each cell keeping its
style index), reports cells written, MB/s of XML and how many cells went to the host's
write_cell, and re-reads the written rows with RowReader to check that every value came back.
Without an argument it reads the bundled demo workbook. Exits non-zero when the engine falls back
to the pure-Python path for a sheet, naming the sheet and the reason, or when a value does not
come back equal."""
import csv
import datetime
import io
import pathlib
import sys
import time

import _tovrel

from tovrel.helpers import make_writer_helpers
from tovrel.reader import EMPTY_CELL, ReadOnlyCell, Workbook
from tovrel.worksheet import Cell, StyleArray, Worksheet
from tovrel.worksheet import Workbook as WriteWorkbook

DEFAULT = pathlib.Path(__file__).resolve().parent.parent / "demo" / "demo.xlsx"


def text(value):
    if value is None:
        return ""
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        return value.isoformat()
    return str(value)


def style_of(index):
    """A style whose index in the written workbook's style list is `index`."""
    return StyleArray([index] + [0] * 8)


def write_back(wb, name):
    """Streams the sheet as cells, writes them with write_row and reads the result back.
    Returns (cells written, bytes, seconds, cells sent to write_cell, values equal)."""
    rows = []
    parser = wb.parser()
    for index, cells in wb.rows(name, values_only=False, parser=parser):
        rows.append((index, [Cell(c.row, c.column, c._value, c.data_type, style_of(c._style_id))
                             for c in cells if c is not EMPTY_CELL]))
    book = WriteWorkbook(epoch=wb.epoch)
    top = max((c._style.tolist()[0] for _, cells in rows for c in cells), default=0)
    for i in range(1, top + 1):
        book._cell_styles.add(style_of(i))
    ws = Worksheet(book)
    ws.row_dimensions = {int(r): {k: v for k, v in attrs.items() if k != "r"}
                         for r, attrs in parser.row_dimensions.items()}
    helpers = make_writer_helpers()
    host_write_cell = helpers["write_cell"]
    sent = []

    def write_cell(ws, cell, styled):
        sent.append(cell)
        return host_write_cell(ws, cell, styled)

    helpers["write_cell"] = write_cell
    out = []
    writer = _tovrel.SheetWriter(ws, out.append, False, helpers)
    t0 = time.perf_counter()
    for index, cells in rows:
        writer.write_row(cells, index)
    writer.flush()
    elapsed = time.perf_counter() - t0
    xml = "".join(out).encode()

    # Read it back as a worksheet of its own and compare values cell by cell.
    part = (b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            b"<sheetData>" + xml + b"</sheetData></worksheet>")
    reader = _tovrel.RowReader(io.BytesIO(part), wb.parser(), wb.helpers)
    expected = {(c.row, c.column): c._value for _, cells in rows for c in cells}
    got = {}
    while (row := reader.next_row(name, 1, None, False, ReadOnlyCell, EMPTY_CELL)) is not None:
        got.update(((c.row, c.column), c._value) for c in row[1] if c is not EMPTY_CELL)
    written = sum(1 for v in expected.values() if v is not None)
    equal = all(same(v, got.get(k)) for k, v in expected.items())
    return written, len(xml), elapsed, len(sent), equal


def same(a, b):
    return a == b or (a != a and b != b)  # NaN comes back as NaN


def main(argv):
    path = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT
    out = csv.writer(sys.stdout, lineterminator="\n")
    total_rows = total_cells = total_bytes = 0
    total_time = 0.0
    failed = []
    start = time.perf_counter()
    with Workbook(path) as wb:
        print(f"# workbook {path}: {len(wb.sheet_names)} sheets, "
              f"{len(wb.shared_strings)} shared strings")
        for name, part in wb.package.sheets:
            size = wb.package.size(part)
            print(f"# sheet {name!r}")
            rows = cells = 0
            t0 = time.perf_counter()
            try:
                for index, values in wb.rows(name):
                    rows += 1
                    cells += sum(v is not None for v in values)
                    out.writerow([index] + [text(v) for v in values])
            except _tovrel.NativeFallback as e:
                failed.append(name)
                where = "" if getattr(e, "offset", None) is None else f" at byte {e.offset}"
                print(f"# sheet {name!r}: the native engine falls back to Python: {e}{where}")
                continue
            elapsed = time.perf_counter() - t0
            total_rows += rows
            total_cells += cells
            total_bytes += size
            total_time += elapsed
            print(f"# sheet {name!r}: {rows} rows, {cells} cells, {size / 1e6:.2f} MB XML "
                  f"streamed and printed in {elapsed * 1000:.1f} ms")
        written = size = sent = 0
        elapsed = 0.0
        unequal = []
        for name, _part in wb.package.sheets:
            if name in failed:
                continue
            n, nbytes, seconds, to_host, equal = write_back(wb, name)
            written += n
            size += nbytes
            elapsed += seconds
            sent += to_host
            if not equal:
                unequal.append(name)
    mbps = total_bytes / 1e6 / total_time if total_time else 0.0
    print(f"# total: {total_rows} rows, {total_cells} cells, {total_time * 1000:.1f} ms streaming and printing "
          f"({mbps:.1f} MB/s of worksheet XML), {(time.perf_counter() - start) * 1000:.1f} ms in all")
    print(f"# written back: {written} cells by SheetWriter.write_row, {size / 1e6:.2f} MB of XML "
          f"in {elapsed * 1000:.1f} ms ({size / 1e6 / elapsed if elapsed else 0.0:.1f} MB/s), "
          f"{sent} cells sent to write_cell; read back with RowReader: "
          + ("every value equal" if not unequal else f"values differ on {', '.join(unequal)}"))
    if unequal:
        print(f"# values differ after writing: {', '.join(unequal)}", file=sys.stderr)
        return 1
    if failed:
        print(f"# fell back on: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
