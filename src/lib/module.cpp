// Module entry: PyInit__tovrel and the registration of the module's names in __all__ order.
#include "utils/py_boundary.h"
#include "utils/py_fallback.h"
#include "lib/functions.h"
#include "sheet/py_row_reader.h"
#include "sheet/py_dates.h"
#include "utils/py_ref.h"
#include "writer/py_sheet_writer.h"
#include "xml/py_file_source.h"

namespace tovrel {
namespace {

// Sets module.<name> = value and appends name to module.__all__ (created if missing).
int add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
    if (!all) {
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* key = PyUnicode_FromString(name);
    int rc = key ? PyList_Append(all, key) : -1;
    Py_XDECREF(key);
    Py_DECREF(all);
    if (rc < 0) return -1;
    return PyModule_AddObjectRef(module, name, value);
}

int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    PyObject* func = PyCFunction_NewEx(def, nullptr, module_name);
    Py_DECREF(module_name);
    if (!func) return -1;
    int rc = add_public(module, def->ml_name, func);
    Py_DECREF(func);
    return rc;
}

// Process-wide objects are made while the module is imported, so that no thread ever waits
// for another to create them.
int prepare_shared_objects() {
    try {
        init_file_source_constants();
        ensure_datetime_api();
    } catch (...) {
        set_python_error_from_current();
        return -1;
    }
    return 0;
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    if (prepare_shared_objects() < 0) return -1;
    PyObject* fallback = native_fallback_type();
    if (!fallback || add_public(module, "NativeFallback", fallback) < 0) return -1;
    for (PyMethodDef* def = module_functions(); def->ml_name; ++def)
        if (add_function(module, def) < 0) return -1;
    PyTypeObject* row_reader = row_reader_type();
    if (!row_reader ||
        add_public(module, "RowReader", reinterpret_cast<PyObject*>(row_reader)) < 0)
        return -1;
    PyTypeObject* sheet_writer = sheet_writer_type();
    if (!sheet_writer ||
        add_public(module, "SheetWriter", reinterpret_cast<PyObject*>(sheet_writer)) < 0)
        return -1;
    return 0;
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
