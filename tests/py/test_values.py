"""Cell values, data types and formulas decided by `interpret`, driven through the probe.

Each case hands the probe the raw texts a worksheet parser collects for a cell (attribute and
child texts; a key's presence is the attribute's presence) and compares what Python gets back.
"""
import datetime
import math
import random
import re
import sys

import pytest

import _tovrel
import _tovrel_probe as probe
from sheets import raw_rows, sheet
from tovrel import helpers as host
from tovrel.reader import SheetParser
from tovrel.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

DATE_STYLE = 14
TD_STYLE = 46
INT64_MAX = 2**63 - 1


class Parser:
    def __init__(self, **attrs):
        self.epoch = WINDOWS_EPOCH
        self.shared_strings = ["a", "b", "c"]
        self.data_only = False
        self.rich_text = False
        self.formula_and_value = False
        self.date_formats = {DATE_STYLE, TD_STYLE}
        self.timedelta_formats = {TD_STYLE}
        self.__dict__.update(attrs)


def run(cells, helpers=None, **settings):
    return probe.interpret_cells(Parser(**settings), helpers or host.make_helpers(), cells)


def one(cell, **settings):
    results, _ = run([cell], **settings)
    return results[0]


def same(a, b):
    """Equal, of the same type, and for floats with the same sign of zero."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b) or (a != a and b != b)
    return a == b


BIG = 12345678901234567890

# (cell, value, data_type)
VALUE_CASES = [
    # numbers: see also the differential test against the host rule below
    ({"t": "n", "v": "5"}, 5, "n"),
    ({"v": "12345678901234567890"}, BIG, "n"),
    # shared strings
    ({"t": "s", "v": "0"}, "a", "s"),
    ({"t": "s", "v": "2"}, "c", "s"),
    ({"t": "s", "v": "-1"}, "c", "s"),
    ({"t": "s", "v": "-3"}, "a", "s"),
    ({"t": "s", "v": "+1"}, "b", "s"),
    ({"t": "s", "v": "01"}, "b", "s"),
    # booleans
    ({"t": "b", "v": "2"}, True, "b"),
    ({"t": "b", "v": "0"}, False, "b"),
    ({"t": "b", "v": "-0"}, False, "b"),
    ({"t": "b", "v": "-1"}, True, "b"),
    ({"t": "b", "v": "+0"}, False, "b"),
    ({"t": "b", "v": " 1 "}, True, "b"),
    # ISO dates, errors, formula texts, strings, unknown types
    ({"t": "d", "v": "2024-01-02T03:04:05"}, datetime.datetime(2024, 1, 2, 3, 4, 5), "d"),
    ({"t": "d", "v": "12:30:00"}, datetime.time(12, 30), "d"),
    ({"t": "e", "v": "#N/A"}, "#N/A", "e"),
    ({"t": "f", "v": "1+1"}, "1+1", "f"),
    ({"t": "str", "v": "x"}, "x", "s"),
    ({"t": "str", "v": "ünï"}, "ünï", "s"),
    ({"t": "zz", "v": "x"}, "x", "zz"),
    ({"t": "", "v": "5"}, "5", ""),
    # inline strings
    ({"t": "inlineStr", "inline": "hi"}, "hi", "s"),
    ({"t": "inlineStr", "inline": ("run", 1)}, ("run", 1), "s"),
    ({"t": "inlineStr"}, None, "inlineStr"),
    ({"t": "inlineStr", "v": "5"}, None, "inlineStr"),
    ({"t": "inlineStr", "v": "5", "inline": "x"}, "x", "s"),
    ({"t": "s", "v": "1", "inline": "ignored"}, "b", "s"),
    # no value text: the data type alone
    ({}, None, "n"),
    ({"v": ""}, None, "n"),
    ({"t": "n"}, None, "n"),
    ({"t": "s"}, None, "s"),
    ({"t": "b"}, None, "b"),
    ({"t": "e", "v": ""}, None, "e"),
    ({"t": "f"}, None, "f"),
    ({"t": "d"}, None, "d"),
    ({"t": "str"}, None, "str"),
    ({"t": "zz"}, None, "zz"),
]


@pytest.mark.parametrize("cell,value,data_type", VALUE_CASES)
def test_value_rules(cell, value, data_type):
    got = one(dict(cell, r="A1"))
    assert same(got["value"], value), got
    assert got["data_type"] == data_type
    assert got["has_formula"] is False
    assert "formula" not in got and "cached" not in got


def test_data_types_are_the_interned_strings():
    results, _ = run([{"t": "s", "v": "0"}, {"v": "1"}, {"t": "b", "v": "1"}])
    for got, name in zip(results, ["s", "n", "b"]):
        assert got["data_type"] is sys.intern(name)


# (cell, exception type, message fragment)
ERROR_CASES = [
    ({"t": "s", "v": "3"}, IndexError, "list index out of range"),
    ({"t": "s", "v": "-4"}, IndexError, "list index out of range"),
    ({"t": "s", "v": "x"}, ValueError, "invalid literal"),
    ({"t": "b", "v": "yes"}, ValueError, "invalid literal"),
    ({"t": "d", "v": "not a date"}, ValueError, "Invalid isoformat"),
    ({"s": "x"}, ValueError, "invalid literal"),
    ({"r": "1A"}, ValueError, "Invalid cell coordinates"),
]


@pytest.mark.parametrize("cell,exc,fragment", ERROR_CASES)
def test_host_converter_errors_propagate(cell, exc, fragment):
    with pytest.raises(exc, match=fragment):
        one(dict({"r": "A1"}, **cell))


def test_shared_strings_not_a_list_go_through_python_indexing():
    got = one({"r": "A1", "t": "s", "v": "1"}, shared_strings=("x", "y"))
    assert got["value"] == "y"
    with pytest.raises(IndexError):
        one({"r": "A1", "t": "s", "v": "2"}, shared_strings=("x", "y"))


# (s attribute or None when absent, style)
STYLE_CASES = [
    (None, 0),
    ("", ""),
    ("0", 0),
    ("5", 5),
    ("-3", -3),
    ("+5", 5),
    (" 7", 7),
    ("1234567890123456789", 1234567890123456789),
    ("99999999999999999999", 99999999999999999999),
    ("-99999999999999999999", -99999999999999999999),
]


@pytest.mark.parametrize("s,style", STYLE_CASES)
def test_style_of(s, style):
    cell = {"r": "A1", "v": "1"}
    if s is not None:
        cell["s"] = s
    got = one(cell)
    assert same(got["style"], style)


def test_position_follows_r_and_counters():
    results, _ = run([
        {"row": 5, "r": "C5"},
        {},                       # D5
        {"r": ""},                # present but empty: E5
        {"r": "b7"},              # host coordinate parser: row 7, column 2
        {},                       # C5: the row counter is the row's, not the last r
        {"r": "XFD5"},
        {},                       # beyond XFD
        {"row": 9},               # a new row restarts the column counter
        {"r": "$A$3"},
    ])
    assert [(c["row"], c["column"]) for c in results] == [
        (5, 3), (5, 4), (5, 5), (7, 2), (5, 3), (5, 16384), (5, 16385), (9, 1), (3, 1)]


def test_column_counter_overflow_is_unsupported():
    with pytest.raises(_tovrel.NativeFallback, match="^unsupported: column index$"):
        run([{"row": 1, "column": INT64_MAX}])
    # with an r the counter is not advanced, so nothing overflows
    results, _ = run([{"row": 1, "column": INT64_MAX, "r": "B1"}])
    assert (results[0]["row"], results[0]["column"]) == (1, 2)


def test_coordinate_helper_result_must_be_a_pair():
    helpers = host.make_helpers()
    helpers["coordinate_to_tuple"] = lambda text: [1, 2]
    with pytest.raises(TypeError, match="coordinate_to_tuple"):
        run([{"r": "a1"}], helpers=helpers)
    helpers["coordinate_to_tuple"] = lambda text: (4, 6)
    results, _ = run([{"r": "a1"}], helpers=helpers)
    assert (results[0]["row"], results[0]["column"]) == (4, 6)


# --- the date rule -----------------------------------------------------------------------------

def warning(coordinate, number):
    return ("warn", host.date_warning(coordinate, number))


# (cell, parser settings, value, data_type, actions)
DATE_CASES = [
    ({"r": "A1", "s": "14", "v": "60"}, {}, datetime.datetime(1900, 2, 28), "d", []),
    ({"r": "A1", "s": "14", "v": "61"}, {}, datetime.datetime(1900, 3, 1), "d", []),
    ({"r": "A1", "s": "14", "v": "0"}, {}, datetime.time(0, 0), "d", []),
    ({"r": "A1", "s": "14", "v": "1.5"}, {}, datetime.datetime(1900, 1, 1, 12), "d", []),
    ({"r": "A1", "s": "14", "v": "0.5"}, {}, datetime.time(12, 0), "d", []),
    ({"r": "A1", "s": "14", "v": "-0.5"}, {}, datetime.datetime(1899, 12, 29, 12), "d", []),
    ({"r": "A1", "s": "14", "v": "1.5"}, {"epoch": MAC_EPOCH},
     datetime.datetime(1904, 1, 2, 12), "d", []),
    ({"r": "A1", "s": "14", "v": "2958465"}, {}, datetime.datetime(9999, 12, 31), "d", []),
    # outside the range: warning, "#VALUE!" as an error value
    ({"r": "A1", "s": "14", "v": "1e10"}, {}, "#VALUE!", "e", [warning("A1", 1e10)]),
    ({"r": "B2", "s": "14", "v": "2958466"}, {}, "#VALUE!", "e", [warning("B2", 2958466)]),
    ({"r": "A1", "s": "14", "v": "1000000000"}, {}, "#VALUE!", "e", [warning("A1", 1000000000)]),
    ({"s": "14", "v": "1e10"}, {}, "#VALUE!", "e", [warning(None, 1e10)]),
    ({"r": "", "s": "14", "v": "1e10"}, {}, "#VALUE!", "e", [warning("", 1e10)]),
    # durations always go through the host converter
    ({"r": "A1", "s": "46", "v": "1.5"}, {}, datetime.timedelta(days=1.5), "d", []),
    ({"r": "A1", "s": "46", "v": "2"}, {}, datetime.timedelta(days=2), "d", []),
    # a number from the host's int(): the host converter
    ({"r": "A1", "s": "14", "v": "+60"}, {}, datetime.datetime(1900, 2, 28), "d", []),
    # no native epoch: the host converter, and its range errors as warnings
    ({"r": "A1", "s": "14", "v": "60"},
     {"epoch": datetime.datetime(1899, 12, 30, tzinfo=datetime.timezone.utc)},
     datetime.datetime(1900, 2, 28, tzinfo=datetime.timezone.utc), "d", []),
    ({"r": "A1", "s": "14", "v": "1e10"},
     {"epoch": datetime.datetime(1899, 12, 30, tzinfo=datetime.timezone.utc)},
     "#VALUE!", "e", [warning("A1", 1e10)]),
    # not date styles
    ({"r": "A1", "s": "15", "v": "60"}, {}, 60, "n", []),
    ({"r": "A1", "v": "60"}, {"date_formats": {0}}, datetime.datetime(1900, 2, 28), "d", []),
    ({"r": "A1", "s": "", "v": "60"}, {}, 60, "n", []),
    ({"r": "A1", "t": "s", "s": "14", "v": "0"}, {}, "a", "s", []),
    ({"r": "A1", "t": "str", "s": "14", "v": "60"}, {}, "60", "s", []),
]


@pytest.mark.parametrize("cell,settings,value,data_type,actions", DATE_CASES)
def test_date_rule(cell, settings, value, data_type, actions):
    results, got_actions = run([cell], **settings)
    got = results[0]
    assert same(got["value"], value), got
    assert got["data_type"] == data_type
    assert got_actions == actions


def test_date_styles_are_those_the_set_holds():
    styles = {-1, 0, 1, 63, 64, 65, 127, 2**40}
    cells = [{"r": "A1", "s": str(s), "v": "60"} for s in [*range(-2, 130), 2**40, 2**40 + 1]]
    results, _ = run(cells, date_formats=styles, timedelta_formats=set())
    assert [r["data_type"] for r in results] == ["d" if int(c["s"]) in styles else "n" for c in cells]


def test_date_warnings_keep_document_order():
    _, actions = run([{"r": "A1", "s": "14", "v": "1e10"}, {"r": "A2", "s": "14", "v": "5"},
                      {"r": "A3", "s": "14", "v": "-1e10"}])
    assert actions == [warning("A1", 1e10), warning("A3", -1e10)]


class Boom(Exception):
    pass


def test_date_converter_errors_other_than_range_propagate():
    helpers = host.make_helpers()

    def from_excel(value, epoch, timedelta=False):
        raise Boom("nope")

    helpers["from_excel"] = from_excel
    with pytest.raises(Boom):
        run([{"r": "A1", "s": "46", "v": "1"}], helpers=helpers)

    class Range(ValueError):
        pass

    def out_of_range(value, epoch, timedelta=False):
        raise Range("too big")

    helpers["from_excel"] = out_of_range
    results, actions = run([{"r": "A1", "s": "46", "v": "1"}], helpers=helpers)
    assert results[0]["value"] == "#VALUE!" and actions == [warning("A1", 1)]


def test_date_converter_arguments():
    calls = []
    helpers = host.make_helpers()

    def from_excel(value, epoch, timedelta=False):
        calls.append((value, epoch, timedelta))
        return "converted"

    helpers["from_excel"] = from_excel
    results, _ = run([{"r": "A1", "s": "46", "v": "2"}, {"r": "A2", "s": "14", "v": "+3"},
                      {"r": "A3", "s": "14", "v": "4.5"}], helpers=helpers)
    # the float serial of a date style is converted natively: no third call
    assert calls == [(2, WINDOWS_EPOCH, True), (3, WINDOWS_EPOCH, False)]
    assert [r["value"] for r in results] == ["converted", "converted",
                                             datetime.datetime(1900, 1, 4, 12)]


def test_date_warning_errors_propagate():
    helpers = host.make_helpers()
    helpers["date_warning"] = lambda coordinate, value: 1 / 0
    with pytest.raises(ZeroDivisionError):
        run([{"r": "A1", "s": "14", "v": "1e10"}], helpers=helpers)


# --- formulas ----------------------------------------------------------------------------------

# (cell, value)
PLAIN_FORMULAS = [
    ({"f": "1+1"}, "=1+1"),
    ({"f": "1+1", "f_t": "normal"}, "=1+1"),
    ({"f": ""}, "="),
    ({"f": "SUM(A1:A3)", "f_t": "array", "f_ref": "C1:C3"},
     host.ArrayFormula(ref="C1:C3", text="=SUM(A1:A3)")),
    ({"f": "SUM(A1:A3)", "f_t": "array"}, host.ArrayFormula(ref=None, text="=SUM(A1:A3)")),
    ({"f": "", "f_t": "dataTable", "f_attrs": {"t": "dataTable", "ref": "B2:C3", "dt2D": "1"}},
     host.DataTableFormula(t="dataTable", ref="B2:C3", dt2D="1")),
    ({"f": "", "f_t": "dataTable"}, host.DataTableFormula()),
    ({"f": "A1", "f_t": "Shared"}, "=A1"),
]


@pytest.mark.parametrize("cell,value", PLAIN_FORMULAS)
def test_formula_values(cell, value):
    got = one(dict(cell, r="B2", v="7"))
    assert got["value"] == value and type(got["value"]) is type(value)
    assert (got["data_type"], got["has_formula"]) == ("f", True)
    assert "cached" not in got and "formula" not in got


def shared(r, text=None, si="0"):
    cell = {"f_t": "shared", "f": text or ""}
    if r is not None:
        cell["r"] = r
    if si is not None:
        cell["f_si"] = si
    return cell


def values(results):
    assert all(type(c["value"]) is str for c in results)
    return [c["value"] for c in results]


# (cells, expected value per cell)
SHARED_CASES = [
    ([shared("B2", "A2*2"), shared("B3"), shared("B4")],
     ["=A2*2", "=A3*2", "=A4*2"]),
    # relative columns and rows move, absolute parts stay
    ([shared("B2", "A2+$A$1+A$1+$A2"), shared("D5")],
     ["=A2+$A$1+A$1+$A2", "=C5+$A$1+C$1+$A5"]),
    # a dependent without r renders unmoved (relative letters uppercased)
    ([shared("B2", "a2 +  1"), shared(None)], ["=a2 +  1", "=A2 + 1"]),
    # a lone "=" registers nothing: the next cell of the si becomes the master
    ([shared("C2"), shared("C3", "A1"), shared("C4")],
     ["=", "=A1", "=A2"]),
    # two groups
    ([shared("A1", "B1", si="0"), shared("D1", "E1", si="1"), shared("A2", si="0"),
      shared("D3", si="1")],
     ["=B1", "=E1", "=B2", "=E3"]),
    # without si: the slot of si-less masters; a later si-less formula with text is a dependent
    ([shared("A1", "B1", si=None), shared("A2", "ignored", si=None), shared("A3", si="0")],
     ["=B1", "=B2", "="]),
    # an si text is matched byte for byte
    ([shared("A1", "B1", si="0"), shared("A2", "C1", si="00"), shared("A3", si="0"),
      shared("A4", si="00")],
     ["=B1", "=C1", "=B3", "=C3"]),
    # a master with r present: a non-native reference goes through the host's parser
    ([shared("b2", "A1"), shared("B3")], ["=A1", "=A2"]),
]


@pytest.mark.parametrize("cells,expected", SHARED_CASES)
def test_shared_formulas(cells, expected):
    results, _ = run(cells)
    assert values(results) == expected
    assert all(c["data_type"] == "f" for c in results)


def test_shared_formula_out_of_range_raises_at_read_time():
    # master B2 refers to A1; B1 would move it to A0
    with pytest.raises(host.TranslatorError) as info:
        run([shared("B2", "A1*2"), shared("B1")])
    assert info.type is host.TranslatorError and info.value.args == ("Formula out of range",)
    # A2 would move it left of column A
    with pytest.raises(host.TranslatorError, match="^Formula out of range$"):
        run([shared("B2", "A1*2"), shared("A2")])
    # a row distance near the 64-bit limit overflows the larger row part, not the smaller
    with pytest.raises(host.TranslatorError, match="^Formula out of range$"):
        run([shared("A1", "A1+A9999999"), shared("A9223372036854775800")])
    results, _ = run([shared("A1", "A1+$A$9999999"), shared("A9223372036854775800")])
    assert values(results)[1] == "=A9223372036854775800+$A$9999999"
    # absolute parts never go out of range
    results, _ = run([shared("B2", "$A$1*2"), shared("A1")])
    assert values(results)[1] == "=$A$1*2"


class Recorder:
    """A host Translator that records how the engine uses it."""
    calls = []

    def __init__(self, formula, origin):
        Recorder.calls.append(("new", formula, origin))
        self.formula = formula

    def translate_formula(self, dest):
        Recorder.calls.append(("translate", dest))
        return f"{self.formula}@{dest}"


@pytest.fixture
def recorder():
    Recorder.calls = []
    helpers = host.make_helpers()
    helpers["Translator"] = Recorder
    return helpers


def test_shared_master_without_r_uses_the_host_translator(recorder):
    results, _ = run([shared(None, "A1+1"), shared("B5"), shared(None)], helpers=recorder)
    assert values(results) == ["=A1+1", "=A1+1@B5", "=A1+1@None"]
    assert Recorder.calls == [("new", "=A1+1", None), ("translate", "B5"), ("translate", None)]


def test_shared_master_without_r_with_the_stand_in_translator():
    results, _ = run([shared(None, "A1+1"), shared("B5")])
    assert values(results) == ["=A1+1", "=A1+1"]


def test_shared_master_the_native_translator_cannot_read_uses_the_host(recorder):
    results, _ = run([shared("B2", "é1+A1"), shared("B3")], helpers=recorder)
    assert values(results) == ["=é1+A1", "=é1+A1@B3"]
    assert Recorder.calls == [("new", "=é1+A1", "B2"), ("translate", "B3")]


def test_shared_master_with_empty_r_parses_the_coordinate():
    with pytest.raises(ValueError, match="Invalid cell coordinates"):
        run([shared("", "A1")])


# (master text, exception type, args)
FORMULA_ERRORS = [
    ('"abc', host.TokenizerError, ('Reached end of formula while parsing string in ="abc',)),
    ("A1)", IndexError, ("pop from empty list",)),
]


@pytest.mark.parametrize("text,exc,args", FORMULA_ERRORS)
def test_formula_errors_map_to_host_exceptions(text, exc, args):
    with pytest.raises(exc) as info:
        run([shared("B2", text)])
    assert info.type is exc and info.value.args == args


def test_formula_error_class_failing_raises_its_own_exception():
    helpers = host.make_helpers()

    def broken(message):
        raise Boom(message)

    helpers["TokenizerError"] = broken
    with pytest.raises(Boom):
        run([shared("B2", '"abc')], helpers=helpers)


def test_formula_helper_errors_propagate():
    helpers = host.make_helpers()
    helpers["ArrayFormula"] = lambda **kw: 1 / 0
    with pytest.raises(ZeroDivisionError):
        run([{"r": "A1", "f": "1", "f_t": "array"}], helpers=helpers)


def raising_array(**kwargs):
    raise AssertionError("the formula must not be computed")


# (data_only, formula_and_value) -> expected fields
MODES = [
    ((False, False), {"value": "=1+1", "data_type": "f", "has_formula": True}),
    ((False, True), {"value": "=1+1", "data_type": "f", "has_formula": True, "cached": 2}),
    ((True, False), {"value": 2, "data_type": "n", "has_formula": False}),
    ((True, True), {"value": 2, "data_type": "n", "has_formula": False, "formula": "=1+1"}),
]


@pytest.mark.parametrize("mode,expected", MODES)
def test_formula_and_value_modes(mode, expected):
    data_only, fav = mode
    got = one({"r": "A1", "f": "1+1", "v": "2"}, data_only=data_only, formula_and_value=fav)
    got.pop("row"), got.pop("column"), got.pop("style")
    assert got == expected


def test_data_only_does_not_compute_formulas():
    helpers = host.make_helpers()
    helpers["ArrayFormula"] = raising_array
    results, _ = run([{"r": "A1", "f": "1", "f_t": "array", "v": "3"}], helpers=helpers,
                     data_only=True)
    assert (results[0]["value"], results[0]["has_formula"]) == (3, False)
    # and a shared master read in data_only mode registers nothing
    results, _ = run([shared("A1", "B1") | {"v": "1"}, shared("A2") | {"v": "2"}],
                     data_only=True, formula_and_value=False)
    assert [c["value"] for c in results] == [1, 2]


def test_formula_and_value_keeps_the_shared_formula_beside_the_value():
    results, _ = run([shared("B2", "A2*2") | {"v": "4"}, shared("B3") | {"v": "6"}],
                     data_only=True, formula_and_value=True)
    assert [(c["value"], c["formula"]) for c in results] == [(4, "=A2*2"), (6, "=A3*2")]


# (data_only, formula_and_value) -> (value, data_type, actions)
DATE_FORMULA_MODES = [
    ((False, False), ("=NOW()", "f", [])),
    ((False, True), ("=NOW()", "f", [])),
    ((True, True), ("#VALUE!", "e", [])),
    ((True, False), ("#VALUE!", "e", [warning("A1", 1e10)])),
]


@pytest.mark.parametrize("mode,expected", DATE_FORMULA_MODES)
def test_date_warning_is_not_reported_while_a_formula_is_kept(mode, expected):
    data_only, fav = mode
    results, actions = run([{"r": "A1", "s": "14", "f": "NOW()", "v": "1e10"}],
                           data_only=data_only, formula_and_value=fav)
    assert (results[0]["value"], results[0]["data_type"], actions) == expected
    if mode == (False, True):
        assert results[0]["cached"] == "#VALUE!"


def test_inline_value_of_a_formula_cell():
    got = one({"r": "A1", "t": "inlineStr", "inline": "x", "f": "B1"}, formula_and_value=True)
    assert (got["value"], got["cached"], got["data_type"]) == ("=B1", "x", "f")


# --- through the worksheet parser ---------------------------------------------------------------

# A row of cells as written in a worksheet, and the (row, column, value, data_type, style) of
# each cell. Every row is read twice: as written (cells taken from the buffer in one step) and
# with a comment opening every cell (cells read event by event); both must agree.
SHEET_CASES = [
    ('<c r="A1"><v>007</v></c><c><v>-0</v></c><c><v>+1</v></c>',
     [(1, 1, 7, "n", 0), (1, 2, 0, "n", 0), (1, 3, 1, "n", 0)]),
    ('<c r="A1"><v>1E3</v></c><c r="B1" t="s"><v>-1</v></c><c r="C1" t="b"><v>2</v></c>',
     [(1, 1, 1000.0, "n", 0), (1, 2, "s2", "s", 0), (1, 3, True, "b", 0)]),
    ('<c r="A1" t="str"><v>x</v></c><c r="B1" t="str"/><c r="C1" t="e"><v>#N/A</v></c>',
     [(1, 1, "x", "s", 0), (1, 2, None, "str", 0), (1, 3, "#N/A", "e", 0)]),
    ('<c r="A1" s=""/><c r="B1" s="99999999999999999999"/><c r="C1" s="14"><v>60</v></c>',
     [(1, 1, None, "n", ""), (1, 2, None, "n", 99999999999999999999),
      (1, 3, datetime.datetime(1900, 2, 28), "d", 14)]),
    ('<c r="B2"><f t="shared" ref="B2:B4" si="0">A2*2</f><v>1</v></c>'
     '<c r="B3"><f t="shared" si="0"/><v>2</v></c><c r="B4"><f t="shared" si="0"/></c>',
     [(2, 2, "=A2*2", "f", 0), (3, 2, "=A3*2", "f", 0), (4, 2, "=A4*2", "f", 0)]),
    ('<c r="A1"><f t="array" ref="A1:A2">SUM(B1:B2)</f><v>3</v></c><c r="B1"><f>1+1</f></c>',
     [(1, 1, host.ArrayFormula(ref="A1:A2", text="=SUM(B1:B2)"), "f", 0),
      (1, 2, "=1+1", "f", 0)]),
]


def read_raw(row_xml, **settings):
    got, actions = raw_rows(sheet(f"<row>{row_xml}</row>"),
                            parser=SheetParser(["s0", "s1", "s2"], date_formats=[14], **settings))
    return [tuple(c) for _, cells in got for c in cells], actions


@pytest.mark.parametrize("row_xml,expected", SHEET_CASES)
def test_cells_through_the_worksheet_parser(row_xml, expected):
    fast, _ = read_raw(row_xml)
    generic, _ = read_raw(re.sub(r"(<c\b[^>]*?)(?<!/)>", r"\1><!---->", row_xml))
    assert fast == expected
    assert generic == expected


def test_date_warning_through_the_worksheet_parser():
    cells, actions = read_raw('<c r="A1" s="14"><v>1e10</v></c>')
    assert cells == [(1, 1, "#VALUE!", "e", 14)]
    assert actions == [warning("A1", 1e10)]


def python_number(text):
    """The host's rule for a numeric cell's text."""
    return float(text) if any(c in text for c in ".eE") else int(text)


# Number texts at the edges of the native parsers, then random ones: the native fast paths and
# the host converters behind them must together give exactly the host's result.
EDGE_NUMBERS = [
    "007", "-0", "-15", "999999999999999999", "1000000000000000000", "12345678901234567890",
    "+1", " 1", "1_000", "1E3", "1.5", "-.5", "1.", "-0.0", "+2.5e-1", "0.1", "1e400",
    "-1e-400", " 1.5", "1_0.5", "1.5 ", "  ", "nan", "1.5e", "1e5x", "9" * 40, "0." + "0" * 30 + "1",
]


def test_number_texts_match_the_host_rule():
    rng = random.Random(20261208)
    alphabet = "0123456789" * 4 + ".eE+- _"
    texts = EDGE_NUMBERS + ["".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 26)))
                            for _ in range(3000)]
    texts += [f"{rng.randrange(10**rng.randrange(1, 40))}.{rng.randrange(10**12)}"
              f"e{rng.randrange(-330, 330)}" for _ in range(1000)]
    # Short decimals, the shape read directly: up to 19 digits, small exponents.
    texts += [f"{rng.choice(['', '-', '+'])}{rng.randrange(10**rng.randrange(0, 10))}."
              f"{str(rng.randrange(10**9)).zfill(rng.randrange(9, 11))[:rng.randrange(0, 11)]}"
              + rng.choice(["", f"e{rng.randrange(-30, 30)}", f"E+{rng.randrange(30)}"])
              for _ in range(3000)]
    for text in texts:
        try:
            expected = python_number(text)
        except ValueError as error:
            with pytest.raises(ValueError) as info:
                one({"r": "A1", "v": text})
            assert str(info.value) == str(error)
            continue
        got = one({"r": "A1", "v": text})
        assert same(got["value"], expected) and got["data_type"] == "n", text


def test_many_si_keys_each_find_their_own_master():
    # keys of many lengths around the map's 8-byte words, ASCII and not, some prefixes of others
    keys = [f"{i}-" + "x" * (i % 17) for i in range(300)] + ["ü€" * n for n in range(1, 9)]
    n = len(keys)
    masters = [shared(f"A{i + 1}", f"B{i + 1}", si=k) for i, k in enumerate(keys)]
    dependents = [shared(f"C{i + 1}", si=k) for i, k in enumerate(keys)]
    results, _ = run(masters + dependents[::-1])
    assert values(results)[n:] == [f"=D{i + 1}" for i in reversed(range(n))]
