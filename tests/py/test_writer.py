"""SheetWriter: output against real serialisers (ElementTree in process, lxml in Debian's
python3), flushing, style ids, argument and host errors, borrowing."""
import datetime
import decimal
import gc
import html
import inspect
import json
import pathlib
import random
import re
import shutil
import subprocess
import sys
import threading
import xml.etree.ElementTree as ET

import pytest

import _tovrel
from tovrel import helpers as host
from tovrel.helpers import cell_element, make_writer_helpers
from tovrel.utils.datetime import MAC_EPOCH
from tovrel.worksheet import Cell, StyleArray, Workbook, Worksheet

HERE = pathlib.Path(__file__).resolve().parent
SYSTEM_PYTHON = "/usr/bin/python3"


class Str(str):
    pass


TEXTS = ["", "a b", " x", "x ", "  ", "\u00a0y\u3000", "a\tb", "l1\nl2", "cr\rlf\r\n", "<&>\"'",
         "é", "\U0001F600 astral", "]]>", "a\x01b", "\x1f", "\x7f", "=", "==A1", "=SUM(A1:A3)",
         "=é&<", "x\ud800", "\u2028", "tab\t", "\x85end"]
NUMBERS = [0, 1, -7, 2**53, 2**53 + 1, -(2**53) - 1, 10**17, 2**63 - 1, 2**63, -(2**63), 10**30,
           0.1, 1.0, -0.0, 1e16, 123456789012345678.0, 1e-05, 0.0001, 5e-324,
           1.7976931348623157e308,
           float("nan"), float("inf"), float("-inf"), True, False, 2.5e-7, -1234.5678]
DATES = [datetime.datetime(2020, 1, 2, 12, 30, 15, 250000), datetime.datetime(1900, 2, 28),
         datetime.datetime(1900, 1, 1), datetime.date(1999, 12, 31), datetime.time(6, 0, 0, 500)]
OTHERS = [decimal.Decimal("1"), Str("sub"), (1, 2), object()]
DATA_TYPES = ["n", "s", "f", "b", "e", "d", "inlineStr", "str", "x<&\"é"]
STYLES = [None, None, StyleArray(), StyleArray([0, 1, 0, 0, 0, 0, 0, 0, 0]),
          StyleArray([0] * 8 + [1]), StyleArray([3, 0, 2, 14, 0, 0, 0, 0, 0]), [0, 0, 1], [0] * 9]


def random_value(rng):
    pool = rng.choice([TEXTS, TEXTS, NUMBERS, NUMBERS, DATES, OTHERS, [None]])
    value = rng.choice(pool)
    if pool is TEXTS and rng.random() < 0.3:
        value = "".join(rng.choice(TEXTS) for _ in range(3))
    if pool is NUMBERS and rng.random() < 0.5:
        value = rng.choice([rng.uniform(-1e6, 1e6), rng.randrange(-10**12, 10**12),
                            rng.random() * 10 ** rng.randrange(-30, 30)])
    return value


def random_cell(rng, row, column):
    value = random_value(rng)
    if isinstance(value, (datetime.date, datetime.time)):
        data_type = "d"
    elif isinstance(value, str) and value.startswith("=") and rng.random() < 0.7:
        data_type = "f"
    else:
        data_type = rng.choice(DATA_TYPES[:-3] if rng.random() < 0.9 else DATA_TYPES)
        if data_type == "d":
            data_type = "n"
    style = rng.choice(STYLES)
    if isinstance(style, StyleArray):
        style = StyleArray(style)  # equal content, distinct objects
    comment = rng.choice([None] * 12 + ["note", ""])
    hyperlink = rng.choice([None] * 8 + ["https://example.com/?a=1&b=2", ""])
    return Cell(row, column, value, data_type, style, comment, hyperlink)


def random_rows(seed, nrows=150, max_cells=20):
    rng = random.Random(seed)
    rows = []
    for r in range(1, nrows + 1):
        columns = sorted(rng.sample(range(1, 18279), rng.randrange(0, max_cells)))
        if rng.random() < 0.05:
            columns.append(rng.choice([18279, 18300]))  # outside the sheet: the host writes them
        cells = [random_cell(rng, r, c) for c in columns]
        if rng.random() < 0.02:
            cells.append(Cell(2.0 if rng.random() < 0.5 else 2**70, 1, 1))
        rows.append((r, cells))
    return rows


def row_dims(seed):
    rng = random.Random(seed)
    return {r: dict(rng.sample([("ht", "20"), ("customHeight", "1"), ("spans", "1:3"),
                                ("x", "é\t<\"")], rng.randrange(1, 4)))
            for r in rng.sample(range(1, 151), 20)}


class Recorder:
    """write_cell wrapped to count the cells sent to the host."""

    def __init__(self, write_cell):
        self.write_cell = write_cell
        self.cells = []

    def __call__(self, ws, cell, styled):
        self.cells.append(id(cell))
        return self.write_cell(ws, cell, styled)


def run_writer(rows, lxml, dims=None, flush_each_row=False):
    ws = Worksheet()
    ws.row_dimensions.update(dims or {})
    out = []
    helpers = make_writer_helpers(lxml)
    recorder = helpers["write_cell"] = Recorder(helpers["write_cell"])
    writer = _tovrel.SheetWriter(ws, out.append, lxml, helpers)
    for r, cells in rows:
        writer.write_row(cells, r)
    writer.flush()
    joined = b"".join(out) if lxml else "".join(out)
    return joined, ws, recorder


def host_skips(cell):
    styled = cell._style is not None and any(cell._style)
    return cell._value is None and not styled and not cell._comment, styled


def expected_et(rows, dims):
    """The rows as the host writes them with ElementTree, plus its side effects."""
    ws = Worksheet()
    parts = []
    for r, cells in rows:
        attrs = {"r": str(r), **dims.get(r, {})}
        head = ET.tostring(ET.Element("row", attrs), encoding="unicode", short_empty_elements=False)
        parts.append(head[:-len("</row>")])
        for cell in cells:
            if cell._comment is not None:
                host.add_comment(ws, cell)
            skip, styled = host_skips(cell)
            if not skip:
                parts.append(ET.tostring(cell_element(ws, cell, styled), encoding="unicode"))
        parts.append("</row>")
    return "".join(parts), ws


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_elementtree_form_equals_elementtree(seed):
    rows, dims = random_rows(seed), row_dims(seed)
    got, ws, recorder = run_writer(rows, False, dims)
    want, host_ws = expected_et(rows, dims)
    assert got == want
    assert ws._hyperlinks == host_ws._hyperlinks
    assert ws.comments == host_ws.comments
    assert list(ws.parent._cell_styles) == list(host_ws.parent._cell_styles)
    total = sum(not host_skips(c)[0] for _, cells in rows for c in cells)
    native = total - len(recorder.cells)
    print(f"\nElementTree form, seed {seed}: {total} cells, {native} native, "
          f"{len(recorder.cells)} through write_cell")
    assert native > total // 2


def as_tree(el):
    return [el.tag, list(el.attrib.items()), el.text or "", [as_tree(child) for child in el]]


_START_TAG = re.compile(r'<([\w:]+)((?:\s+[\w:]+="[^"]*")*)(\s*/?)>')
_ATTR = re.compile(r'([\w:]+)="([^"]*)"')


def canonical(text):
    """Start tags with their attributes unescaped and the XML namespace written as xml:, so that
    only attribute spelling may differ; element text and element forms stay as they are."""
    prefixes = {m.group(1) for m in re.finditer(
        r'xmlns:(\w+)="http://www.w3.org/XML/1998/namespace"', text)}

    def tag(m):
        attrs = []
        for name, value in _ATTR.findall(m.group(2)):
            if name.startswith("xmlns"):
                continue
            prefix, _, local = name.rpartition(":")
            if prefix in prefixes:
                name = "xml:" + local
            attrs.append((name, html.unescape(value)))
        return f"<{m.group(1)} {json.dumps(attrs)}{m.group(3).strip()}>"

    return _START_TAG.sub(tag, text)


@pytest.mark.skipif(subprocess.run([SYSTEM_PYTHON, "-c", "import lxml"], capture_output=True)
                    .returncode != 0 if shutil.which(SYSTEM_PYTHON) else True,
                    reason="Debian's python3 with lxml (python3-lxml) is not installed")
@pytest.mark.parametrize("seed", [4, 5])
def test_lxml_form_equals_lxml(seed):
    rows, dims = random_rows(seed), row_dims(seed)
    got, ws, recorder = run_writer(rows, True, dims)
    fell_back = set(recorder.cells)
    # The oracle's rows: native cells go to lxml, cells the host wrote keep the host's text.
    host_ws = Worksheet()
    oracle_rows, fallbacks, layout = [], [], []
    for r, cells in rows:
        row_cells = []
        for cell in cells:
            if cell._comment is not None:
                host.add_comment(host_ws, cell)
            skip, styled = host_skips(cell)
            if skip:
                continue
            el = cell_element(host_ws, cell, styled, lxml=True)
            if id(cell) in fell_back:
                row_cells.append(None)
                fallbacks.append(ET.tostring(el, encoding="us-ascii"))
            else:
                row_cells.append(as_tree(el))
        layout.append(row_cells)
        oracle_rows.append([list({"r": str(r), **dims.get(r, {})}.items()),
                            [c for c in row_cells if c is not None]])
    result = subprocess.run([SYSTEM_PYTHON, str(HERE / "lxml_oracle.py")], input=json.dumps(
        oracle_rows).encode(), capture_output=True, check=True)
    # Splice the host's own cell texts back where they were written.
    host_texts = iter(fallbacks)
    rebuilt = []
    rows_seen = iter(layout)
    for piece in re.split(r"(<row\b[^>]*>)", result.stdout.decode())[1:]:
        if piece.startswith("<row"):
            rebuilt.append(piece)
            continue
        native = iter(re.findall(r"<c\b.*?</c>", piece, re.S))
        rebuilt.extend(next(host_texts).decode() if c is None else next(native)
                       for c in next(rows_seen))
        assert next(native, None) is None
        rebuilt.append("</row>")
    want = "".join(rebuilt)
    assert canonical(got.decode()) == canonical(want)
    assert ws._hyperlinks == host_ws._hyperlinks
    native = sum(len(c) for c in layout) - len(fell_back)
    print(f"\nlxml form, seed {seed}: {native} native cells compared with lxml, "
          f"{len(fell_back)} through write_cell")
    assert native > len(fell_back)


def make_writer(lxml=False, write=None, ws=None, **overrides):
    helpers = {**make_writer_helpers(lxml), **overrides}
    out = []
    ws = ws or Worksheet()
    return _tovrel.SheetWriter(ws, write or out.append, lxml, helpers), out, ws


@pytest.mark.parametrize("lxml", [False, True])
def test_one_write_per_mebibyte(lxml):
    writer, out, _ = make_writer(lxml)
    text = "x" * 1000
    rows = 0
    while sum(map(len, out)) < 3 << 20:
        writer.write_row([Cell(rows + 1, c, text, "s") for c in range(1, 101)], rows + 1)
        rows += 1
    assert all(type(chunk) is (bytes if lxml else str) for chunk in out)
    assert all(len(chunk) >= 1 << 20 for chunk in out) and len(out) == 3
    calls = len(out)
    writer.write_row([Cell(rows + 1, 1, 1)], rows + 1)
    rows += 1
    writer.flush()
    writer.flush()  # nothing pending: no call
    assert len(out) == calls + 1
    joined = b"".join(out).decode() if lxml else "".join(out)
    assert joined.count("<row ") == rows and joined.endswith("</row>")


def test_failed_write_keeps_the_buffer():
    calls = []

    def write(text):
        calls.append(text)
        if len(calls) == 1:
            raise OSError("disk full")

    writer, _, _ = make_writer(write=write)
    writer.write_row([Cell(1, 1, 1)], 1)
    with pytest.raises(OSError, match="disk full"):
        writer.flush()
    writer.write_row([Cell(2, 1, 2)], 2)
    writer.flush()
    assert calls[1] == calls[0] + '<row r="2"><c r="A2" t="n"><v>2</v></c></row>'


def test_unencodable_text_from_write_cell_is_passed_through_in_order():
    writer, out, _ = make_writer(write_cell=lambda ws, cell, styled: "<c>\ud800</c>")
    writer.write_row([Cell(1, 1, 1), Cell(1, 2, 1j), Cell(1, 3, 2)], 1)
    writer.flush()
    assert out == ['<row r="1"><c r="A1" t="n"><v>1</v></c>', "<c>\ud800</c>",
                   '<c r="C1" t="n"><v>2</v></c></row>']


def test_style_ids_are_cached_per_style_content():
    class Styles(list):
        calls = 0

        def add(self, style):
            Styles.calls += 1
            return 7

    ws = Worksheet()
    ws.parent._cell_styles = Styles()

    class SubArray(StyleArray):
        pass

    writer, out, _ = make_writer(ws=ws)
    styles = [StyleArray([1] + [0] * 8), StyleArray([1] + [0] * 8), StyleArray([0] * 9),
              None, StyleArray([0] * 8 + [1])]
    writer.write_row([Cell(1, c, 1, style=s) for c, s in enumerate(styles, 1)], 1)
    assert Styles.calls == 2  # two distinct styled contents
    for style in ([1, 0], [1, 0], SubArray([2] + [0] * 8), SubArray([2] + [0] * 8),
                  StyleArray([1, 2])):
        writer.write_row([Cell(2, 1, 1, style=style)], 2)
    assert Styles.calls == 2 + 5  # lists, subclasses and other lengths are never cached
    writer.flush()
    assert out[0].count('s="7"') == 3 + 5
    assert '<c r="C1" t="n">' in out[0] and '<c r="D1" t="n">' in out[0]


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((Worksheet(), print, 1, {}), {}, TypeError, "argument 'lxml' must be bool, not int"),
    ((Worksheet(), print, False, []), {}, TypeError, "argument 'helpers' must be dict, not list"),
    ((object(), print, False, {}), {}, AttributeError, "parent"),
    ((Worksheet(), print, False, {}), {}, TypeError, "missing helper StyleArray"),
] + [((Worksheet(), print, False, {k: v for k, v in make_writer_helpers().items() if k != key}),
      {}, TypeError, f"missing helper {key}") for key in make_writer_helpers()])
def test_constructor_errors(args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        _tovrel.SheetWriter(*args, **kwargs)


def test_signatures_and_dates_of_a_1904_workbook():
    assert str(inspect.signature(_tovrel.SheetWriter)) == "(ws, write, lxml, helpers)"
    assert str(inspect.signature(_tovrel.SheetWriter.write_row)) == "(self, /, cells, row_idx)"
    ws = Worksheet(Workbook(epoch=MAC_EPOCH))
    writer, out, _ = make_writer(ws=ws)
    writer.write_row([Cell(1, 1, datetime.datetime(1904, 1, 2, 12), "d")], 1)
    with pytest.raises(TypeError, match="argument 'row_idx' must be int, not str"):
        writer.write_row([], "1")
    writer.flush()
    assert out == ['<row r="1"><c r="A1" t="n"><v>1.5</v></c></row>']


class Boom(Exception):
    pass


def raiser(*_):
    raise Boom


@pytest.mark.parametrize("cell, overrides", [
    (Cell(1, 1, 1, comment="c"), {"add_comment": raiser}),
    (Cell(1, 1, datetime.date(2020, 1, 1), "d"), {"date_value": raiser}),
    (Cell(1, 1, 1j), {"write_cell": raiser}),
    (Cell(1, 1, 1j), {"write_cell": lambda *_: b"<c/>"}),
    (Cell(1, 1, datetime.date(2020, 1, 1), "d"), {"date_value": lambda *_: (1, 2, 3)}),
    (Cell(1, 1, 1, style=[1]), {}),  # a styled cell: _cell_styles.add raises
])
def test_host_errors_propagate_and_leave_earlier_rows(cell, overrides):
    writer, out, ws = make_writer(**overrides)
    ws.parent._cell_styles.add = raiser
    writer.write_row([Cell(1, 2, 5)], 1)
    with pytest.raises((Boom, TypeError, ValueError)):
        writer.write_row([cell], 2)
    writer.flush()
    assert out[0].startswith('<row r="1"><c r="B1" t="n"><v>5</v></c></row><row r="2">')


def test_reference_counts_stay_put_over_failing_calls():
    ws = Worksheet()
    helpers = make_writer_helpers()
    helpers["write_cell"] = raiser
    writer = _tovrel.SheetWriter(ws, print, False, helpers)
    cell = Cell(1, 1, object())
    cells = [cell]
    partial = {k: v for k, v in helpers.items() if k != "date_value_raw"}
    watched = [ws, cell, cells, cell._value, raiser, helpers["StyleArray"], ws.parent]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(10000):
        with pytest.raises(Boom):
            writer.write_row(cells, 1)
        with pytest.raises(TypeError):
            _tovrel.SheetWriter(ws, print, False, partial)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def test_reentry_and_a_second_thread_get_already_borrowed():
    errors = []
    writer = None

    def reenter(ws, cell, styled):
        try:
            writer.flush()
        except RuntimeError as e:
            errors.append(str(e))
        return "<c/>"

    writer, out, _ = make_writer(write_cell=reenter)
    writer.write_row([Cell(1, 1, 1j)], 1)
    assert errors == ["Already borrowed"]

    inside, release = threading.Event(), threading.Event()

    def slow_cells():
        yield Cell(1, 1, 1)
        inside.set()
        release.wait(10)
        yield Cell(1, 2, 2)

    thread = threading.Thread(target=writer.write_row, args=(slow_cells(), 2))
    thread.start()
    inside.wait(10)
    for call in (lambda: writer.write_row([Cell(9, 9, 9)], 9), writer.flush):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            call()
    release.set()
    thread.join()
    writer.flush()
    assert "".join(out).endswith('<row r="2"><c r="A1" t="n"><v>1</v></c>'
                                 '<c r="B1" t="n"><v>2</v></c></row>')


def test_threads_hammering_one_writer_never_interleave_rows():
    writer, out, _ = make_writer()
    refused = []

    def work(k):
        for i in range(300):
            try:
                writer.write_row([Cell(k, c, f"t{k}") for c in range(1, 6)], k)
            except RuntimeError as e:
                refused.append(str(e))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(1, 5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    writer.flush()
    rows = re.findall(r"<row.*?</row>", "".join(out))
    assert len(rows) + len(refused) == 1200 and set(refused) <= {"Already borrowed"}
    for row in rows:
        k = re.match(r'<row r="(\d+)"', row).group(1)
        assert row.count(f"t{k}<") == 5


def test_writer_cycles_are_collected():
    ws = Worksheet()
    writer = make_writer(ws=ws)[0]
    ws.writer = writer  # ws -> writer -> ws
    del writer, ws
    gc.collect()
    assert not [o for o in gc.get_objects() if type(o) is _tovrel.SheetWriter]


def test_cell_attributes_read_as_python_reads_them():
    class Slotted:
        __slots__ = ("row", "column", "_value", "data_type", "_style", "_comment", "hyperlink")

    class Plain:
        pass

    def make(cls, row, value):
        cell = cls()
        cell.row, cell.column, cell._value, cell.data_type = row, 1, value, "n"
        cell._style = cell._comment = cell.hyperlink = None
        return cell

    writer, out, _ = make_writer()
    slotted = make(Slotted, 1, 1)
    writer.write_row([slotted, make(Plain, 2, 2)], 1)
    Slotted._value = property(lambda self: 3)  # the class changes: the slot is no longer read
    writer.write_row([slotted], 2)
    del slotted.__class__.hyperlink
    with pytest.raises(AttributeError, match="hyperlink"):
        writer.write_row([slotted], 3)
    writer.flush()
    assert re.findall(r"<v>(\d)</v>", out[0]) == ["1", "2", "3"]


@pytest.mark.parametrize("lxml", [False, True])
def test_namespaced_row_attribute_falls_back_before_writing_the_row(lxml):
    # "{uri}local" keys come from attributes of other namespaces; written as they stand they
    # would make the row malformed, so the writer hands the row back with nothing written.
    ns_key = "{http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac}dyDescent"
    with pytest.raises(_tovrel.NativeFallback, match="^namespaced row attribute$"):
        run_writer([(1, [])], lxml, dims={1: {"ht": "20", ns_key: "0.25"}})
    text, _, _ = run_writer([(1, [])], lxml, dims={1: {"ht": "20"}})
    assert text == ('<row r="1" ht="20"></row>' if not lxml else b'<row r="1" ht="20"></row>')
