"""Reading a workbook through the native engine the way the host's read-only worksheet does:
shared strings with read_string_table, each worksheet streamed by RowReader."""
import io
import xml.etree.ElementTree as ET

import _tovrel

from tovrel.helpers import column_letters, make_helpers
from tovrel.package import MAIN_NS, Package
from tovrel.styles import cell_format_count, date_styles
from tovrel.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH


class ReadOnlyCell:
    """A streamed cell. The engine fills its slots without calling __init__."""

    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id",
                 "formula", "cached_value")

    def __init__(self, parent, row, column, value, data_type="n", style_id=0):
        self.parent = parent
        self.row = row
        self.column = column
        self._value = value
        self.data_type = data_type
        self._style_id = style_id

    @property
    def value(self):
        return self._value

    @property
    def coordinate(self):
        return f"{column_letters(self.column)}{self.row}"

    def __repr__(self):
        return f"<ReadOnlyCell {self.coordinate} {self._value!r}>"


class EmptyCell:
    __slots__ = ()
    value = None
    data_type = "n"

    def __repr__(self):
        return "<EmptyCell>"


EMPTY_CELL = EmptyCell()


class SheetParser:
    """The settings object the engine reads once per worksheet."""

    def __init__(self, shared_strings, date_formats=(), timedelta_formats=(), epoch=WINDOWS_EPOCH,
                 data_only=False, rich_text=False, formula_and_value=False):
        self.shared_strings = shared_strings
        self.date_formats = set(date_formats)
        self.timedelta_formats = set(timedelta_formats)
        self.epoch = epoch
        self.data_only = data_only
        self.rich_text = rich_text
        self.formula_and_value = formula_and_value
        self.row_dimensions = {}


class Workbook:
    """An .xlsx opened for streaming."""

    def __init__(self, path, data_only=False):
        self.package = Package(path)
        self.data_only = data_only
        self.helpers = make_helpers()
        part = self.package.related("sharedStrings")
        if part:
            with self.package.open(part) as f:
                self.shared_strings = _tovrel.read_string_table(f, self.helpers)
        else:
            self.shared_strings = []
        styles = self.package.related("styles")
        xml = self.package.read(styles) if styles else None
        self.date_formats, self.timedelta_formats = date_styles(xml)
        self.cell_format_count = cell_format_count(xml)
        root = ET.fromstring(self.package.read(self.package.workbook_part))
        pr = root.find(MAIN_NS + "workbookPr")
        self.epoch = MAC_EPOCH if pr is not None and pr.get("date1904") in ("1", "true") else WINDOWS_EPOCH

    def close(self):
        self.package.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def sheet_names(self):
        return [name for name, _part in self.package.sheets]

    def parser(self):
        return SheetParser(self.shared_strings, self.date_formats, self.timedelta_formats,
                           self.epoch, data_only=self.data_only)

    def bind(self, name, ws, cell_styles, cell_cls, parser=None):
        """Loads a sheet for editing: its cells into a new CellStore. Returns (store, actions,
        parser); the parser's row_dimensions hold the sheet's row attributes."""
        part = dict(self.package.sheets)[name]
        parser = parser or self.parser()
        store, actions = _tovrel.CellStore(), []
        with self.package.open(part) as f:
            _tovrel.bind_cells(f, parser, ws, store, cell_styles, cell_cls, self.helpers, actions)
        return store, actions, parser

    def rows(self, name, values_only=True, min_col=1, max_col=None, parser=None):
        """Yields (row_index, tuple) for each row of the sheet."""
        part = dict(self.package.sheets)[name]
        with self.package.open(part) as f:
            reader = _tovrel.RowReader(f, parser or self.parser(), self.helpers)
            while True:
                row = reader.next_row(name, min_col, max_col, values_only, ReadOnlyCell, None
                                      if values_only else EMPTY_CELL)
                if row is None:
                    return
                yield row
