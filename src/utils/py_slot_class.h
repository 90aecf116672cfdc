// Direct access to the __slots__ of a host class: cell objects are allocated without running
// the class's constructor and their slots are written at fixed offsets.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "utils/py_compat.h"
#include "utils/py_gc.h"
#include "utils/py_ref.h"

namespace tovrel {

class SlotClass {
public:
    // The accessor for `cls` and the ordered slot `names`. Every name must be a plain object
    // slot of `cls` (a member descriptor of the class or one of its bases, of type
    // Py_T_OBJECT_EX); otherwise TypeError "<name> is not a slot" or "<name> has unexpected slot
    // type". Exceptions from importing `types` and from getattr propagate. Instances are built
    // without their constructor, so `cls` and every base up to `object` must be classes made by
    // a class statement (or type()); a built-in base such as dict, list, set or Exception, or an
    // extension type, has C-level state that only its constructor sets up: TypeError.
    static SlotClass make(PyObject* cls, std::span<const std::string> names);

    PyObject* cls() const noexcept { return cls_.get(); }
    std::size_t size() const noexcept { return offsets_.size(); }

    // A new instance from the class's allocation function; its __init__ is not run and every
    // slot is empty.
    Ref alloc() const;

    // Stores `value` in slot i of `instance` (an instance of the class). Any previous value is
    // released; in a freshly allocated instance there is none.
    void set(PyObject* instance, std::size_t i, Ref value) const noexcept {
        auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(instance) + offsets_[i]);
        PyObject* old = *slot;
        *slot = value.release();
        Py_XDECREF(old);
    }

    // Stores `value` in slot i of an instance fresh from alloc(), whose slots are all empty.
    void fill(PyObject* fresh, std::size_t i, Ref value) const noexcept {
        auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(fresh) + offsets_[i]);
        *slot = value.release();
    }

    // Visits the class reference (for the owner's GC traverse).
    int traverse(visitproc visit, void* arg) const {
        return gc_visit(GcVisitor{visit, arg}, *this);
    }
    friend int gc_visit(const GcVisitor& v, const SlotClass& sc) {
        return TOVREL_GC_MEMBERS(v, sc, cls, offsets);
    }

private:
    Ref cls_;
    std::vector<Py_ssize_t> offsets_;
};

}  // namespace tovrel
