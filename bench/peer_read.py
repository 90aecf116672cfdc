"""Times other spreadsheet readers on .xlsx files inside the peer environment the bootstrap makes
(the system's own Python: these readers have no wheels for the engine's interpreter). Started by
bench/peers.py, not by hand. It first prints one JSON line: {reader: version, or {"missing":
reason}}; then for each JSON line {"reader", "path"} on its input it reads that workbook once and
prints {"seconds", "cells"}, so a benchmark can interleave its own runs with the peers'.

Every reader reads every sheet of the workbook end to end, opening the file each time:
python-calamine row by row (`iter_rows`, each row a list of Python values), fastexcel each sheet
to Arrow arrays (`load_sheet` with no header row, then the Arrow C data export, so no pyarrow is
needed)."""
import importlib.metadata
import json
import logging
import sys
import time


def calamine(path):
    from python_calamine import CalamineWorkbook

    wb = CalamineWorkbook.from_path(path)
    cells = 0
    for name in wb.sheet_names:
        for row in wb.get_sheet_by_name(name).iter_rows():
            cells += len(row)
    return cells


def fastexcel(path):
    import fastexcel as fe

    reader = fe.read_excel(path)
    cells = 0
    for name in reader.sheet_names:
        sheet = reader.load_sheet(name, header_row=None)
        sheet.__arrow_c_array__()  # builds the record batch; released with the capsules
        cells += sheet.width * sheet.height
    return cells


READERS = {"python-calamine": ("python_calamine", calamine), "fastexcel": ("fastexcel", fastexcel)}


def main():
    # fastexcel logs a warning for every column whose type it cannot settle.
    logging.disable(logging.WARNING)
    found = {}
    for dist, (module, _read) in READERS.items():
        try:
            __import__(module)
            found[dist] = importlib.metadata.version(dist)
        except ImportError as e:
            found[dist] = {"missing": f"{dist} is not installed in the peer environment ({e})"}
    print(json.dumps(found), flush=True)
    for line in sys.stdin:
        job = json.loads(line)
        read = READERS[job["reader"]][1]
        t0 = time.perf_counter()
        cells = read(job["path"])
        print(json.dumps({"seconds": time.perf_counter() - t0, "cells": cells}), flush=True)


if __name__ == "__main__":
    main()
