"""Thread stress on RowReader: one reader shared by several threads, and next_row's extra_none
list mutated, replaced and cleared by other threads while it is being read. Every call must end
in a row, None or an exception; never in a crash. `make sanitize` runs these under ASan/UBSan."""
import gc
import io
import random
import threading
import time

import pytest

import _tovrel
from tovrel.helpers import MAIN_NS, make_helpers
from tovrel.reader import SheetParser

SECONDS = 0.8  # per test
ROWS = 4000
DATA = (b'<worksheet xmlns="%s"><sheetData>' % MAIN_NS.encode()
        + b"".join(b'<row r="%d"><c r="A%d"><v>%d</v></c><c r="B%d" t="s"><v>0</v></c><c r="C%d"><f>A1</f><v>1</v></c>'
                   b'</row>' % (i, i, i, i, i) for i in range(1, ROWS + 1))
        + b"</sheetData></worksheet>")


class Cell:
    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "a", "b", "c", "d")


STRINGS = ["s"]


def reader():
    return _tovrel.RowReader(io.BytesIO(DATA), SheetParser(STRINGS), make_helpers())


def run_threads(workers, seconds=SECONDS):
    """Starts every worker(stop, errors) together and stops them after `seconds`."""
    stop, errors = threading.Event(), []
    barrier = threading.Barrier(len(workers))

    def wrap(work):
        barrier.wait()
        try:
            work(stop, errors)
        except BaseException as e:  # a worker must not die silently
            errors.append(e)
            stop.set()

    threads = [threading.Thread(target=wrap, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    return errors


def test_threads_sharing_one_reader_are_refused_not_crashed():
    r = reader()
    seen, refused = [], []

    def caller(k):
        def work(stop, errors):
            calls = [lambda: r.next_raw(),
                     lambda: r.next_row("ws", 1, None, True, Cell, None),
                     lambda: r.next_row("ws", 1, 3, False, Cell, None, ["a", "b"])]
            while not stop.is_set():
                try:
                    row = calls[k % 3]()
                except RuntimeError as e:
                    refused.append(str(e))
                    continue
                if row is None:
                    return
                seen.append(row[0])
                len(r.actions)
        return work

    errors = run_threads([caller(k) for k in range(4)])
    assert errors == []
    assert sorted(seen) == list(range(1, len(seen) + 1)), "each row exactly once, in document order"
    assert seen, "no call got through"
    assert set(refused) <= {"Already borrowed"}


NAMES = ["a", "b", "c", "d"]


@pytest.mark.parametrize("shared", [False, True], ids=["own-readers", "one-reader"])
def test_extra_none_mutated_by_other_threads(shared):
    holder = [["a"]]
    common = reader()
    live = [common]  # the readers in use, for the prober
    outcomes = []

    def caller(stop, errors):
        rng = random.Random(threading.get_ident())
        r = common if shared else reader()
        live.append(r)
        while not stop.is_set():
            try:
                row = r.next_row("ws", 1, 3, False, Cell, None, holder[0])
            except RuntimeError as e:  # another thread holds the shared reader
                assert str(e) == "Already borrowed"
                continue
            except (AttributeError, TypeError) as e:  # a name that is no slot, or no str
                outcomes.append(type(e).__name__)
                continue
            if row is None:
                if shared:
                    return
                r = reader()
                live.append(r)
                continue
            outcomes.append("row")
            for cell in row[1]:
                # Whatever the list held during the call, the cell's own slots are intact and the
                # extra ones hold None or nothing.
                assert (cell.parent, cell.row, cell._value) == ("ws", row[0], (row[0], "s", "=A1")[cell.column - 1])
                for name in NAMES:
                    assert getattr(cell, name, None) is None
            if rng.random() < 0.01:
                gc.collect()

    def mutator(stop, errors):
        rng = random.Random(threading.get_ident())
        while not stop.is_set():
            lst = holder[0]
            op = rng.randrange(8)
            try:
                mutate(lst, op, rng)
            except (IndexError, ValueError):  # the other mutator emptied the list meanwhile
                pass

    def mutate(lst, op, rng):
        if op == 0:
            lst.append(rng.choice(NAMES))
        elif op == 1 and lst:
            lst.pop()
        elif op == 2:
            lst.clear()
        elif op == 3:
            lst[:] = rng.sample(NAMES, rng.randrange(5))
        elif op == 4:
            holder[0] = [rng.choice(NAMES) for _ in range(rng.randrange(6))]
        elif op == 5:
            lst.extend(NAMES * rng.randrange(3))
        elif op == 6 and lst:
            lst[rng.randrange(len(lst))] = rng.choice(NAMES + ["nope", 5])
        else:
            lst.insert(0, rng.choice(NAMES))

    def prober(stop, errors):
        # Lists the reader exposes through the garbage collector are fair game for the host.
        while not stop.is_set():
            for ref in gc.get_referents(live[-1]):
                if type(ref) is list and ref is not STRINGS:
                    ref.append(("warn", "intruder"))
                    ref.clear()

    errors = run_threads([caller] * 3 + [mutator] * 2 + [prober])
    assert errors == []
    assert "row" in outcomes
