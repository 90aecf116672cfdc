// RowReader: the streaming row reader behind the host's read-only worksheet.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

// The type object, created once per process. Borrowed reference; NULL with an exception set if
// it could not be created.
PyTypeObject* row_reader_type() noexcept;

}  // namespace tovrel
