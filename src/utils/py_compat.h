// The few C API functions of CPython 3.14 the engine uses that 3.13 lacks. Against 3.14 this
// header only includes Python.h; against 3.13 it supplies equivalents built on 3.13's API, so
// the same sources build on both.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030E0000

// PyIter_NextItem: 1 with *item set, 0 at the end (*item NULL), -1 on error.
static inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    if (!PyIter_Check(iter)) {
        *item = nullptr;
        PyErr_Format(PyExc_TypeError, "expected an iterator, got '%T'", iter);
        return -1;
    }
    *item = PyIter_Next(iter);
    if (*item) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

static inline PyObject* PyLong_FromInt64(std::int64_t v) { return PyLong_FromLongLong(v); }
static inline PyObject* PyLong_FromUInt64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

static inline int PyLong_AsInt64(PyObject* obj, std::int64_t* out) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

static inline int PyUnicode_Equal(PyObject* a, PyObject* b) {
    if (!PyUnicode_Check(a)) {
        PyErr_Format(PyExc_TypeError, "first argument must be str, not %T", a);
        return -1;
    }
    if (!PyUnicode_Check(b)) {
        PyErr_Format(PyExc_TypeError, "second argument must be str, not %T", b);
        return -1;
    }
    return PyUnicode_Compare(a, b) == 0;
}

static inline PyObject* PyImport_ImportModuleAttrString(const char* module, const char* attr) {
    PyObject* mod = PyImport_ImportModule(module);
    if (!mod) return nullptr;
    PyObject* result = PyObject_GetAttrString(mod, attr);
    Py_DECREF(mod);
    return result;
}

// PyUnicodeWriter, on top of 3.13's _PyUnicodeWriter.
typedef struct PyUnicodeWriter PyUnicodeWriter;

static inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t length) {
    auto* w = static_cast<_PyUnicodeWriter*>(PyMem_Malloc(sizeof(_PyUnicodeWriter)));
    if (!w) {
        PyErr_NoMemory();
        return nullptr;
    }
    _PyUnicodeWriter_Init(w);
    w->overallocate = 1;
    if (length > 0 && _PyUnicodeWriter_Prepare(w, length, 127) < 0) {
        _PyUnicodeWriter_Dealloc(w);
        PyMem_Free(w);
        return nullptr;
    }
    return reinterpret_cast<PyUnicodeWriter*>(w);
}

static inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
    if (!writer) return;
    auto* w = reinterpret_cast<_PyUnicodeWriter*>(writer);
    _PyUnicodeWriter_Dealloc(w);
    PyMem_Free(w);
}

static inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
    auto* w = reinterpret_cast<_PyUnicodeWriter*>(writer);
    PyObject* result = _PyUnicodeWriter_Finish(w);
    PyMem_Free(w);
    return result;
}

static inline int PyUnicodeWriter_WriteChar(PyUnicodeWriter* writer, Py_UCS4 ch) {
    if (ch > 0x10FFFF) {
        PyErr_SetString(PyExc_ValueError, "character must be in range(0x110000)");
        return -1;
    }
    return _PyUnicodeWriter_WriteChar(reinterpret_cast<_PyUnicodeWriter*>(writer), ch);
}

static inline int PyUnicodeWriter_WriteStr(PyUnicodeWriter* writer, PyObject* obj) {
    PyObject* s = PyObject_Str(obj);
    if (!s) return -1;
    int rc = _PyUnicodeWriter_WriteStr(reinterpret_cast<_PyUnicodeWriter*>(writer), s);
    Py_DECREF(s);
    return rc;
}

static inline int PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* str,
                                            Py_ssize_t size) {
    if (size < 0) size = static_cast<Py_ssize_t>(strlen(str));
    PyObject* s = PyUnicode_DecodeUTF8(str, size, nullptr);
    if (!s) return -1;
    int rc = _PyUnicodeWriter_WriteStr(reinterpret_cast<_PyUnicodeWriter*>(writer), s);
    Py_DECREF(s);
    return rc;
}

static inline int PyUnicodeWriter_WriteSubstring(PyUnicodeWriter* writer, PyObject* str,
                                                 Py_ssize_t start, Py_ssize_t end) {
    return _PyUnicodeWriter_WriteSubstring(reinterpret_cast<_PyUnicodeWriter*>(writer), str,
                                           start, end);
}

#endif  // PY_VERSION_HEX < 3.14
