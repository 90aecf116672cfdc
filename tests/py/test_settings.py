"""The parser settings record: attribute order, the int-set rule, the native epoch and the
failure rules, read through the test probe."""
import datetime as dt
import enum
import sys

import pytest

import _tovrel_probe as probe
import tovrel.utils.datetime as host_dates
from tovrel.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

ORDER = ["epoch", "formula_and_value", "shared_strings", "shared_strings", "data_only",
         "rich_text", "epoch", "date_formats", "timedelta_formats"]


class Parser:
    def __init__(self, **overrides):
        values = dict(epoch=WINDOWS_EPOCH, shared_strings=["a", "b", "c"], data_only=False,
                      rich_text=False, formula_and_value=False, date_formats={14, 22},
                      timedelta_formats=set())
        values.update(overrides)
        for name, value in values.items():
            # Subclasses may define an attribute as a property instead.
            if value is not MISSING and not isinstance(getattr(type(self), name, None), property):
                setattr(self, name, value)


MISSING = object()


class LoggingParser(Parser):
    def __init__(self, **overrides):
        object.__setattr__(self, "log", [])
        super().__init__(**overrides)

    def __getattribute__(self, name):
        if name not in ("log", "__dict__", "__class__"):
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)


def test_defaults():
    s = probe.settings_from_parser(Parser())
    assert s == {
        "date_formats": [14, 22],
        "timedelta_formats": [],
        "shared_strings_len": 3,
        "shared_strings": ["a", "b", "c"],
        "epoch": WINDOWS_EPOCH,
        "native_epoch": (693593, 0, True),
        "formula_and_value": False,
        "data_only": False,
        "rich_text": False,
    }


def test_attributes_are_read_in_order():
    p = LoggingParser()
    probe.settings_from_parser(p)
    assert p.log == ORDER


@pytest.mark.parametrize("missing", ["epoch", "shared_strings", "data_only", "rich_text", "date_formats",
                                     "timedelta_formats"])
def test_missing_attribute_raises_host_error_unchanged(missing):
    p = LoggingParser(**{missing: MISSING})
    with pytest.raises(AttributeError) as info:
        probe.settings_from_parser(p)
    assert missing in str(info.value)
    assert p.log == ORDER[: ORDER.index(missing) + 1]


class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("truth")


def gen_then_fail():
    yield 5
    raise Boom("iteration")


@pytest.mark.parametrize("name", ["rich_text", "formula_and_value"])
def test_read_errors(name):
    # A failing read propagates the host's own exception object, except for formula_and_value,
    # whose read error is discarded.
    raised = Boom("from the host")

    def fail(self):
        raise raised

    parser = type("P", (Parser,), {name: property(fail)})()
    if name == "formula_and_value":
        assert probe.settings_from_parser(parser)[name] is False
        return
    with pytest.raises(Boom) as info:
        probe.settings_from_parser(parser)
    assert info.value is raised


@pytest.mark.parametrize("overrides, exc", [
    *[({name: BadBool()}, Boom) for name in ("formula_and_value", "data_only", "rich_text")],
    *[({name: 14}, TypeError) for name in ("date_formats", "timedelta_formats")],
    *[({name: "gen"}, Boom) for name in ("date_formats", "timedelta_formats")],
])
def test_conversion_errors_propagate(overrides, exc):
    overrides = {k: gen_then_fail() if v == "gen" else v for k, v in overrides.items()}
    with pytest.raises(exc):
        probe.settings_from_parser(Parser(**overrides))


TRUTH = [(1, True), (0, False), ("x", True), ("", False), ((), False), ([0], True), (None, False)]


@pytest.mark.parametrize("name, value, expect", [
    *[(name, v, e) for name in ("formula_and_value", "data_only", "rich_text") for v, e in TRUTH],
    ("formula_and_value", MISSING, False),
])
def test_flags_are_truth_values(name, value, expect):
    assert probe.settings_from_parser(Parser(**{name: value}))[name] is expect


class MyInt(int):
    pass


class Color(enum.IntEnum):
    RED = 7


class Indexable:
    def __index__(self):
        return 30


class BadIndex:
    def __index__(self):
        raise Boom("conversion errors are discarded")


@pytest.mark.parametrize("value, expect", [
    ({14, 14.0, "22", True, 2**70, 22}, [14, 22]),
    ([3, 1, 2, 3, 1], [1, 2, 3]),
    ((False, True, 0), [0]),
    ([-5, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1], [-(2**63), -5, 2**63 - 1]),
    ([MyInt(9), Color.RED, Indexable(), BadIndex(), 1.0, b"4", None], [7, 9]),
    ({}, []),
    ("123", []),
    (range(3), [0, 1, 2]),
    ({164: "fmt", 165: "fmt"}, [164, 165]),
])
@pytest.mark.parametrize("name", ["date_formats", "timedelta_formats"])
def test_int_set_rule(name, value, expect):
    assert probe.settings_from_parser(Parser(**{name: value}))[name] == expect


class StrList(list):
    pass


@pytest.mark.parametrize("strings, length", [
    (["x"] * 5, 5),
    ([], 0),
    (("a", "b"), 0),
    (StrList(["a", "b"]), 0),
    ({0: "a"}, 0),
])
def test_shared_strings_length_only_for_exact_lists(strings, length):
    s = probe.settings_from_parser(Parser(shared_strings=strings))
    assert s["shared_strings_len"] == length
    assert s["shared_strings"] is strings


class SubDatetime(dt.datetime):
    pass


@pytest.mark.parametrize("epoch, native", [
    (WINDOWS_EPOCH, (693593, 0, True)),
    (dt.datetime(1899, 12, 30), (693593, 0, True)),
    (MAC_EPOCH, (695055, 0, False)),
    (dt.datetime(1900, 1, 1, 12, 30, 15, 250), (693595, ((12 * 60 + 30) * 60 + 15) * 1_000_000 + 250, False)),
    (dt.datetime(1, 1, 1), (0, 0, False)),
    (dt.datetime(9999, 12, 31, 23, 59, 59, 999999), (3652058, 86_399_999_999, False)),
    (SubDatetime(1899, 12, 30), None),
    (dt.datetime(1899, 12, 30, tzinfo=dt.timezone.utc), None),
    (dt.date(1899, 12, 30), None),
    ("1899-12-30", None),
    (None, None),
])
def test_native_epoch(epoch, native):
    s = probe.settings_from_parser(Parser(epoch=epoch))
    assert s["native_epoch"] == native
    assert s["epoch"] is epoch


@pytest.mark.parametrize("name, first, second, derived, expect", [
    ("shared_strings", ["first"], ("second",), "shared_strings_len", 1),
    ("epoch", MAC_EPOCH, WINDOWS_EPOCH, "native_epoch", (695055, 0, False)),
])
def test_kept_object_is_the_second_read(name, first, second, derived, expect):
    reads = []

    def read(self):
        reads.append(name)
        return first if len(reads) == 1 else second

    s = probe.settings_from_parser(type("P", (Parser,), {name: property(read)})())
    assert s[derived] == expect
    assert s[name] is second


class EqualsFails:
    def __eq__(self, other):
        raise Boom("compare")

    __hash__ = object.__hash__


def test_windows_epoch_errors_propagate(monkeypatch):
    monkeypatch.setattr(host_dates, "WINDOWS_EPOCH", EqualsFails())
    with pytest.raises(Boom):
        probe.settings_from_parser(Parser(epoch=MAC_EPOCH))
    # Without a native epoch candidate nothing is compared.
    assert probe.settings_from_parser(Parser(epoch="x"))["native_epoch"] is None
    monkeypatch.delattr(host_dates, "WINDOWS_EPOCH")
    with pytest.raises(AttributeError, match="WINDOWS_EPOCH"):
        probe.settings_from_parser(Parser())


def test_windows_flag_follows_the_host_constant(monkeypatch):
    monkeypatch.setattr(host_dates, "WINDOWS_EPOCH", MAC_EPOCH)
    assert probe.settings_from_parser(Parser(epoch=MAC_EPOCH))["native_epoch"] == (695055, 0, True)
    assert probe.settings_from_parser(Parser(epoch=WINDOWS_EPOCH))["native_epoch"] == (693593, 0, False)


def test_references_are_released_on_success_and_failure():
    strings = ["s"] * 3
    epoch = dt.datetime(1904, 1, 1)
    formats = [14, 15]
    ok = Parser(shared_strings=strings, epoch=epoch, date_formats=formats)
    failing = Parser(shared_strings=strings, epoch=epoch, timedelta_formats=MISSING)
    before = [sys.getrefcount(o) for o in (strings, epoch, formats)]
    for _ in range(200):
        probe.settings_from_parser(ok)
        with pytest.raises(AttributeError):
            probe.settings_from_parser(failing)
    assert [sys.getrefcount(o) for o in (strings, epoch, formats)] == before
