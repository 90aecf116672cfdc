"""Streams a workbook through the native engine: ``python -m tovrel.demo [book.xlsx]``.

Prints every row of every worksheet (CSV-like), then a summary line per sheet and for the whole
book. Without an argument it reads the bundled demo workbook. Exits non-zero when the engine
falls back to the pure-Python path for a sheet, naming the sheet and the reason."""
import csv
import datetime
import pathlib
import sys
import time

import _tovrel

from tovrel.reader import Workbook

DEFAULT = pathlib.Path(__file__).resolve().parent.parent / "demo" / "demo.xlsx"


def text(value):
    if value is None:
        return ""
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        return value.isoformat()
    return str(value)


def main(argv):
    path = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT
    out = csv.writer(sys.stdout, lineterminator="\n")
    total_rows = total_cells = total_bytes = 0
    total_time = 0.0
    failed = []
    start = time.perf_counter()
    with Workbook(path) as wb:
        print(f"# workbook {path}: {len(wb.sheet_names)} sheets, "
              f"{len(wb.shared_strings)} shared strings")
        for name, part in wb.package.sheets:
            size = wb.package.size(part)
            print(f"# sheet {name!r}")
            rows = cells = 0
            t0 = time.perf_counter()
            try:
                for index, values in wb.rows(name):
                    rows += 1
                    cells += sum(v is not None for v in values)
                    out.writerow([index] + [text(v) for v in values])
            except _tovrel.NativeFallback as e:
                failed.append(name)
                where = "" if getattr(e, "offset", None) is None else f" at byte {e.offset}"
                print(f"# sheet {name!r}: the native engine falls back to Python: {e}{where}")
                continue
            elapsed = time.perf_counter() - t0
            total_rows += rows
            total_cells += cells
            total_bytes += size
            total_time += elapsed
            print(f"# sheet {name!r}: {rows} rows, {cells} cells, {size / 1e6:.2f} MB XML "
                  f"streamed and printed in {elapsed * 1000:.1f} ms")
    mbps = total_bytes / 1e6 / total_time if total_time else 0.0
    print(f"# total: {total_rows} rows, {total_cells} cells, {total_time * 1000:.1f} ms streaming and printing "
          f"({mbps:.1f} MB/s of worksheet XML), {(time.perf_counter() - start) * 1000:.1f} ms in all")
    if failed:
        print(f"# fell back on: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
