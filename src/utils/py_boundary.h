// The module boundary: where the engine's C++ exceptions become Python exceptions, exactly once.
// Every function Python calls runs its body through `guard`.
#pragma once

#include <utility>

#include "utils/py_compat.h"

namespace tovrel {

// Converts the exception being handled into the current Python exception:
//   Malformed / Unsupported -> NativeFallback("malformed: ..." / "unsupported: ..."), with the
//                              error's input offset as the instance's `offset` (None if unknown)
//   Fallback                -> NativeFallback(message), offset None
//   BorrowConflict          -> RuntimeError(message)
//   PyErrorSet              -> the exception already set, unchanged
//   InternalError           -> SystemError("_tovrel internal error: " + message)
//   std::bad_alloc          -> MemoryError
//   anything else           -> SystemError, also named an internal error
// Must be called from inside a catch block.
void set_python_error_from_current() noexcept;

template <class F>
auto guard(F&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        set_python_error_from_current();
        return on_error;
    }
}

// For functions returning a new reference (NULL on error).
template <class F>
PyObject* guard_obj(F&& body) noexcept {
    return guard(std::forward<F>(body), static_cast<PyObject*>(nullptr));
}

// For slots returning 0 on success and -1 on error.
template <class F>
int guard_int(F&& body) noexcept {
    return guard(std::forward<F>(body), -1);
}

}  // namespace tovrel
