// bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions): reads every
// cell of a worksheet part into a CellStore, handing everything else back through `actions`.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

extern const char kBindCellsDoc[];

PyObject* py_bind_cells(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

}  // namespace tovrel
