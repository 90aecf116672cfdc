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


class Boom(Exception):
    pass


@pytest.mark.parametrize("missing", ["epoch", "shared_strings", "data_only", "rich_text", "date_formats",
                                     "timedelta_formats"])
def test_missing_attribute_raises_host_error_unchanged(missing):
    p = LoggingParser(**{missing: MISSING})
    with pytest.raises(AttributeError) as info:
        probe.settings_from_parser(p)
    assert missing in str(info.value)
    assert p.log == ORDER[: ORDER.index(missing) + 1]


def test_host_exception_object_propagates_itself():
    raised = Boom("from the host")

    class P(Parser):
        @property
        def rich_text(self):
            raise raised

    with pytest.raises(Boom) as info:
        probe.settings_from_parser(P())
    assert info.value is raised


@pytest.mark.parametrize("value, expect", [(MISSING, False), (1, True), ("", False), ([0], True), (None, False)])
def test_formula_and_value(value, expect):
    assert probe.settings_from_parser(Parser(formula_and_value=value))["formula_and_value"] is expect


def test_formula_and_value_read_error_is_discarded():
    class P(Parser):
        @property
        def formula_and_value(self):
            raise Boom("any exception")

    assert probe.settings_from_parser(P())["formula_and_value"] is False


class BadBool:
    def __bool__(self):
        raise Boom("truth")


@pytest.mark.parametrize("name", ["formula_and_value", "data_only", "rich_text"])
def test_truth_test_failure_propagates(name):
    with pytest.raises(Boom):
        probe.settings_from_parser(Parser(**{name: BadBool()}))


@pytest.mark.parametrize("name", ["data_only", "rich_text"])
@pytest.mark.parametrize("value, expect", [(1, True), (0, False), ("x", True), ((), False)])
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


def gen_then_fail():
    yield 5
    raise Boom("iteration")


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


@pytest.mark.parametrize("name", ["date_formats", "timedelta_formats"])
def test_int_set_errors_propagate(name):
    with pytest.raises(TypeError):
        probe.settings_from_parser(Parser(**{name: 14}))
    with pytest.raises(Boom):
        probe.settings_from_parser(Parser(**{name: gen_then_fail()}))


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


def test_shared_strings_kept_object_is_the_second_read():
    class P(Parser):
        reads = 0

        @property
        def shared_strings(self):
            P.reads += 1
            return ["first"] if P.reads == 1 else ("second",)

    s = probe.settings_from_parser(P())
    assert s["shared_strings_len"] == 1
    assert s["shared_strings"] == ("second",)


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


def test_epoch_object_is_the_second_read():
    class P(Parser):
        reads = 0

        @property
        def epoch(self):
            P.reads += 1
            return MAC_EPOCH if P.reads == 1 else WINDOWS_EPOCH

    s = probe.settings_from_parser(P())
    assert s["native_epoch"] == (695055, 0, False)
    assert s["epoch"] is WINDOWS_EPOCH


class EqualsFails:
    def __eq__(self, other):
        raise Boom("compare")

    __hash__ = object.__hash__


def test_windows_epoch_comparison_error_propagates(monkeypatch):
    monkeypatch.setattr(host_dates, "WINDOWS_EPOCH", EqualsFails())
    with pytest.raises(Boom):
        probe.settings_from_parser(Parser(epoch=MAC_EPOCH))
    # Without a native epoch candidate nothing is compared.
    assert probe.settings_from_parser(Parser(epoch="x"))["native_epoch"] is None


def test_windows_flag_follows_the_host_constant(monkeypatch):
    monkeypatch.setattr(host_dates, "WINDOWS_EPOCH", MAC_EPOCH)
    assert probe.settings_from_parser(Parser(epoch=MAC_EPOCH))["native_epoch"] == (695055, 0, True)
    assert probe.settings_from_parser(Parser(epoch=WINDOWS_EPOCH))["native_epoch"] == (693593, 0, False)


def test_missing_windows_epoch_propagates(monkeypatch):
    monkeypatch.delattr(host_dates, "WINDOWS_EPOCH")
    with pytest.raises(AttributeError, match="WINDOWS_EPOCH"):
        probe.settings_from_parser(Parser())


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
