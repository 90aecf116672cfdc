// Functions of the test probe module, defined in the probe_*.cpp files.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

PyObject* probe_helpers_from_dict(PyObject*, PyObject* arg);
PyObject* probe_settings_from_parser(PyObject*, PyObject* parser);
PyObject* probe_from_excel(PyObject*, PyObject* args);
PyObject* probe_from_excel_list(PyObject*, PyObject* args);
PyObject* probe_escape(PyObject*, PyObject* args);
PyObject* probe_py_strip(PyObject*, PyObject* text);
PyObject* probe_fast_coordinate(PyObject*, PyObject* text);
PyObject* probe_read_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* probe_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* probe_interpret_cells(PyObject*, PyObject* args);
PyObject* probe_slot_make(PyObject*, PyObject* args);
PyObject* probe_slot_build(PyObject*, PyObject* args);
PyObject* probe_store_load(PyObject*, PyObject* args);
PyObject* probe_store_fill(PyObject*, PyObject* args);
PyObject* probe_store_bytes(PyObject*, PyObject* store);

}  // namespace tovrel
