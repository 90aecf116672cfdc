"""Escaping, py_strip and fast_coordinate against Python itself: the standard-library
ElementTree serializer, str.strip() and a regular-expression reading of A1 references."""
import re
import sys
import xml.etree.ElementTree as ET

from hypothesis import given, settings, strategies as st

import _tovrel_probe as probe

# Characters that exercise every escaping branch, mixed with arbitrary text.
SPECIAL = st.sampled_from(list("\t\n\r\"&<>' a\x01\x7f\u0080\u00e9\u07ff\u0800\u20ac\uffff\U0001F600\U0010FFFF\u00a0\u3000"))
TEXT = st.lists(st.one_of(SPECIAL, st.characters(exclude_categories=("Cs",))), max_size=40).map("".join)


def etree_parts(value):
    # Bracketed, so that an empty value still gives an element with text.
    element = ET.Element("c", t="|" + value + "|")
    element.text = "|" + value + "|"
    out = ET.tostring(element, encoding="unicode")
    m = re.fullmatch(r'<c t="\|(.*)\|">\|(.*)\|</c>', out, re.S)
    return m.group(1), m.group(2)


def lxml_reference(value, attr):
    table = {"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"}
    if attr:
        table.update({'"': "&quot;", "\t": "&#9;", "\n": "&#10;"})
    return "".join(table.get(c) or (f"&#{ord(c)};" if ord(c) >= 0x80 else c) for c in value)


@settings(max_examples=800, deadline=None)
@given(TEXT)
def test_etree_mode_matches_elementtree(value):
    attr, text = etree_parts(value)
    assert probe.escape(value, True, False) == attr
    assert probe.escape(value, False, False) == text


@settings(max_examples=800, deadline=None)
@given(TEXT)
def test_lxml_mode(value):
    assert probe.escape(value, True, True) == lxml_reference(value, True)
    assert probe.escape(value, False, True) == lxml_reference(value, False)


def test_strip_matches_str_strip_for_every_code_point():
    chars = [chr(c) for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF]
    for c in chars:
        for s in (c, c + "x" + c, "x" + c + "x", c * 3):
            assert probe.py_strip(s) == s.strip(), hex(ord(c))


@settings(max_examples=800, deadline=None)
@given(TEXT)
def test_strip_matches_str_strip(value):
    assert probe.py_strip(value) == value.strip()


A1 = re.compile(r"([A-Z]{1,3})([1-9][0-9]{0,8})")


def coordinate_reference(text):
    m = A1.fullmatch(text)
    if not m:
        return None
    column = 0
    for ch in m.group(1):
        column = column * 26 + ord(ch) - 64
    return (int(m.group(2)), column) if column <= 18278 else None


COORD = st.lists(st.sampled_from(list("ABXYZaz$019 :") + ["ZZZ", "XFD", "AAAA"]), max_size=12).map("".join)


@settings(max_examples=1000, deadline=None)
@given(st.one_of(COORD, st.text(max_size=12)))
def test_fast_coordinate_matches_reference(text):
    assert probe.fast_coordinate(text) == coordinate_reference(text)
