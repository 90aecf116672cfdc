#include "xml/py_reader.h"

#include <memory>
#include <string>

#include "utils/py_ref.h"
#include "xml/py_file_source.h"

namespace tovrel {

namespace {

PyObject* utf8_str(std::string_view s, const char* errors = nullptr) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), errors);
}

}  // namespace

Reader make_py_reader(PyObject* file) { return Reader(std::make_unique<PyFileSource>(file)); }

int traverse_py_reader(Reader& reader, visitproc visit, void* arg) {
    return static_cast<const PyFileSource&>(reader.input().source()).traverse(visit, arg);
}

PyObject* attr_key(const Reader& reader, const Attr& attr) {
    std::string_view local = reader.attr_local(attr);
    if (attr.ns == kNoNamespace) return Ref::check(utf8_str(local)).release();
    std::string_view uri = reader.namespaces().uri(attr.ns);
    std::string key;
    key.reserve(uri.size() + local.size() + 2);
    key += '{';
    key += uri;
    key += '}';
    key += local;
    return Ref::check(utf8_str(key)).release();
}

PyObject* in_scope_namespaces(const Reader& reader) {
    const Namespaces& ns = reader.namespaces();
    auto bindings = ns.in_scope();
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(bindings.size())));
    Py_ssize_t i = 0;
    for (const auto& [prefix, id] : bindings) {
        Ref p = Ref::check(utf8_str(prefix, "replace"));
        Ref u = Ref::check(utf8_str(ns.uri(id)));
        PyList_SET_ITEM(list.get(), i++, Ref::check(PyTuple_Pack(2, p.get(), u.get())).release());
    }
    return list.release();
}

PyObject* text_str(const Reader& reader) {
    std::string scratch;
    return Ref::check(utf8_str(reader.text(scratch))).release();
}

PyObject* attr_value_str(const Reader& reader, const Attr& attr) {
    std::string scratch;
    return Ref::check(utf8_str(reader.attr_value(attr, scratch))).release();
}

}  // namespace tovrel
