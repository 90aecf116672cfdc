// _tovrel_probe: a test-only extension that reaches engine internals which _tovrel itself does
// not expose (the byte source, the error boundary). Built with the tests, never installed.
#include <memory>
#include <string>

#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "utils/py_fallback.h"
#include "tests_probe.h"
#include "utils/py_ref.h"
#include "xml/input.h"
#include "xml/py_file_source.h"
#include "store/py_store.h"

namespace tovrel {
namespace {

// drain(source) -> (data, chunks): pulls the file-like object through the reader's input window
// to its end, consuming everything, and returns the bytes seen and the number of chunks pulled.
// A second pull after the end must not call read again.
PyObject* drain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&] {
        static const char* const names[] = {"source"};
        static const Signature sig{"drain", names, 1, 1};
        PyObject* bound[1];
        bind_args(sig, args, nargs, kwnames, bound);
        Input input(std::make_unique<PyFileSource>(bound[0]));
        std::string seen;
        Py_ssize_t chunks = 0;
        while (input.more()) {
            ++chunks;
            seen.append(reinterpret_cast<const char*>(input.data() + input.pos), input.available());
            input.pos = input.filled();
        }
        if (input.more()) throw Fallback("source read again after end of input");
        return Py_BuildValue("(y#n)", seen.data(), static_cast<Py_ssize_t>(seen.size()), chunks);
    });
}

// raise_error(kind, message): throws the engine error of that kind through the boundary.
PyObject* raise_error(PyObject*, PyObject* args) {
    return guard_obj([&]() -> PyObject* {
        const char* kind;
        const char* message;
        if (!PyArg_ParseTuple(args, "ss", &kind, &message)) throw PyErrorSet();
        // The boundary keeps only pointers to static texts: keep the message alive.
        static thread_local std::string text;
        text = message;
        std::string k = kind;
        if (k == "malformed") throw Malformed(text.c_str());
        if (k == "unsupported") throw Unsupported(text.c_str());
        if (k == "fallback") throw Fallback(text.c_str());
        if (k == "borrow") throw BorrowConflict(text.c_str());
        if (k == "memory") throw std::bad_alloc();
        if (k == "internal") throw InternalError(text.c_str());
        throw std::runtime_error(text);
    });
}

PyMethodDef probe_methods[] = {
    {"drain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(drain)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"raise_error", raise_error, METH_VARARGS, nullptr},
    {"helpers_from_dict", probe_helpers_from_dict, METH_O, nullptr},
    {"settings_from_parser", probe_settings_from_parser, METH_O, nullptr},
    {"from_excel", probe_from_excel, METH_VARARGS, nullptr},
    {"from_excel_list", probe_from_excel_list, METH_VARARGS, nullptr},
    {"escape", probe_escape, METH_VARARGS, nullptr},
    {"py_strip", probe_py_strip, METH_O, nullptr},
    {"fast_coordinate", probe_fast_coordinate, METH_O, nullptr},
    {"interpret_cells", probe_interpret_cells, METH_VARARGS, nullptr},
    {"slot_make", probe_slot_make, METH_VARARGS, nullptr},
    {"slot_build", probe_slot_build, METH_VARARGS, nullptr},
    {"store_load", probe_store_load, METH_VARARGS, nullptr},
    {"store_fill", probe_store_fill, METH_VARARGS, nullptr},
    {"store_bytes", probe_store_bytes, METH_O, nullptr},
    {"read_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_read_all)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"events", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_events)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Raises the NativeFallback class of _tovrel itself, not a second copy.
int probe_exec(PyObject*) {
    PyObject* cls = PyImport_ImportModuleAttrString("_tovrel", "NativeFallback");
    if (!cls) return -1;
    adopt_native_fallback_type(cls);
    Py_DECREF(cls);
    // The store functions work on _tovrel's own CellStore type.
    PyObject* store_cls = PyImport_ImportModuleAttrString("_tovrel", "CellStore");
    if (!store_cls) return -1;
    PyObject* store = PyObject_CallNoArgs(store_cls);
    PyObject* it = store ? PyObject_GetIter(store) : nullptr;
    if (it) adopt_cell_store_types(store_cls, reinterpret_cast<PyObject*>(Py_TYPE(it)));
    Py_XDECREF(it);
    Py_XDECREF(store);
    Py_DECREF(store_cls);
    return it ? 0 : -1;
}

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(probe_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef probe_def = {
    PyModuleDef_HEAD_INIT, "_tovrel_probe", nullptr, 0, probe_methods, probe_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tovrel

PyMODINIT_FUNC PyInit__tovrel_probe(void) { return PyModuleDef_Init(&tovrel::probe_def); }
