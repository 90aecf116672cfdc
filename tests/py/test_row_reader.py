"""RowReader: rows, items in document order, numbering, fallbacks, slot filling, read-ahead."""
import datetime
import io
import sys
import threading

import pytest

import _tovrel
from sheets import raw_rows, reader, sheet, value_rows
from tovrel.helpers import MAIN_NS, make_helpers
from tovrel.reader import EMPTY_CELL, ReadOnlyCell, SheetParser

NF = _tovrel.NativeFallback


@pytest.mark.parametrize("rows, expected", [
    # row numbers: explicit, then counted on
    ('<row r="5"/><row/><row/>', [(5, []), (6, []), (7, [])]),
    ('<row r="-2"/><row/>', [(-2, []), (-1, [])]),
    ('<row r="0"/>', [(0, [])]),
    # cells without r follow the previous column of the row
    ('<row r="5"><c r="C5"><v>1</v></c><c><v>2</v></c><c><v>3</v></c></row>',
     [(5, [(5, 3, 1, "n", 0), (5, 4, 2, "n", 0), (5, 5, 3, "n", 0)])]),
    ('<row><c><v>1</v></c></row><row><c><v>2</v></c></row>',
     [(1, [(1, 1, 1, "n", 0)]), (2, [(2, 1, 2, "n", 0)])]),
    # any child of a row is a cell
    ('<row><foo r="B1"><v>1</v></foo></row>', [(1, [(1, 2, 1, "n", 0)])]),
    # an <is> of a cell whose t is not inlineStr is skipped
    ('<row><c r="A1" t="s"><is><t>x</t></is><v>1</v></c></row>', [(1, [(1, 1, "s1", "s", 0)])]),
    ('<row><c r="A1" t="inlineStr"><is><t>x</t></is></c></row>', [(1, [(1, 1, "x", "s", 0)])]),
    ('<row><c r="A1" s="3" t="inlineStr"><v>9</v></c></row>', [(1, [(1, 1, None, "inlineStr", 3)])]),
    # a cell after XFD gets column 16385
    ('<row r="5"><c r="XFD5"/><c/></row>', [(5, [(5, 16384, None, "n", 0), (5, 16385, None, "n", 0)])]),
    # only the first <v> and <f> count
    ('<row><c r="A1"><v>1</v><v>2</v></c></row>', [(1, [(1, 1, 1, "n", 0)])]),
    ('<row><c r="A1"><f>1+1</f><f>2+2</f><v>2</v></c></row>', [(1, [(1, 1, "=1+1", "f", 0)])]),
    # children in other namespaces are skipped
    ('<row><c r="A1" xmlns:x="urn:x"><x:v>7</x:v><v>8</v></c></row>', [(1, [(1, 1, 8, "n", 0)])]),
    # whitespace and comments between cells
    ('<row>\n  <c r="A1"><v>1</v></c>\n  <!-- c --><c r="B1"><v>2</v></c>\n</row>',
     [(1, [(1, 1, 1, "n", 0), (1, 2, 2, "n", 0)])]),
])
def test_rows_and_cells(rows, expected):
    got, _ = raw_rows(sheet(rows))
    assert [(i, [tuple(c) for c in cells]) for i, cells in got] == expected


def test_row_dimensions():
    parser = SheetParser([])
    data = sheet('<row r="3" spans="1:2"/><row r="4" ht="20" customHeight="1"/>'
                 '<row ht="5"/><row r="6" x:y="1" xmlns:x="urn:x"/>')
    r = reader(data, parser=parser)
    while r.next_raw() is not None:
        pass
    assert parser.row_dimensions == {
        "4": {"r": "4", "ht": "20", "customHeight": "1"},
        "5": {"ht": "5"},
    }


def test_elements_and_warnings_in_document_order():
    data = sheet(
        '<row r="1"><c r="A1" s="1"><v>1e10</v></c></row><row r="2"/>',
        before='<sheetPr><tabColor rgb="FF0000"/></sheetPr><dimension ref="A1:A2"/>',
        after='<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>')
    rows, actions = raw_rows(data, date_formats={1})
    assert [i for i, _ in rows] == [1, 2]
    assert rows[0][1] == [(1, 1, "#VALUE!", "e", 1)]
    ns = [("", MAIN_NS)]
    assert actions[0] == ("element", b'<sheetPr><tabColor rgb="FF0000"/></sheetPr>', ns)
    assert actions[1] == ("element", b'<dimension ref="A1:A2"/>', ns)
    assert actions[2] == ("warn", "Value 10000000000.0 in cell A1 is outside the date range and is read as an error")
    assert actions[3] == ("element", b'<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>', ns)
    assert len(actions) == 4


def test_date_styles_below_and_above_the_small_style_ids():
    ids = [0, 1, 63, 64, 255, 256, 300, 99999]
    dated = {1, 64, 255, 256, 99999}
    cells = "".join(f'<c s="{s}"><v>60</v></c>' for s in ids)
    rows, _ = raw_rows(sheet(f'<row r="1">{cells}</row>'), date_formats=dated)
    assert [c[3] for c in rows[0][1]] == ["d" if s in dated else "n" for s in ids]


def test_empty_sheet_data_and_elements_after_it():
    data = b'<worksheet xmlns="%s"><sheetData/><cols><col min="1"/></cols></worksheet>' % MAIN_NS.encode()
    rows, actions = raw_rows(data)
    assert rows == []
    assert actions == [("element", b'<cols><col min="1"/></cols>', [("", MAIN_NS)])]


def test_elements_inside_sheet_data_are_captured():
    rows, actions = raw_rows(sheet('<row r="1"/><extra a="1"/><row/>'))
    assert [i for i, _ in rows] == [1, 2]
    assert actions == [("element", b'<extra a="1"/>', [("", MAIN_NS)])]


@pytest.mark.parametrize("data, message", [
    (sheet('<row><mergeCells/></row>'), "unsupported: dispatch tag inside row"),
    (sheet('<row><c><hyperlinks/></c></row>'), "unsupported: dispatch tag inside cell"),
    (sheet('<row><c><v>1<col/></v></c></row>'), "unsupported: nested element handled by dispatcher"),
    (sheet('<row><c><x><sheetPr/></x></c></row>'), "unsupported: nested element handled by dispatcher"),
    (sheet('', before='<a><b/></a>'), None),
    (b'<worksheet><a><b><c/></b></a></worksheet>', None),
    (sheet('<row><row/></row>'), "unsupported: dispatch tag inside row"),
    (sheet('<row><c r="A1"><v>1</v></c></row>').split(b"</c>")[0], "malformed: unclosed element"),
    (sheet('<row><c r="A1"><v>1</v></c></row>').split(b"</row>")[0], "malformed: unclosed element"),
    (sheet('<row><c r="A1"><v>1</v></c></row>').split(b"<c ")[0] + b"<c", "malformed: unclosed tag"),
    (sheet('<row><c r="A1"><v>1</v></c></row>').replace(b"</c>", b"</d>"), "malformed: mismatched tag"),
])
def test_fallbacks(data, message):
    if message is None:
        # Elements nested below depth 2 outside sheet data are captured whole, not refused.
        rows, actions = raw_rows(data)
        assert rows == [] and len(actions) == 1
        return
    with pytest.raises(NF) as info:
        raw_rows(data)
    assert str(info.value) == message


def test_rows_nested_in_other_elements_are_captured():
    rows, actions = raw_rows(sheet('<x><row/></x><row r="4"/>'))
    assert [i for i, _ in rows] == [4]
    assert actions == [("element", b"<x><row/></x>", [("", MAIN_NS)])]


def test_helper_errors_become_native_reader_errors():
    with pytest.raises(NF) as info:
        raw_rows(sheet('<row><c r="A1" s="x"><v>1</v></c></row>'))
    assert str(info.value) == "native reader error: ValueError: invalid literal for int() with base 10: 'x'"

    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError

    def bad(_):
        raise Unprintable

    h = make_helpers()
    h["row_index"] = bad
    with pytest.raises(NF) as info:
        raw_rows(sheet('<row r="x"/>'), helpers=h)
    assert str(info.value) == "native reader error: Unprintable: <exception str() failed>"


def test_after_the_last_row_every_call_returns_none():
    r = reader(sheet('<row><c><v>1</v></c></row>'))
    assert r.next_raw() == (1, [(1, 1, 1, "n", 0)])
    for _ in range(3):
        assert r.next_raw() is None
        assert r.next_row("ws", 1, None, True, ReadOnlyCell, None) is None


# --- next_row ---------------------------------------------------------------------------------

@pytest.mark.parametrize("rows, min_col, max_col, expected", [
    ('<row r="2"><c r="C2"><v>1</v></c><c r="A2"><v>2</v></c></row>', 1, None, [(2, (2,))]),
    ('<row r="5"><c r="B5"><v>7</v></c></row>', 2, 4, [(5, (7, EMPTY_CELL, EMPTY_CELL))]),
    ('<row r="5"><c r="B5"><v>7</v></c></row>', 3, 2, [(5, ())]),
    ('<row r="5"><c r="B5"><v>7</v></c></row>', 1, 0, [(5, (EMPTY_CELL, 7))]),
    ('<row r="5"/>', 1, None, [(5, ())]),
    ('<row r="5"/>', 1, 3, [(5, (EMPTY_CELL,) * 3)]),
    ('<row><c r="B1"><v>1</v></c><c r="B1"><v>2</v></c></row>', 1, None, [(1, (EMPTY_CELL, 2))]),
    ('<row><c r="B1"><v>1</v></c><c r="A1"><v>2</v></c><c r="B1"><v>3</v></c></row>', 1, None,
     [(1, (2, 3))]),
    ('<row><c r="A1"><v>1</v></c><c r="E1"><v>5</v></c></row>', 2, None, [(1, (EMPTY_CELL,) * 3 + (5,))]),
])
def test_next_row_values(rows, min_col, max_col, expected):
    r = reader(sheet(rows))
    got = []
    while (row := r.next_row("ws", min_col, max_col, True, ReadOnlyCell, EMPTY_CELL)) is not None:
        got.append(row)
    assert got == expected


def test_next_row_cells_fill_slots():
    data = sheet('<row r="3"><c r="A3" s="2"><v>1.5</v></c><c r="B3" t="s"><v>0</v></c>'
                 '<c r="C3"><f>A3*2</f><v>3</v></c></row>')
    r = reader(data)
    ws = object()
    index, cells = r.next_row(ws, 1, None, False, ReadOnlyCell, EMPTY_CELL)
    assert index == 3
    a, b, c = cells
    assert (a.parent, a.row, a.column, a.value, a.data_type, a._style_id) == (ws, 3, 1, 1.5, "n", 2)
    assert (b.value, b.data_type) == ("s0", "s")
    assert (c.value, c.data_type) == ("=A3*2", "f")
    assert a.row is b.row is c.row, "consecutive cells of a row share the row object"
    with pytest.raises(AttributeError):
        a.formula


@pytest.mark.parametrize("data_only, value, expected", [
    (False, "<v>3</v>", ("=A3*2", "f", "=A3*2", 3)),
    (True, "<v>3</v>", (3, "n", "=A3*2", 3)),
    # Without <v> the cached value is None, not the formula.
    (False, "", ("=A3*2", "f", "=A3*2", None)),
    (True, "", (None, "n", "=A3*2", None)),
])
def test_formula_and_value_slots(data_only, value, expected):
    data = sheet(f'<row r="3"><c r="C3"><f>A3*2</f>{value}</c><c r="D3"><v>4</v></c></row>')
    r = reader(data, formula_and_value=True, data_only=data_only)
    _, (c, d) = r.next_row("ws", 3, None, False, ReadOnlyCell, EMPTY_CELL)
    assert (c.value, c.data_type, c.formula, c.cached_value) == expected
    assert (d.value, d.formula, d.cached_value) == (4, None, 4)


class WithExtras(ReadOnlyCell):
    __slots__ = ("hyperlink", "comment")


def test_extra_none_slots_are_set_to_none():
    r = reader(sheet('<row><c r="A1"><v>1</v></c></row>'))
    _, (cell,) = r.next_row("ws", 1, None, False, WithExtras, None, ["hyperlink", "comment"])
    assert cell.hyperlink is None and cell.comment is None and cell.value == 1


class PropertyRow:
    __slots__ = ("parent", "column", "_value", "data_type", "_style_id")
    row = property(lambda self: 1)


def test_keyword_arguments_bind_like_positional_ones():
    data = sheet('<row r="2"><c r="B2"><v>1</v></c></row><row r="3"><c r="A3"><v>2</v></c></row>')
    names = ("ws", "min_col", "max_col", "values_only", "cell_cls", "filler", "extra_none")
    args = ("ws", 1, None, True, ReadOnlyCell, EMPTY_CELL, None)
    positional, keywords, mixed = reader(data), reader(data), reader(data)
    for _ in range(3):
        want = positional.next_row(*args)
        assert keywords.next_row(**dict(zip(names, args))) == want
        assert mixed.next_row(*args[:2], **dict(zip(names[2:6], args[2:6]))) == want


@pytest.mark.parametrize("args, message", [
    (("ws", "1", None, True, ReadOnlyCell, None), "next_row() argument 'min_col' must be int, not str"),
    (("ws", 1, "x", True, ReadOnlyCell, None), "next_row() argument 'max_col' must be int, not str"),
    (("ws", 1, None, 1, ReadOnlyCell, None), "next_row() argument 'values_only' must be bool, not int"),
    (("ws", 1, None, False, 3, None), "next_row() argument 'cell_cls' must be type, not int"),
    (("ws", 1, None, False, ReadOnlyCell, None, "abc"),
     "next_row() argument 'extra_none': Can't extract `str` to `Vec`"),
    (("ws", 1, None, False, ReadOnlyCell, None, 5),
     "next_row() argument 'extra_none' must be a sequence, not int"),
    (("ws", 1, None, False, PropertyRow, None), "row is not a slot"),
    (("ws", 1, None, False, ReadOnlyCell), "next_row() missing 1 required positional argument: 'filler'"),
    (("ws", 1, None, False, ReadOnlyCell, None, None, None),
     "next_row() takes from 6 to 7 positional arguments but 8 were given"),
])
def test_next_row_argument_errors(args, message):
    r = reader(sheet('<row><c r="A1"><v>1</v></c></row>'))
    with pytest.raises(TypeError) as info:
        r.next_row(*args)
    assert str(info.value) == message


def test_missing_slot_attribute_propagates():
    r = reader(sheet('<row><c r="A1"><v>1</v></c></row>'))
    with pytest.raises(AttributeError):
        r.next_row("ws", 1, None, False, ReadOnlyCell, None, ["nope"])


@pytest.mark.parametrize("helpers, message", [
    ([], "RowReader() argument 'helpers' must be dict, not list"),
    ({}, "missing helper int"),
])
def test_constructor_errors(helpers, message):
    with pytest.raises(TypeError) as info:
        _tovrel.RowReader(io.BytesIO(b""), SheetParser([]), helpers)
    assert str(info.value) == message


def test_constructor_reads_nothing_and_parser_attributes_propagate():
    src = io.BytesIO(sheet(""))
    _tovrel.RowReader(src, SheetParser([]), make_helpers())
    assert src.tell() == 0

    class NoDims(SheetParser):
        def __getattribute__(self, name):
            if name == "row_dimensions":
                raise KeyError(name)
            return super().__getattribute__(name)

    with pytest.raises(KeyError):
        _tovrel.RowReader(src, NoDims([]), make_helpers())


# --- read-ahead -----------------------------------------------------------------------------------

class Tracked(io.BytesIO):
    def __init__(self, data, chunk):
        super().__init__(data)
        self.chunk = chunk

    def read(self, n=-1):
        return super().read(self.chunk)


def many_rows(n, tail=""):
    """n rows of about 40 bytes each, then `tail` inside sheetData."""
    return sheet("".join(f'<row r="{i}"><c r="A{i}"><v>{i}</v></c></row>' for i in range(1, n + 1)) + tail)


def test_items_are_held_back_to_the_end_of_their_block():
    data = many_rows(2000)
    src = Tracked(data, 1000)
    r = _tovrel.RowReader(src, SheetParser([]), make_helpers())
    assert r.next_raw()[0] == 1
    assert 16384 <= src.tell() <= 16384 + 2000, "the first row waits for its 16 KiB block only"
    rows = 1
    while r.next_raw() is not None:
        rows += 1
    assert rows == 2000 and src.tell() == len(data)


def test_end_of_document_releases_everything():
    r = reader(many_rows(3))
    assert [r.next_raw()[0] for _ in range(3)] == [1, 2, 3]
    assert r.next_raw() is None


def test_error_in_the_block_discards_held_items():
    # The error lies in the first 16 KiB block: the rows before it never come out.
    with pytest.raises(NF, match="^malformed: mismatched tag$"):
        reader(many_rows(100, "<x></y>")).next_raw()

    # Far from the first rows: they come out, the rows of the error's block do not.
    data = many_rows(1000, "<x></y>")
    r = reader(data)
    seen = []
    with pytest.raises(NF, match="^malformed: mismatched tag$"):
        while True:
            seen.append(r.next_raw()[0])
    assert seen == list(range(1, len(seen) + 1))
    assert 300 < len(seen) < 1000
    with pytest.raises(NF, match="^malformed: mismatched tag$"):
        r.next_raw()


def test_one_byte_reads_give_the_same_rows():
    data = sheet("".join(f'<row r="{i}"><c r="A{i}" t="s"><v>{i % 3}</v></c>'
                         f'<c r="B{i}"><f>A{i}&amp;"x"</f><v>1</v></c></row>' for i in range(1, 40)),
                 before='<dimension ref="A1:B39"/>')
    whole = raw_rows(data)
    r = _tovrel.RowReader(Tracked(data, 1), SheetParser(["s0", "s1", "s2"]), make_helpers())
    rows = []
    while (row := r.next_raw()) is not None:
        rows.append(row)
    assert (rows, r.actions) == whole


# --- borrowing and threads ------------------------------------------------------------------------

def test_reentrant_call_is_refused():
    r_holder = []

    def sneaky(text):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            r_holder[0].next_raw()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            r_holder[0].next_row("ws", 1, None, True, ReadOnlyCell, None)
        assert r_holder[0].actions == []
        return int(text)

    h = make_helpers()
    h["row_index"] = sneaky
    r = reader(sheet('<row r=" 1"/>'), helpers=h)
    r_holder.append(r)
    assert r.next_raw() == (1, [])


def test_threads_stream_their_own_readers():
    data = sheet("".join(f'<row><c><v>{i}</v></c><c t="s"><v>{i % 3}</v></c></row>' for i in range(2000)))
    expected = raw_rows(data)[0]
    results = [None] * 6

    def work(k):
        results[k] = raw_rows(data)[0]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(res == expected for res in results)


def test_two_threads_on_one_reader_never_crash():
    data = sheet("".join(f'<row><c><v>{i}</v></c></row>' for i in range(20000)))
    r = reader(data)
    seen, errors = [], []
    barrier = threading.Barrier(2)

    def work():
        barrier.wait()
        while True:
            try:
                row = r.next_raw()
            except RuntimeError as e:
                errors.append(str(e))
                continue
            if row is None:
                return
            seen.append(row[0])

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(seen) == list(range(1, 20001))
    assert set(errors) <= {"Already borrowed"}


# --- garbage collection -----------------------------------------------------------------------
# Each builder returns a reader that owns `loop` (a list) through one path; the test then puts the
# reader into `loop`, so the only way out of the cycle is the collector visiting that path.

class _Source(io.BytesIO):
    pass


def _via_source(loop):
    src = _Source(sheet("<row/>"))
    src.loop = loop
    return _tovrel.RowReader(src, SheetParser([]), make_helpers())


def _via_translator(loop):
    def translator(text, origin, _base=make_helpers()["Translator"]):
        t = _base(text, origin)
        t.loop = loop
        return t
    h = make_helpers()
    h["Translator"] = translator
    # A shared master without r: the entry keeps the host's Translator instance.
    r = reader(sheet('<row><c><f t="shared" si="0">B1</f></c></row>'), helpers=h)
    del h, translator
    r.next_raw()
    return r


def _via_deferred_error(loop):
    box = [loop]

    def row_index(text):
        raise NF("held", box.pop())
    h = make_helpers()
    h["row_index"] = row_index
    r = reader(sheet('<row r="x"/>'), helpers=h)
    with pytest.raises(NF):
        r.next_raw()
    return r


def _via_queued_row(loop):
    box = [loop]
    h = make_helpers()
    h["rich_inline"] = lambda snippet, ns: box.pop()
    # The second row, with the helper's value, is still queued after the first one is returned.
    r = reader(sheet('<row/><row><c t="inlineStr"><is><t>x</t></is></c></row>'), helpers=h,
               rich_text=True)
    del h
    assert r.next_raw() == (1, [])
    return r


def _via_cell_class(loop):
    cls = type("Cell", (ReadOnlyCell,), {"__slots__": ()})
    if sys.getrefcount(cls) >= 2**32 - 1:
        pytest.skip("3.13t makes new classes immortal once a thread has run")
    cls.loop = loop
    r = reader(sheet("<row><c><v>1</v></c></row><row/>"))
    r.next_row("ws", 1, None, False, cls, None)
    return r


def _via_row_dimensions(loop):
    parser = SheetParser([])
    parser.row_dimensions["loop"] = loop
    return reader(sheet("<row/>"), parser=parser)


CYCLE_PATHS = {
    "actions": lambda loop: (r := reader(sheet("<row/>")), r.actions.append(loop))[0],
    "shared_strings": lambda loop: reader(sheet("<row/>"), parser=SheetParser([loop])),
    "row_dimensions": _via_row_dimensions,
    "helper": lambda loop: reader(sheet("<row/>"), helpers={
        **make_helpers(), "row_index": lambda text, _loop=loop: int(text)}),
    "source": _via_source,
    "translator": _via_translator,
    "deferred_error": _via_deferred_error,
    "queued_row": _via_queued_row,
    "cell_class": _via_cell_class,
}


@pytest.mark.parametrize("through", CYCLE_PATHS)
def test_cycles_through_the_reader_are_collected(through):
    import gc
    import weakref

    class Marker:
        pass

    marker = Marker()
    loop = [marker]
    r = CYCLE_PATHS[through](loop)
    loop.append(r)
    alive = weakref.ref(marker)
    del r, loop, marker
    gc.collect()
    assert alive() is None, f"a cycle through {through} was not collected"
