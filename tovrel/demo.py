"""Runs the native engine over a workbook: ``python -m tovrel.demo [book.xlsx]``.

Reports, sheet by sheet, what the engine reads. Without an argument it reads the bundled
demo workbook."""
import pathlib
import sys
import time

import _tovrel

from tovrel.package import Package

DEFAULT = pathlib.Path(__file__).resolve().parent.parent / "demo" / "demo.xlsx"


def main(argv):
    path = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT
    print(f"workbook: {path}")
    print(f"engine: _tovrel, public names {', '.join(_tovrel.__all__)}")
    failed = False
    with Package(path) as pkg:
        if not hasattr(_tovrel, "find_dimension"):
            print("the engine has no reading entry point yet: listing the worksheets only")
        for name, part in pkg.sheets:
            size = pkg.zip.getinfo(part).file_size
            line = f"  sheet {name!r} ({part}, {size} bytes)"
            if hasattr(_tovrel, "find_dimension"):
                start = time.perf_counter()
                try:
                    with pkg.open(part) as f:
                        found = _tovrel.find_dimension(f)
                except _tovrel.NativeFallback as e:
                    print(f"{line}: native engine fell back: {e}")
                    failed = True
                    continue
                elapsed = time.perf_counter() - start
                if found is None:
                    line += ": no <dimension> element"
                else:
                    snippet, _namespaces = found
                    line += f": {snippet.decode('utf-8')}"
                line += f" [{elapsed * 1000:.2f} ms]"
            print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
