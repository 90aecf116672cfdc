"""The attributes of rows as the host's parser.row_dimensions receives them, against ElementTree's
reading of the same rows: many rows whose attributes repeat, change order, change value, run past
many positions and take ever new values, as the reader's per-document string tables must not
change any of them."""
import random
import xml.etree.ElementTree as ET

from sheets import reader, sheet
from tovrel.reader import SheetParser

NAMES = ["ht", "customHeight", "hidden", "s", "customFormat", "outlineLevel", "collapsed",
         "x:thick", "x:ht", "thickBot"] + [f"extra{i}" for i in range(20)]
COMMON = ["false", "true", "0", "1", "15", "12.8", ""]


def value(rng):
    roll = rng.random()
    if roll < 0.6:
        return rng.choice(COMMON)
    if roll < 0.8:
        return str(rng.randrange(100_000))  # ever new values, past any table size
    if roll < 0.9:
        return "long " * rng.randrange(7, 12) + str(rng.randrange(10))  # past the short-value limit
    return rng.choice(["a&amp;b", "&#10;x", "t\tab", "&lt;é&gt;", "&#x41;&#66;", "x\ny"])


def r_text(r, rng):
    """The row number as written: plainly, with leading zeros, or as character references."""
    roll = rng.random()
    if roll < 0.8:
        return str(r)
    if roll < 0.9:
        return "00" + str(r)
    return "".join(f"&#{ord(ch)};" for ch in str(r))


def test_row_dimensions_equal_elementtree():
    rng = random.Random(5)
    rows = []
    before = after = ""
    for r in range(1, 1500):
        # Runs of rows that repeat the last tag but for r, as spreadsheet programs write them.
        if not rows or rng.random() < 0.6:
            if rng.random() < 0.7:
                names = NAMES[:7] if rng.random() < 0.5 else rng.sample(NAMES, rng.randrange(0, len(NAMES)))
            else:
                names = rng.sample(NAMES[:10], rng.randrange(0, 5))
            if rng.random() < 0.3:
                rng.shuffle(names)
            attrs = [f' {n}="{value(rng)}"' for n in names]
            if rng.random() < 0.5:
                attrs.append(' spans="1:3"')
            if rng.random() < 0.1:
                attrs.append(' xmlns:x="urn:%d"' % rng.randrange(2))
            at = rng.randrange(len(attrs) + 1)
            before, after = "".join(attrs[:at]), "".join(attrs[at:])
        rows.append(f'<row{before} r="{r_text(r, rng)}"{after}/>')
        if rng.random() < 0.02:  # a new sheetData binding x anew
            rows.append('</sheetData><sheetData xmlns:x="urn:%d">' % rng.randrange(3))
    data = sheet("".join(rows), decl='xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
                                     'xmlns:x="urn:x"')
    parser = SheetParser([])
    r = reader(data, parser=parser)
    while r.next_raw() is not None:
        pass

    expected = {}
    for row in ET.fromstring(data).iter("{http://schemas.openxmlformats.org/spreadsheetml/2006/main}row"):
        if any(k not in ("r", "spans") and not k.startswith("{") for k in row.attrib):
            expected[str(int(row.get("r")))] = dict(row.attrib)
    assert len(expected) > 1000
    assert parser.row_dimensions == expected
