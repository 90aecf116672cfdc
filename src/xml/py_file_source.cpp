#include "xml/py_file_source.h"

#include <mutex>

#include "xml/input.h"

namespace tovrel {

namespace {

// Interned once per process: the method name and the chunk size argument.
PyObject* g_read_name = nullptr;
PyObject* g_chunk_size = nullptr;
std::once_flag g_once;

}  // namespace

void init_file_source_constants() {
    std::call_once(g_once, [] {
        g_read_name = PyUnicode_InternFromString("read");
        g_chunk_size = PyLong_FromSsize_t(static_cast<Py_ssize_t>(Input::kChunk));
    });
    if (!g_read_name || !g_chunk_size) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        throw PyErrorSet();
    }
}

bool PyFileSource::read_chunk(ByteBuffer& out) {
    init_file_source_constants();
    PyObject* call_args[2] = {file_.get(), g_chunk_size};
    Ref result = Ref::check(PyObject_VectorcallMethod(g_read_name, call_args, 2, nullptr));
    PyObject* r = result.get();
    if (!PyBytes_Check(r)) {
        if (r == Py_None)
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bytes'");
        else {
            Ref qualname = Ref::check(PyType_GetQualName(Py_TYPE(r)));
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'bytes'",
                         qualname.get());
        }
        throw PyErrorSet();
    }
    Py_ssize_t n = PyBytes_GET_SIZE(r);
    if (n == 0) return false;
    out.append(PyBytes_AS_STRING(r), static_cast<std::size_t>(n));
    return true;
}

}  // namespace tovrel
