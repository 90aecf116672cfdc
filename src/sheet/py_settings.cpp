#include "sheet/py_settings.h"

#include "sheet/py_dates.h"
#include "utils/py_interned.h"

namespace tovrel {

namespace {

constinit const InternedName kEpoch("epoch");
constinit const InternedName kDatetimeModule("datetime");
constinit const InternedName kDatetime("datetime");
constinit const InternedName kHostDatesModule("tovrel.utils.datetime");
constinit const InternedName kWindowsEpoch("WINDOWS_EPOCH");
constinit const InternedName kFormulaAndValue("formula_and_value");
constinit const InternedName kSharedStrings("shared_strings");
constinit const InternedName kDataOnly("data_only");
constinit const InternedName kRichText("rich_text");
constinit const InternedName kDateFormats("date_formats");
constinit const InternedName kTimedeltaFormats("timedelta_formats");

Ref get_attr(PyObject* obj, const InternedName& name) {
    return Ref::check(PyObject_GetAttr(obj, name.get()));
}

Ref import(const InternedName& name) { return Ref::check(PyImport_Import(name.get())); }

bool truth(PyObject* obj) { return check_rc(PyObject_IsTrue(obj)) != 0; }

bool truth_of_attr(PyObject* obj, const InternedName& name) {
    return truth(get_attr(obj, name).get());
}

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

    Ref e = get_attr(parser, kEpoch);

    Ref datetime_mod = import(kDatetimeModule);
    Ref host_dates = import(kHostDatesModule);
    Ref windows_epoch = get_attr(host_dates.get(), kWindowsEpoch);
    Ref datetime_type = get_attr(datetime_mod.get(), kDatetime);
    s.native_epoch = epoch_from_datetime(e.get(), datetime_type.get(), windows_epoch.get());

    if (Ref fv = Ref::steal(PyObject_GetAttr(parser, kFormulaAndValue.get()))) {
        s.formula_and_value = truth(fv.get());
    } else {
        PyErr_Clear();
    }

    {
        Ref strings = get_attr(parser, kSharedStrings);
        if (PyList_CheckExact(strings.get()))
            s.shared_strings_len = static_cast<std::size_t>(PyList_GET_SIZE(strings.get()));
    }
    s.shared_strings = get_attr(parser, kSharedStrings);

    s.data_only = truth_of_attr(parser, kDataOnly);
    s.rich_text = truth_of_attr(parser, kRichText);
    s.epoch = get_attr(parser, kEpoch);
    s.date_formats = int_set(get_attr(parser, kDateFormats).get());
    s.timedelta_formats = int_set(get_attr(parser, kTimedeltaFormats).get());
    return s;
}

}  // namespace tovrel
