"""Date serials to Python objects: the native conversion (run in a C++ loop inside _tovrel_bench,
the benchmarks' helper module) against the host's pure-Python path, epoch + timedelta(days) +
timedelta(milliseconds), on the same serials in the same run. Figures are per conversion; the
ratio is Python time / native time."""
import datetime as dt
import time

import common  # noqa: E402,F401 - the build directory, when the environment has none
import _tovrel_bench as native  # noqa: E402
from tovrel.utils.datetime import WINDOWS_EPOCH  # noqa: E402

N = 1_000_000
START = 1.0
STEP = 0.0457  # serials from 1900 to about 2025, with varied times of day


def python_path(n, epoch):
    timedelta = dt.timedelta
    t0 = time.perf_counter_ns()
    for i in range(n):
        value = START + i * STEP
        day, fraction = divmod(value, 1)
        diff = timedelta(milliseconds=round(fraction * 86400 * 1000))
        if 0 < value < 60 and epoch == WINDOWS_EPOCH:
            day += 1
        epoch + timedelta(days=day) + diff
    return time.perf_counter_ns() - t0


def best_of(runs, fn):
    return min(fn() for _ in range(runs))


def main():
    epoch = WINDOWS_EPOCH
    # Same results first: the benchmark compares equal work.
    sample = [START + i * STEP for i in range(0, N, 9973)]
    assert native.dates_list(sample, epoch) == [
        epoch + dt.timedelta(days=divmod(v, 1)[0] + (1 if v < 60 else 0))
        + dt.timedelta(milliseconds=round(divmod(v, 1)[1] * 86400 * 1000)) for v in sample]

    native_convert = best_of(3, lambda: native.dates(N, START, STEP, epoch, False)[0])
    native_build = best_of(3, lambda: native.dates(N, START, STEP, epoch, True)[0])
    python = best_of(2, lambda: python_path(N, epoch))

    print(f"{N:,} float serials on the 1900 epoch")
    print(f"  native conversion only        {native_convert / N:8.1f} ns/op")
    print(f"  native, datetime objects      {native_build / N:8.1f} ns/op")
    print(f"  pure Python (baseline)        {python / N:8.1f} ns/op")
    print(f"  ratio python / native objects {python / native_build:8.1f}x")
    print(f"  ratio python / native convert {python / native_convert:8.1f}x")


if __name__ == "__main__":
    main()
