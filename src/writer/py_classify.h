// Which Python values the writer writes itself, and their text. Exact types only: subclasses
// (numpy scalars, IntEnum members, str subclasses) and every other type go to the host.
#pragma once

#include <optional>

#include "utils/py_compat.h"
#include "writer/cell_xml.h"

namespace tovrel {

// None -> no value; exact str -> its cached UTF-8 (borrowed from the object); exact bool -> "1"
// or "0"; exact int fitting a C long -> g16_int; exact float -> g16_float, with empty text for
// infinities and NaN. Anything else, including a str with lone surrogates, gives nothing.
std::optional<CellValue> classify(PyObject* value);

// The value of an exact int that fits a C long; nothing otherwise (an overflow is cleared).
std::optional<long> exact_int(PyObject* obj) noexcept;

}  // namespace tovrel
