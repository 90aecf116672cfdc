#include "writer/py_classify.h"

#include <cmath>

#include "utils/py_ref.h"

namespace tovrel {

std::optional<long> exact_int(PyObject* obj) noexcept {
    if (!PyLong_CheckExact(obj)) return std::nullopt;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(obj, &overflow);
    if (overflow) return std::nullopt;
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

std::optional<CellValue> classify(PyObject* value) {
    if (value == Py_None) return CellValue::none();
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &len);
        if (!text) {
            PyErr_Clear();
            return std::nullopt;
        }
        return CellValue::of_text({text, static_cast<std::size_t>(len)});
    }
    if (type == &PyBool_Type)
        return CellValue::of_number(NumberText::of(value == Py_True ? "1" : "0"));
    if (type == &PyLong_Type) {
        if (auto v = exact_int(value)) return CellValue::of_number(g16_int(*v));
        return std::nullopt;
    }
    if (type == &PyFloat_Type) {
        const double x = PyFloat_AS_DOUBLE(value);
        return CellValue::of_number(std::isfinite(x) ? g16_float(x) : NumberText());
    }
    return std::nullopt;
}

}  // namespace tovrel
