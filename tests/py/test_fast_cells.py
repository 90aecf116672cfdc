"""The worksheet parser reads plain cells straight from the buffer; any cell it refuses goes
through the general reader. Both must give the same rows."""
import random

from hypothesis import given, settings, strategies as st

import _tovrel
from sheets import raw_rows, reader, sheet
from tovrel.helpers import MAIN_NS
from tovrel.reader import EMPTY_CELL, ReadOnlyCell

KINDS = [None, "n", "s", "b", "e", "str", "inlineStr"]
TEXTS = ["text", "a b", "é 東京", "", "a & b", "<x>", "x > y", "]]", "line\r\nend", "tab\there"]


def value_text(kind, rnd):
    if kind == "s":
        return rnd.choice(["0", "1", "2", "-1", "+1", "02"])
    if kind == "b":
        return rnd.choice(["0", "1", "2", "-0", "+1", " 1"])
    if kind == "e":
        return rnd.choice(["#N/A", "#DIV/0!", "#REF!"])
    if kind in ("str", "inlineStr"):
        return rnd.choice(TEXTS)
    return rnd.choice(["0", "-17", "3.25", "1E3", "-2.5e-3", "123456789012345678", "007", "",
                       "+4", "1.", ".5", "-0.0", "1e400", "2.5E-07", "12345678901234567890",
                       "9007199254740993", "0.1234567890123456789", " 3", "1_0"])


def attrs(pairs, slow, rnd):
    out = []
    for name, value in pairs:
        if not slow:
            out.append(f' {name}="{value}"')
            continue
        style = rnd.randrange(3)
        if style == 0:
            out.append(f" {name}='{value}'")
        elif style == 1:
            out.append(f'\n {name} = "{value}"')
        else:
            enc = "".join(f"&#{ord(ch)};" for ch in value)
            out.append(f' {name}="{enc}"')
    return "".join(out)


def text(value, slow, rnd):
    """Character data for `value`: escaped, or (slow) spelled as character references, which
    keep a CR that the escaped form's line-end handling turns into LF (so those stay escaped)."""
    if slow and value and "\r" not in value and rnd.randrange(2):
        return "".join(f"&#{ord(ch)};" for ch in value)
    escaped = value.replace("&", "&amp;").replace("<", "&lt;")
    return escaped.replace(">", "&gt;") if rnd.randrange(2) else escaped


def cell(desc, slow, rnd):
    r, s, kind, v, formula, inline = desc
    pairs = []
    if r:
        pairs.append(("r", r))
    if s is not None:
        pairs.append(("s", str(s)))
    if kind is not None:
        pairs.append(("t", kind))
    if slow:
        rnd.shuffle(pairs)
    children = []
    if formula:
        f_attrs, f_text = formula
        children.append(f"<f{attrs(f_attrs, slow, rnd)}>{text(f_text, slow, rnd)}</f>" if f_text
                        else f"<f{attrs(f_attrs, slow, rnd)}/>")
    if v is not None:
        children.append(f"<v>{text(v, slow, rnd)}</v>" if v or not slow else "<v></v>")
    if inline is not None:
        t = "<t>" if rnd.randrange(2) else '<t xml:space="preserve">'
        pad = space(slow, rnd)
        children.append(f"<is>{pad}{t}{text(inline, slow, rnd)}</t>{pad}</is>")
    sep = space(slow, rnd)
    inner = sep.join(children)
    if not children:
        return f"<c{attrs(pairs, slow, rnd)}/>"
    return f"<c{attrs(pairs, slow, rnd)}>{sep}{inner}{sep}</c>"


def space(slow, rnd):
    """What separates elements: nothing or pretty-printing whitespace (both read from the
    buffer), or (slow) a comment, which sends the cell through the general reader."""
    if slow:
        return " <!-- --> "
    return rnd.choice(["", "", "\n      ", "\r\n\t"])


def cell_specs(seed, rows, repeat=False):
    """Rows of random cells; with `repeat`, each row after the first has the cells of the one
    before in the same places, one of them (or none) changed."""
    rnd = random.Random(seed)
    out = []
    shared_open = False
    for row in range(1, rows + 1):
        if repeat and out and rnd.randrange(4):
            cells = [(r and r.rstrip("0123456789") + str(row), *rest) for r, *rest in out[-1]]
            if cells:
                i = rnd.randrange(len(cells))
                field = rnd.randrange(6)
                fresh = cell_specs(rnd.randrange(2**32), 1)[0] or [(None,) * 6]
                cells[i] = cells[i][:field] + (fresh[0][field],) + cells[i][field + 1:]
                if field == 0 and cells[i][0]:
                    cells[i] = (cells[i][0].rstrip("0123456789") + str(row), *cells[i][1:])
            out.append(cells)
            continue
        cells = []
        col = 0
        for _ in range(rnd.randrange(0, 6)):
            col += rnd.randrange(1, 3)
            letters = "ABCDEFGHIJ"[col - 1] if col <= 10 else "K"
            r = f"{letters}{row}" if rnd.randrange(4) else None
            if r is None:
                col = col  # the parser counts on from the previous cell
            kind = rnd.choice(KINDS)
            v = value_text(kind, rnd) if rnd.randrange(5) else None
            formula = None
            roll = rnd.randrange(8)
            if roll == 0:
                formula = ([("aca", "false")] if rnd.randrange(2) else [],
                           rnd.choice(["SUM(A1:B2)+1", '"x"&A1', "A1>B1"]))
            elif roll == 1:
                if not shared_open:
                    formula = ([("t", "shared"), ("ref", "A1:K99"), ("si", "0")], "A1*2")
                    shared_open = True
                else:
                    formula = ([("t", "shared"), ("si", "0")], "")
            inline = rnd.choice(TEXTS) if rnd.randrange(3) else None
            cells.append((r, rnd.choice([None, 0, 1, 2]), kind, v, formula, inline))
        out.append(cells)
    return out


def render(specs, slow, seed):
    rnd = random.Random(seed + 1)
    rows = []
    for i, cells in enumerate(specs, start=1):
        rows.append(space(slow, rnd) + f'<row r="{i}">'
                    + "".join(space(slow, rnd) + cell(c, slow, rnd) for c in cells)
                    + space(slow, rnd) + "</row>")
    return sheet("".join(rows) + space(slow, rnd))


@settings(max_examples=150, deadline=None)
@given(seed=st.integers(0, 2**32), rows=st.integers(1, 12), repeat=st.booleans())
def test_fast_and_general_paths_agree(seed, rows, repeat):
    specs = cell_specs(seed, rows, repeat)
    fast = render(specs, slow=False, seed=seed)
    slow = render(specs, slow=True, seed=seed)
    for settings in ({}, {"data_only": True}, {"date_formats": {1}}):
        assert outcome(fast, **settings) == outcome(slow, **settings)
    assert kept_values(fast) == kept_values(slow)


def outcome(data, **settings):
    """The rows and actions, or the fallback message (both paths must fail alike too)."""
    try:
        return raw_rows(data, **settings)
    except _tovrel.NativeFallback as e:
        return str(e)


def kept_values(data):
    """With formula_and_value: each cell's value, formula and cached value, or the fallback
    message."""
    try:
        r = reader(data, formula_and_value=True)
        out = []
        while (row := r.next_row("ws", 1, None, False, ReadOnlyCell, EMPTY_CELL)) is not None:
            out.append([(c.row, c.column, c._value, c.data_type, c.formula, c.cached_value)
                        for c in row[1] if c is not EMPTY_CELL])
        return out, r.actions
    except _tovrel.NativeFallback as e:
        return str(e)


def test_rich_text_setting_turns_the_fast_path_off():
    data = sheet('<row><c r="A1" t="s"><v>1</v></c><c r="B1"><f>1+1</f><v>2</v></c></row>')
    assert raw_rows(data, rich_text=True) == raw_rows(data)


def test_fast_path_needs_the_main_namespace_as_default():
    plain = sheet('<row><c r="A1"><v>1</v></c></row>')
    prefixed = plain.replace(b'<worksheet xmlns=', b'<x:worksheet xmlns:x=').replace(
        b"</worksheet>", b"</x:worksheet>").replace(b"<sheetData>", b"<x:sheetData>").replace(
        b"</sheetData>", b"</x:sheetData>").replace(b"<row>", b"<x:row>").replace(
        b"</row>", b"</x:row>").replace(b"<c ", b"<x:c ").replace(b"</c>", b"</x:c>").replace(
        b"<v>", b"<x:v>").replace(b"</v>", b"</x:v>")
    assert raw_rows(prefixed) == raw_rows(plain)
    # <c> in no namespace: still a cell (any child of a row is), but its <v> is not the main v.
    other = plain.replace(b"<c ", b'<c xmlns="" ')
    assert raw_rows(other)[0] == [(1, [(1, 1, None, "n", 0)])]
    # A row that unbinds the default namespace for its cells, one of which binds it again.
    unbound = sheet(f'<x:row xmlns=""><c r="A1"><v>1</v></c><c r="B1" xmlns="{MAIN_NS}"><v>2</v>'
                    '</c><c r="C1"><v>3</v></c></x:row>', decl=f'xmlns="{MAIN_NS}" xmlns:x="{MAIN_NS}"')
    rows = raw_rows(unbound)
    assert [c[2] for c in rows[0][0][1]] == [None, 2, None]
    assert rows == raw_rows(unbound, rich_text=True)


def test_row_tags_read_straight_from_the_buffer_read_alike():
    """Row start tags of the plain shape are read at once; the same rows with an attribute that
    sends the tag through the general reader (a namespaced one, which is not a row dimension)
    must read the same."""
    cells = '<c r="A7"><v>1</v></c><c><v>2</v></c><c r="C12"><v>3</v></c>'
    for r in ["7", "12", "0012", "", "123456789012345678", "1234567890123456789", "-3", "+4", "x"]:
        for spans in ["", ' spans="1:3"']:
            rows = (f'<row r="{r}"{spans}>{cells}</row><row{spans}>{cells}</row>'
                    f'<row r="12">{cells}</row>')
            plain = sheet(rows)
            tagged = rows.replace("<row ", '<row x:a="1" ').replace("<row>", '<row x:a="1">')
            general = sheet(tagged, decl=f'xmlns="{MAIN_NS}" xmlns:x="urn:x"')
            assert outcome(plain) == outcome(general), (r, spans)
