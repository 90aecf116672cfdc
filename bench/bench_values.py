"""Cell values: the native decision of a cell's value from its <v> text (`interpret`, run in a C++
loop inside _tovrel_bench, with and without building the Python object) against the host's
pure-Python rule for the same texts (int()/float() by the presence of ".", "e", "E"; shared
strings by list indexing), in the same run. Figures are per cell; ratios are Python / native."""
import random
import time

import common  # noqa: E402,F401 - the build directory, when the environment has none
import _tovrel_bench as native  # noqa: E402
from tovrel.helpers import make_helpers  # noqa: E402
from tovrel.utils.datetime import WINDOWS_EPOCH  # noqa: E402

N = 300_000


class Parser:
    epoch = WINDOWS_EPOCH
    data_only = False
    rich_text = False
    formula_and_value = False
    date_formats = set()
    timedelta_formats = set()

    def __init__(self, strings):
        self.shared_strings = strings


def python_numbers(texts):
    t0 = time.perf_counter_ns()
    out = []
    for text in texts:
        if "." in text or "e" in text or "E" in text:
            out.append(float(text))
        else:
            out.append(int(text))
    return time.perf_counter_ns() - t0, out


def python_strings(texts, strings):
    t0 = time.perf_counter_ns()
    out = [strings[int(text)] for text in texts]
    return time.perf_counter_ns() - t0, out


def best(runs, fn):
    results = [fn() for _ in range(runs)]
    return min(r[0] for r in results), results[0][1]


def main():
    rng = random.Random(7)
    helpers = make_helpers()
    strings = [f"text {i}" for i in range(1000)]
    parser = Parser(strings)
    workloads = {
        "integers": [str(rng.randrange(-10**9, 10**9)) for _ in range(N)],
        "floats": [repr(rng.uniform(-1e6, 1e6)) for _ in range(N)],
        "shared strings": [str(rng.randrange(1000)) for _ in range(N)],
    }
    for name, texts in workloads.items():
        t = "s" if name == "shared strings" else None
        if t:
            py_ns, expected = best(3, lambda: python_strings(texts, strings))
        else:
            py_ns, expected = best(3, lambda: python_numbers(texts))
        native_obj, got = best(3, lambda: native.interpret(parser, helpers, texts, t, True))
        native_only, _ = best(3, lambda: native.interpret(parser, helpers, texts, t, False))
        assert got == expected, name  # same results: the benchmark compares equal work
        print(f"{N:,} {name}")
        print(f"  native decision only           {native_only / N:8.1f} ns/cell")
        print(f"  native, Python objects         {native_obj / N:8.1f} ns/cell")
        print(f"  pure Python (baseline)         {py_ns / N:8.1f} ns/cell")
        print(f"  ratio python / native objects  {py_ns / native_obj:8.1f}x")


if __name__ == "__main__":
    main()
