"""find_dimension(source): the worksheet's <dimension> markup and the namespaces in scope."""
import gc
import inspect
import io
import sys

import pytest

import _tovrel
from _tovrel import NativeFallback, find_dimension
from _tovrel_probe import events

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
XML = "http://www.w3.org/XML/1998/namespace"
DECL = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'


class OneByte:
    """Returns one byte per read call."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def read(self, n):
        chunk = self.data[self.pos:self.pos + 1]
        self.pos += 1
        return chunk


def sheet(body, root=f'<worksheet xmlns="{MAIN}" xmlns:r="{REL}">', close="</worksheet>"):
    return DECL + root.encode() + body + close.encode()


CASES = [
    pytest.param(sheet(b"<dimension ref='A1:C3'/><sheetData/>"),
                 (b"<dimension ref='A1:C3'/>", [("", MAIN), ("r", REL)]), id="empty-element"),
    pytest.param(sheet(b'<sheetPr/><dimension ref="A1"></dimension><sheetData/>'),
                 (b'<dimension ref="A1"></dimension>', [("", MAIN), ("r", REL)]),
                 id="start-and-end-tag"),
    pytest.param(sheet(b'<x:dimension ref="B2:D9" />',
                       root=f'<x:worksheet xmlns:x="{MAIN}">', close="</x:worksheet>"),
                 (b'<x:dimension ref="B2:D9" />', [("x", MAIN)]), id="prefixed"),
    pytest.param(sheet(b'<dimension xmlns:e="ext" ref="A1"><e:x>t</e:x></dimension>'),
                 (b'<dimension xmlns:e="ext" ref="A1"><e:x>t</e:x></dimension>',
                  [("", MAIN), ("r", REL)]), id="own-declarations-not-listed"),
    pytest.param(sheet(b"<sheetData><row r='1'/></sheetData>"), None, id="no-dimension"),
    pytest.param(sheet(b"<sheetData></sheetData><dimension ref='A1'/>"), None, id="after-sheetData"),
    pytest.param(sheet(b"<sheetData><row/><dimension ref='A1'/></sheetData>"),
                 (b"<dimension ref='A1'/>", [("", MAIN), ("r", REL)]), id="inside-sheetData"),
    pytest.param(sheet(b""), None, id="empty-worksheet"),
    pytest.param(sheet(b"<o:dimension xmlns:o='other' ref='A1'/>"), None, id="foreign-namespace"),
    pytest.param(b"<worksheet><dimension ref='A1'/></worksheet>", None, id="no-namespace"),
    pytest.param(b"<r xmlns:p='u'><p:dimension xmlns:p='" + MAIN.encode() + b"' ref='&amp;'/></r>",
                 (b"<p:dimension xmlns:p='" + MAIN.encode() + b"' ref='&amp;'/>", [("p", "u")]),
                 id="raw-bytes-kept"),
]


@pytest.mark.parametrize("data,expected", CASES)
@pytest.mark.parametrize("source", [io.BytesIO, OneByte], ids=["bytesio", "one-byte"])
def test_results(data, expected, source):
    assert find_dimension(source(data)) == expected


def test_large_prefix_before_dimension_is_captured_whole():
    filler = b"".join(b"<sheetPr><x a='%d'/></sheetPr>" % i for i in range(20000))
    inner = b"<ext>" + b"y" * 200000 + b"</ext>"
    dim = b"<dimension ref='A1'>" + inner + b"</dimension>"
    assert find_dimension(io.BytesIO(sheet(filler + dim))) == (dim, [("", MAIN), ("r", REL)])


def test_stops_at_end_of_sheet_data():
    data = sheet(b"<sheetData/>") + b"<junk"
    src = io.BytesIO(data)
    assert find_dimension(src) is None


@pytest.mark.parametrize("data,message", [
    (b"<worksheet><a></b></worksheet>", "malformed: mismatched tag"),
    (b"", "malformed: no element found"),
    (b"<!DOCTYPE worksheet><worksheet/>", "unsupported: doctype"),
    (sheet(b"<dimension><sheetData/></dimension>"),
     "unsupported: nested element handled by dispatcher"),
    (sheet(b"<dimension><dimension/></dimension>"), "unsupported: nested element handled by dispatcher"),
    (sheet(b"<bad<dimension ref='A1'/>"), "malformed: missing whitespace between attributes"),
    (sheet(b"<dimension ref='A1'>", close=""), "malformed: unclosed element"),
    ("<w/>".encode("utf-16"), "unsupported: utf-16"),
])
@pytest.mark.parametrize("source", [io.BytesIO, OneByte], ids=["bytesio", "one-byte"])
def test_reader_errors_become_native_fallback(data, message, source):
    with pytest.raises(NativeFallback) as info:
        find_dimension(source(data))
    assert str(info.value) == message


def test_signature_docstring_and_arguments():
    assert str(inspect.signature(find_dimension)) == "(source)"
    assert find_dimension.__doc__.endswith("Returns (snippet, namespaces) or None.")
    assert "find_dimension" in _tovrel.__all__
    assert find_dimension(source=io.BytesIO(b"<a/>")) is None


def test_source_is_released():
    class Src(io.BytesIO):
        pass

    for data in (sheet(b"<dimension ref='A1'/>"), b"<a></b>"):
        src = Src(data)
        before = sys.getrefcount(src)
        try:
            find_dimension(src)
        except NativeFallback:
            pass
        gc.collect()
        assert sys.getrefcount(src) == before


def test_event_stream_keys_and_decoding():
    data = (b"<a xmlns='" + MAIN.encode() + b"' xmlns:p='u' p:k='1&amp;2' v=\"x\ty\" "
            b"xml:space='preserve'>t&lt;\r\n<![CDATA[c\r\n]]><b/></a>")
    got = events(io.BytesIO(data))
    assert got == [
        (0, "{%s}a" % MAIN, {"{u}k": "1&2", "v": "x y", "{%s}space" % XML: "preserve"}),
        (3, "t<\n", None),
        (3, "c\n", None),
        (1, "{%s}b" % MAIN, {}),
        (2, "{%s}b" % MAIN, None),
        (2, "{%s}a" % MAIN, None),
        (4, None, None),
    ]
