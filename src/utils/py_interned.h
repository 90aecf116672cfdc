// Names the engine looks up again and again (attribute names, dict keys, module names) as
// interned str objects, made once per process on first use and kept for its life: a lookup by
// one of them skips decoding the C text and hashing it, and compares by identity with the
// host's own interned names.
#pragma once

#include <atomic>

#include "utils/error.h"
#include "utils/py_compat.h"

namespace tovrel {

class InternedName {
public:
    constexpr explicit InternedName(const char* text) noexcept : text_(text) {}
    InternedName(const InternedName&) = delete;
    InternedName& operator=(const InternedName&) = delete;

    // The str (borrowed; never released); PyErrorSet when it cannot be made. Threads that race
    // to make it first agree on one object.
    PyObject* get() const {
        if (PyObject* s = str_.load(std::memory_order_acquire)) return s;
        PyObject* made = PyUnicode_InternFromString(text_);
        if (!made) throw PyErrorSet();
        PyObject* expected = nullptr;
        if (str_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
        Py_DECREF(made);
        return expected;
    }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    mutable std::atomic<PyObject*> str_{nullptr};
};

}  // namespace tovrel
