"""CellStore: a compact stand-in for a worksheet's cell dict. Checked against a plain dict run
side by side (a stateful model), on stores filled through the loader's append path by the probe."""
import array
import gc
import sys
import threading

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule, \
    run_state_machine_as_test

import _tovrel
import _tovrel_probe as probe
from tovrel.helpers import column_letters, from_excel
from tovrel.utils.datetime import WINDOWS_EPOCH

WS = object()
EPOCH_1900 = (1899, 12, 30, 0, 0, 0, 0, 1)
SHARED_STRINGS = ["first", "second", "third"]
LONG = "L" * (1 << 24)  # too long for the text arena: kept as a str object
DTYPES = ["n", "s", "f", "b", "e", "d", "inlineStr"]


class StyleArray(array.array):
    pass


STYLES = [StyleArray("i", [i % 7, i % 3]) for i in range(70001)]


class Cell:
    __slots__ = ("parent", "_style", "row", "column", "_value", "_hyperlink", "data_type",
                 "_comment")

    def __init__(self, value=None):
        self._value = value

    @property
    def value(self):
        return self._value


class IntSub(int):
    pass


class TupleSub(tuple):
    pass


MASTER = ("=A1+1", 1, 3)  # shared formula 0, written in C1


def shared_text(row, col):
    """Shared formula 0 moved to (row, col); None for the master's own text."""
    if row is None:
        return "=A1+1"
    return f"={column_letters(col - 2)}{row}+1"


def expected_value(value):
    if isinstance(value, tuple):
        tag = value[0]
        if tag == "s":
            return SHARED_STRINGS[value[1]]
        if tag in ("di", "df"):
            return from_excel(value[1], WINDOWS_EPOCH)
        if tag == "sf":
            return shared_text(value[2], value[3] if value[2] else None)
        if tag == "py":
            return value[1]
    return value


def load(store, cells):
    probe.store_load(store, WS, STYLES, Cell, SHARED_STRINGS, EPOCH_1900, [MASTER], cells)


class Lazy:
    """What a loaded cell that was not handed out yet must turn into."""

    def __init__(self, key, value, dtype, style):
        self.key, self.value, self.dtype, self.style = key, expected_value(value), dtype, style

    def check(self, cell):
        assert type(cell) is Cell
        assert (cell.row, cell.column) == self.key
        assert type(cell._value) is type(self.value) and cell._value == self.value
        assert cell.data_type == (DTYPES[self.dtype] if isinstance(self.dtype, int) else self.dtype)
        if self.style is None:
            assert cell._style is None
        else:
            want = STYLES[self.style]
            assert type(cell._style) is StyleArray and cell._style == want
            assert cell._style is not want
        assert cell.parent is WS and cell._hyperlink is None and cell._comment is None


# --- loaded cells --------------------------------------------------------------------------------

# (cells, host failure expected from loading)
BAD_LOADS = [
    ([(1, 1, 1, 0, len(STYLES))], IndexError),
    ([(1, 1, 1, 0, "")], TypeError),
    ([(1, 1, 1, 0, 0), (-1, 1, 1, 0, 0)], _tovrel.NativeFallback),
    ([(1, 2**32, 1, 0, 0)], _tovrel.NativeFallback),
    ([(1, c, 1, f"t{c}", 0) for c in range(1, 250)], _tovrel.NativeFallback),
]


@pytest.mark.parametrize("cells, error", BAD_LOADS)
def test_bad_loads_keep_cells_so_far(cells, error):
    store = _tovrel.CellStore()
    with pytest.raises(error):
        load(store, cells)
    assert len(store) == len(cells) - 1
    for key in store:
        store[key]


# --- the mapping interface -----------------------------------------------------------------------

def test_row_and_get_details():
    store = _tovrel.CellStore()
    load(store, [(2, 1, 1, 0, 0)])
    assert store._row(2, 1, 2, True) == ((1, None), True)
    assert gc.isenabled()
    with pytest.raises(TypeError, match="argument 'values_only' must be bool"):
        store._row(1, 1, 1, 1)
    cell = Cell()
    store[("x", 1)] = cell  # a key that is no pair of ints: the store turns into a dict
    assert store.get(("x", 1)) is cell and store.get((2, 1)).value == 1
    store = _tovrel.CellStore()
    load(store, [(1, 1, LONG, 1, 0)])  # too long for the text arena
    assert store[(1, 1)].value == LONG


# (change made during iteration, message)
ITER_CHANGES = [
    (lambda s: s.__delitem__((1, 1)), "dictionary changed size during iteration"),
    (lambda s: (s.__delitem__((1, 1)), s.__setitem__((9, 9), Cell())), "dictionary keys changed during iteration"),
    (lambda s: s.__setitem__(("x", 1), Cell()), "dictionary changed size during iteration"),
    (lambda s: s.clear(), "dictionary changed size during iteration"),
]


@pytest.mark.parametrize("change, message", ITER_CHANGES)
def test_key_iter_notices_changes(change, message):
    store = _tovrel.CellStore()
    load(store, [(1, 1, 1, 0, 0), (1, 2, 1, 0, 0), (2, 1, 1, 0, 0)])
    it = iter(store)
    next(it)
    change(store)
    for _ in range(2):  # and again at every later step
        with pytest.raises(RuntimeError) as info:
            next(it)
        assert str(info.value) == message
    # assigning to an existing key is no change of keys
    store = _tovrel.CellStore()
    load(store, [(1, 1, 1, 0, 0), (1, 2, 1, 0, 0)])
    it = iter(store)
    next(it)
    store[(1, 1)] = Cell()
    assert list(it) == [(1, 2)]
    # an exhausted iterator stays exhausted, as a dict's does
    del store[(1, 2)]
    assert list(it) == []


def test_reentrant_call_is_refused():
    store = _tovrel.CellStore()

    class Grabby:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            return store[(1, 1)]

    probe.store_load(store, WS, Grabby(), Cell, SHARED_STRINGS, None, [], [(1, 1, 1, 0, 0)])
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        store[(1, 1)]
    assert store._stats()[:2] == (1, 0)  # nothing changed
    probe.store_load(store, WS, STYLES, Cell, SHARED_STRINGS, None, [], [(1, 1, 1, 0, 0)])

    class Peek(Cell):
        __slots__ = ()

        @property
        def value(self):
            return len(store)

    store[(1, 2)] = Peek()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        store._row(1, 2, 2, True)


def test_refcounts_stay_stable():
    store = _tovrel.CellStore()
    load(store, [(r, c, "t", 1, 0) for r in range(1, 20) for c in range(1, 20)])
    value, key = Cell(), tuple([3, 4])
    foreign = ("k", int("1"))
    before = sys.getrefcount(value), sys.getrefcount(key), sys.getrefcount(foreign)
    for i in range(10000):
        store[key] = value
        assert store[key] is value and store.get(key) is value and key in store
        if i % 3 == 0:
            del store[key]
            store[(i, 1)] = value
        store.get(foreign)
        try:
            store[foreign]
        except KeyError:
            pass
        if i % 100 == 0:
            store._row(i, 1, 3, i % 200 == 0)
            store.popitem()
            list(reversed(store))
    store.clear()
    assert (sys.getrefcount(value), sys.getrefcount(key), sys.getrefcount(foreign)) == before
    # a loaded object value: one reference in the store, then one through its cell only
    obj = Cell()
    alone = sys.getrefcount(obj)
    load(store, [(1, 1, ("py", obj), 0, 0)])
    values = store._row(1, 1, 1, True)[0]
    del values
    counts = [sys.getrefcount(obj)]
    cell = store[(1, 1)]
    counts.append(sys.getrefcount(obj))
    got = cell._value
    del store[(1, 1)], cell
    counts.append(sys.getrefcount(obj))
    assert got is obj
    assert counts == [alone + 1, alone + 1, alone + 1]  # the last one is `got`


# --- model: the store against a dict -------------------------------------------------------------

COORD = st.sampled_from([0, 1, 2, 3, 4, 5, 2**32 - 1])
EXACT = st.tuples(COORD, COORD)


def equivalent(key):
    r, c = key
    return st.sampled_from([
        (float(r), c), (r, IntSub(c)), TupleSub((r, c)), (r, c * 1.0),
        *([(True, c)] if r == 1 else []), *([(r, False)] if c == 0 else []),
    ])


FOREIGN = st.sampled_from([("A", 1), "A1", 7, (1, 2, 3), (-1, 1), (2**32, 1), (1.5, 2), None,
                           frozenset({1}), (2**64, 0)])
UNHASHABLE = st.sampled_from([[1, 2], ([1], 2), {}])
KEYS = st.one_of(EXACT, EXACT.flatmap(equivalent), FOREIGN, UNHASHABLE)

BASE_VALUE = st.one_of(
    st.integers(-2**31 - 2, 2**31 + 2), st.integers(), st.floats(allow_nan=False), st.text(max_size=6),
    st.sampled_from(["same", "same ", "ä€😀", LONG, "x" * ((1 << 24) - 1), True, False, None,
                     2**63 - 1, 2**63, -(2**63) - 1, 2**64]),
    st.tuples(st.just("s"), st.integers(0, 2)),
    st.tuples(st.just("di"), st.integers(-100, 3000)),
    st.tuples(st.just("df"), st.floats(-100, 3000)),
    st.tuples(st.just("py"), st.builds(object)),
)
BASE_CELL = st.tuples(st.integers(1, 6), st.sampled_from([1, 2, 3, 4, 70000]), BASE_VALUE,
                      st.sampled_from([0, 1, 3, 4, 5, 6, "str"]), st.sampled_from([0, 3, 65535, 70000, -1]))
FORMULA_CELL = st.tuples(st.integers(1, 6), st.integers(3, 5)).flatmap(lambda rc: st.sampled_from([
    (rc[0], rc[1], f"=A{rc[0]}*2", 2, 0),
    (rc[0], rc[1], ("sf", 0, rc[0], rc[1]), 2, 0),
    (rc[0], rc[1], ("sf", 0, None, None), 2, 0),
    (rc[0], rc[1], ("sf", 0, 1, 4), 2, 0),
]))

COUNTS = {"sequences": 0, "steps": 0}


def outcome(fn):
    """What a call gave: ("ok", result) or ("raised", type, args)."""
    try:
        return "ok", fn()
    except Exception as e:  # noqa: BLE001 - any exception is an observable result
        return "raised", type(e), e.args


def is_exact(key):
    return (type(key) is tuple and len(key) == 2 and all(type(v) is int for v in key)
            and all(0 <= v < 2**32 for v in key))


class StoreVsDict(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        COUNTS["sequences"] += 1
        self.store = _tovrel.CellStore()
        self.model = {}
        self.dict_mode = False
        self.loaded = False

    @initialize(cells=st.lists(st.one_of(BASE_CELL, FORMULA_CELL), max_size=25), ordered=st.booleans())
    def fill(self, cells, ordered):
        if ordered:
            cells = sorted(cells, key=lambda c: (c[0], c[1]))
        self.loaded = bool(cells) or ordered  # a never-loaded store makes no cell objects
        if self.loaded:
            load(self.store, cells)
        for r, c, v, dt, s in cells:
            self.model[(r, c)] = Lazy((r, c), v, dt, s % len(STYLES))

    def seen(self, key, got):
        """The model's value of key, checked against what the store handed out."""
        want = self.model[key]
        if isinstance(want, Lazy):
            want.check(got)
            self.model[key] = got
            return got
        return want

    def agree(self, got, want, key=None):
        assert got[0] == want[0], (got, want)
        if got[0] == "raised":
            assert got[1:] == want[1:]
        elif key is not None:
            assert got[1] is self.seen(key, got[1])
        else:
            assert got[1] == want[1]

    def key_in_model(self, key):
        """The model's own key object equal to key, or None."""
        try:
            for k in self.model:
                if k == key and hash(k) == hash(key):
                    return k
        except TypeError:
            pass
        return None

    @rule(key=KEYS, value=st.builds(Cell, st.integers()))
    def set(self, key, value):
        COUNTS["steps"] += 1
        known = self.key_in_model(key)
        got = outcome(lambda: self.store.__setitem__(key, value))
        want = outcome(lambda: self.model.__setitem__(key, value))
        self.agree(got, want)
        if got[0] == "ok" and known is None and not is_exact(key):
            self.dict_mode = True

    @rule(key=KEYS)
    def get_item(self, key):
        COUNTS["steps"] += 1
        self.agree(outcome(lambda: self.store[key]), outcome(lambda: self.model[key]),
                   self.key_in_model(key))

    @rule(key=KEYS)
    def get(self, key):
        COUNTS["steps"] += 1
        sentinel = object()
        known = self.key_in_model(key)
        got = outcome(lambda: self.store.get(key, sentinel))
        want = outcome(lambda: self.model.get(key, sentinel))
        self.agree(got, want, known if got[0] == "ok" and got[1] is not sentinel else None)

    @rule(key=KEYS)
    def delete(self, key):
        COUNTS["steps"] += 1
        self.agree(outcome(lambda: self.store.__delitem__(key)), outcome(lambda: self.model.__delitem__(key)))

    @rule(key=KEYS)
    def contains(self, key):
        COUNTS["steps"] += 1
        self.agree(outcome(lambda: key in self.store), outcome(lambda: key in self.model))

    @rule()
    def popitem(self):
        COUNTS["steps"] += 1
        got = outcome(self.store.popitem)
        want_key = next(reversed(self.model), None)
        want = outcome(self.model.popitem)
        assert got[0] == want[0]
        if got[0] == "raised":
            assert got[1:] == want[1:]
        else:
            assert got[1][0] == want[1][0] and repr(got[1][0]) == repr(want_key)
            old = want[1][1]
            if isinstance(old, Lazy):
                old.check(got[1][1])
            else:
                assert got[1][1] is old

    @rule()
    def clear(self):
        COUNTS["steps"] += 1
        assert self.store.clear() is None
        self.model.clear()
        self.dict_mode = False

    @precondition(lambda self: self.loaded and not self.dict_mode)
    @rule(row=st.integers(0, 7), lo=st.integers(0, 5), width=st.integers(-1, 4), values_only=st.booleans())
    def row(self, row, lo, width, values_only):
        COUNTS["steps"] += 1
        cells, created = self.store._row(row, lo, lo + width - 1, values_only)
        want_created = False
        assert len(cells) == max(width, 0)
        for col, got in zip(range(lo, lo + width), cells):
            key = (row, col)
            if key not in self.model:
                self.model[key] = Lazy(key, None, 0, None)
                want_created = True
            want = self.model[key]
            if values_only:
                expect = want.value
                assert type(got) is type(expect) and got == expect
            else:
                assert got is self.seen(key, got)
        assert created is want_created

    @invariant()
    def same_everywhere(self):
        assert len(self.store) == len(self.model)
        assert list(map(repr, self.store)) == list(map(repr, self.model))
        assert list(map(repr, reversed(self.store))) == list(map(repr, reversed(self.model)))
        assert self.store._in_dict_mode() is self.dict_mode
        if self.dict_mode or not self.model:
            assert self.store._bounds() is None
        else:
            rows = [k[0] for k in self.model]
            cols = [k[1] for k in self.model]
            assert self.store._bounds() == (min(rows), max(rows), min(cols), max(cols))
        materialised = 0 if self.dict_mode else sum(not isinstance(v, Lazy) for v in self.model.values())
        stats = self.store._stats()
        assert stats[0] == (0 if self.dict_mode else len(self.model))
        assert stats[1] == materialised


def test_store_behaves_like_a_dict():
    COUNTS.update(sequences=0, steps=0)
    run_state_machine_as_test(StoreVsDict, settings=settings(max_examples=300, stateful_step_count=40,
                                                             deadline=None))
    print(f"store model: {COUNTS['sequences']} sequences, {COUNTS['steps']} steps")
    assert COUNTS["steps"] > COUNTS["sequences"]


# --- threads ---------------------------------------------------------------------------------------

def test_threads_get_borrow_errors_only():
    # A large base keeps whole-store calls (reversed, _stats) long enough for the threads to
    # collide; readers and writers then meet each other's borrows.
    base = [(r, c, r * c, 0, 0) for r in range(1, 200) for c in range(1, 200)]
    store = _tovrel.CellStore()
    load(store, base)
    log = []  # mutations that went through, in the order they went through
    lock = threading.Lock()
    errors = []
    seen = {"Already borrowed": 0, "Already mutably borrowed": 0}

    def worker(t):
        for i in range(400):
            key = ((i * 7 + t) % 40 + 1, (i * 3) % 40 + 1)
            try:
                op = i % 6
                if op == 0:
                    value = Cell(i)
                    with lock:  # orders the log only; readers do not take it
                        store[key] = value
                        log.append(("set", key, value))
                elif op == 1:
                    with lock:
                        try:
                            del store[key]
                            log.append(("del", key, None))
                        except KeyError:
                            pass
                elif op == 2:
                    store.get(key)
                elif op == 3:
                    reversed(store)
                elif op == 4:
                    key in store
                    len(store)
                else:
                    store._stats()
            except RuntimeError as e:
                if str(e) in seen:
                    seen[str(e)] += 1
                else:
                    errors.append(str(e))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    replay = {(r, c): None for r, c, *_ in base}
    for op, key, value in log:
        if op == "set":
            replay[key] = value
        else:
            del replay[key]
    assert list(store) == list(replay)
    for key, value in replay.items():
        if value is not None:
            assert store[key] is value
    print(f"borrow conflicts: {seen}")
