// read_string_table(source, helpers): the shared-strings part as a list of strings.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

extern const char kReadStringTableDoc[];

PyObject* py_read_string_table(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

}  // namespace tovrel
