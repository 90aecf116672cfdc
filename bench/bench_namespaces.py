"""Namespace-heavy documents, each about 1.5 MB (pass another size in MB as the first argument):

- nested: a captured element holding thousands of nested elements, each declaring a prefix and
  named with a prefix bound on the root, read by RowReader;
- root prefixes: thousands of prefixes declared on the root and as many small prefixed elements
  outside sheetData, read by find_dimension and by RowReader (every element goes to `actions`
  with its list of in-scope namespaces);
- shared strings: a shared-strings part declaring thousands of prefixes on the root, with items
  that go to the host as markup, read by read_string_table (with a trivial si_content).

Each shape is also parsed by the standard library's expat with namespace processing and no
handlers; the ratio is expat time / native time. A shape the engine declines reports the
NativeFallback message and the time it took to decline. Times are process CPU times (best of
three), which a busy machine distorts less than wall-clock times."""
import io
import pathlib
import sys
import time
import xml.parsers.expat

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import _tovrel  # noqa: E402
from tovrel.helpers import MAIN_NS, make_helpers  # noqa: E402
from tovrel.reader import ReadOnlyCell, SheetParser  # noqa: E402

ROW = b'<sheetData><row r="1"><c r="A1"><v>1</v></c></row></sheetData></worksheet>'


def nested(size):
    """Nested elements, each declaring a fresh prefix, named with the root's prefix `q`."""
    head = f'<worksheet xmlns="{MAIN_NS}" xmlns:q="urn:q"><q:deep>'.encode()
    unit = len(b'<q:e xmlns:p00000="urn:p"></q:e>')
    n = max(1, (size - len(head) - len(ROW)) // unit)
    opens = b"".join(b'<q:e xmlns:p%05d="urn:p">' % i for i in range(n))
    return head + opens + b"</q:e>" * n + b"</q:deep>" + ROW


def root_prefixes(size):
    """n prefixes on the root, then n small elements named with the oldest prefix."""
    n = max(1, size // (len(b' xmlns:p00000="urn:p"') + len(b"<p00000:e/>")))
    decls = b"".join(b' xmlns:p%05d="urn:p"' % i for i in range(n))
    return (f'<worksheet xmlns="{MAIN_NS}"'.encode() + decls + b">" + b"<p00000:e/>" * n + ROW)


def shared_strings(size):
    """n prefixes on the root, then n items with a phonetic run (handed to si_content)."""
    item = b'<si><t>a</t><rPh sb="0" eb="1"><t>b</t></rPh></si>'
    n = max(1, size // (len(b' xmlns:p00000="urn:p"') + len(item)))
    decls = b"".join(b' xmlns:p%05d="urn:p"' % i for i in range(n))
    return f'<sst xmlns="{MAIN_NS}"'.encode() + decls + b">" + item * n + b"</sst>"


def first_row(data):
    reader = _tovrel.RowReader(io.BytesIO(data), SheetParser([]), make_helpers())
    row = reader.next_row("ws", 1, None, True, ReadOnlyCell, None)
    return row, len(reader.actions)


def dimension(data):
    return _tovrel.find_dimension(io.BytesIO(data))


def string_table(data):
    helpers = make_helpers()
    helpers["si_content"] = lambda snippet, namespaces: len(namespaces)
    return len(_tovrel.read_string_table(io.BytesIO(data), helpers))


def expat(data):
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")
    p.Parse(data, True)


CASES = [
    ("nested            RowReader", nested, first_row),
    ("root prefixes     find_dimension", root_prefixes, dimension),
    ("root prefixes     RowReader", root_prefixes, first_row),
    ("shared strings    read_string_table", shared_strings, string_table),
]


def best_of(fn, repeat=3):
    """The least CPU time of `repeat` runs of fn(), in seconds, and its last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.process_time()
        result = fn()
        best = min(best, time.process_time() - start)
    return best, result


def main():
    size = int(float(sys.argv[1]) * 1e6) if len(sys.argv) > 1 else 1_500_000
    for label, shape, run in CASES:
        data = shape(size)
        mb = len(data) / 1e6
        t_expat, _ = best_of(lambda: expat(data))
        try:
            t_native, _ = best_of(lambda: run(data))
            outcome = ""
        except _tovrel.NativeFallback as e:
            t_native, _ = best_of(lambda: _declined(run, data))
            outcome = f"  (declined: {e})"
        print(f"{label:38} {mb:5.2f} MB {mb / t_native:8.1f} MB/s   expat {mb / t_expat:6.1f} MB/s"
              f"   ratio {t_expat / t_native:5.2f}x{outcome}", flush=True)


def _declined(run, data):
    try:
        run(data)
    except _tovrel.NativeFallback:
        pass


if __name__ == "__main__":
    main()
