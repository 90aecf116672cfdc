// The NativeFallback exception class: the signal that tells the host to rerun a piece of work on
// its pure-Python path.
#pragma once

#include <cstdint>

#include "utils/py_compat.h"

namespace tovrel {

// The class object, created on first use and kept for the life of the process. Returns a
// borrowed reference, or NULL with an exception set if it could not be created.
PyObject* native_fallback_type() noexcept;

// Makes `cls` the process's class if none was created yet. For a second extension built from
// these sources (the test probe), so that it raises the class _tovrel exposes.
void adopt_native_fallback_type(PyObject* cls) noexcept;

// Sets NativeFallback(prefix + message) as the current exception. The instance's `offset`
// attribute is `offset` as an int (the input position of a reader error), or None when it is
// kNoFallbackOffset.
inline constexpr std::uint64_t kNoFallbackOffset = UINT64_MAX;
void raise_native_fallback(const char* prefix, const char* message,
                           std::uint64_t offset = kNoFallbackOffset) noexcept;

}  // namespace tovrel
