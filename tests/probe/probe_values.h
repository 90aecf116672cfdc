// Probe functions for cell values, formulas in cells and the slot-class accessor.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

PyObject* probe_interpret_cells(PyObject*, PyObject* args);
PyObject* probe_slot_offsets(PyObject*, PyObject* args);
PyObject* probe_slot_build(PyObject*, PyObject* args);
PyObject* probe_bench_interpret(PyObject*, PyObject* args);
PyObject* probe_fx_hash(PyObject*, PyObject* data);

}  // namespace tovrel
