// Module entry: PyInit__tovrel and the registration of the module's names in __all__ order.
#include "utils/py_boundary.h"
#include "utils/py_fallback.h"
#include "lib/functions.h"
#include "sheet/py_row_reader.h"
#include "sheet/py_dates.h"
#include "store/py_store.h"
#include "utils/error.h"
#include "utils/py_ref.h"
#include "writer/py_sheet_writer.h"
#include "xml/py_file_source.h"

namespace tovrel {
namespace {

// Sets module.<name> = value and appends name to module.__all__ (created if missing).
void add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* found = nullptr;
    check_rc(PyObject_GetOptionalAttrString(module, "__all__", &found));
    Ref all = Ref::steal(found);
    if (!all) {
        all = Ref::check(PyList_New(0));
        check_rc(PyModule_AddObjectRef(module, "__all__", all.get()));
    }
    Ref key = Ref::check(PyUnicode_FromString(name));
    check_rc(PyList_Append(all.get(), key.get()));
    check_rc(PyModule_AddObjectRef(module, name, value));
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    Ref func = Ref::check(PyCFunction_NewEx(def, nullptr, module_name.get()));
    add_public(module, def->ml_name, func.get());
}

// Adds the public names in __all__ order; the first failure ends the import. Process-wide
// objects are made first, while the module is imported, so that no thread ever waits for
// another to create them.
int module_exec(PyObject* module) {
    return guard_int([&] {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                         Py_TYPE(module)->tp_name);
            throw PyErrorSet();
        }
        init_file_source_constants();
        ensure_datetime_api();
        PyObject* fallback = native_fallback_type();
        if (!fallback) throw PyErrorSet();
        add_public(module, "NativeFallback", fallback);
        for (PyMethodDef* def = module_functions(); def->ml_name; ++def) add_function(module, def);
        PyTypeObject* row_reader = row_reader_type();
        if (!row_reader) throw PyErrorSet();
        add_public(module, "RowReader", reinterpret_cast<PyObject*>(row_reader));
        PyTypeObject* cell_store = cell_store_type();
        if (!cell_store) throw PyErrorSet();
        add_public(module, "CellStore", reinterpret_cast<PyObject*>(cell_store));
        PyTypeObject* sheet_writer = sheet_writer_type();
        if (!sheet_writer) throw PyErrorSet();
        add_public(module, "SheetWriter", reinterpret_cast<PyObject*>(sheet_writer));
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tovrel",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tovrel

PyMODINIT_FUNC PyInit__tovrel(void) { return PyModuleDef_Init(&tovrel::module_def); }
