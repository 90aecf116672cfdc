"""The ``helpers`` dict the host hands the engine: converters, classes and callables of the
pure-Python reading path, each honouring the call contract the engine relies on."""
import datetime
import math
import re
import xml.etree.ElementTree as ET

from tovrel.utils.datetime import WINDOWS_EPOCH
from tovrel.worksheet import StyleArray

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

# --- converters -------------------------------------------------------------------------------

_COORD = re.compile(r"^\$?([A-Za-z]{1,3})\$?(\d+)$")


def column_index(letters):
    n = 0
    for ch in letters.upper():
        n = n * 26 + ord(ch) - 64
    return n


def column_letters(n):
    """3 -> 'C', 28 -> 'AB'."""
    letters = ""
    while n:
        n, rem = divmod(n - 1, 26)
        letters = chr(65 + rem) + letters
    return letters


def coordinate_to_tuple(coordinate):
    """'B7' -> (7, 2)."""
    m = _COORD.match(coordinate)
    if not m:
        raise ValueError(f"Invalid cell coordinates ({coordinate})")
    col, row = column_index(m.group(1)), int(m.group(2))
    if not 1 <= col <= 18278 or row < 1:
        raise ValueError(f"Invalid cell coordinates ({coordinate})")
    return row, col


def from_excel(value, epoch=WINDOWS_EPOCH, timedelta=False):
    """A serial number of the workbook's date system as datetime, time or timedelta."""
    if value is None:
        return None
    if timedelta:
        td = datetime.timedelta(days=value)
        return datetime.timedelta(days=td.days, seconds=td.seconds,
                                  microseconds=round(td.microseconds / 1000) * 1000)
    day, fraction = divmod(value, 1)
    diff = datetime.timedelta(milliseconds=round(fraction * 86400 * 1000))
    if 0 <= value < 1 and diff.days == 0:
        seconds, ms = divmod(diff.seconds * 1000 + diff.microseconds // 1000, 1000)
        minutes, seconds = divmod(seconds, 60)
        hours, minutes = divmod(minutes, 60)
        return datetime.time(hours, minutes, seconds, ms * 1000)
    if 0 < value < 60 and epoch == WINDOWS_EPOCH:
        day += 1
    return epoch + datetime.timedelta(days=day) + diff


def from_ISO8601(text):
    """An ISO 8601 date, time or date-time as the matching datetime object."""
    text = text.strip()
    if "T" in text or " " in text:
        return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).replace(tzinfo=None)
    if ":" in text:
        return datetime.time.fromisoformat(text)
    return datetime.datetime.fromisoformat(text)


def date_warning(coordinate, value):
    where = f"cell {coordinate}" if coordinate is not None else "a cell"
    return f"Value {value!r} in {where} is outside the date range and is read as an error"


# --- formulas ---------------------------------------------------------------------------------

class ArrayFormula:
    def __init__(self, ref, text=None):
        self.ref = ref
        self.text = text

    def __repr__(self):
        return f"ArrayFormula(ref={self.ref!r}, text={self.text!r})"

    def __eq__(self, other):
        return type(other) is ArrayFormula and (self.ref, self.text) == (other.ref, other.text)


class DataTableFormula:
    def __init__(self, **attrs):
        self.attrs = attrs

    def __repr__(self):
        return f"DataTableFormula({self.attrs!r})"

    def __eq__(self, other):
        return type(other) is DataTableFormula and self.attrs == other.attrs


class TokenizerError(Exception):
    pass


class TranslatorError(Exception):
    pass


# A1 references outside string literals: optional sheet prefix handled by leaving it alone.
_REF = re.compile(r'"[^"]*"|(\$?)([A-Za-z]{1,3})(\$?)(\d+)(?![\w(])')


class Translator:
    """Moves the relative references of a formula from its origin cell to another cell."""

    def __init__(self, formula, origin):
        # A master cell without a reference has no origin: its formula is shared unmoved.
        self.formula = formula
        self.origin = origin
        if origin is not None:
            self.row, self.col = coordinate_to_tuple(origin)

    def translate_formula(self, dest):
        if self.origin is None or dest is None:
            return self.formula
        row, col = coordinate_to_tuple(dest)
        drow, dcol = row - self.row, col - self.col

        def shift(m):
            if m.group(2) is None:
                return m.group(0)
            c = column_index(m.group(2)) + (0 if m.group(1) else dcol)
            r = int(m.group(4)) + (0 if m.group(3) else drow)
            if c < 1 or r < 1 or c > 18278:
                raise TranslatorError("Formula out of range")
            return f"{m.group(1)}{column_letters(c)}{m.group(3)}{r}"

        return _REF.sub(shift, self.formula)


# --- text items -------------------------------------------------------------------------------

_RPR_OK = frozenset({"b", "i", "u", "strike", "sz", "color", "rFont", "family", "scheme",
                     "vertAlign", "charset", "outline", "shadow", "condense", "extend"})


def _parse(snippet, namespaces):
    """Parses a markup snippet with the namespace bindings it was found under."""
    decls = "".join(f' xmlns="{uri}"' if not prefix else f' xmlns:{prefix}="{uri}"'
                    for prefix, uri in namespaces if prefix != "xml")
    root = ET.fromstring(f"<wrap{decls}>".encode() + snippet + b"</wrap>")
    return root[0]


def _local(tag):
    return tag.rsplit("}", 1)[-1]


def _item_text(item):
    parts = []
    for child in item:
        name = _local(child.tag)
        if name == "t":
            parts.insert(0, child.text or "")
        elif name == "r":
            for t in child:
                if _local(t.tag) == "t":
                    parts.append(t.text or "")
    return "".join(parts).replace("x005F_", "")


def si_content(snippet, namespaces):
    """The text of a shared-string item the engine handed back as markup."""
    return _item_text(_parse(snippet, namespaces))


def text_content(snippet, namespaces):
    """The plain text of an inline string."""
    return _item_text(_parse(snippet, namespaces))


def rich_inline(snippet, namespaces):
    """An inline string with rich text kept: here, the runs as (properties, text) pairs."""
    item = _parse(snippet, namespaces)
    runs = []
    for child in item:
        if _local(child.tag) == "t":
            runs.append((None, child.text or ""))
        elif _local(child.tag) == "r":
            props = child.find(f"{{{MAIN_NS}}}rPr")
            text = "".join(t.text or "" for t in child if _local(t.tag) == "t")
            runs.append((None if props is None else tuple(_local(p.tag) for p in props), text))
    return runs


def validate_rpr(snippet, namespaces):
    """True when run properties hold only common formatting the plain text may ignore."""
    rpr = _parse(snippet, namespaces)
    return all(_local(p.tag) in _RPR_OK and len(p) == 0 for p in rpr)


def make_helpers():
    """A complete helpers dict."""
    return {
        "int": int,
        "float": float,
        "coordinate_to_tuple": coordinate_to_tuple,
        "row_index": int,
        "from_excel": from_excel,
        "from_ISO8601": from_ISO8601,
        "date_warning": date_warning,
        "ArrayFormula": ArrayFormula,
        "DataTableFormula": DataTableFormula,
        "Translator": Translator,
        "TokenizerError": TokenizerError,
        "TranslatorError": TranslatorError,
        "text_content": text_content,
        "rich_inline": rich_inline,
        "validate_rpr": validate_rpr,
        "text_dangerous": frozenset({"rPh", "phoneticPr"}),
        "rich_dangerous": frozenset({"rPh", "r"}),
        "si_content": si_content,
    }


# --- writing ----------------------------------------------------------------------------------

_DAY = datetime.timedelta(days=1)


def _serial(value, epoch):
    """A date, date-time or time of day as a serial number of the workbook's date system."""
    if type(value) is not datetime.datetime:
        if isinstance(value, datetime.timedelta):
            return (value.days * 86400 + value.seconds + value.microseconds / 1_000_000) / 86400
        if isinstance(value, datetime.time):
            return (value.hour * 3600 + value.minute * 60 + value.second
                    + value.microsecond / 1_000_000) / 86400
        if not isinstance(value, datetime.datetime):
            value = datetime.datetime.combine(value, datetime.time())
    days = (value - epoch) // _DAY
    if 1 <= days <= 60 and epoch == WINDOWS_EPOCH:
        days -= 1
    seconds = value.hour * 3600 + value.minute * 60 + value.second
    return ((seconds + value.microsecond / 1_000_000) / 86400) + days


def date_value_raw(ws, value):
    """(value to write, keep t="d"): ISO text when the workbook writes ISO dates, else the
    serial number under t="n"."""
    wb = ws.parent
    if wb.iso_dates:
        return value.isoformat(), True
    return _serial(value, wb.epoch), False


def date_value(ws, cell):
    return date_value_raw(ws, cell._value)


def add_comment(ws, cell):
    ws.comments.append((cell.row, cell.column, cell._comment))


def _number_text(value):
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, (int, float)):
        return "%.16g" % value if math.isfinite(value) else ""
    return str(value)


def cell_element(ws, cell, styled, lxml=False):
    """The cell's <c> as an ElementTree element, as the host's own writer builds it (its lxml
    back end marks any text with outer whitespace as preserved, the ElementTree one only text
    that is not all whitespace)."""
    el = ET.Element("c", r=f"{column_letters(cell.column)}{cell.row}")
    if styled:
        el.set("s", str(ws.parent._cell_styles.add(cell._style)))
    value, data_type = cell._value, cell.data_type
    if data_type != "f":
        el.set("t", "inlineStr" if data_type == "s" else data_type)
    if data_type == "d":
        value, keep = date_value(ws, cell)
        if not keep:
            el.set("t", "n")
    if cell.hyperlink:
        ws._hyperlinks.append(cell.hyperlink)
    if value is None or value == "":
        return el
    if data_type == "f":
        ET.SubElement(el, "f").text = _number_text(value)[1:]
        ET.SubElement(el, "v")
    elif data_type == "s":
        t = ET.SubElement(ET.SubElement(el, "is"), "t")
        text = t.text = _number_text(value)
        if text != text.strip() and (lxml or text.strip()):
            t.set("xml:space", "preserve")
    else:
        ET.SubElement(el, "v").text = _number_text(value)
    return el


def write_cell(ws, cell, styled):
    """One <c> as text, for cells the engine leaves to the host (ElementTree form)."""
    return ET.tostring(cell_element(ws, cell, styled), encoding="unicode")


def write_cell_lxml(ws, cell, styled):
    """The same as bytes, for a writer in lxml form (non-ASCII as character references)."""
    return ET.tostring(cell_element(ws, cell, styled, lxml=True), encoding="us-ascii")


def make_writer_helpers(lxml=False):
    """The helpers dict of a SheetWriter."""
    return {
        "StyleArray": StyleArray,
        "add_comment": add_comment,
        "write_cell": write_cell_lxml if lxml else write_cell,
        "date_value": date_value,
        "date_value_raw": date_value_raw,
    }
