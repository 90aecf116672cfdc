"""Shared-formula rendering: one formula compiled once and rendered for 1,000,000 destination cells
in a C++ loop inside _tovrel_bench, against a pure-Python reference shifter (one regular-expression
substitution per destination) over 100,000 destinations in the same run. Both produce the same
texts (checked first). Figures are per rendered formula; the ratio is Python time / native time."""
import re
import time

import common  # noqa: E402,F401 - the build directory, when the environment has none
import _tovrel_bench as native  # noqa: E402

from tovrel.helpers import column_index, column_letters  # noqa: E402

FORMULA = '=SUM(A1:B2)*$C$1+Sheet1!D4-IF(E5>0,F$6,"x")'
ORIGIN = (1, 1)
N_NATIVE = 1_000_000
N_PYTHON = 100_000

REF = re.compile(r"(?<![A-Za-z0-9_.])(\$?)([A-Za-z]{1,3})(\$?)([1-9][0-9]{0,6})(?![A-Za-z0-9_(])")


def shift(formula, drow, dcol):
    def move(m):
        col_abs, col, row_abs, row = m.groups()
        if not col_abs:
            col = column_letters(column_index(col) + dcol)
        if not row_abs:
            row = str(int(row) + drow)
        return col_abs + col + row_abs + row
    return REF.sub(move, formula)


def destination(i):
    return ORIGIN[0] + i, ORIGIN[1] + i % 16  # the same walk as the native loop


def python_path(n):
    t0 = time.perf_counter_ns()
    total = 0
    for i in range(n):
        row, col = destination(i)
        total += len(shift(FORMULA, row - ORIGIN[0], col - ORIGIN[1]))
    return time.perf_counter_ns() - t0, total


def main():
    # Same results first: the benchmark compares equal work.
    for i in range(0, N_PYTHON, 997):
        row, col = destination(i)
        got = native.formula_at(FORMULA, *ORIGIN, row, col)
        assert got == shift(FORMULA, row - ORIGIN[0], col - ORIGIN[1]), (i, got)

    native_ns, native_bytes = min(native.formula(FORMULA, *ORIGIN, N_NATIVE) for _ in range(3))
    python_ns, python_bytes = min(python_path(N_PYTHON) for _ in range(2))
    assert native_bytes > 0 and python_bytes > 0
    native_op = native_ns / N_NATIVE
    python_op = python_ns / N_PYTHON

    print(f"{FORMULA}  compiled once at A1")
    print(f"  native render ({N_NATIVE:,} destinations)   {native_op:8.1f} ns/op")
    print(f"  pure Python regex ({N_PYTHON:,} destinations) {python_op:8.1f} ns/op")
    print(f"  ratio python / native                  {python_op / native_op:8.1f}x")


if __name__ == "__main__":
    main()
