"""Two sheets streamed by two threads at once against one thread streaming both, one after the
other, in every mode of RowReader (values, cell objects, raw tuples). Each sheet is read from
memory (BytesIO) so only the engine and the host's Python loop run; both sheets share the
workbook's shared-strings list, the helpers dict and the cell class, as two sheets of one
workbook do. On the free-threaded build a reader holds no lock while it works, so the ratio
shows the cost of whatever state the two readers still touch together (reference counts of
shared objects, allocator, memory bandwidth). It is only meaningful on an otherwise idle
machine: the load average is printed with the figures. The CPU time the two threads spent
together, over the one thread's, shows contention apart from outside load: 1.00 means none (work
that waits for a lock, or cache lines bouncing between the cores, raise it). A control taking
turns with the readers, a plain Python loop that shares nothing, shows how far two threads can
scale on the machine as it is during the run. A second control creates as many instances of the
cell class in a plain loop: on an interpreter that counts references to a heap type in one shared
word, that alone bounds how far the cells mode can scale."""
import io
import os
import sys
import threading
import time

import common  # noqa: F401 - the build directory, when the environment has none
import _tovrel
from bench_row_reader import COLS, generate, parser
from tovrel.helpers import make_helpers
from tovrel.reader import EMPTY_CELL, ReadOnlyCell

ROWS = 40_000
REPEAT = 5


def spin(_data, _mode, _helpers):
    """The control: CPU work of about one sheet's length that shares nothing."""
    cpu = time.thread_time()
    x = 0
    for i in range(1_500_000):
        x += i
    return ROWS * COLS, time.thread_time() - cpu


def instances(_data, _mode, _helpers):
    """The cell-class control: one sheet's count of bare instances of the shared cell class."""
    cpu = time.thread_time()
    new, cls = object.__new__, ReadOnlyCell
    for _ in range(ROWS * COLS):
        new(cls)
    return ROWS * COLS, time.thread_time() - cpu


def stream(data, mode, helpers):
    """Cells streamed, and the CPU seconds this thread spent on them."""
    cpu = time.thread_time()
    reader = _tovrel.RowReader(io.BytesIO(data), parser(), helpers)
    n = 0
    if mode == "raw":
        while (row := reader.next_raw()) is not None:
            n += len(row[1])
    elif mode == "values":
        while (row := reader.next_row("ws", 1, None, True, ReadOnlyCell, None)) is not None:
            n += len(row[1])
    else:
        while (row := reader.next_row("ws", 1, None, False, ReadOnlyCell, EMPTY_CELL)) is not None:
            n += len(row[1])
    return n, time.thread_time() - cpu


def one_thread(sheets, mode, helpers, work=stream):
    """(wall seconds, CPU seconds, cells) of streaming the sheets one after the other."""
    t0 = time.perf_counter()
    done = [work(data, mode, helpers) for data in sheets]
    return time.perf_counter() - t0, sum(d[1] for d in done), sum(d[0] for d in done)


def two_threads(sheets, mode, helpers, work=stream):
    """(wall seconds, CPU seconds of both threads, cells) of one thread per sheet."""
    done = [(0, 0.0)] * len(sheets)
    start = threading.Barrier(len(sheets) + 1)

    def thread(i):
        start.wait()
        done[i] = work(sheets[i], mode, helpers)

    threads = [threading.Thread(target=thread, args=(i,)) for i in range(len(sheets))]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - t0, sum(d[1] for d in done), sum(d[0] for d in done)


def main():
    if sys._is_gil_enabled():
        print("skipped: the interpreter runs with the GIL, so two threads cannot read at once")
        return
    sheets = [generate(ROWS), generate(ROWS)]
    helpers = make_helpers()
    cells = 2 * ROWS * COLS
    print(f"two sheets of {ROWS * COLS} cells ({len(sheets[0]) / 1e6:.1f} MB of XML each), "
          f"best of {REPEAT}; {os.cpu_count()} CPUs, load average before "
          f"{os.getloadavg()[0]:.2f}")
    modes = ("values", "cells", "raw", "instances")
    for mode in modes[:-1]:
        stream(sheets[0], mode, helpers)  # warm up
    best = {}
    # Each round takes every mode and side in turn, so a burst of outside load falls on all of
    # them alike, and each mode's best is taken over the whole run rather than one stretch of it.
    for _ in range(REPEAT):
        for mode in modes:
            main_work = instances if mode == "instances" else stream
            for side, work in (("one", main_work), ("two", main_work), ("control one", spin),
                               ("control two", spin)):
                run = one_thread if side.endswith("one") else two_threads
                wall, cpu, n = run(sheets, mode, helpers, work)
                assert n == cells, (mode, side, n, cells)
                old = best.get((mode, side), (float("inf"), float("inf")))
                best[mode, side] = (min(old[0], wall), min(old[1], cpu))
    worst = None
    for mode in modes:
        (one, one_cpu), (two, two_cpu) = best[mode, "one"], best[mode, "two"]
        control = best[mode, "control one"][0] / best[mode, "control two"][0]
        ratio = one / two
        figures = (f"scaling {ratio:4.2f}x  CPU time two/one {two_cpu / one_cpu:4.2f}  "
                   f"control loop scaling {control:4.2f}x")
        if mode == "instances":
            print(f"  cell-class control, bare instances in a plain loop: {figures}")
            continue
        worst = ratio if worst is None else min(worst, ratio)
        print(f"  {mode:6s} one thread {one * 1e3:6.1f} ms ({cells / one / 1e6:5.2f} M cells/s)  "
              f"two threads {two * 1e3:6.1f} ms  {figures.replace('x  CPU', 'x (goal 1.8x)  CPU', 1)}")
    print(f"  lowest scaling {worst:.2f}x; load average after {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
