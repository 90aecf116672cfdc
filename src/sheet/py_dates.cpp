#include "sheet/py_dates.h"

// datetime.h defines a static PyDateTimeAPI pointer for its macros; this file keeps its own,
// atomically published, copy instead.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <atomic>

#include "utils/error.h"
#include "utils/py_interned.h"

namespace tovrel {

namespace {

// The capsule's table is static data of the datetime module, which is never unloaded; racing
// first imports all find the same pointer, so publishing it with a release store is enough.
std::atomic<PyDateTime_CAPI*> g_datetime_api{nullptr};

PyDateTime_CAPI* datetime_api() {
    PyDateTime_CAPI* api = g_datetime_api.load(std::memory_order_acquire);
    if (api) return api;
    api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (!api) throw PyErrorSet();
    g_datetime_api.store(api, std::memory_order_release);
    return api;
}

long read_long_attr(PyObject* obj, const InternedName& name) {
    Ref value = Ref::check(PyObject_GetAttr(obj, name.get()));
    long v = PyLong_AsLong(value.get());
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet();
    return v;
}

}  // namespace

void ensure_datetime_api() { (void)datetime_api(); }

Ref build_date(const DateResult& r) {
    PyDateTime_CAPI* api = datetime_api();
    switch (r.kind) {
        case DateResult::Kind::DateTime:
            return Ref::check(api->DateTime_FromDateAndTime(r.year, r.month, r.day, r.hour,
                                                            r.minute, r.second, r.microsecond,
                                                            Py_None, api->DateTimeType));
        case DateResult::Kind::Time:
            return Ref::check(api->Time_FromTime(r.hour, r.minute, r.second, r.microsecond,
                                                 Py_None, api->TimeType));
        case DateResult::Kind::OutOfRange:
            break;
    }
    throw InternalError("date serial out of range where a date was expected");
}

std::optional<Epoch> epoch_from_datetime(PyObject* e, PyObject* datetime_type,
                                         PyObject* windows_epoch) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(e)) != datetime_type) return std::nullopt;
    static constinit const InternedName tzinfo("tzinfo"), year_name("year"), month_name("month"),
        day_name("day"), hour_name("hour"), minute_name("minute"), second_name("second"),
        microsecond_name("microsecond");
    Ref tz = Ref::check(PyObject_GetAttr(e, tzinfo.get()));
    if (tz.get() != Py_None) return std::nullopt;

    const long year = read_long_attr(e, year_name);
    const long month = read_long_attr(e, month_name);
    const long day = read_long_attr(e, day_name);
    const long hour = read_long_attr(e, hour_name);
    const long minute = read_long_attr(e, minute_name);
    const long second = read_long_attr(e, second_name);
    const long microsecond = read_long_attr(e, microsecond_name);

    Ref same = Ref::check(PyObject_RichCompare(e, windows_epoch, Py_EQ));
    const bool is_windows = check_rc(PyObject_IsTrue(same.get())) != 0;
    return Epoch::make(year, month, day, hour, minute, second, microsecond, is_windows);
}

}  // namespace tovrel
