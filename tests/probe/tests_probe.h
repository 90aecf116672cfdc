// Functions of the test probe module, defined in the probe_*.cpp files.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

PyObject* probe_helpers_from_dict(PyObject*, PyObject* arg);

}  // namespace tovrel
