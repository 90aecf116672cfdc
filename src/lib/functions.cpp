#include "lib/functions.h"

#include "sheet/py_dimension.h"

namespace tovrel {

namespace {

PyMethodDef g_functions[] = {
    {"find_dimension",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_find_dimension)),
     METH_FASTCALL | METH_KEYWORDS, kFindDimensionDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() noexcept { return g_functions; }

}  // namespace tovrel
