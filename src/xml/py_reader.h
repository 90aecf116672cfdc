// The reader's Python-facing helpers: a reader over a Python file-like object, and the
// conversions of its names, namespaces, values and text into Python strings.
#pragma once

#include "utils/py_compat.h"
#include "xml/reader.h"

namespace tovrel {

// A reader pulling from `file.read(65536)`; holds a strong reference to `file`.
Reader make_py_reader(PyObject* file);

// Visits the file object of a reader made by make_py_reader (for an owner's GC traverse).
int traverse_py_reader(Reader& reader, visitproc visit, void* arg);

// "local" for attributes in no namespace, else "{uri}local". New reference; throws PyErrorSet.
PyObject* attr_key(const Reader& reader, const Attr& attr);

// The namespaces in scope as a list of (prefix, uri) str tuples, the default one with prefix "".
PyObject* in_scope_namespaces(const Reader& reader);

// The decoded current text / attribute value as str.
PyObject* text_str(const Reader& reader);
PyObject* attr_value_str(const Reader& reader, const Attr& attr);

}  // namespace tovrel
