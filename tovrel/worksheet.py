"""The objects the engine's writer reads from the host: a workbook with its list of distinct
cell styles and date settings, a worksheet being written, its cells and their style arrays."""
from array import array

from tovrel.utils.datetime import WINDOWS_EPOCH


class StyleArray(array):
    """A cell's style: nine integers (font, fill, border, number format, protection, alignment
    and three flags)."""

    def __new__(cls, values=(0,) * 9):
        return super().__new__(cls, "i", values)


class IndexedList(list):
    """A list of distinct values; ``add`` appends a new value and returns any value's index."""

    def __init__(self):
        super().__init__()
        self._index = {}

    def add(self, value):
        key = tuple(value)
        if key not in self._index:
            self._index[key] = len(self)
            self.append(value)
        return self._index[key]


class Workbook:
    def __init__(self, epoch=WINDOWS_EPOCH, iso_dates=False):
        self._cell_styles = IndexedList()
        self._cell_styles.add(StyleArray())
        self.epoch = epoch
        self.iso_dates = iso_dates


class Worksheet:
    def __init__(self, parent=None):
        self.parent = parent if parent is not None else Workbook()
        self._hyperlinks = []
        self.row_dimensions = {}  # row -> {attribute: value}
        self.comments = []


class Cell:
    """A cell of an editable worksheet: the writer reads it, and the cell store fills the same
    slots when it builds one from a compact record."""

    __slots__ = ("parent", "_style", "row", "column", "_value", "_hyperlink", "data_type",
                 "_comment")

    def __init__(self, row, column, value=None, data_type="n", style=None, comment=None,
                 hyperlink=None, parent=None):
        self.parent = parent
        self.row = row
        self.column = column
        self._value = value
        self.data_type = data_type
        self._style = style
        self._comment = comment
        self._hyperlink = hyperlink

    @property
    def value(self):
        return self._value

    @property
    def hyperlink(self):
        return self._hyperlink

    @hyperlink.setter
    def hyperlink(self, link):
        self._hyperlink = link

    def __repr__(self):
        return f"<Cell {self.row},{self.column} {self._value!r} {self.data_type}>"
