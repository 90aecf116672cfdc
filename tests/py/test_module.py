"""The module as the host imports it: registration, NativeFallback, error conversion."""
import inspect
import subprocess
import sys
import xml.parsers.expat

import pytest

import _tovrel
import _tovrel_probe
from sheets import reader, sheet

PUBLIC_ORDER = [
    "NativeFallback", "read_string_table", "bind_cells", "find_dimension",
    "prescan_sheet", "RowReader", "CellStore", "SheetWriter",
]


def test_import_keeps_the_gil_disabled():
    code = "import sys, _tovrel; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False", out.stderr


def test_all_lists_registered_names_in_order():
    names = _tovrel.__all__
    assert names[0] == "NativeFallback"
    assert names == [n for n in PUBLIC_ORDER if n in names], names
    for name in names:
        assert hasattr(_tovrel, name)
    for name in set(PUBLIC_ORDER) - set(names):
        assert not hasattr(_tovrel, name), f"{name} exists but is not in __all__"


def test_public_functions_have_text_signatures():
    for name in _tovrel.__all__:
        obj = getattr(_tovrel, name)
        if inspect.isbuiltin(obj):
            assert obj.__text_signature__.startswith("(")
            assert list(inspect.signature(obj).parameters)


def test_native_fallback_class():
    nf = _tovrel.NativeFallback
    assert nf.__mro__ == (nf, Exception, BaseException, object)
    assert nf.__module__ == "_tovrel"
    assert nf.__name__ == "NativeFallback"
    assert nf.__qualname__ == "NativeFallback"
    assert nf.__doc__ == (
        "The native engine cannot reproduce marvolt's behaviour for this input; "
        "the pure Python implementation must be used.")
    with pytest.raises(Exception):
        raise nf("x")


@pytest.mark.parametrize("kind, message, exc_type, text", [
    ("malformed", "unclosed element", _tovrel.NativeFallback, "malformed: unclosed element"),
    ("unsupported", "utf-16", _tovrel.NativeFallback, "unsupported: utf-16"),
    ("fallback", "nested si", _tovrel.NativeFallback, "nested si"),
    ("borrow", "Already borrowed", RuntimeError, "Already borrowed"),
    ("memory", "", MemoryError, None),
    ("internal", "broken invariant", SystemError, "_tovrel internal error: broken invariant"),
    ("other", "length", SystemError, "_tovrel internal error: unexpected exception: length"),
])
def test_error_conversion(kind, message, exc_type, text):
    with pytest.raises(exc_type) as info:
        _tovrel_probe.raise_error(kind, message)
    assert type(info.value) is exc_type
    if text is not None:
        assert info.value.args == (text,)
    if exc_type is _tovrel.NativeFallback:
        assert info.value.offset is None


# Reader errors carry the input offset of the construct in which they were found: a worksheet of
# some 200 KB of rows (so the reader's window has long dropped its start), then a bad snippet after
# the sheet data. `at` is the snippet index of the offending construct; where pyexpat points at
# the same byte (`expat` true), its ErrorByteIndex must agree too.
@pytest.mark.parametrize("snippet, at, expat", [
    (b"<x>&bogus;</x>", 3, True),          # undefined entity: the text run starts at '&'
    (b"<x>\x01</x>", 3, True),             # invalid character
    (b"<x>\xff</x>", 3, True),             # invalid UTF-8
    (b"<x/><y/></worksheet><z/>", 20, True),  # junk after document element
    (b"<x></y>", 3, False),                # mismatched tag: the end tag (pyexpat: its name)
    (b'<x a="1" a="2"/>', 0, False),       # duplicate attribute: the tag (pyexpat: the name)
    (b"<x>a]]>b</x>", 3, False),           # "]]>" in text: the run (pyexpat: the '>')
    (b"<!DOCTYPE x>", 0, False),           # unsupported here, accepted by pyexpat
])
def test_reader_errors_carry_the_input_offset(snippet, at, expat):
    rows = "".join(f'<row r="{i}"><c r="A{i}"><v>{i}</v></c></row>' for i in range(1, 5001))
    head = sheet(rows).removesuffix(b"</worksheet>")
    data = head + snippet + (b"" if b"</worksheet>" in snippet else b"</worksheet>")
    with pytest.raises(_tovrel.NativeFallback) as info:
        r = reader(data)
        while r.next_raw() is not None:
            pass
    assert info.value.offset == len(head) + at, info.value
    if expat:
        parser = xml.parsers.expat.ParserCreate()
        with pytest.raises(xml.parsers.expat.ExpatError):
            parser.Parse(data, True)
        assert parser.ErrorByteIndex == info.value.offset
