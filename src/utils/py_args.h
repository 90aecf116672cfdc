// Argument binding for functions and constructors called from Python. Every parameter may be
// passed by position or by keyword; errors are TypeErrors worded as CPython words them.
#pragma once

#include <cstddef>

#include "utils/py_compat.h"

namespace tovrel {

struct Signature {
    const char* name;           // for messages: "name() ..."
    const char* const* params;  // parameter names in order
    std::size_t count;
    std::size_t required;       // the first `required` parameters have no default
};

// Binds a METH_FASTCALL | METH_KEYWORDS call. out[i] receives a borrowed reference to the value
// of parameter i, or NULL for an omitted optional parameter. Throws PyErrorSet with a TypeError
// set on a binding error.
void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

// The same for a tuple of positional arguments and an optional dict of keywords (tp_new).
void bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Throws TypeError "<fname>() argument '<arg>' must be <expected>, not <type of obj>".
[[noreturn]] void raise_arg_type(const char* fname, const char* arg, const char* expected,
                                 PyObject* obj);

}  // namespace tovrel
