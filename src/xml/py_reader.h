// The reader's Python-facing helpers: a reader over a Python file-like object, and the
// conversions of its names, namespaces, values and text into Python strings.
#pragma once

#include <string_view>

#include "utils/py_compat.h"
#include "utils/py_ref.h"
#include "xml/reader.h"

namespace tovrel {

// A reader pulling from `file.read(65536)`; holds a strong reference to `file`.
Reader make_py_reader(PyObject* file);

// Visits the file object of a reader made by make_py_reader (for an owner's GC traverse).
int traverse_py_reader(Reader& reader, visitproc visit, void* arg);

// "local" for attributes in no namespace, else "{uri}local". New reference; throws PyErrorSet.
PyObject* attr_key(const Reader& reader, const Attr& attr);

// The namespaces in scope as a new list of (prefix, uri) str tuples, the default one with prefix
// "". The lists of one document share their tuples; Unsupported("namespace lists") once the
// document has been handed more entries than a fixed multiple of the bytes read.
PyObject* in_scope_namespaces(const Reader& reader);

// All attributes of the current start tag as a dict: attr_key -> attr_value_str.
Ref attribute_dict(const Reader& reader);

// Raw markup as the host takes it: the snippet as bytes and the namespaces in scope at the
// reader's current position (in_scope_namespaces).
struct PyMarkup {
    Ref snippet;
    Ref namespaces;
};
PyMarkup py_markup(const Reader& reader, std::string_view snippet);

// callable(snippet, namespaces) for raw markup, as py_markup builds the pair; the result.
Ref call_with_markup(PyObject* callable, const Reader& reader, std::string_view snippet);

// The decoded current text / attribute value as str.
PyObject* text_str(const Reader& reader);
PyObject* attr_value_str(const Reader& reader, const Attr& attr);

}  // namespace tovrel
