#include "lib/functions.h"

#include "sheet/py_dimension.h"
#include "sheet/py_prescan.h"
#include "sheet/py_shared_strings.h"
#include "store/py_bind.h"

namespace tovrel {

namespace {

PyMethodDef g_functions[] = {
    {"read_string_table",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_read_string_table)),
     METH_FASTCALL | METH_KEYWORDS, kReadStringTableDoc},
    {"bind_cells",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_bind_cells)),
     METH_FASTCALL | METH_KEYWORDS, kBindCellsDoc},
    {"find_dimension",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_find_dimension)),
     METH_FASTCALL | METH_KEYWORDS, kFindDimensionDoc},
    {"prescan_sheet",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_prescan_sheet)),
     METH_FASTCALL | METH_KEYWORDS, kPrescanSheetDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() noexcept { return g_functions; }

}  // namespace tovrel
