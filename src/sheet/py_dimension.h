// find_dimension(source), the module function over the dimension finder.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

extern const char kFindDimensionDoc[];

PyObject* py_find_dimension(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace tovrel
