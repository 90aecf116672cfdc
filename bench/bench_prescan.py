"""prescan_sheet over a ~50 MB worksheet (the one bench_find_dimension builds): MB/s of the raw
scan inside <sheetData> against the standard library's expat parsing the same bytes with no
handlers (goal: at least 4x expat). Three readings: only the end of <sheetData> looked for; the
rows wanted; the rows and four corner cells wanted (every <c> tag parsed). Ratios are expat time /
native time."""
import io
import pathlib
import sys
import xml.parsers.expat

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
try:
    import _tovrel
except ImportError:  # not installed: use the default build directory
    sys.path[:0] = [str(ROOT / "build"), str(ROOT)]
    import _tovrel
from bench_find_dimension import worksheet  # noqa: E402
from common import best_of  # noqa: E402

HELPERS = {"row_index": int}


def main():
    data = worksheet()
    mb = len(data) / 1e6

    def expat():
        p = xml.parsers.expat.ParserCreate()
        p.Parse(data, True)

    t_expat, _ = best_of(expat, repeat=3)
    print(f"document: {mb:.1f} MB")
    print(f"expat (no handlers)        {mb / t_expat:8.0f} MB/s")
    readings = [
        ("prescan_sheet",             False, None),
        ("prescan_sheet rows",        True, None),
        ("prescan_sheet rows+corners", True, [(1, 1), (1, 12), (2, 1), (10**6, 1)]),
    ]
    for label, want_rows, corners in readings:
        t, result = best_of(lambda: _tovrel.prescan_sheet(io.BytesIO(data), want_rows, corners, HELPERS),
                            repeat=3)
        assert result["head"] and not result["tail"]
        assert bool(result["rows"]) == want_rows
        print(f"{label:27s}{mb / t:8.0f} MB/s  {t_expat / t:5.2f}x expat (goal >= 4x)")


if __name__ == "__main__":
    main()
