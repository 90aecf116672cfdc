"""bind_cells against the streaming reader: the store a sheet loads into holds what RowReader
streams, cell for cell, and hands back the same actions in the same order."""
import io

import pytest

import _tovrel
from sheets import raw_rows, real_books, sheet
from tovrel.helpers import MAIN_NS, make_helpers
from tovrel.reader import EMPTY_CELL, SheetParser
from tovrel.worksheet import Cell, StyleArray

def styles_for(wb):
    return [StyleArray([i] + [0] * 8) for i in range(wb.cell_format_count)]


def bind(data, styles=None, cls=Cell, **settings):
    store, actions = _tovrel.CellStore(), []
    parser = SheetParser(["s0", "s1", "s2"], **settings)
    _tovrel.bind_cells(io.BytesIO(data), parser, "ws", store, styles or styles_for_n(4), cls,
                       make_helpers(), actions)
    return store, actions


def styles_for_n(n):
    return [StyleArray([i] + [0] * 8) for i in range(n)]


def test_real_sheets_load_what_the_reader_streams(shared_dir):
    sheets = cells = 0
    for path, wb in real_books(shared_dir):
        if True:
            styles = styles_for(wb)
            for name in wb.sheet_names:
                try:
                    streamed = {(c.row, c.column): c for _i, row in wb.rows(name, values_only=False)
                                for c in row if c is not EMPTY_CELL}
                    # The package's own binding fails on a style id its style list rejects.
                    expected_error = None
                    try:
                        for c in streamed.values():
                            styles[c._style_id]
                    except Exception as e:
                        expected_error = type(e)
                    if expected_error:
                        with pytest.raises(expected_error):
                            wb.bind(name, "ws", styles, Cell)
                        continue
                    store, _actions, _parser = wb.bind(name, "ws", styles, Cell)
                except _tovrel.NativeFallback as e:
                    print(f"{path.name}/{name}: fallback {e}")
                    continue
                assert list(store) == list(streamed), (path.name, name)
                for key in store:
                    cell, want = store[key], streamed[key]
                    got = (cell.parent, cell.row, cell.column, cell._value, cell.data_type, list(cell._style))
                    assert got == ("ws", *key, want._value, want.data_type,
                                   list(styles[want._style_id])), (path.name, name, key)
                assert len(store) == len(streamed)
                sheets += 1
                cells += len(streamed)
    print(f"{sheets} sheets, {cells} cells compared")
    assert sheets


def test_actions_in_document_order_like_the_reader():
    data = sheet(
        '<row r="1"><c r="A1" s="1"><v>1e10</v></c></row><row r="2"><c r="B2"><v>2</v></c></row>'
        '<extLst><ext uri="x"/></extLst><row r="3"><c r="A3" s="1"><v>-1e10</v></c></row>',
        before='<sheetPr><tabColor rgb="FF0000"/></sheetPr><dimension ref="A1:A2"/>',
        after='<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells><pageMargins left="1"/>')
    _rows, want = raw_rows(data, date_formats={1})
    store, actions = bind(data, date_formats={1})
    assert [a[0] for a in actions] == ["element", "element", "warn", "element", "warn", "element", "element"]
    assert actions == want
    assert len(store) == 3


@pytest.mark.parametrize("cells, error", [
    ('<c r="A1" s="7"><v>1</v></c>', IndexError),
    ('<c r="A1" s="-1"><v>1</v></c>', None),
])
def test_style_ids_index_the_styles_as_the_package_would(cells, error):
    data = sheet(f'<row r="1">{cells}</row>')
    if error:
        with pytest.raises(error):
            bind(data)
    else:
        store, _ = bind(data)
        assert list(store[(1, 1)]._style) == list(styles_for_n(4)[-1])


class Lenient(list):
    """Style arrays that answer any index, as a host list subclass might."""

    def __getitem__(self, i):
        return super().__getitem__(0 if isinstance(i, int) and abs(i) >= len(self) else i)


def test_fallbacks_and_argument_checks():
    data = sheet('<row r="1"><c r="A1" s="9"><v>1</v></c></row>')
    with pytest.raises(_tovrel.NativeFallback, match="^style index$"):
        bind(data, styles=Lenient(styles_for_n(2)))
    good = [io.BytesIO(data), SheetParser([]), "ws", _tovrel.CellStore(), [], Cell, make_helpers(), []]
    for i, name in [(3, "store"), (5, "cell_cls"), (6, "helpers"), (7, "actions")]:
        args = list(good)
        args[i] = 1
        with pytest.raises(TypeError, match=name):
            _tovrel.bind_cells(*args)


def test_repeated_and_out_of_order_cells_keep_first_place():
    data = sheet('<row r="2"><c r="A2"><v>1</v></c><c r="A2"><v>5</v></c></row>'
                 '<row r="1"><c r="C1"><v>2</v></c></row><row r="3"><c r="B3"><v>3</v></c></row>')
    store, _ = bind(data)
    assert [(k, store[k].value) for k in store] == [((2, 1), 5), ((1, 3), 2), ((3, 2), 3)]
