// Python objects for date serials: naive datetime.datetime / datetime.time built through the
// datetime C API, and the native Epoch of a host datetime.
#pragma once

#include <optional>

#include "sheet/dates.h"
#include "utils/py_compat.h"
#include "utils/py_ref.h"

namespace tovrel {

// Imports the datetime C API capsule on first use (once per process, safe from any thread).
// Throws PyErrorSet when the import fails.
void ensure_datetime_api();

// The naive datetime.datetime or datetime.time of a conversion result. An OutOfRange result is
// an internal error (callers only build what they have checked); a failing C API call throws
// PyErrorSet.
Ref build_date(const DateResult& result);

// The Epoch of `e` when type(e) is exactly `datetime_type` and e.tzinfo is None, else nothing.
// Reads year, month, day, hour, minute, second, microsecond in that order, then compares e with
// `windows_epoch` for the Windows flag. Exceptions from those reads and the comparison throw
// PyErrorSet.
std::optional<Epoch> epoch_from_datetime(PyObject* e, PyObject* datetime_type,
                                         PyObject* windows_epoch);

}  // namespace tovrel
