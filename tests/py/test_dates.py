"""Date serials converted natively (through the test probe) against the host's pure-Python
conversion: the boundary table on both epochs, a randomised comparison, range errors."""
import datetime as dt
import math
import random
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

import _tovrel_probe as probe
from tovrel.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH


def reference(value, epoch):
    """The pure-Python converter: divmod, millisecond rounding, time below one day, the 1900
    leap-year day, then epoch + timedelta(days) + timedelta(milliseconds). None when Python
    raises OverflowError or ValueError."""
    try:
        day, fraction = divmod(value, 1)
        diff = dt.timedelta(milliseconds=round(fraction * 86400 * 1000))
        if 0 <= value < 1 and diff.days == 0:
            return (dt.datetime.min + diff).time()
        if 0 < value < 60 and epoch == WINDOWS_EPOCH:
            day += 1
        return epoch + dt.timedelta(days=day) + diff
    except (OverflowError, ValueError):
        return None


D, T = dt.datetime, dt.time
BOUNDARIES = [
    # serial, Windows epoch, 1904 epoch (None: out of range)
    (0, T(0), T(0)),
    (0.0, T(0), T(0)),
    (0.5, T(12), T(12)),
    (1, D(1900, 1, 1), D(1904, 1, 2)),
    (59, D(1900, 2, 28), D(1904, 2, 29)),
    (60, D(1900, 2, 28), D(1904, 3, 1)),
    (61, D(1900, 3, 1), D(1904, 3, 2)),
    (60.5, D(1900, 2, 28, 12), D(1904, 3, 1, 12)),
    (-0.5, D(1899, 12, 29, 12), D(1903, 12, 31, 12)),
    (0.999999999, D(1900, 1, 1), D(1904, 1, 2)),
    (1.5, D(1900, 1, 1, 12), D(1904, 1, 2, 12)),
    (2958465, D(9999, 12, 31), None),
    (2958465.0, D(9999, 12, 31), None),
    (2957003, D(9995, 12, 30), D(9999, 12, 31)),
    (2958466, None, None),
    (2958466.0, None, None),
    (-693593, D(1, 1, 1), D(5, 1, 2)),
    (-693594, None, D(5, 1, 1)),
    (1e9, None, None),
    (1_000_000_000, None, None),
    (-1_000_000_000, None, None),
    (math.nan, None, None),
    (math.inf, None, None),
    (-math.inf, None, None),
    (0.00048828125, T(0, 0, 42, 188000), T(0, 0, 42, 188000)),  # 42187.5 ms: ties to even
    (0.00146484375, T(0, 2, 6, 562000), T(0, 2, 6, 562000)),  # 126562.5 ms
]


def native(value, epoch):
    try:
        return probe.from_excel(value, epoch)
    except OverflowError:
        return None


@pytest.mark.parametrize("value, windows, mac", BOUNDARIES, ids=[repr(b[0]) for b in BOUNDARIES])
def test_boundaries_on_both_epochs(value, windows, mac):
    for epoch, expect in ((WINDOWS_EPOCH, windows), (MAC_EPOCH, mac)):
        got = native(value, epoch)
        assert got == expect
        assert type(got) is type(expect)
        assert reference(value, epoch) == expect  # the table is the host's behaviour
        if got is not None:
            assert got.tzinfo is None


def test_out_of_range_raises_overflow_error():
    with pytest.raises(OverflowError, match="date value out of range"):
        probe.from_excel(2958466, WINDOWS_EPOCH)
    with pytest.raises(OverflowError):
        probe.from_excel(math.nan, MAC_EPOCH)


def test_epoch_without_native_form_is_refused():
    class Sub(dt.datetime):
        pass

    for epoch in (Sub(1899, 12, 30), dt.datetime(1904, 1, 1, tzinfo=dt.timezone.utc), dt.date(1904, 1, 1)):
        with pytest.raises(TypeError, match="no native form"):
            probe.from_excel(1, epoch)


EPOCHS = [
    WINDOWS_EPOCH,
    MAC_EPOCH,
    dt.datetime(1899, 12, 30),  # equal to WINDOWS_EPOCH, another object
    dt.datetime(1900, 1, 1, 13, 7, 5, 123456),
    dt.datetime(2000, 2, 29, 23, 59, 59, 999999),
    dt.datetime(1, 1, 1),
    dt.datetime(9999, 12, 31, 12),
]


def random_serials(rng, count):
    out = []
    for _ in range(count):
        kind = rng.randrange(11)
        if kind == 0:
            out.append(rng.uniform(-800_000, 3_100_000))
        elif kind == 1:
            out.append(rng.uniform(-2, 62))
        elif kind == 2:
            out.append(rng.randrange(-800_000, 3_100_000))
        elif kind == 3:
            out.append(rng.randrange(-70, 70))
        elif kind == 4:  # products of exactly k + 0.5 milliseconds
            out.append(rng.randrange(-5, 100) + rng.randrange(1, 2**11, 2) / 2**11)
        elif kind == 5:  # just below and above whole days
            out.append(math.nextafter(float(rng.randrange(-3, 62)), rng.choice((-math.inf, math.inf))))
        elif kind == 6:
            out.append(rng.random())
        elif kind == 7:
            out.append(rng.choice((-1, 1)) * 10 ** rng.uniform(-12, 12))
        elif kind == 8:  # near a millisecond tie, either side of it
            x = rng.randrange(-70, 3_000_000) + (rng.randrange(86_400_000) + 0.5) / 86_400_000
            out.append(math.nextafter(x, rng.choice((-math.inf, math.inf))) if rng.random() < 0.5 else x)
        elif kind == 9:  # rounds up to the next second or the next day
            whole = rng.randrange(-70, 3_000_000)
            out.append(whole + rng.choice((86_399_999.5, 86_399_999.6, 86_399_500.0, 86_400_000 - 1e-3)) / 86_400_000)
        else:
            out.append(rng.randrange(-(2**62), 2**62))
    return out


@pytest.mark.parametrize("epoch", EPOCHS, ids=str)
def test_random_serials_match_python(epoch):
    rng = random.Random(20261208 + EPOCHS.index(epoch))
    values = random_serials(rng, 12_000 if epoch in (WINDOWS_EPOCH, MAC_EPOCH) else 3_000)
    got = probe.from_excel_list(values, epoch)
    mismatches = [(v, g, reference(v, epoch)) for v, g in zip(values, got) if g != reference(v, epoch) or type(g) is not type(reference(v, epoch))]
    assert mismatches == []


@settings(max_examples=1500, deadline=None)
@given(value=st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-(2**63), 2**63 - 1)),
       windows=st.booleans())
def test_any_serial_matches_python(value, windows):
    epoch = WINDOWS_EPOCH if windows else MAC_EPOCH
    expect = reference(value, epoch)
    got = native(value, epoch)
    assert got == expect
    assert type(got) is type(expect)


def test_first_use_from_many_threads_at_once():
    # A fresh interpreter, so the datetime C API is imported by whichever thread gets there first.
    code = textwrap.dedent("""
        import threading, datetime
        import _tovrel_probe as probe
        from tovrel.utils.datetime import WINDOWS_EPOCH
        barrier = threading.Barrier(8)
        results = []
        def work():
            barrier.wait()
            results.append([probe.from_excel(v, WINDOWS_EPOCH) for v in (0.5, 61, 45000.25)])
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(results) == 8
        expect = [datetime.time(12), datetime.datetime(1900, 3, 1), datetime.datetime(2023, 3, 15, 6)]
        assert all(r == expect for r in results), results
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
