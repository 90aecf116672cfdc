"""Interrupts raised by the source or a helper come out of every reading entry point unchanged,
never as a fallback (RowReader's own cases live with its hardening tests)."""
import io

import pytest

import _tovrel
from sheets import sheet
from tovrel.helpers import MAIN_NS, make_helpers

SHEET = sheet('<row r="x"><c r="B1"><v>1</v></c></row>')
SST = b'<sst xmlns="%s"><si><t>a</t><rPh/></si></sst>' % MAIN_NS.encode()


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def read(self, n):
        raise self.exc("from read")


def helpers_raising(exc):
    def fail(*args):
        raise exc("from a helper")
    h = make_helpers()
    h.update(row_index=fail, si_content=fail)
    return h


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("call", [
    pytest.param(lambda exc: _tovrel.find_dimension(Raising(exc)), id="find_dimension-read"),
    pytest.param(lambda exc: _tovrel.read_string_table(Raising(exc), make_helpers()), id="read_string_table-read"),
    pytest.param(lambda exc: _tovrel.read_string_table(io.BytesIO(SST), helpers_raising(exc)),
                 id="read_string_table-helper"),
    pytest.param(lambda exc: _tovrel.prescan_sheet(Raising(exc), False, None, {"row_index": int}),
                 id="prescan_sheet-read"),
    pytest.param(lambda exc: _tovrel.prescan_sheet(io.BytesIO(SHEET), True, None, helpers_raising(exc)),
                 id="prescan_sheet-helper"),
])
def test_interrupts_propagate_unchanged(call, exc):
    with pytest.raises(exc):
        call(exc)
