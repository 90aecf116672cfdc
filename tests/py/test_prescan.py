"""prescan_sheet(source, want_rows, corners, helpers): the markup of the root's children around
<sheetData>, the rows and the style of chosen cells, checked against an ElementTree reading of
the same sheets."""
import glob
import inspect
import io
import pathlib
import re
import zipfile
import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr

import pytest

from _tovrel import NativeFallback, prescan_sheet
from tovrel.helpers import MAIN_NS, coordinate_to_tuple, make_helpers

REPO = pathlib.Path(__file__).resolve().parents[2]
DEMO = REPO / "demo" / "demo.xlsx"
SHEET_PART = re.compile(r"(?:^|/)worksheets/[^/]+\.xml$")
SHEET_DATA, ROW, CELL = (f"{{{MAIN_NS}}}{name}" for name in ("sheetData", "row", "c"))
HELPERS = {"row_index": make_helpers()["row_index"]}


class Chunked:
    """A source whose reads return 1, 2, ... 97, 1, 2, ... bytes: '<' lands on every buffer edge."""

    def __init__(self, data):
        self.data, self.pos, self.size = data, 0, 0

    def read(self, n):
        self.size = self.size % 97 + 1
        chunk = self.data[self.pos:self.pos + self.size]
        self.pos += len(chunk)
        return chunk


# --- the differential test over real sheets ----------------------------------------------------

def reference(data):
    """What an ElementTree reading finds: the root's children before and after the first
    <sheetData>, every row as (index, attributes), and every cell position with its style."""
    root = ET.fromstring(data)
    head, tail, sheet_data = [], [], None
    for child in root:
        if child.tag == SHEET_DATA and sheet_data is None:
            sheet_data = child
        else:
            (head if sheet_data is None else tail).append(child)
    rows, cells, row, column = [], {}, 0, 0
    for el in sheet_data.iter() if sheet_data is not None else ():
        if el.tag == ROW:
            r = el.get("r")
            row, column = (row + 1 if r is None else int(r)), 0
            rows.append((row, list(el.attrib.items())))
        elif el.tag == CELL:
            at = coordinate_to_tuple(el.get("r")) if el.get("r") else (row, column + 1)
            column = at[1]
            cells[at] = el.get("s")
    return head, tail, rows, cells


def reparse(snippet, namespaces):
    decls = "".join(f" xmlns{':' + p if p else ''}={quoteattr(uri)}" for p, uri in namespaces if p != "xml")
    return ET.fromstring(f"<wrap{decls}>".encode() + snippet + b"</wrap>")[0]


def shape(el, top=True):
    return (el.tag, el.attrib, el.text, None if top else el.tail, [shape(c, False) for c in el])


def check_sheet(data):
    """Compares prescan_sheet with the ElementTree reading; returns the fallback message, if any."""
    head, tail, rows, cells = reference(data)
    wanted = list(cells) + [(0, 0), (10**9, 5)]
    try:
        got = prescan_sheet(io.BytesIO(data), True, wanted, HELPERS)
    except NativeFallback as e:
        assert str(e).startswith("unsupported: "), str(e)  # ElementTree read it: never malformed
        return str(e)
    assert list(got) == ["head", "tail", "rows", "corners"]
    for key, elements in (("head", head), ("tail", tail)):
        assert [shape(reparse(*m)) for m in got[key]] == [shape(el) for el in elements], key
    assert got["rows"] == rows
    assert got["corners"] == cells
    # The other reading modes: rows only on request, found through the fast row form as well.
    assert prescan_sheet(Chunked(data), False, wanted, HELPERS) == dict(got, rows=[])
    assert prescan_sheet(io.BytesIO(data), False, None, HELPERS) == dict(got, rows=[], corners={})
    return None


def sheets_of(path):
    try:
        z = zipfile.ZipFile(path)
    except zipfile.BadZipFile:
        return []  # an encrypted workbook is not a zip
    with z:
        return [(n, z.read(n)) for n in z.namelist() if SHEET_PART.search(n)]


def check_workbook(path):
    parts = sheets_of(path)
    fallbacks = {name: reason for name, data in parts if (reason := check_sheet(data))}
    return len(parts), fallbacks


def test_demo_workbook():
    count, fallbacks = check_workbook(DEMO)
    assert count and not fallbacks


def big_sheet():
    """Some 550 KB of rows, so the reader's window is compacted inside <sheetData>, with tags in
    every shape the raw scan meets: rows without r or with an r only the host reads, spaced and
    namespaced attributes, styles with references, cells without r or with an empty one, a cell
    given twice, tags that are not cells and cell tags inside text, and a second <sheetData>."""
    rows = []
    for r in range(1, 3001):
        head = ("<row>" if r % 7 == 0 else f"<row\n spans='1:4' r = \"{r}\" x:h='&amp;&#9;'>" if r % 5 == 0
                else f"<row r='+{r}'>" if r % 11 == 0 else f'<row r="\t{r}">' if r % 13 == 0
                else f'<row r="{r}" spans="1:4">')
        cells = []
        for c in range(4):
            ref = f"{'ABCD'[c]}{r}"
            cells.append((f'<c r="{ref}" s="{c}"><v>1</v></c>',
                           f"<c s='x&lt;{r}'><is><t>a &lt;c r=\"A1\"/></t></is></c>",
                           f"<c\tr='{ref}'/>",
                           '<c r="" t="s"><f>SUM(A1:B2)</f><v>2</v></c>',
                           f"<x:c r='{ref}' s='9'/><cx r='{ref}'/><c\nr='{ref}'\ns='{c}'/>",
                           f"<c r='{ref}' s='1'/><c r='{ref}' s='2'/>")[(r + c) % 6])
        rows.append(head + "".join(cells) + "</row>")
    return (f"<?xml version='1.0'?>\n<worksheet xmlns='{MAIN_NS}' xmlns:x='urn:x'><sheetPr><x:e a='1'/>"
            f"</sheetPr><dimension ref='A1'/><sheetData>{''.join(rows)}</sheetData ><pageMargins left='0.7'/>"
            "<sheetData/></worksheet>").encode()


def test_generated_sheet_across_window_compactions():
    data = big_sheet()
    assert len(data) > 4 << 16
    assert check_sheet(data) is None


def test_real_sheets(shared_dir):
    paths = sorted(glob.glob(str(shared_dir / "corpus" / "*.xlsx")) + glob.glob(str(shared_dir / "realworld" / "*.xlsx")))
    total, fallbacks = 0, {}
    for path in paths:
        count, fell = check_workbook(path)
        total += count
        fallbacks.update({f"{pathlib.Path(path).name}:{k}": v for k, v in fell.items()})
    assert total > 50
    assert len(fallbacks) < total // 10, fallbacks


# --- results on small sheets -------------------------------------------------------------------

def sheet(rows, before=b"<sheetPr/><dimension ref='A1:B2'/>", after=b"<pageMargins left='0.7'/>",
          root=f"<worksheet xmlns='{MAIN_NS}'>".encode(), close=b"</worksheet>"):
    return root + before + b"<sheetData>" + rows + b"</sheetData>" + after + close


def test_result_shape():
    data = sheet(b"<row r='1'><c r='A1' s='3'><v>1</v></c></row>")
    ns = [("", MAIN_NS)]
    got = prescan_sheet(Chunked(data), want_rows=False, corners=[(1, 1)], helpers=HELPERS)
    assert got == {"head": [(b"<sheetPr/>", ns), (b"<dimension ref='A1:B2'/>", ns)],
                   "tail": [(b"<pageMargins left='0.7'/>", ns)], "rows": [], "corners": {(1, 1): "3"}}
    assert prescan_sheet(io.BytesIO(data), True, None, HELPERS)["rows"] == [(1, [("r", "1")])]


# --- errors ------------------------------------------------------------------------------------

def row_tag(attrs):
    return sheet(b"<row" + attrs + b"/>")


ERRORS = [
    (sheet(b"", root=f"<x:worksheet xmlns:x='{MAIN_NS}'>".encode(), close=b"</x:worksheet>")
     .replace(b"<sheetData></sheetData>", b"<x:sheetData></x:sheetData>"), "unsupported: prefixed sheetData"),
    (sheet(b"<m:row r='1'/>", root=f"<worksheet xmlns='{MAIN_NS}' xmlns:m='{MAIN_NS}'>".encode()),
     "unsupported: prefixed row or cell"),
    (sheet(b"<row r='1'><m:c r='A1' xmlns:m='" + MAIN_NS.encode() + b"'/></row>"), "unsupported: prefixed row or cell"),
    (sheet(b"<!-- c -->"), "unsupported: comment/cdata/pi in sheetData"),
    (sheet(b"<row><c><v><![CDATA[1]]></v></c></row>"), "unsupported: comment/cdata/pi in sheetData"),
    (sheet(b"<?pi x?>"), "unsupported: comment/cdata/pi in sheetData"),
    (sheet(b"<row r='1'/>").split(b"</sheetData>")[0], "malformed: eof in element"),
    (sheet(b"<row r='1'/>").split(b"</sheetData>")[0] + b"<row r='2' spans='1", "malformed: eof in tag"),
    (row_tag(b" r='1's='2'"), "malformed: missing whitespace"),
    (row_tag(b" a:b:c='1'"), "unsupported: qname"),
    (row_tag(b" :a='1'"), "unsupported: qname"),
    (row_tag(b" r\xc3\xa9='1'"), "unsupported: attribute name"),
    (row_tag(b" r"), "malformed: expected ="),
    (row_tag(b" r/2='1'"), "unsupported: attribute name"),
    (row_tag(b" r=1"), "malformed: expected quote"),
    (row_tag(b" r='<'"), "malformed: < in attribute"),
    (row_tag(b" r='\x01'"), "malformed: invalid character"),
    (row_tag(b" r='\xff'"), "malformed: invalid utf-8"),
    (row_tag(b" r='&'"), "malformed: bad reference"),
    (row_tag(b" r='&x;'"), "malformed: undefined entity"),
    (row_tag(b" r='&#x;'"), "malformed: bad char ref"),
    (row_tag(b" r='&#0;'"), "malformed: invalid char ref"),
    (row_tag(b" xmlns='urn:x'"), "unsupported: namespace declaration"),
    (row_tag(b" xmlns:p='urn:x'"), "unsupported: namespace declaration"),
    (row_tag(b" p:a='1'"), "malformed: unbound prefix"),
    (row_tag(b" r='1' r='2'"), "malformed: duplicate attribute"),
    (sheet(b"<row r='9223372036854775807'/><row/>"), "unsupported: row index"),
    (sheet(b"<row r='99999999999999999999'/>"), "unsupported: row index"),
    (sheet(b"<row r='1'><c r='a1'/></row>"), "unsupported: coordinate"),
    (sheet(b"<row r='1'><c r='A1'/></row>", after=b"<a></b>"), "malformed: mismatched tag"),
]


@pytest.mark.parametrize("data,message", ERRORS, ids=[f"{m}-{i}" for i, (_, m) in enumerate(ERRORS)])
@pytest.mark.parametrize("source", [io.BytesIO, Chunked], ids=["bytesio", "chunked"])
def test_errors(data, message, source):
    with pytest.raises(NativeFallback) as info:
        prescan_sheet(source(data), True, [(1, 1)], HELPERS)
    assert str(info.value) == message
    assert 0 <= info.value.offset <= len(data)


@pytest.mark.parametrize("row_index,exc,message", [
    (int, ValueError, "invalid literal for int() with base 10: 'x'"),
    (str, NativeFallback, "unsupported: row index"),
])
def test_host_row_index_failures(row_index, exc, message):
    with pytest.raises(exc) as info:
        prescan_sheet(io.BytesIO(row_tag(b" r='x'")), True, None, {"row_index": row_index})
    assert str(info.value) == message


class StrSource:
    def read(self, n):
        return "<worksheet/>"


GOOD = sheet(b"<row r='1'/>")


@pytest.mark.parametrize("args,exc,message", [
    ((io.BytesIO(GOOD), 1, None, HELPERS), TypeError, "prescan_sheet() argument 'want_rows' must be bool, not int"),
    ((io.BytesIO(GOOD), True, None, []), TypeError, "prescan_sheet() argument 'helpers' must be dict, not list"),
    ((io.BytesIO(GOOD), True, None, {}), TypeError, "missing helper row_index"),
    ((io.BytesIO(GOOD), True, 5, HELPERS), TypeError, "'int' object is not iterable"),
    ((io.BytesIO(GOOD), True, [[1, 1]], HELPERS), TypeError, "'list' object cannot be converted to 'tuple'"),
    ((io.BytesIO(GOOD), True, [(1, 2, 3)], HELPERS), TypeError,
     "expected tuple of length 2, but got tuple of length 3"),
    ((io.BytesIO(GOOD), True, [(1, "1")], HELPERS), TypeError, "'str' object cannot be interpreted as an integer"),
    ((io.BytesIO(GOOD), True, [(1, 2**63)], HELPERS), OverflowError, "int too big to convert"),
    ((StrSource(), True, None, HELPERS), TypeError, "'str' object is not an instance of 'bytes'"),
], ids=["want_rows", "helpers-type", "helpers-key", "corners-iterable", "corner-list", "corner-length",
        "corner-str", "corner-overflow", "read-str"])
def test_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        prescan_sheet(*args)
    assert message in str(info.value)


def test_signature():
    assert prescan_sheet.__doc__ == "prescan_sheet(source, want_rows, corners, helpers) -> dict"
    assert str(inspect.signature(prescan_sheet)) == "(source, want_rows, corners, helpers)"
