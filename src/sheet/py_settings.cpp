#include "sheet/py_settings.h"

#include "sheet/py_dates.h"

namespace tovrel {

namespace {

Ref get_attr(PyObject* obj, const char* name) {
    return Ref::check(PyObject_GetAttrString(obj, name));
}

bool truth(PyObject* obj) { return check_rc(PyObject_IsTrue(obj)) != 0; }

bool truth_of_attr(PyObject* obj, const char* name) { return truth(get_attr(obj, name).get()); }

}  // namespace

IntSet int_set(PyObject* obj) {
    Ref iter = Ref::check(PyObject_GetIter(obj));
    IntSet set;
    for (;;) {
        PyObject* raw;
        if (check_rc(PyIter_NextItem(iter.get(), &raw)) == 0) break;
        Ref item = Ref::steal(raw);
        std::int64_t v;
        if (PyLong_AsInt64(item.get(), &v) < 0) {
            PyErr_Clear();  // not an integer, or too large: not a format id
            continue;
        }
        if (PyLong_Check(item.get()) && !PyBool_Check(item.get())) set.insert(v);
    }
    return set;
}

Settings Settings::from_parser(PyObject* parser) {
    Settings s;

    Ref e = get_attr(parser, "epoch");

    Ref datetime_mod = Ref::check(PyImport_ImportModule("datetime"));
    Ref host_dates = Ref::check(PyImport_ImportModule("tovrel.utils.datetime"));
    Ref windows_epoch = get_attr(host_dates.get(), "WINDOWS_EPOCH");
    Ref datetime_type = get_attr(datetime_mod.get(), "datetime");
    s.native_epoch = epoch_from_datetime(e.get(), datetime_type.get(), windows_epoch.get());

    if (Ref fv = Ref::steal(PyObject_GetAttrString(parser, "formula_and_value"))) {
        s.formula_and_value = truth(fv.get());
    } else {
        PyErr_Clear();
    }

    {
        Ref strings = get_attr(parser, "shared_strings");
        if (PyList_CheckExact(strings.get()))
            s.shared_strings_len = static_cast<std::size_t>(PyList_GET_SIZE(strings.get()));
    }
    s.shared_strings = get_attr(parser, "shared_strings");

    s.data_only = truth_of_attr(parser, "data_only");
    s.rich_text = truth_of_attr(parser, "rich_text");
    s.epoch = get_attr(parser, "epoch");
    s.date_formats = int_set(get_attr(parser, "date_formats").get());
    s.timedelta_formats = int_set(get_attr(parser, "timedelta_formats").get());
    return s;
}

}  // namespace tovrel
