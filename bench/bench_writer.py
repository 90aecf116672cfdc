"""Writing rows: SheetWriter.write_row against a pure-Python writer that builds each <c> with
ElementTree and serialises it (the host's own path), on the same million cells in the same run;
both outputs are checked equal first. XlsxWriter's constant_memory worksheet writing of the same
cells is reported as a peer when it is installed. Ratio = Python time / native time."""
import datetime as dt
import os
import pathlib
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

ROOT = pathlib.Path(__file__).resolve().parents[1]
import common  # noqa: E402,F401 - the build directory, when the environment has none
import _tovrel  # noqa: E402
sys.path.insert(0, str(ROOT))
from tovrel.helpers import cell_element, make_writer_helpers  # noqa: E402
from tovrel.worksheet import Cell, StyleArray, Worksheet  # noqa: E402

ROWS, COLS = 100_000, 10
STYLES = [None, StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0]), StyleArray([1, 0, 0, 0, 0, 0, 0, 0, 0]),
          StyleArray([0, 2, 1, 0, 0, 0, 0, 0, 0])]
DAY0 = dt.datetime(2020, 1, 1)


def make_rows():
    rows = []
    for r in range(1, ROWS + 1):
        cells = []
        for c in range(1, COLS + 1):
            k = (r * 7 + c) % 10
            if k < 3:
                cell = Cell(r, c, r * 1.25 + c, "n")
            elif k < 5:
                cell = Cell(r, c, r * 1000 + c, "n")
            elif k < 7:
                cell = Cell(r, c, f"item {r}-{c} & more", "s")
            elif k < 8:
                cell = Cell(r, c, DAY0 + dt.timedelta(hours=r % 5000), "d")
            elif k < 9:
                cell = Cell(r, c, f"=SUM(A{r}:C{r})*2", "f")
            else:
                cell = Cell(r, c, r % 2 == 0, "b")
            cell._style = STYLES[(r + c) % len(STYLES)]
            cells.append(cell)
        rows.append(cells)
    return rows


def native(rows):
    out = []
    writer = _tovrel.SheetWriter(Worksheet(), out.append, False, make_writer_helpers())
    t0 = time.perf_counter()
    for r, cells in enumerate(rows, 1):
        writer.write_row(cells, r)
    writer.flush()
    return time.perf_counter() - t0, "".join(out)


def python(rows):
    """The host's pure-Python row writing: one ElementTree <c> per cell, serialised."""
    out = []
    ws = Worksheet()
    write = out.append
    t0 = time.perf_counter()
    for r, cells in enumerate(rows, 1):
        write(f'<row r="{r}">')
        for cell in cells:
            styled = cell._style is not None and any(cell._style)
            write(ET.tostring(cell_element(ws, cell, styled), encoding="unicode"))
        write("</row>")
    return time.perf_counter() - t0, "".join(out)


def xlsxwriter_peer(rows):
    try:
        import xlsxwriter
    except ImportError:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        wb = xlsxwriter.Workbook(os.path.join(tmp, "peer.xlsx"), {"constant_memory": True})
        ws = wb.add_worksheet()
        formats = [None] + [wb.add_format({"bold": True}) for _ in STYLES[1:]]
        date_fmt = wb.add_format({"num_format": "yyyy-mm-dd hh:mm"})
        t0 = time.perf_counter()
        for r, cells in enumerate(rows):
            for c, cell in enumerate(cells):
                v, t = cell._value, cell.data_type
                fmt = formats[STYLES.index(cell._style)]
                if t == "d":
                    ws.write_datetime(r, c, v, date_fmt)
                elif t == "f":
                    ws.write_formula(r, c, v, fmt)
                elif t == "b":
                    ws.write_boolean(r, c, v, fmt)
                elif t == "s":
                    ws.write_string(r, c, v, fmt)
                else:
                    ws.write_number(r, c, v, fmt)
        written = time.perf_counter() - t0
        wb.close()
        return written, time.perf_counter() - t0


def main():
    rows = make_rows()
    n = ROWS * COLS
    native(rows)  # warm-up: style cache, page faults of the output
    # The machine may be shared: native runs just before and just after the Python run, and their
    # mean is compared with it, so both see the same conditions.
    before, xml_native = native(rows)
    t_python, xml_python = python(rows)
    t_native = (before + native(rows)[0]) / 2
    assert xml_native == xml_python, "outputs differ"
    mb = len(xml_native.encode()) / 1e6
    print(f"{n:,} cells in {ROWS:,} rows ({mb:.1f} MB of XML)")
    print(f"  write_row (native)            {t_native:8.3f} s  {mb / t_native:8.1f} MB/s  "
          f"{n / t_native / 1e6:6.2f} M cells/s")
    print(f"  ElementTree per cell (python) {t_python:8.3f} s  {mb / t_python:8.1f} MB/s")
    print(f"  ratio python / native         {t_python / t_native:8.1f}x  (floor 20x, goal 50x)")
    peer = xlsxwriter_peer(rows)
    if peer is None:
        print("  XlsxWriter not installed: no peer figure")
    else:
        print(f"  XlsxWriter constant_memory    {peer[0]:8.3f} s writing cells, {peer[1]:.3f} s "
              f"with close(); ratio to native {peer[0] / t_native:.1f}x")


if __name__ == "__main__":
    main()
