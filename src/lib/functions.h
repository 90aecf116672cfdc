// The module-level functions, in the order they are registered (and listed in __all__).
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

// Null-terminated method table of the module functions.
PyMethodDef* module_functions() noexcept;

}  // namespace tovrel
