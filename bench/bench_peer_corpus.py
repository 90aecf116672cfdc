"""Small workbooks end to end against other readers: each workbook of ../shared/corpus (three
sheets, about 20,000 cells, written by XlsxWriter, LibreOffice and Gnumeric) read whole by this
engine through the stand-in host (open the package, read_string_table, every sheet's values
streamed by RowReader, in the host's default mode) and, in the same run, by fastexcel and
python-calamine in the peer environment (bench/peer_read.py), each opening the file every time.
The sides take turns, one read each, for N rounds; best-of-N seconds; the ratio is the peer's
time over the engine's (goal: at least 1 against fastexcel).

Small workbooks make the per-sheet fixed costs count, so they are measured too: each step of
setting up a sheet's reader, run in a C++ loop (_tovrel_bench.fixed_costs), and a whole empty
sheet read through RowReader."""
import io
import pathlib
import sys
import time

import common  # noqa: F401 - the build directory, when the environment has none
import _tovrel
import _tovrel_bench
from common import ROOT
from peers import Peers, best_interleaved, report_lines
from tovrel.helpers import MAIN_NS, make_helpers
from tovrel.reader import ReadOnlyCell, SheetParser, Workbook

CORPUS = ROOT.parent / "shared" / "corpus"
REPEAT = 20


def engine(path):
    """(seconds, cells) of one whole read."""
    t0 = time.perf_counter()
    with Workbook(path) as wb:
        cells = sum(len(row) for name in wb.sheet_names for _idx, row in wb.rows(name))
    return time.perf_counter() - t0, cells


def fixed_costs():
    parser = SheetParser([f"s{i}" for i in range(100)], {14, 22}, {46})
    helpers = make_helpers()
    n = 20_000
    steps = _tovrel_bench.fixed_costs(io.BytesIO(b""), parser, helpers, n)
    empty = (f'<worksheet xmlns="{MAIN_NS}"><dimension ref="A1"/><sheetData>'
             '<row r="1"><c r="A1"><v>1</v></c></row></sheetData></worksheet>').encode()

    def one_sheet():
        reader = _tovrel.RowReader(io.BytesIO(empty), parser, helpers)
        while reader.next_row("ws", 1, None, True, ReadOnlyCell, None) is not None:
            pass

    t0 = time.perf_counter()
    for _ in range(n):
        one_sheet()
    steps["one-cell sheet read whole"] = (time.perf_counter() - t0) / n * 1e9
    return steps


def main():
    print("per-sheet fixed costs (mean of 20,000 calls):")
    for step, ns in fixed_costs().items():
        print(f"  {step:30s} {ns / 1e3:7.2f} us")
    paths = sorted(CORPUS.glob("*.xlsx")) if CORPUS.is_dir() else []
    if not paths:
        print(f"corpus skipped: no workbooks at {CORPUS} (the project's shared material is absent)")
        return
    lowest = None
    with Peers() as peers:
        if peers.skipped:
            print(f"peers skipped: {peers.skipped}")
        print(f"corpus workbooks end to end, best of {REPEAT} turns:")
        for path in paths:
            best, cells = best_interleaved(REPEAT, lambda: engine(path), peers, path)
            print(f" {path.name}:")
            for line in report_lines(best, cells, peers):
                print(line)
            if "fastexcel" in best:
                ratio = best["fastexcel"] / best["engine"]
                lowest = ratio if lowest is None else min(lowest, ratio)
    if lowest is not None:
        print(f" lowest ratio against fastexcel: {lowest:.2f}x (goal: at least 1)")


if __name__ == "__main__":
    sys.exit(main())
