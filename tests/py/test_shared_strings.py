"""read_string_table: the shared-strings part as a list."""
import inspect
import io
import random
import sys
import xml.etree.ElementTree as ET
import zipfile

import pytest

import _tovrel
from tovrel.helpers import MAIN_NS, make_helpers

NF = _tovrel.NativeFallback


def sst(items, decl='xmlns="%s"' % MAIN_NS):
    return f"<sst {decl}>{items}</sst>".encode()


class Markup:
    """What the test's si_content returns: the snippet and namespaces it was handed."""

    def __init__(self, snippet, namespaces):
        self.snippet = snippet
        self.namespaces = namespaces

    def __eq__(self, other):
        return isinstance(other, Markup) and (self.snippet, self.namespaces) == (other.snippet, other.namespaces)

    def __repr__(self):
        return f"Markup({self.snippet!r}, {self.namespaces!r})"


def helpers(**over):
    h = make_helpers()
    h["si_content"] = Markup
    h.update(over)
    return h


def read(data, **over):
    return _tovrel.read_string_table(io.BytesIO(data), helpers(**over))


NS = [("", MAIN_NS)]


@pytest.mark.parametrize("items, expected", [
    ("<si><t>a</t></si><si><t>b_x005F_c</t></si>", ["a", "b_c"]),
    ("<si><t>x005F_</t></si>", [""]),
    ("<si><t>x005F_x005F_</t></si>", [""]),
    ("<si><t>x005F</t></si>", ["x005F"]),
    ("<si><t>_x005F_x005F_x</t></si>", ["_x"]),
    ("<si><t>ax005F_</t></si><si><t>x005F_b</t></si>", ["a", "b"]),
    ("<si><t>abc</t></si><si><t/></si><si/>", ["abc", "", ""]),
    ("<si><r><t>x</t></r><r><t>y</t></r></si>", ["xy"]),
    ("<si><r><rPr><b/><sz val='11'/></rPr><t>x</t></r><r><t>y</t></r></si>", ["xy"]),
    ("<si><r><t>run</t></r><t>direct</t></si>", ["directrun"]),
    ("<si><r><t>ax005</t></r><r><t>F_b</t></r></si>", ["ab"]),
    ("<si><t>first</t><t>second</t></si>", ["second"]),
    ("<si><r><t>a</t><t>b</t></r></si>", ["b"]),
    ("<si><t>a<b/>c</t></si>", ["a"]),
    ("<si><t>a&amp;b&#x41;&#66;</t></si>", ["a&bAB"]),
    ("<si><t><![CDATA[<raw>]]></t></si>", ["<raw>"]),
    ("<si><t>line\r\nnext\rlast</t></si>", ["line\nnext\nlast"]),
    ("<si><t>épsilon 東京 😀</t></si>", ["épsilon 東京 😀"]),
    ("<si><t xml:space='preserve'>  pad  </t></si>", ["  pad  "]),
    ("<si>stray<t>a</t>text</si>", ["a"]),
    ("<si><extra><t>no</t></extra><t>yes</t></si>", ["yes"]),
    ("", []),
    ("".join(f"<si><t>{i}</t></si>" for i in range(10000)), [str(i) for i in range(10000)]),
])
def test_plain_items(items, expected):
    assert read(sst(items)) == expected


@pytest.mark.parametrize("item", [
    "<si><r><rPr><vertAlign val='superscript'/><weird/></rPr><t>a</t></r></si>",
    "<si><t>a</t><rPh sb='0' eb='1'><t>x</t></rPh></si>",
    "<si><t>a</t><phoneticPr fontId='1'/></si>",
    "<si count='1'><t>a</t></si>",
    "<si><r foo='1'><t>a</t></r></si>",
    "<si><r><rPh/><t>a</t></r></si>",
])
def test_markup_items_go_to_si_content(item):
    assert read(sst(item)) == [Markup(item.encode(), NS)]


def test_markup_namespaces_are_those_in_scope():
    data = b'<x:sst xmlns:x="%s" xmlns:o="urn:other"><x:si><x:t>a</x:t><x:rPh/></x:si></x:sst>' % MAIN_NS.encode()
    assert read(data) == [Markup(b"<x:si><x:t>a</x:t><x:rPh/></x:si>",
                                 [("x", MAIN_NS), ("o", "urn:other")])]


def test_items_outside_the_main_namespace_are_ignored():
    data = b'<sst xmlns="%s"><si xmlns="urn:x"><t>no</t></si><si><t>yes</t></si></sst>' % MAIN_NS.encode()
    assert read(data) == ["yes"]


def test_root_name_is_not_checked():
    assert read(b'<anything xmlns="%s"><si><t>a</t></si></anything>' % MAIN_NS.encode()) == ["a"]


@pytest.mark.parametrize("items, message", [
    ("<wrap><si><t>a</t></si></wrap>", "unsupported: nested si"),
    ("<si><si/></si>", "unsupported: nested element handled by dispatcher"),
    ("<si><r><t>a<si/></t></r></si>", "unsupported: nested element handled by dispatcher"),
    ("<si><t>a</t>", "malformed: mismatched tag"),
])
def test_fallbacks(items, message):
    with pytest.raises(NF) as info:
        read(sst(items))
    assert str(info.value) == message


def test_run_properties_checked_under_other_bindings_are_read_again():
    # The first item binds the prefix itself; in the second it is unbound.
    items = ('<si xmlns:x="urn:x"><r><rPr><x:b/></rPr><t>a</t></r></si>'
             '<si><r><rPr><x:b/></rPr><t>b</t></r></si>')
    with pytest.raises(NF, match="^malformed: unbound prefix$"):
        read(sst(items))


def test_truncated_part():
    with pytest.raises(NF, match="^malformed: unclosed element$"):
        read(sst("<si><t>abc</t></si>")[:-len("</sst>")])


def test_validate_rpr_called_once_per_distinct_markup():
    calls = []

    def validate(snippet, namespaces):
        calls.append((snippet, namespaces))
        return True

    rpr = "<rPr><b/></rPr>"
    items = f"<si><r>{rpr}<t>a</t></r></si>" * 3 + "<si><r><rPr><i/></rPr><t>b</t></r></si>"
    assert read(sst(items), validate_rpr=validate) == ["a"] * 3 + ["b"]
    assert calls == [(rpr.encode(), NS), (b"<rPr><i/></rPr>", NS)]


def test_rejected_rpr_is_not_asked_again_within_the_item():
    calls = []

    def validate(snippet, namespaces):
        calls.append(snippet)
        return 0

    item = "<si><r><rPr><b/></rPr><t>a</t></r><r><rPr><i/></rPr><t>b</t></r></si>"
    assert read(sst(item), validate_rpr=validate) == [Markup(item.encode(), NS)]
    assert calls == [b"<rPr><b/></rPr>"]


class Boom(Exception):
    pass


def raiser(*args):
    raise Boom()


@pytest.mark.parametrize("over, items", [
    ({"validate_rpr": raiser}, "<si><r><rPr><b/></rPr><t>a</t></r></si>"),
    ({"si_content": raiser}, "<si><t>a</t><rPh/></si>"),
])
def test_helper_exceptions_propagate(over, items):
    with pytest.raises(Boom):
        read(sst(items), **over)


def test_truth_test_exception_propagates():
    class Bad:
        def __bool__(self):
            raise Boom()

    with pytest.raises(Boom):
        read(sst("<si><r><rPr><b/></rPr><t>a</t></r></si>"), validate_rpr=lambda *a: Bad())


def test_read_exception_propagates():
    class Source:
        def read(self, n):
            raise Boom()

    with pytest.raises(Boom):
        _tovrel.read_string_table(Source(), helpers())


@pytest.mark.parametrize("value", [[], None, "helpers", [("int", int)]])
def test_helpers_must_be_a_dict(value):
    with pytest.raises(TypeError) as info:
        _tovrel.read_string_table(io.BytesIO(sst("")), value)
    assert str(info.value) == (
        f"read_string_table() argument 'helpers' must be dict, not {type(value).__name__}")


def test_helpers_dict_subclass_accepted():
    class D(dict):
        pass

    assert _tovrel.read_string_table(io.BytesIO(sst("<si><t>a</t></si>")), D(helpers())) == ["a"]


@pytest.mark.parametrize("missing", ["validate_rpr", "rich_dangerous", "si_content"])
def test_missing_helper_leaks_nothing(missing):
    h = helpers()
    del h[missing]
    before = {k: sys.getrefcount(v) for k, v in h.items()}
    src = io.BytesIO(sst("<si><t>a</t></si>"))
    with pytest.raises(TypeError, match=f"^missing helper {missing}$"):
        _tovrel.read_string_table(src, h)
    assert src.tell() == 0, "nothing may be read before the helpers are checked"
    assert {k: sys.getrefcount(v) for k, v in h.items()} == before


def test_signature_and_keywords():
    assert _tovrel.read_string_table.__text_signature__ == "(source, helpers)"
    assert _tovrel.read_string_table.__doc__ == "read_string_table(source, helpers) -> list"
    assert str(inspect.signature(_tovrel.read_string_table)) == "(source, helpers)"
    assert _tovrel.read_string_table(helpers=helpers(), source=io.BytesIO(sst("<si><t>k</t></si>"))) == ["k"]


def test_one_byte_reads_give_the_same_list():
    class OneByte(io.BytesIO):
        def read(self, n=-1):
            return super().read(1)

    items = "".join(f"<si><t>item {i} &amp; é</t></si><si><r><rPr><b/></rPr><t>r{i}</t></r></si>" for i in range(50))
    data = sst(items)
    assert _tovrel.read_string_table(OneByte(data), helpers()) == read(data)


# --- real shared-strings parts ------------------------------------------------------------------

def et_plain_text(si):
    """An item's text as ElementTree sees it: direct <t>, then each run's <t>."""
    t = si.find(f"{{{MAIN_NS}}}t")
    text = (t.text or "") if t is not None else ""
    for r in si.findall(f"{{{MAIN_NS}}}r"):
        for rt in r.findall(f"{{{MAIN_NS}}}t"):
            text += rt.text or ""
    return text.replace("x005F_", "")


def workbooks(shared):
    books = sorted((shared / "corpus").glob("*.xlsx")) + sorted((shared / "realworld").glob("*.xlsx"))
    return [b for b in books if zipfile.is_zipfile(b)]


def test_real_shared_strings_parts(shared_dir):
    checked = fallbacks = markup = 0
    for book in workbooks(shared_dir):
        with zipfile.ZipFile(book) as z:
            parts = [n for n in z.namelist() if n.lower().endswith("sharedstrings.xml")]
            for part in parts:
                data = z.read(part)
                try:
                    got = _tovrel.read_string_table(io.BytesIO(data), helpers())
                except NF as e:
                    fallbacks += 1
                    print(f"{book.name}:{part}: {e}")
                    continue
                items = [el for el in ET.fromstring(data).iter(f"{{{MAIN_NS}}}si")]
                assert len(got) == len(items), book.name
                for value, si in zip(got, items):
                    if isinstance(value, Markup):
                        markup += 1
                        continue
                    assert value == et_plain_text(si), (book.name, ET.tostring(si))
                    checked += 1
    print(f"plain items checked {checked}, markup items {markup}, parts falling back {fallbacks}")
    assert checked > 1000


# --- str building -------------------------------------------------------------------------------

from hypothesis import given, settings, strategies as st  # noqa: E402

XML_CHARS = st.characters(
    blacklist_categories=("Cs",),
    blacklist_characters="\r\ufffe\uffff",
).filter(lambda c: c in "\t\n" or ord(c) >= 0x20)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text(XML_CHARS, max_size=40), min_size=1, max_size=5))
def test_any_text_round_trips(texts):
    from xml.sax.saxutils import escape
    items = "".join(f"<si><t>{escape(t)}</t></si>" for t in texts)
    got = read(sst(items))
    assert got == [t.replace("x005F_", "") for t in texts]
    for g, t in zip(got, texts):
        assert type(g) is str and g.isascii() == t.replace("x005F_", "").isascii()


PIECES = st.sampled_from(["plain text ", "é", "東京", "😀", "ÿĀ", "&amp;", "&lt;", "&#x1F600;", "&#233;",
                          "&#95;", "x005F_", "x005", "F_", "\r\n", "\r", "\t", "]]", "_"])
SHAPES = ["<si><t>{}</t></si>", '<si><t xml:space="preserve">{}</t></si>',
          "<si><r><rPr><b/></rPr><t>{}</t></r></si>", "<si><r><t>{}</t></r><r><rPr><b/></rPr><t>{}</t></r></si>"]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(SHAPES), st.lists(PIECES, max_size=6), st.lists(PIECES, max_size=3)),
                min_size=1, max_size=6),
       st.integers(1, 40))
def test_chunking_gives_the_same_list(items, chunk):
    """Items read whole from the buffer and item by item through the reader (as small chunks force
    them to be) give the same strings, those ElementTree reads."""
    class Chunked(io.BytesIO):
        def read(self, n=-1):
            return super().read(chunk)

    body = "".join(shape.format("".join(a), "".join(b)) for shape, a, b in items)
    data = sst(body)
    expected = [et_plain_text(si) for si in ET.fromstring(data).iter(f"{{{MAIN_NS}}}si")]
    assert read(data) == expected
    assert _tovrel.read_string_table(Chunked(data), helpers()) == expected


@pytest.mark.parametrize("text", ["", "a", "ascii only 1234567", "é", "ÿ", "Ā", "東京", "😀", "a😀é東",
                                  "\u0080", "\u00ff\u0100", "\U0010ffff", "x" * 100 + "é"])
def test_width_boundaries(text):
    assert read(sst(f"<si><t>{text}</t></si>")) == [text]


@pytest.mark.parametrize("item, message", [
    ("<si><t>a]]>b</t></si>", "malformed: ]]> in text"),
    ("<si><t>a\x01b</t></si>", "malformed: invalid character"),
    ("<si><t>&bogus;</t></si>", "malformed: undefined entity"),
])
def test_errors_in_plain_items(item, message):
    with pytest.raises(NF) as info:
        read(sst(item))
    assert str(info.value) == message


def test_bad_utf8_in_a_plain_item():
    with pytest.raises(NF, match="^malformed: invalid utf-8$"):
        read(sst("").replace(b"</sst>", b"<si><t>\xc3</t></si></sst>"))


# --- host calls: order and errors ---------------------------------------------------------------

FAILS = st.sampled_from(["si_content", "validate_rpr", "malformed", "read"])
ROOT_DECL = f'xmlns="{MAIN_NS}" xmlns:x14ac="urn:x14ac"'
ROOT_NS = [("", MAIN_NS), ("x14ac", "urn:x14ac")]


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 2**32), st.integers(1, 900), st.none() | st.tuples(FAILS, st.floats(0, 1)),
       st.sampled_from([7, 65536]))
def test_host_calls_as_item_by_item(seed, count, fail, chunk):
    """Whatever the engine does with markup items, the host sees the calls an item-by-item reader
    makes: si_content and validate_rpr in document order, each result in its item's place, and
    on failure the first error in document order, after exactly the calls that come before it."""
    rng = random.Random(seed)
    kinds = rng.choices("pmr", weights=rng.choice([(1, 1, 1), (4, 4, 1), (1, 8, 1)]), k=count)
    fail_kind, where = fail if fail else (None, 0)
    at = min(int(where * len(kinds)), len(kinds) - 1)
    parts, expected, log_model = [], [], []
    for i, kind in enumerate(kinds):
        if kind == "p":
            parts.append(f"<si><t>p{i}</t></si>")
            expected.append(f"p{i}")
        elif kind == "m":
            tail = rng.choice(["<rPh><t>{}</t></rPh>", '<rPh sb="0" eb="1"><t>{}</t></rPh><phoneticPr fontId="1"/>'])
            parts.append(f"<si><t>m{i}</t>{tail.format('ふ' * (i % 5))}</si>")
            expected.append(Markup(parts[-1].encode(), ROOT_NS))
            log_model.append(("si", i))
        else:  # a run with properties not seen before: asked about once
            parts.append(f"<si><r><rPr><sz val='{i}'/></rPr><t>r{i}</t></r></si>")
            expected.append(f"r{i}")
            log_model.append(("rpr", i))
        if fail_kind == "malformed" and i == at:
            parts.append("<si><t>&bogus;</t></si>")
            break
    log = []

    def si_content(snippet, namespaces):
        i = int(snippet.split(b"<t>m", 1)[1].split(b"<", 1)[0])
        log.append(("si", i))
        if fail_kind == "si_content" and i >= at:
            raise Boom("si", i)
        return Markup(snippet, namespaces)

    def validate_rpr(snippet, namespaces):
        i = int(snippet.split(b"val='", 1)[1].split(b"'", 1)[0])
        log.append(("rpr", i))
        if fail_kind == "validate_rpr" and i >= at:
            raise Boom("rpr", i)
        return True

    class Source(io.BytesIO):
        def read(self, n=-1):
            got = super().read(chunk)
            if not got and fail_kind == "read":
                raise Boom("read")
            return got

    h = helpers(si_content=si_content, validate_rpr=validate_rpr)
    try:
        result = _tovrel.read_string_table(Source(sst("".join(parts), ROOT_DECL)), h)
    except (Boom, NF) as error:
        raised = error
    else:
        raised = None
    # The item-by-item reader's outcome: the first failing call, else the document's own error.
    first = next((n for n, (kind, i) in enumerate(log_model)
                  if fail_kind in ("si_content", "validate_rpr") and i >= at
                  and kind == ("si" if fail_kind == "si_content" else "rpr")), None)
    if first is not None:
        assert isinstance(raised, Boom) and raised.args == (log_model[first][0], log_model[first][1])
        assert log == log_model[:first + 1]
        return
    assert log == log_model
    if fail_kind == "malformed":
        assert isinstance(raised, NF) and str(raised) == "malformed: undefined entity"
    elif fail_kind == "read":
        assert isinstance(raised, Boom) and raised.args == ("read",)
    else:
        assert raised is None and result == expected


def test_large_markup_items_keep_their_places():
    """Markup items far larger than the engine holds back at once still come back in place."""
    big = "ふ" * 400_000
    items = [f"<si><t>m{i}</t><rPh><t>{big}</t></rPh></si>" if i % 3 == 0 else f"<si><t>p{i}</t></si>"
             for i in range(12)]
    got = read(sst("".join(items)))
    assert got == [Markup(item.encode(), NS) if i % 3 == 0 else f"p{i}" for i, item in enumerate(items)]
