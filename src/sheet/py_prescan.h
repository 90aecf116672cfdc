// prescan_sheet(source, want_rows, corners, helpers), the module function over the sheet prescan.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

extern const char kPrescanSheetDoc[];

PyObject* py_prescan_sheet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace tovrel
