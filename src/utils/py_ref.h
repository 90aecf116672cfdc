// Owned Python reference. Every Python reference the engine keeps is held by one of these (or by
// a container that releases its contents), so every exit path, exceptions included, releases it.
#pragma once

#include "utils/error.h"
#include "utils/py_compat.h"

namespace tovrel {

class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(obj_); }

    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new reference to a borrowed one (may be null).
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    // Takes over the result of a C API call that returns a new reference or NULL with an
    // exception set; throws PyErrorSet on NULL.
    static Ref check(PyObject* obj) {
        if (!obj) throw PyErrorSet();
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    Ref dup() const noexcept { return borrow(obj_); }

    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset() noexcept { Py_CLEAR(obj_); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Throws PyErrorSet when a C API call reported failure through its int result.
inline int check_rc(int rc) {
    if (rc < 0) throw PyErrorSet();
    return rc;
}

}  // namespace tovrel
