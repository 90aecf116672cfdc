"""The slot-class accessor: which class attributes count as writable object slots, and direct
slot writes into instances allocated without running __init__."""
import gc
import sys

import pytest

import _tovrel  # noqa: F401  (the probe borrows its NativeFallback)
import _tovrel_probe as probe


class Cell:
    __slots__ = ("parent", "row", "column", "_value")

    def __init__(self):
        raise AssertionError("__init__ must not run")


class StyledCell(Cell):
    __slots__ = ("_style",)


class PropertyRow:
    __slots__ = ("parent",)

    @property
    def row(self):
        return 1


class Foreign:
    # a member descriptor taken from another class: its offset belongs to another layout
    parent = Cell.__dict__["parent"]


class Plain:
    row = 3

    def column(self):
        return 0


# (class, names, message)
REFUSED = [
    (PropertyRow, ["parent", "row"], "row is not a slot"),
    (Plain, ["row"], "row is not a slot"),
    (Plain, ["column"], "column is not a slot"),
    (Foreign, ["parent"], "parent is not a slot"),
    (slice, ["start"], "start has unexpected slot type"),
    (complex, ["real"], "real has unexpected slot type"),
    (Cell, ["row", "__class__"], "__class__ is not a slot"),
]


@pytest.mark.parametrize("cls,names,message", REFUSED)
def test_refused(cls, names, message):
    with pytest.raises(TypeError) as info:
        probe.slot_make(cls, names)
    assert str(info.value) == message


def test_missing_attribute_propagates():
    with pytest.raises(AttributeError, match="nope"):
        probe.slot_make(Cell, ["row", "nope"])


# (class, names, values)
BUILDS = [
    (Cell, ["parent", "row", "column", "_value"], ["ws", 3, 4, 1.5]),
    (StyledCell, ["_style", "row"], [(1, 2), 7]),
    (StyledCell, ["parent", "row", "column", "_value", "_style"], [None, 1, 1, "x", 0]),
]


@pytest.mark.parametrize("cls,names,vals", BUILDS)
def test_build_writes_slots_of_a_fresh_instance(cls, names, vals):
    obj = probe.slot_build(cls, names, vals)
    assert type(obj) is cls
    for name, value in zip(names, vals):
        assert getattr(obj, name) is value
    for name in set(cls.__slots__) | set(getattr(cls.__base__, "__slots__", ())):
        if name not in names:
            with pytest.raises(AttributeError):
                getattr(obj, name)


def test_build_holds_one_reference_per_slot():
    value = object()
    before = sys.getrefcount(value)
    obj = probe.slot_build(Cell, ["parent", "_value"], [value, value])
    assert sys.getrefcount(value) == before + 2
    obj._value = None
    assert sys.getrefcount(value) == before + 1
    del obj
    gc.collect()
    assert sys.getrefcount(value) == before


def test_built_instances_behave_normally():
    obj = probe.slot_build(Cell, ["row", "column"], [1, 2])
    obj.row = 10
    assert (obj.row, obj.column) == (10, 2)
    del obj.column
    with pytest.raises(AttributeError):
        obj.column
