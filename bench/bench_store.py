"""CellStore memory and speed against a dict of slotted cell objects holding the same cells.

Memory: native bytes per cell for 1,000,000 loaded cells of each kind, from the store's own
allocation figures (probe.store_bytes), cross-checked with the growth of the process's resident
set; the dict side is measured by resident-set growth. Speed: ns per store[key] of a compact cell
(its first access, which builds the cell object), per store[key] of a built cell, and per cell
of _row(), against dict[key] on the dict of the same cells."""
import array
import gc
import time

import common  # noqa: E402,F401 - the build directory, when the environment has none
import _tovrel  # noqa: E402
import _tovrel_probe as probe  # noqa: E402

from tovrel.helpers import column_letters  # noqa: E402
from tovrel.worksheet import Cell  # noqa: E402

N = 1_000_000
WIDTH = 20
WS = object()
STYLES = [array.array("i", [0] * 9)]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def python_cells(kind):
    """The same cells as probe.store_fill makes, as a dict of cell objects."""
    cells = {}
    for i in range(N):
        row, col = i // WIDTH + 1, i % WIDTH + 1
        if kind == "int":
            value, dt = i % 1000, "n"
        elif kind == "float":
            value, dt = i + 0.5, "n"
        elif kind == "text":
            value, dt = TEXTS[i % 300], "s"
        else:
            col += 1
            value, dt = f"={column_letters(col - 1)}{row}*2", "f"
        cells[(row, col)] = Cell(row, col, value, dt, parent=WS)
    return cells


TEXTS = [f"text number {i}" for i in range(300)]


def timed(fn):
    gc.collect()
    t0 = time.perf_counter_ns()
    fn()
    return time.perf_counter_ns() - t0


def main():
    print(f"{N:,} cells per kind; goals: int <= 11, float <= 19, text <= 11, formula <= 11 B/cell")
    print(f"  {'kind':8} {'store B/cell':>13} {'store RSS B/cell':>17} {'dict RSS B/cell':>16} {'dict/store':>11}")
    kinds = ("int", "float", "text", "formula")
    stores = {}
    for kind in kinds:  # stores first, while no Python garbage can be reused
        gc.collect()
        before = rss()
        store = _tovrel.CellStore()
        probe.store_fill(store, WS, STYLES, Cell, kind, N, WIDTH)
        stores[kind] = (store, rss() - before, probe.store_bytes(store))
        assert len(store) == N
    keep = []
    for kind in kinds:
        store, store_rss, native = stores[kind]
        gc.collect()
        before = rss()
        cells = python_cells(kind)
        dict_rss = rss() - before
        # same cells: spot checks across the whole range
        for i in range(0, N, N // 97):
            key = (i // WIDTH + 1, i % WIDTH + 1 + (kind == "formula"))
            got, want = store[key], cells[key]
            assert (got._value, got.data_type, got.row, got.column) == \
                (want._value, want.data_type, want.row, want.column)
        keep.append(cells)
        print(f"  {kind:8} {native / N:13.1f} {store_rss / N:17.1f} {dict_rss / N:16.1f} "
              f"{dict_rss / native:10.1f}x")
    del keep, stores

    store = _tovrel.CellStore()
    probe.store_fill(store, WS, STYLES, Cell, "int", N, WIDTH)
    cells = python_cells("int")
    keys = list(cells)

    def lookups(mapping):
        def run():
            for k in keys:
                mapping[k]
        return run

    def rows():
        for r in range(1, N // WIDTH + 1):
            store._row(r, 1, WIDTH, False)

    def filled():
        fresh = _tovrel.CellStore()
        probe.store_fill(fresh, WS, STYLES, Cell, "int", N, WIDTH)
        return fresh

    dict_lookup = min(timed(lookups(cells)) for _ in range(3))
    first = timed(lookups(store))
    again = min(timed(lookups(store)) for _ in range(3))
    store = filled()
    gc.disable()
    first_nogc = timed(lookups(store))
    gc.enable()
    store = filled()
    by_rows = timed(rows)
    print(f"lookups over {N:,} int cells, ns per cell")
    print(f"  dict[key] (baseline)                    {dict_lookup / N:7.1f}")
    print(f"  store[key], built cell                  {again / N:7.1f}   ({again / dict_lookup:.2f}x dict)")
    print(f"  store[key], first: builds the cell      {first / N:7.1f}   ({first / dict_lookup:.2f}x dict)")
    print(f"    the same with the collector disabled  {first_nogc / N:7.1f}   ({first_nogc / dict_lookup:.2f}x dict)")
    print(f"  _row(r, 1, {WIDTH}, False), building cells  {by_rows / N:7.1f}   ({by_rows / dict_lookup:.2f}x dict)")


if __name__ == "__main__":
    main()
