"""Mutation fuzzing of the engine's reading entry points.

Seeds are the worksheet and shared-strings parts of real workbooks. Each mutated input is read
at several chunkings of the source; every reading must end the same way (same result, or same
exception type and message), and the engine's well-formedness verdict must agree with expat's:
a "malformed: ..." fallback only for input expat rejects, and no clean result for input expat
rejects within the part the entry point reads.

Targets live in TARGETS; a new entry point gets one `Target` there.
"""
import glob
import io
import pathlib
import random
import re
import time
import zipfile
from collections import Counter
from dataclasses import dataclass, field
from typing import Callable

import pyexpat

import _tovrel
from tovrel.helpers import make_helpers
from tovrel.reader import EMPTY_CELL, ReadOnlyCell, SheetParser

NF = _tovrel.NativeFallback
REPO = pathlib.Path(__file__).resolve().parents[2]
SHARED = REPO.parent / "shared"
DEMO = REPO / "demo" / "demo.xlsx"

# --- seeds --------------------------------------------------------------------------------------

PART = re.compile(r"(?:^|/)(worksheets/[^/]+|sharedStrings[^/]*)\.xml$", re.I)
TRIM = 40000  # larger parts keep their head and tail rows, so that one-byte reads stay cheap


@dataclass
class Seed:
    name: str
    data: bytes
    strings: list = field(default_factory=list)  # the workbook's shared strings, for sheets


def _trim(data, tag, keep=TRIM):
    """Cuts whole <tag> elements out of the middle of a large part; the rest stays intact."""
    if len(data) <= keep * 5 // 4:
        return data
    ends = [m.end() for m in re.finditer(rb"</(?:[A-Za-z_][\w.-]*:)?%s>" % tag, data)]
    head = next((i for i, e in enumerate(ends) if e >= keep * 3 // 4), None)
    if head is None:
        return data[:keep]  # no element boundary to cut at: a truncated seed is still a seed
    tail = next(i for i, e in enumerate(ends) if e >= ends[-1] - keep // 4)
    if tail <= head:
        return data[:ends[head]] + data[ends[-1]:]
    return data[:ends[head]] + data[ends[tail - 1]:]


def workbooks(shared=SHARED):
    """The workbooks to seed from, and a note when only the bundled demo is available."""
    paths = sorted(glob.glob(str(shared / "corpus" / "*.xlsx")) + glob.glob(str(shared / "realworld" / "*.xlsx")))
    if paths:
        return paths, None
    return [str(DEMO)], f"shared test material not found at {shared}: seeding from {DEMO.name} only"


def load_seeds(paths):
    """{"sheet": [Seed], "sst": [Seed]} from the parts of the given workbooks."""
    seeds = {"sheet": [], "sst": []}
    for path in paths:
        try:
            z = zipfile.ZipFile(path)
        except zipfile.BadZipFile:
            continue  # an encrypted workbook is not a zip
        with z:
            parts = [(n, z.read(n)) for n in z.namelist() if PART.search(n.replace("\\", "/"))]
        strings = []
        for name, data in parts:
            if "sharedstrings" in name.lower():
                seeds["sst"].append(Seed(f"{pathlib.Path(path).name}:{name}", _trim(data, b"si")))
                try:
                    strings = _tovrel.read_string_table(io.BytesIO(data), make_helpers())
                except Exception:
                    strings = [f"s{i}" for i in range(data.count(b"<si"))]
        for name, data in parts:
            if "sharedstrings" not in name.lower():
                seeds["sheet"].append(Seed(f"{pathlib.Path(path).name}:{name}", _trim(data, b"row"), strings))
    return seeds


# --- mutations ----------------------------------------------------------------------------------

FRAGMENTS = [
    b"<", b">", b"</", b"/>", b"<a>", b"</a>", b"<x:y/>", b"=", b'"', b"'", b" ", b"\t", b"\r", b"\r\n", b"\n",
    b"&", b"&amp;", b"&lt;", b"&#0;", b"&#x41;", b"&#x10FFFF;", b"&#xD800;", b"&#99999999999;", b"&bogus;",
    b";", b"]]>", b"<![CDATA[", b"<![CDATA[x]]>", b"<!--", b"-->", b"<!-- c -->", b"<?pi x?>", b"<?xml version='1.0'?>",
    b"<!DOCTYPE x>", b"<!ELEMENT", b' xmlns="urn:x"', b' xmlns:x="urn:x"', b' xmlns:p=""', b"x:", b":",
    b' xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"',
    b' xml:space="preserve"', b' a="1"', b' a="1" a="2"',
    b"\x00", b"\x01", b"\x7f", b"\x80", b"\xc3", b"\xc3\xa9", b"\xed\xa0\x80", b"\xef\xbb\xbf", b"\xef\xbf\xbe",
    b"\xf0\x9f\x98\x80", b"\xff",
    b"<row>", b"</row>", b'<row r="3">', b'<row r="x">', b'<row r="99999999999999999999">', b"<c>", b"</c>",
    b'<c r="A1">', b'<c r="XFD1048576" t="s">', b'<c t="inlineStr"><is><t>x</t></is></c>', b'<c t="b">', b'<c t="e">',
    b'<c t="d"><v>2020-01-01T10:00:00</v></c>', b' s="1"', b' s="-1"', b' s="9999999999"', b' t="str"',
    b"<v>", b"</v>", b"<v>1e308</v>", b"<v>nan</v>", b"<v>-0</v>", b"<v>1e400</v>", b"<v>0.1</v>",
    b'<f t="shared" ref="A1:A9" si="0">A1+1</f>', b'<f t="shared" si="0"/>', b'<f t="array" ref="A1:B2">1</f>',
    b'<f t="dataTable" ref="A1" dt2D="1"/>', b"<f>SUM(A1:A3)</f>",
    b"<sheetData>", b"</sheetData>", b"<sheetData/>", b'<dimension ref="A1:B2"/>', b"<dimension>", b"</dimension>",
    b"<sheetPr/>", b"<mergeCells/>", b"<hyperlinks>", b"<extLst/>",
    b"<si>", b"</si>", b"<t>", b"</t>", b"<r>", b"</r>", b"<rPr><b/></rPr>", b"<rPh><t>p</t></rPh>", b"<phoneticPr/>",
    b'<phoneticPr fontId="1" type="noConversion"/>',
    b"x005F_", b"_x000D_",
]


def _spot(rng, data):
    """A position to mutate at: uniformly, or at markup, where most of the parser's decisions lie."""
    if not data:
        return 0
    pos = rng.randrange(len(data) + 1)
    if rng.random() < 0.6:
        hit = data.find(rng.choice((b"<", b'"', b">", b"&", b"=")), pos)
        if hit >= 0:
            pos = hit + rng.randrange(3)
    return min(pos, len(data))


ELEMENTS = [  # well-formed pieces, inserted where an element may start
    b'<c r="B1"><v>1</v></c>', b'<c t="s"><v>0</v></c>', b'<c t="str"><f>"a"&amp;"b"</f><v>ab</v></c>',
    b'<c r="C1" t="inlineStr"><is><r><rPr><b/></rPr><t>x</t></r></is></c>', b'<c t="b"><v>1</v></c>',
    b'<c t="e"><v>#N/A</v></c>', b'<c s="1"><v>45000.5</v></c>', b'<c t="d"><v>1900-01-01</v></c>',
    b'<c r="A1"><f t="shared" ref="A1:A3" si="7">B1*2</f><v>2</v></c>', b'<c r="A2"><f t="shared" si="7"/></c>',
    b'<c r="D1"><f t="array" ref="D1:D2">A1:A2</f></c>', b"<c><v> 12 </v></c>", b"<c><v></v></c>", b"<c/>",
    b'<row r="2" ht="20" customHeight="1"><c r="A2"><v>3</v></c></row>', b'<row spans="1:3"/>', b"<row/>",
    b'<x:c xmlns:x="urn:x"/>', b"<!-- note -->", b"<?pi data?>", b"<![CDATA[1]]>",
    b'<si><t xml:space="preserve"> a </t></si>', b"<si><r><t>a</t></r><r><rPr><sz val='9'/></rPr><t>b</t></r></si>",
    b'<si><t>a</t><rPh sb="0" eb="1"><t>b</t></rPh></si>', b"<dimension ref='A1:Z9'/>", b"<sheetPr/>",
]
ATTRIBUTES = [b' r="A1"', b' r="ZZZ9"', b' r="a1"', b' r="A0"', b' r=""', b' s="2"', b' s=""', b' t="n"', b' t="s"',
              b' t="inlineStr"', b' t="str"', b' t="d"', b' t="x"', b' ht="1"', b' spans="1:2"', b' x:a="1"',
              b' xmlns:x="urn:x"', b' xmlns="urn:other"', b" ref='A1:B2'", b' si="0"', b' cm="1"', b' xml:space="preserve"']
VALUES = [b"", b"0", b"1", b"-1", b"007", b"1.5", b"1e5", b"1E-5", b".5", b"5.", b"inf", b"nan", b" 1", b"1 ",
          b"99999999999999999999", b"-9223372036854775808", b"A1", b"$A$1", b"XFD1048576", b"XFE1", b"A1048577",
          b"s", b"inlineStr", b"true", b"#DIV/0!", b"2020-02-30", b"12:00:00", b"\xc3\xa9", b"&amp;", b"&#10;", b"x005F_"]


def mutate(rng, data, pool):
    """One to three mutations of `data`; `pool` holds other seeds for splicing."""
    data = bytearray(data)
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        op = rng.randrange(14)
        at = _spot(rng, data)
        if op <= 1 and data:  # byte flip
            at = min(at, len(data) - 1)
            data[at] = data[at] ^ (1 << rng.randrange(8)) if op == 0 else rng.randrange(256)
        elif op <= 3:  # an XML-significant fragment
            data[at:at] = rng.choice(FRAGMENTS)
        elif op == 4:  # truncation
            del data[at:]
        elif op == 5:  # delete a span
            del data[at:at + rng.randrange(1, 64)]
        elif op == 6:  # duplicate a span
            data[at:at] = data[at:at + rng.randrange(1, 256)]
        elif op == 7:  # splice a slice of another seed
            other = rng.choice(pool).data
            start = _spot(rng, other)
            piece = other[start:start + rng.randrange(1, 512)]
            if rng.random() < 0.3:
                del data[at:]  # head of this one, tail of the other
                piece = other[start:]
            data[at:at] = piece
        elif op <= 9:  # a well-formed element where an element may start
            at = data.find(b"<", at)
            if at > 0:
                data[at:at] = rng.choice(ELEMENTS)
        elif op <= 11:  # an attribute at the end of a start tag
            at = data.find(b">", at)
            if at > 0:
                at -= data[at - 1:at] == b"/"
                data[at:at] = rng.choice(ATTRIBUTES)
        else:  # another text for an attribute value or an element's text
            quote = data.find(b'="', at) if op == 12 else data.find(b">", at)
            end = data.find(b'"' if op == 12 else b"<", quote + 2)
            if quote >= 0 and end >= 0 and end - quote < 200:
                data[quote + (2 if op == 12 else 1):end] = rng.choice(VALUES)
    return bytes(data)


# --- sources ------------------------------------------------------------------------------------

class Chunked:
    """A file-like whose read(n) returns chunks of chosen sizes, whatever n is."""

    __slots__ = ("data", "pos", "sizes")

    def __init__(self, data, sizes):
        self.data, self.pos, self.sizes = data, 0, sizes

    def read(self, n):
        size = self.sizes()
        chunk = self.data[self.pos:self.pos + size]
        self.pos += len(chunk)
        return chunk


def chunkings(seed):
    """name -> factory of a chunk-size function; random sizes are reproducible per input."""
    def sized(lo, hi):
        def make():
            rng = random.Random(seed)
            return lambda: rng.randint(lo, hi)
        return make
    return {
        "whole": lambda: (lambda: 1 << 62),
        "byte": lambda: (lambda: 1),
        "small": sized(1, 24),
        "large": sized(1, 70000),
    }


# --- targets ------------------------------------------------------------------------------------

@dataclass
class Case:
    """One mutated input and the settings all its readings share."""
    data: bytes
    seed: Seed
    rng_seed: int
    settings: dict = field(default_factory=dict)
    min_col: int = 1
    max_col: object = None


@dataclass
class Target:
    name: str
    kind: str                       # which seeds: "sheet" or "sst"
    read: Callable                  # read(source, case, log) -> result; partial results go to log
    reads_all: bool = True          # False: stops early, so only the part it read is judged
    calls_host: bool = True         # False: no host callable can raise, so every exception is the engine's
    skims: bool = False             # True: passes over some content unchecked by design, so accepting
                                    # input expat rejects is no failure (a "malformed" verdict still must agree)


def _cell(c):
    if c is EMPTY_CELL or c is None:
        return c
    return tuple(getattr(c, s, "<unset>") for s in ReadOnlyCell.__slots__)


def _rows(source, case, log, next_row):
    """Streams every row through `next_row(reader)`; the actions and row dimensions go last."""
    parser = SheetParser(case.seed.strings, **case.settings)
    reader = _tovrel.RowReader(source, parser, make_helpers())
    try:
        while (row := next_row(reader)) is not None:
            log.append(row)
    finally:
        log.append(("actions", reader.actions, parser.row_dimensions))


def read_raw(source, case, log):
    _rows(source, case, log, lambda r: r.next_raw())


def read_values(source, case, log):
    _rows(source, case, log, lambda r: r.next_row("ws", case.min_col, case.max_col, True, ReadOnlyCell, EMPTY_CELL))


def read_cells(source, case, log):
    def cells(r):
        row = r.next_row("ws", case.min_col, case.max_col, False, ReadOnlyCell, EMPTY_CELL)
        return row and (row[0], tuple(_cell(c) for c in row[1]))
    _rows(source, case, log, cells)


def read_sst(source, case, log):
    log.append(_tovrel.read_string_table(source, make_helpers()))


def read_dimension(source, case, log):
    log.append(_tovrel.find_dimension(source))


def read_prescan(source, case, log):
    """Rows on every other input; a few corners, one of them picked per input."""
    corners = [(1, 1), (2, 2), (case.rng_seed % 40 + 1, case.rng_seed % 9 + 1)]
    log.append(_tovrel.prescan_sheet(source, case.rng_seed % 2 == 0, corners, {"row_index": int}))


def read_bind(source, case, log):
    """The sheet loaded into a fresh CellStore; every stored cell, the actions and the row
    dimensions go to the log, also when loading stops early."""
    from tovrel.worksheet import Cell, StyleArray
    parser = SheetParser(case.seed.strings, **case.settings)
    store, actions = _tovrel.CellStore(), []
    styles = [StyleArray([i] * 9) for i in range(64)]
    try:
        _tovrel.bind_cells(source, parser, "ws", store, styles, Cell, make_helpers(), actions)
    finally:
        log.extend((key, store[key]._value, store[key].data_type) for key in store)
        log.append(("actions", actions, parser.row_dimensions))


def read_write(source, case, log):
    """The sheet loaded as bind_cells does, then written back from the compact store and from a
    dict of the same cells, in both output forms; the two texts must agree."""
    from tovrel.helpers import make_writer_helpers
    from tovrel.worksheet import Cell, StyleArray, Workbook, Worksheet
    wb = Workbook()
    for i in range(1, 64):
        wb._cell_styles.add(StyleArray([i] + [0] * 8))
    ws = Worksheet(wb)
    parser = SheetParser(case.seed.strings, **case.settings)
    store = _tovrel.CellStore()
    _tovrel.bind_cells(source, parser, ws, store, wb._cell_styles, Cell, make_helpers(), [])
    ws.row_dimensions = {int(r): dim for r, dim in parser.row_dimensions.items() if r.isdigit()}

    def write(cells, lxml):
        ws._cells, out = cells, []
        writer = _tovrel.SheetWriter(ws, out.append, lxml, make_writer_helpers(lxml))
        writer.write_sheet_data(lambda: [])
        return out

    compact = [write(store, lxml) for lxml in (False, True)]
    cells = {key: store[key] for key in store}
    plain = [write(cells, lxml) for lxml in (False, True)]
    assert compact == plain, "store and dict paths differ"
    log.append(compact)


TARGETS = {t.name: t for t in [
    Target("read_string_table", "sst", read_sst),
    Target("find_dimension", "sheet", read_dimension, reads_all=False, calls_host=False),
    Target("RowReader.next_raw", "sheet", read_raw),
    Target("RowReader.next_row/values", "sheet", read_values),
    Target("RowReader.next_row/cells", "sheet", read_cells),
    # The scan inside <sheetData> checks only <row> and <c> tags: the rest is skimmed.
    Target("prescan_sheet", "sheet", read_prescan, skims=True),
    Target("bind_cells", "sheet", read_bind),
    # Writes back what bind_cells loaded; an AssertionError is a disagreement between paths.
    Target("SheetWriter.write_sheet_data", "sheet", read_write),
]}


# --- judging ------------------------------------------------------------------------------------

def kind_of(exc):
    if exc is None:
        return "ok"
    if type(exc) is NF:
        msg = str(exc)
        for prefix in ("malformed", "unsupported"):
            if msg.startswith(prefix + ": "):
                return prefix
        return "fallback"
    return "error:" + type(exc).__name__


def expat_rejects(data, final=True):
    """expat's verdict, namespaces on: the error text, or None for well-formed input."""
    p = pyexpat.ParserCreate(namespace_separator="\x01")  # a character no document can hold
    try:
        p.Parse(data, final)
    except pyexpat.ExpatError as e:
        return str(e)
    except LookupError as e:  # an encoding expat does not know
        return str(e)
    return None


def run_once(target, case, chunking):
    source = Chunked(case.data, chunking())
    log = []
    exc = None
    try:
        target.read(source, case, log)
    except Exception as e:  # every exception is an outcome to compare
        exc = e
    outcome = (repr(log), None if exc is None else (type(exc).__name__, str(exc)))
    return outcome, kind_of(exc), source.pos


@dataclass
class Stats:
    inputs: Counter = field(default_factory=Counter)
    readings: Counter = field(default_factory=Counter)
    outcomes: Counter = field(default_factory=Counter)
    failures: list = field(default_factory=list)

    def report(self):
        lines = [f"inputs {sum(self.inputs.values())}, readings {sum(self.readings.values())}"]
        for name in TARGETS:
            if self.inputs[name]:
                kinds = ", ".join(f"{k} {n}" for (t, k), n in sorted(self.outcomes.items()) if t == name)
                lines.append(f"  {name}: inputs {self.inputs[name]}, readings {self.readings[name]}; {kinds}")
        lines.append(f"failures {len(self.failures)}")
        return "\n".join(lines)


def check(target, case, stats):
    """Reads one input at every chunking and judges the readings; returns the failure text or None."""
    results = {}
    for name, chunking in chunkings(case.rng_seed).items():
        results[name] = run_once(target, case, chunking)
        stats.readings[target.name] += 1
    stats.inputs[target.name] += 1
    outcome, kind, _ = results["whole"]
    stats.outcomes[target.name, kind] += 1
    for name, (other, _, _) in results.items():
        if other != outcome:
            return f"outcome differs between chunkings whole and {name}:\n  {outcome!r:.600}\n  {other!r:.600}"
    if kind == "error:AssertionError":
        return f"{outcome[1]}"
    if kind.startswith("error") and not target.calls_host:
        return f"{outcome[1]} from an entry point that calls no host code"
    verdict = expat_rejects(case.data)
    if kind == "malformed" and verdict is None:
        return f"engine says {outcome[1][1]!r} but expat accepts the input"
    if kind == "ok" and verdict is not None and not target.skims:
        if target.reads_all:
            return f"engine accepts the input but expat says {verdict!r}"
        # An early stop only vouches for what it read: the bytes the one-byte reading pulled.
        partial = expat_rejects(case.data[:results["byte"][2]], final=False)
        if partial is not None:
            return f"engine accepts the {results['byte'][2]} bytes it read but expat says {partial!r}"
    return None


def make_case(rng, target, seeds):
    pool = seeds[target.kind] or seeds["sheet"]
    seed = rng.choice(pool)
    data = seed.data if rng.random() < 0.02 else mutate(rng, seed.data, pool + seeds["sheet"] + seeds["sst"])
    case = Case(data, seed, rng.randrange(1 << 30))
    if target.kind == "sheet":
        case.settings = {"formula_and_value": rng.random() < 0.3, "data_only": rng.random() < 0.3,
                         "rich_text": rng.random() < 0.3, "date_formats": rng.choice(((), (1,), (0, 1, 2)))}
        case.min_col = rng.choice((1, 1, 1, 2, 5))
        case.max_col = rng.choice((None, None, 0, 3, 30))
    return case


def campaign(seeds, rng_seed=0, inputs=None, seconds=None, targets=None, keep_going=False, on_failure=None):
    """Runs targets round-robin until `inputs` inputs per target are done or `seconds` have passed."""
    rng = random.Random(rng_seed)
    stats = Stats()
    names = list(targets or TARGETS)
    deadline = None if seconds is None else time.monotonic() + seconds
    n = 0
    while True:
        if inputs is not None and n >= inputs * len(names):
            break
        if deadline is not None and time.monotonic() >= deadline:
            break
        target = TARGETS[names[n % len(names)]]
        n += 1
        case = make_case(rng, target, seeds)
        problem = check(target, case, stats)
        if problem:
            stats.failures.append((target.name, case, problem))
            if on_failure:
                on_failure(target, case, problem)
            if not keep_going:
                break
    return stats
