"""Shared bits of the benchmarks: best-of-N timing."""
import time


def best_of(fn, repeat=5):
    """The fastest of `repeat` runs of fn(), in seconds, and its last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result
