#include "utils/py_args.h"

#include <string>

#include "utils/error.h"
#include "utils/py_ref.h"

namespace tovrel {

namespace {

[[noreturn]] void type_error(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw PyErrorSet();
}

std::string prefix(const Signature& sig) { return std::string(sig.name) + "()"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as CPython lists missing arguments.
std::string join_names(const Signature& sig, const std::size_t* idx, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += n == 2 ? " and " : (i + 1 == n ? ", and " : ", ");
        out += '\'';
        out += sig.params[idx[i]];
        out += '\'';
    }
    return out;
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    std::string text = prefix(sig) + " takes ";
    if (sig.required == sig.count)
        text += std::to_string(sig.count);
    else
        text += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
    text += sig.count == 1 && sig.required == 1 ? " positional argument but "
                                                : " positional arguments but ";
    text += std::to_string(given) + (given == 1 ? " was given" : " were given");
    type_error(text);
}

std::size_t find_param(const Signature& sig, PyObject* key) {
    Py_ssize_t len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &len);
    if (!name) throw PyErrorSet();
    for (std::size_t i = 0; i < sig.count; ++i)
        if (std::char_traits<char>::length(sig.params[i]) == static_cast<std::size_t>(len) &&
            std::char_traits<char>::compare(sig.params[i], name, len) == 0)
            return i;
    return sig.count;
}

void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) type_error("keywords must be strings");
    std::size_t i = find_param(sig, key);
    if (i == sig.count)
        type_error(prefix(sig) + " got an unexpected keyword argument '" + PyUnicode_AsUTF8(key) +
                   "'");
    if (out[i]) type_error(prefix(sig) + " got multiple values for argument '" + sig.params[i] + "'");
    out[i] = value;
}

void check_required(const Signature& sig, PyObject** out) {
    std::size_t missing[64];
    std::size_t n = 0;
    for (std::size_t i = 0; i < sig.required && n < 64; ++i)
        if (!out[i]) missing[n++] = i;
    if (n == 0) return;
    type_error(prefix(sig) + " missing " + std::to_string(n) + " required positional argument" +
               (n == 1 ? "" : "s") + ": " + join_names(sig, missing, n));
}

}  // namespace

void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > sig.count) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    check_required(sig, out);
}

void bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > sig.count) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        // The dict is the caller's own fresh keyword dict; hold its critical section while
        // walking it all the same.
        bool failed = false;
        Py_BEGIN_CRITICAL_SECTION(kwargs);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        try {
            while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, out);
        } catch (const PyErrorSet&) {
            failed = true;
        }
        Py_END_CRITICAL_SECTION();
        if (failed) throw PyErrorSet();
    }
    check_required(sig, out);
}

void raise_arg_type(const char* fname, const char* arg, const char* expected, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %T", fname, arg, expected,
                 obj);
    throw PyErrorSet();
}

}  // namespace tovrel
