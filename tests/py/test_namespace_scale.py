"""Namespace-heavy documents of a size that the old, quadratic namespace handling took over fifteen
seconds on: each must come back right (or be declined) in linear time. Nothing here measures
time; a regression shows as a test that does not finish."""
import io

import pytest

import _tovrel
from sheets import raw_rows
from tovrel.helpers import MAIN_NS, make_helpers

ROW = b'<sheetData><row r="1"><c r="A1"><v>1</v></c></row></sheetData></worksheet>'


def decls(n):
    return b"".join(b' xmlns:p%05d="urn:p"' % i for i in range(n))


def scope(n):
    return [("", MAIN_NS)] + [(f"p{i:05d}", "urn:p") for i in range(n)]


def test_nested_declarations():
    # 120,000 nested elements, each declaring a prefix and named with one bound on the root.
    n = 120_000
    deep = (b"<q:deep>" + b"".join(b'<q:e xmlns:p%06d="urn:p">' % i for i in range(n))
            + b"</q:e>" * n + b"</q:deep>")
    data = f'<worksheet xmlns="{MAIN_NS}" xmlns:q="urn:q">'.encode() + deep + ROW
    rows, actions = raw_rows(data)
    assert len(rows) == 1
    assert actions == [("element", deep, [("", MAIN_NS), ("q", "urn:q")])]


def test_many_root_prefixes_find_dimension():
    n = 80_000
    data = (f'<worksheet xmlns="{MAIN_NS}"'.encode() + decls(n) + b">" + b"<p00000:e/>" * n
            + b'<dimension ref="A1"/>' + ROW)
    assert _tovrel.find_dimension(io.BytesIO(data)) == (b'<dimension ref="A1"/>', scope(n))


def string_table(data):
    helpers = make_helpers()
    helpers["si_content"] = lambda snippet, namespaces: (snippet, namespaces)
    return _tovrel.read_string_table(io.BytesIO(data), helpers)


ITEM = b'<si><t>a</t><rPh sb="0" eb="1"><t>b</t></rPh></si>'


def shapes(prefixes, elements):
    """A worksheet with small captured elements and a shared-strings part with markup items, both
    under many prefixes declared on the root."""
    sheet = (f'<worksheet xmlns="{MAIN_NS}"'.encode() + decls(prefixes) + b">"
             + b"<p00000:e/>" * elements + ROW)
    sst = f'<sst xmlns="{MAIN_NS}"'.encode() + decls(prefixes) + b">" + ITEM * elements + b"</sst>"
    return sheet, sst


def test_many_lists_are_independent():
    # 2,000 captured elements and 2,000 markup items, each with its own list of 50 prefixes.
    sheet, sst = shapes(50, 2000)
    rows, actions = raw_rows(sheet)
    assert len(rows) == 1
    assert actions == [("element", b"<p00000:e/>", scope(50))] * 2000
    items = string_table(sst)
    assert items == [(ITEM, scope(50))] * 2000
    lists = [a[2] for a in actions] + [ns for _, ns in items]
    assert len({id(ns) for ns in lists}) == len(lists)
    lists[0].clear()
    assert lists[1] == scope(50)


def test_quadratic_lists_are_declined():
    # 30,000 prefixes for each of 30,000 elements or items would be 900 million list entries.
    sheet, sst = shapes(30_000, 30_000)
    with pytest.raises(_tovrel.NativeFallback, match="^unsupported: namespace lists$"):
        raw_rows(sheet)
    with pytest.raises(_tovrel.NativeFallback, match="^unsupported: namespace lists$"):
        string_table(sst)
