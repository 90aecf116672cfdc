"""The XML reader over a ~50 MB worksheet, side by side with the standard library's expat parsing
the same bytes with no handlers, and with data.count(b"<") as the memory-speed floor:
find_dimension on a sheet without <dimension> (read to its end), and the reader's full
well-formedness scan (every event of the document pulled in C++, through the test probe
module's read_all, when it is built). Ratios are expat time / native time."""
import io
import pathlib
import sys
import xml.parsers.expat

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
try:
    import _tovrel
except ImportError:  # not installed: use the default build directory
    sys.path[:0] = [str(ROOT / "build"), str(ROOT)]
    import _tovrel
try:
    import _tovrel_probe
except ImportError:  # built without the tests: no full-scan figure
    _tovrel_probe = None
from common import best_of  # noqa: E402

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
TARGET = 50 * 1024 * 1024


def column(i):
    name = ""
    i += 1
    while i:
        i, r = divmod(i - 1, 26)
        name = chr(65 + r) + name
    return name


def worksheet():
    head = (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
            f'<worksheet xmlns="{MAIN}" xmlns:r="http://schemas.openxmlformats.org/'
            f'officeDocument/2006/relationships"><sheetViews><sheetView workbookViewId="0"/>'
            f'</sheetViews><sheetFormatPr defaultRowHeight="15"/><sheetData>').encode()
    cols = [column(c) for c in range(12)]
    parts, size, r = [head], len(head), 0
    while size < TARGET:
        r += 1
        cells = []
        for c, name in enumerate(cols):
            ref = f"{name}{r}"
            kind = c % 4
            if kind == 0:
                cells.append(f'<c r="{ref}" t="s"><v>{(r * 7 + c) % 5000}</v></c>')
            elif kind == 1:
                cells.append(f'<c r="{ref}" s="3"><v>{r * 1.25 + c}</v></c>')
            elif kind == 2:
                cells.append(f'<c r="{ref}"><f>SUM(A{r}:B{r})</f><v>{r + c}</v></c>')
            else:
                cells.append(f'<c r="{ref}" t="inlineStr"><is><t>text &amp; {r}</t></is></c>')
        row = f'<row r="{r}" spans="1:12">{"".join(cells)}</row>'.encode()
        parts.append(row)
        size += len(row)
    parts.append(b"</sheetData></worksheet>")
    return b"".join(parts)


def main():
    data = worksheet()
    mb = len(data) / 1e6

    def native():
        return _tovrel.find_dimension(io.BytesIO(data))

    def expat():
        p = xml.parsers.expat.ParserCreate()
        p.Parse(data, True)

    def floor():
        return data.count(b"<")

    t_native, result = best_of(native)
    assert result is None
    t_expat, _ = best_of(expat)
    t_floor, _ = best_of(floor)
    t_scan = None
    if _tovrel_probe is not None:
        t_scan, events = best_of(lambda: _tovrel_probe.read_all(io.BytesIO(data)))
        assert events > data.count(b"<")  # every tag, every text run, Eof
    print(f"document: {mb:.1f} MB")
    print(f"find_dimension   {mb / t_native:8.0f} MB/s")
    if t_scan is not None:
        print(f"full scan        {mb / t_scan:8.0f} MB/s")
    print(f"expat            {mb / t_expat:8.0f} MB/s")
    print(f"count(b'<')      {mb / t_floor:8.0f} MB/s")
    print(f"find_dimension vs expat: {t_expat / t_native:.2f}x (target >= 5x)")
    if t_scan is not None:
        print(f"full scan vs expat:      {t_expat / t_scan:.2f}x (target >= 5x)")
    print(f"share of memory-speed floor: {t_floor / t_native:.2f}")


if __name__ == "__main__":
    main()
