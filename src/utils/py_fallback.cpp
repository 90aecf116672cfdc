#include "utils/py_fallback.h"

#include <mutex>
#include <string>

namespace tovrel {

namespace {
PyObject* g_native_fallback = nullptr;
std::once_flag g_native_fallback_once;
}  // namespace

PyObject* native_fallback_type() noexcept {
    std::call_once(g_native_fallback_once, [] {
        g_native_fallback = PyErr_NewExceptionWithDoc(
            "_tovrel.NativeFallback",
            "The native engine cannot reproduce marvolt's behaviour for this input; the pure "
            "Python implementation must be used.",
            PyExc_Exception, nullptr);
    });
    if (!g_native_fallback && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "_tovrel: NativeFallback could not be created");
    return g_native_fallback;
}

void adopt_native_fallback_type(PyObject* cls) noexcept {
    std::call_once(g_native_fallback_once, [cls] { g_native_fallback = Py_NewRef(cls); });
}

void raise_native_fallback(const char* prefix, const char* message,
                           std::uint64_t offset) noexcept {
    PyObject* type = native_fallback_type();
    if (!type) return;
    std::string text;
    try {
        text.assign(prefix).append(message);
    } catch (...) {
        PyErr_NoMemory();
        return;
    }
    PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                         "replace");
    if (!msg) return;
    PyObject* instance = PyObject_CallOneArg(type, msg);
    Py_DECREF(msg);
    if (!instance) return;
    PyObject* where = offset == kNoFallbackOffset ? Py_NewRef(Py_None)
                                                  : PyLong_FromUnsignedLongLong(offset);
    if (!where || PyObject_SetAttrString(instance, "offset", where) < 0) {
        Py_XDECREF(where);
        Py_DECREF(instance);
        return;
    }
    Py_DECREF(where);
    PyErr_SetRaisedException(instance);
}

}  // namespace tovrel
