"""Loading a worksheet for editing and writing it back.

bind_cells: 1,000,000 cells (50,000 rows of 20: integers, floats, shared strings, formulas) into
a CellStore, against the pure-Python way of getting the same cells into a worksheet's dict:
ElementTree's iterparse plus a slotted cell object per cell, and (a lower bound for any Python
reader) building just the cell objects from already parsed tuples. Also the store's native
bytes per cell.

write_sheet_data: the same sheet written from the compact store, from a dict of its materialised
cells, and by a pure-Python ElementTree writer (one element per row, cells built as the host's
writer builds them); the Python baselines run on a fifth of the rows and are compared per cell."""
import gc
import io
import time
import xml.etree.ElementTree as ET

import common  # noqa: E402,F401 - the build directory, when the environment has none
import _tovrel  # noqa: E402
import _tovrel_probe as probe  # noqa: E402

from tovrel.helpers import MAIN_NS, cell_element, column_letters, make_helpers, make_writer_helpers
from tovrel.reader import SheetParser
from tovrel.worksheet import Cell, StyleArray, Workbook, Worksheet

ROWS, WIDTH = 50_000, 20
N = ROWS * WIDTH
STRINGS = [f"text number {i}" for i in range(300)]
M = "{%s}" % MAIN_NS


def sheet_xml(rows):
    letters = [column_letters(c) for c in range(1, WIDTH + 1)]
    out = [f'<worksheet xmlns="{MAIN_NS}"><sheetData>']
    for r in range(1, rows + 1):
        out.append(f'<row r="{r}">')
        for c in range(1, WIDTH + 1):
            ref = f"{letters[c - 1]}{r}"
            if c <= 8:
                out.append(f'<c r="{ref}"><v>{(r * c) % 100000}</v></c>')
            elif c <= 14:
                out.append(f'<c r="{ref}" s="1"><v>{r / c:.6f}</v></c>')
            elif c <= 18:
                out.append(f'<c r="{ref}" t="s"><v>{(r + c) % 300}</v></c>')
            else:
                out.append(f'<c r="{ref}"><f>{letters[c - 2]}{r}*2</f><v>1</v></c>')
        out.append("</row>")
    out.append("</sheetData></worksheet>")
    return "".join(out).encode()


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def host_sheet():
    wb = Workbook()
    wb._cell_styles.add(StyleArray([1] + [0] * 8))
    return Worksheet(wb)


def bind(data, ws):
    store = _tovrel.CellStore()
    _tovrel.bind_cells(io.BytesIO(data), SheetParser(STRINGS), ws, store, ws.parent._cell_styles,
                       Cell, make_helpers(), [])
    return store


def python_load(data, ws):
    """iterparse and one cell object per <c>, into a dict: the pure-Python loader's work."""
    styles = ws.parent._cell_styles
    cells = {}
    row = 0
    for event, el in ET.iterparse(io.BytesIO(data), events=("start", "end")):
        if event == "start":
            if el.tag == M + "row":
                row = int(el.get("r"))
            continue
        if el.tag == M + "c":
            col = 0
            for ch in el.get("r"):
                if ch.isalpha():
                    col = col * 26 + ord(ch) - 64
            t = el.get("t", "n")
            f = el.find(M + "f")
            v = el.findtext(M + "v")
            if f is not None:
                value, t = "=" + f.text, "f"
            elif t == "s":
                value = STRINGS[int(v)]
            else:
                value = float(v) if "." in v else int(v)
            cells[(row, col)] = Cell(row, col, value, t, StyleArray(styles[int(el.get("s", 0))]),
                                     parent=ws)
        elif el.tag == M + "row":
            el.clear()
    return cells


def build_only(tuples, ws):
    """Only the cell objects and the dict, from tuples already parsed."""
    styles = ws.parent._cell_styles
    return {(r, c): Cell(r, c, v, t, StyleArray(styles[s]), parent=ws) for r, c, v, t, s in tuples}


def write_native(ws, cells, lxml=False):
    ws._cells, out = cells, []
    _tovrel.SheetWriter(ws, out.append, lxml, make_writer_helpers(lxml)).write_sheet_data(lambda: [])
    return "".join(out) if not lxml else b"".join(out)


def write_python(ws, cells):
    """A pure-Python writer: a <row> element per row with the host's cell elements, serialised
    by ElementTree."""
    rows = {}
    for key in sorted(cells):
        rows.setdefault(key[0], []).append(cells[key])
    out = ["<sheetData>"]
    for r, row_cells in rows.items():
        el = ET.Element("row", r=str(r))
        for cell in row_cells:
            styled = cell._style is not None and any(cell._style)
            if cell._value is None and not styled:
                continue
            el.append(cell_element(ws, cell, styled))
        out.append(ET.tostring(el, encoding="unicode"))
    out.append("</sheetData>")
    return "".join(out)


def main():
    data = sheet_xml(ROWS)
    ws = host_sheet()
    print(f"bind_cells: {N:,} cells, {len(data) / 1e6:.1f} MB of sheet XML")
    native, store = min((timed(lambda: bind(data, ws)) for _ in range(2)), key=lambda t: t[0])
    per_cell = probe.store_bytes(store) / len(store)
    assert len(store) == N

    part = sheet_xml(ROWS // 5)
    n_part = N // 5
    py_load, py_cells = timed(lambda: python_load(part, ws))
    assert len(py_cells) == n_part
    tuples = [(k[0], k[1], c._value, c.data_type, 1 if any(c._style) else 0)
              for k, c in py_cells.items()]
    del py_cells
    py_build, _ = timed(lambda: build_only(tuples, ws))
    ns = lambda seconds, n: seconds / n * 1e9
    print(f"  bind_cells                        {ns(native, N):7.1f} ns/cell  "
          f"{len(data) / native / 1e6:6.1f} MB/s  {per_cell:.1f} native bytes/cell")
    print(f"  iterparse + cell objects in dict  {ns(py_load, n_part):7.1f} ns/cell  "
          f"-> bind_cells {py_load / n_part / (native / N):5.1f}x faster")
    print(f"  cell objects in dict only         {ns(py_build, n_part):7.1f} ns/cell  "
          f"-> bind_cells {py_build / n_part / (native / N):5.1f}x faster (floor 10x, goal 30x)")

    print(f"write_sheet_data: {N:,} cells")
    from_store, text = min((timed(lambda: write_native(ws, store)) for _ in range(2)), key=lambda t: t[0])
    from_store_lxml, _ = timed(lambda: write_native(ws, store, True))
    assert store._stats()[1] == 0, "the store path built cell objects"
    cells = {key: store[key] for key in store}
    from_dict, text2 = timed(lambda: write_native(ws, cells))
    assert text == text2
    some = {k: cells[k] for k in list(cells)[:n_part]}
    py_write, _ = timed(lambda: write_python(ws, some))
    print(f"  compact store                     {ns(from_store, N):7.1f} ns/cell  "
          f"{len(text) / from_store / 1e6:6.1f} MB/s (lxml form {ns(from_store_lxml, N):.1f} ns/cell)")
    print(f"  dict of cell objects              {ns(from_dict, N):7.1f} ns/cell  "
          f"-> store {from_dict / from_store:5.1f}x faster")
    print(f"  pure-Python ElementTree writer    {ns(py_write, n_part):7.1f} ns/cell  "
          f"-> store {py_write / n_part / (from_store / N):5.1f}x faster (goal 30x)")


if __name__ == "__main__":
    main()
