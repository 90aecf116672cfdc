"""Shared bits of the benchmarks: best-of-N timing, and the default build directory on the
import path when the environment does not link the built modules."""
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
try:
    import _tovrel  # noqa: F401
except ImportError:  # not linked into the environment: use the default build directory
    sys.path[:0] = [str(ROOT / "build"), str(ROOT)]


def best_of(fn, repeat=5):
    """The fastest of `repeat` runs of fn(), in seconds, and its last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        result = None  # free the previous run's result outside the timed region
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result
