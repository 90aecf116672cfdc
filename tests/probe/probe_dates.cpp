// Probe functions for dates, parser settings and the text utilities.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "utils/py_boundary.h"
#include "sheet/dates.h"
#include "sheet/py_dates.h"
#include "sheet/py_settings.h"
#include "tests_probe.h"
#include "utils/escape.h"
#include "utils/cell_ref.h"
#include "utils/py_ref.h"
#include "utils/text.h"

namespace tovrel {

namespace {

// The native Epoch of a host datetime, judged as the settings reader judges parser.epoch.
Epoch native_epoch_of(PyObject* e) {
    Ref datetime_type = Ref::check(PyImport_ImportModuleAttrString("datetime", "datetime"));
    Ref windows = Ref::check(PyImport_ImportModuleAttrString("tovrel.utils.datetime", "WINDOWS_EPOCH"));
    std::optional<Epoch> epoch = epoch_from_datetime(e, datetime_type.get(), windows.get());
    if (!epoch) {
        PyErr_SetString(PyExc_TypeError, "epoch has no native form");
        throw PyErrorSet();
    }
    return *epoch;
}

// Converts an exact int or float serial; anything else is a TypeError.
DateResult convert(PyObject* value, const Epoch& epoch) {
    if (PyLong_CheckExact(value)) {
        std::int64_t n;
        check_rc(PyLong_AsInt64(value, &n));
        return from_excel_int(n, epoch);
    }
    if (PyFloat_CheckExact(value)) return from_excel_float(PyFloat_AS_DOUBLE(value), epoch);
    PyErr_SetString(PyExc_TypeError, "serial must be int or float");
    throw PyErrorSet();
}

std::string_view utf8_of(PyObject* str) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) throw PyErrorSet();
    return {data, static_cast<std::size_t>(size)};
}

PyObject* new_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

Ref int_list(const IntSet& set) {
    Ref list = Ref::check(PyList_New(0));
    for (std::int64_t v : set.values()) {
        Ref item = Ref::check(PyLong_FromInt64(v));
        check_rc(PyList_Append(list.get(), item.get()));
    }
    return list;
}

void put(PyObject* dict, const char* key, Ref value) {
    check_rc(PyDict_SetItemString(dict, key, value.get()));
}

}  // namespace

// settings_from_parser(parser) -> dict of the record's fields; native_epoch is None or
// (days, micros, is_windows); the int sets are ascending lists.
PyObject* probe_settings_from_parser(PyObject*, PyObject* parser) {
    return guard_obj([&] {
        const Settings s = Settings::from_parser(parser);
        Ref out = Ref::check(PyDict_New());
        put(out.get(), "date_formats", int_list(s.date_formats));
        put(out.get(), "timedelta_formats", int_list(s.timedelta_formats));
        put(out.get(), "shared_strings_len",
            Ref::check(PyLong_FromSize_t(s.shared_strings_len)));
        put(out.get(), "shared_strings", s.shared_strings.dup());
        put(out.get(), "epoch", s.epoch.dup());
        if (s.native_epoch) {
            put(out.get(), "native_epoch",
                Ref::check(Py_BuildValue("(LLO)", static_cast<long long>(s.native_epoch->days),
                                         static_cast<long long>(s.native_epoch->micros),
                                         s.native_epoch->is_windows ? Py_True : Py_False)));
        } else {
            put(out.get(), "native_epoch", Ref::borrow(Py_None));
        }
        put(out.get(), "formula_and_value", Ref::check(PyBool_FromLong(s.formula_and_value)));
        put(out.get(), "data_only", Ref::check(PyBool_FromLong(s.data_only)));
        put(out.get(), "rich_text", Ref::check(PyBool_FromLong(s.rich_text)));
        return out.release();
    });
}

// from_excel(value, epoch) -> datetime.datetime or datetime.time; OverflowError when the serial
// is out of range. `epoch` must be a naive datetime.datetime.
PyObject* probe_from_excel(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* value;
        PyObject* epoch;
        if (!PyArg_ParseTuple(args, "OO:from_excel", &value, &epoch)) throw PyErrorSet();
        const DateResult r = convert(value, native_epoch_of(epoch));
        if (!r.ok()) {
            PyErr_SetString(PyExc_OverflowError, "date value out of range");
            throw PyErrorSet();
        }
        return build_date(r).release();
    });
}

// from_excel_list(values, epoch) -> list, None for each out-of-range serial.
PyObject* probe_from_excel_list(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* values;
        PyObject* epoch_obj;
        if (!PyArg_ParseTuple(args, "OO:from_excel_list", &values, &epoch_obj))
            throw PyErrorSet();
        const Epoch epoch = native_epoch_of(epoch_obj);
        Ref seq = Ref::check(PySequence_Fast(values, "values must be a sequence"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        Ref out = Ref::check(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const DateResult r = convert(PySequence_Fast_GET_ITEM(seq.get(), i), epoch);
            Ref item = r.ok() ? build_date(r) : Ref::borrow(Py_None);
            PyList_SET_ITEM(out.get(), i, item.release());
        }
        return out.release();
    });
}

// escape(text, attr, lxml) -> str: esc_attr when attr is true, else esc_text.
PyObject* probe_escape(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* text;
        int attr;
        int lxml;
        if (!PyArg_ParseTuple(args, "Upp:escape", &text, &attr, &lxml)) throw PyErrorSet();
        std::string out;
        if (attr)
            esc_attr(out, utf8_of(text), lxml != 0);
        else
            esc_text(out, utf8_of(text), lxml != 0);
        return new_str(out);
    });
}

// py_strip(text) -> str.
PyObject* probe_py_strip(PyObject*, PyObject* text) {
    return guard_obj([&] {
        if (!PyUnicode_Check(text)) {
            PyErr_SetString(PyExc_TypeError, "text must be str");
            throw PyErrorSet();
        }
        return new_str(py_strip(utf8_of(text)));
    });
}

// fast_coordinate(text) -> (row, column) or None.
PyObject* probe_fast_coordinate(PyObject*, PyObject* text) {
    return guard_obj([&]() -> PyObject* {
        if (!PyUnicode_Check(text)) {
            PyErr_SetString(PyExc_TypeError, "text must be str");
            throw PyErrorSet();
        }
        const auto c = fast_coordinate(utf8_of(text));
        if (!c) return Py_NewRef(Py_None);
        return Py_BuildValue("(LL)", static_cast<long long>(c->row),
                             static_cast<long long>(c->column));
    });
}

}  // namespace tovrel
