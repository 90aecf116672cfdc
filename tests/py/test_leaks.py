"""Leak loops: every reading entry point, on its success and its error paths, run a few thousand
times must leave the reference counts of everything passed in unchanged and memory flat."""
import gc
import os
import sys
import tracemalloc

import pytest

import _tovrel
from tovrel.helpers import MAIN_NS, make_helpers
from tovrel.reader import SheetParser

NF = _tovrel.NativeFallback
ROUNDS = 1500
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")  # its quarantine keeps freed memory mapped

SHEET = (b'<worksheet xmlns="%s"><dimension ref="A1:C2"/><sheetData>'
         b'<row r="1" ht="9"><c r="A1"><v>1</v></c><c r="B1" t="s"><v>0</v></c><c r="C1"><f>A1*2</f><v>2</v></c></row>'
         b'<row r="2"><c r="A2" t="inlineStr"><is><r><t>x</t></r><rPh><t>y</t></rPh></is></c></row>'
         b'</sheetData><mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells></worksheet>') % MAIN_NS.encode()
SST = (b'<sst xmlns="%s"><si><t>plain</t></si><si><r><rPr><b/></rPr><t>a</t></r></si>'
       b'<si><t>b</t><rPh><t>p</t></rPh></si></sst>') % MAIN_NS.encode()
MALFORMED_SHEET = SHEET.replace(b"</row>", b"</rows>", 1)
MALFORMED_SST = SST.replace(b"</si>", b"</s>", 1)
# A markup item whole in the first chunk, then a fault: its si_content call is still to come.
MARKUP_THEN = b'<sst xmlns="%s"><si><t>b</t><rPh/></si>' % MAIN_NS.encode()
# Plain items enough to fill several of the blocks the list is gathered in, then a fault.
LONG_MALFORMED_SST = SST.replace(b"<si>", b"<si><t>item</t></si>" * 10000 + b"<si>", 1).replace(b"</sst>", b"</ss>")


class Source:
    """A rewindable file-like; with `fail`, read raises after the first chunk."""

    def __init__(self, data, fail=False):
        self.data, self.fail, self.pos = data, fail, 0

    def rewind(self):
        self.pos = 0
        return self

    def read(self, n):
        if self.fail and self.pos:
            raise ValueError("disk on fire")
        chunk = self.data[self.pos:self.pos + 100]
        self.pos += len(chunk)
        return chunk


class Cell:
    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "formula", "cached_value", "extra")


def markup(snippet, namespaces):
    return (len(snippet), len(namespaces))


def failing(*args):
    raise LookupError("helper refuses")


class Kit:
    """Everything one case hands the engine, fresh per case."""

    def __init__(self, data, fail=False, **helper_over):
        self.source = Source(data, fail)
        self.helpers = make_helpers()
        # Markup goes to the host as (bytes, namespaces); cheap stand-ins keep the loops quick.
        self.helpers.update(si_content=markup, text_content=markup, rich_inline=markup,
                            validate_rpr=lambda snippet, namespaces: snippet.count(b"<") < 3)
        self.helpers.update(helper_over)
        self.parser = SheetParser(["s0"], formula_and_value=True)
        self.cell_cls, self.ws, self.filler, self.extra = Cell, object(), object(), ["extra"]

    def objects(self):
        return {"source": self.source, "helpers": self.helpers, "parser": self.parser, "cell class": self.cell_cls,
                "ws": self.ws, "filler": self.filler, "extra_none": self.extra,
                # what the engine takes out of them
                "shared strings": self.parser.shared_strings, "a helper": self.helpers["text_content"],
                "epoch": self.parser.epoch}

    def reader(self):
        return _tovrel.RowReader(self.source.rewind(), self.parser, self.helpers)

    def drain(self, step):
        r = self.reader()
        while step(r) is not None:
            pass


def raw(k):
    k.drain(lambda r: r.next_raw())


def values(k):
    k.drain(lambda r: r.next_row(k.ws, 1, None, True, k.cell_cls, k.filler))


def cells(k):
    k.drain(lambda r: r.next_row(k.ws, 1, 4, False, k.cell_cls, k.filler, k.extra))


def bad_argument(k):
    k.reader().next_row(k.ws, "1", None, False, k.cell_cls, k.filler, k.extra)


def missing_slot(k):
    k.reader().next_row(k.ws, 1, None, False, k.cell_cls, k.filler, ["nope"])


def string_table(k):
    _tovrel.read_string_table(k.source.rewind(), k.helpers)


def dimension(k):
    return _tovrel.find_dimension(k.source.rewind())


def prescan(k):
    return _tovrel.prescan_sheet(k.source.rewind(), True, [(1, 1), (2, 1)], k.helpers)


def case(entry, path, kit, expected, action, marks=()):
    return pytest.param(entry, path, kit, expected, action, marks=marks, id=f"{entry}-{path}")


CASES = [
    # entry point, path, input, expected exception, action
    case("RowReader.next_raw", "rows", Kit(SHEET), None, raw),
    case("RowReader.next_row", "values", Kit(SHEET), None, values),
    case("RowReader.next_row", "cells", Kit(SHEET), None, cells),
    case("RowReader.next_raw", "malformed", Kit(MALFORMED_SHEET), NF, raw),
    case("RowReader.next_row", "source raises", Kit(SHEET, fail=True), NF, cells),
    case("RowReader.next_row", "helper raises",
         Kit(SHEET, from_excel=failing, rich_inline=failing, text_content=failing), NF, values),
    case("RowReader.next_row", "argument", Kit(SHEET), TypeError, bad_argument),
    case("RowReader.next_row", "slot missing", Kit(SHEET), AttributeError, missing_slot),
    case("RowReader()", "helper missing", Kit(SHEET), TypeError,
         lambda k: _tovrel.RowReader(k.source, k.parser, {"float": float})),
    case("read_string_table", "items", Kit(SST), None, string_table),
    case("read_string_table", "malformed", Kit(MALFORMED_SST), NF, string_table),
    case("read_string_table", "source raises", Kit(SST, fail=True), ValueError, string_table),
    case("read_string_table", "helper raises", Kit(SST, si_content=failing), LookupError, string_table),
    case("read_string_table", "malformed after markup", Kit(MARKUP_THEN + b"<si></s></sst>"), NF, string_table),
    case("read_string_table", "helper raises before a fault", Kit(MARKUP_THEN + b"<si></s></sst>", si_content=failing),
         LookupError, string_table),
    case("read_string_table", "source raises after markup", Kit(MARKUP_THEN + b"<si><t>c</t></si></sst>", fail=True),
         ValueError, string_table),
    case("find_dimension", "found", Kit(SHEET), None, dimension),
    case("find_dimension", "malformed", Kit(b"<a><dimension></a>"), NF, dimension),
    case("find_dimension", "source raises", Kit(SHEET, fail=True), ValueError, dimension),
    case("prescan_sheet", "rows and corners", Kit(SHEET), None, prescan),
    case("prescan_sheet", "malformed", Kit(SHEET.replace(b'<row r="2"', b'<row r="2"s="1"')), NF, prescan),
    case("prescan_sheet", "source raises", Kit(SHEET, fail=True), ValueError, prescan),
    case("prescan_sheet", "helper raises", Kit(SHEET.replace(b'<row r="2"', b'<row r="x"'), row_index=failing),
         LookupError, prescan),
]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("entry, path, kit, expected, action", CASES)
def test_no_leak(entry, path, kit, expected, action):
    def once():
        try:
            action(kit)
        except Exception as e:
            assert expected is not None and type(e) is expected, f"{entry} {path}: {e!r}"
        else:
            assert expected is None, f"{entry} {path}: no {expected.__name__}"

    for _ in range(50):  # warm up caches (interned strings, type attribute caches, ...)
        once()
    gc.collect()
    refs = {name: sys.getrefcount(o) for name, o in kit.objects().items()}
    tracemalloc.start()
    try:
        # The first rounds fill the interpreter's delayed-free queues; only what the later rounds
        # keep counts. A leak keeps memory in every window of rounds; the interpreter's own queues
        # and free lists sometimes hold a burst in one, so a window under the limit is enough.
        for _ in range(ROUNDS // 2):
            once()
        gc.collect()
        mem = rss()
        kept = []
        for _window in range(3):
            traced = tracemalloc.get_traced_memory()[0]
            for _ in range(ROUNDS):
                once()
            gc.collect()
            kept.append(tracemalloc.get_traced_memory()[0] - traced)
            if kept[-1] < 32 * 1024:
                break
    finally:
        tracemalloc.stop()
    grown_rss = rss() - mem
    assert {name: sys.getrefcount(o) for name, o in kit.objects().items()} == refs
    assert min(kept) < 32 * 1024, f"{kept} bytes of Python memory kept over windows of {ROUNDS} rounds"
    if not SANITIZED:
        assert grown_rss < 4 << 20, f"resident memory grew by {grown_rss >> 10} KiB over {ROUNDS} rounds"


def test_strings_gathered_before_a_fault_are_released():
    # One round would keep 10,000 strings: a few rounds show it without the loops above.
    import io
    helpers = make_helpers()

    def once():
        with pytest.raises(NF):
            _tovrel.read_string_table(io.BytesIO(LONG_MALFORMED_SST), helpers)

    once()
    gc.collect()
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(5):
            once()
        gc.collect()
        kept = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert kept < 64 * 1024, f"{kept} bytes of Python memory kept over 5 rounds"
