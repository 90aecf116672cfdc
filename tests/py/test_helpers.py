"""The helper bundle: every key looked up in order, missing ones named, nothing leaked."""
import sys

import pytest

from _tovrel_probe import helpers_from_dict
from tovrel.helpers import make_helpers

KEYS = [
    "int", "float", "coordinate_to_tuple", "row_index", "from_excel", "from_ISO8601",
    "date_warning", "ArrayFormula", "DataTableFormula", "Translator", "TokenizerError",
    "TranslatorError", "text_content", "rich_inline", "validate_rpr", "text_dangerous",
    "rich_dangerous",
]


def arbitrary():
    d = {k: object() for k in KEYS}
    d["text_dangerous"] = []
    d["rich_dangerous"] = ("rPh", "rPh", "x")
    return d


def test_stand_in_bundle_is_complete():
    assert helpers_from_dict(make_helpers()) == (2, 2)


@pytest.mark.parametrize("missing", KEYS)
def test_missing_key_is_named_and_nothing_leaks(missing):
    d = arbitrary()
    del d[missing]
    before = {k: sys.getrefcount(v) for k, v in d.items()}
    for _ in range(3):
        with pytest.raises(TypeError) as info:
            helpers_from_dict(d)
        assert str(info.value) == f"missing helper {missing}"
    assert {k: sys.getrefcount(v) for k, v in d.items()} == before


def test_missing_keys_are_reported_in_table_order():
    d = arbitrary()
    del d["rich_dangerous"], d["from_excel"]
    with pytest.raises(TypeError, match="^missing helper from_excel$"):
        helpers_from_dict(d)


@pytest.mark.parametrize("value, exc", [
    (["ok", 3], TypeError),
    (5, TypeError),
    ([b"bytes"], TypeError),
])
def test_name_set_items_must_be_str(value, exc):
    d = arbitrary()
    d["rich_dangerous"] = value
    with pytest.raises(exc):
        helpers_from_dict(d)


def test_large_name_sets_collapse_duplicates():
    # 200,000 names: a pairwise duplicate check would take minutes.
    d = arbitrary()
    d["unrelated"] = 1  # other keys are ignored
    d["text_dangerous"] = [f"n{i}" for i in range(200_000)] + ["n7", "n199999"]
    d["rich_dangerous"] = (f"n{i % 1000}" for i in range(200_000))
    assert helpers_from_dict(d) == (200_000, 1000)


def test_name_set_iteration_error_propagates():
    def gen():
        yield "a"
        raise KeyError("boom")
    d = arbitrary()
    d["text_dangerous"] = gen()
    with pytest.raises(KeyError):
        helpers_from_dict(d)


def test_failing_key_lookup_propagates():
    class Bad:
        def __hash__(self):
            return hash("int")

        def __eq__(self, other):
            raise ZeroDivisionError

    d = arbitrary()
    del d["int"]
    d[Bad()] = 1
    with pytest.raises(ZeroDivisionError):
        helpers_from_dict(d)
