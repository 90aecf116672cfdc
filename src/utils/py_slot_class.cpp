#include "utils/py_slot_class.h"

#include <atomic>

namespace tovrel {

namespace {

[[noreturn]] void slot_error(const std::string& name, const char* what) {
    PyErr_Format(PyExc_TypeError, "%s%s", name.c_str(), what);
    throw PyErrorSet();
}

Ref str_of_name(const std::string& name) {
    return Ref::check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// The deallocator every class made by a class statement or type() gets, read from a throwaway
// class on first use (a race only computes the same pointer twice).
destructor plain_class_dealloc() {
    static std::atomic<destructor> cached{nullptr};
    if (destructor d = cached.load(std::memory_order_acquire)) return d;
    Ref bases = Ref::check(PyTuple_New(0));
    Ref ns = Ref::check(PyDict_New());
    Ref probe = Ref::check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                 "_plain", bases.get(), ns.get()));
    destructor d = reinterpret_cast<PyTypeObject*>(probe.get())->tp_dealloc;
    cached.store(d, std::memory_order_release);
    return d;
}

// Instances are allocated and their slots written without running any constructor. That is sound
// only when the C layout is object's header plus Python-level slots, i.e. every class from `cls`
// down its base chain to object was made by a class statement. A built-in or extension base has
// fields only its own constructor initialises (a dict's table, an exception's args).
void require_plain_class(PyTypeObject* cls) {
    const destructor plain = plain_class_dealloc();
    for (PyTypeObject* t = cls; t && t != &PyBaseObject_Type; t = t->tp_base) {
        if (t->tp_dealloc == plain) continue;
        if (t == cls)
            PyErr_Format(PyExc_TypeError,
                         "%N cannot be built without its constructor; only plain classes over "
                         "object are supported",
                         reinterpret_cast<PyObject*>(cls));
        else
            PyErr_Format(PyExc_TypeError,
                         "%N cannot be built without its constructor: it derives from %N; only "
                         "plain classes over object are supported",
                         reinterpret_cast<PyObject*>(cls), reinterpret_cast<PyObject*>(t));
        throw PyErrorSet();
    }
}

}  // namespace

SlotClass SlotClass::make(PyObject* cls, std::span<const std::string> names) {
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_TypeError, "expected a class, not %T", cls);
        throw PyErrorSet();
    }
    Ref member_type =
        Ref::check(PyImport_ImportModuleAttrString("types", "MemberDescriptorType"));
    SlotClass sc;
    sc.offsets_.reserve(names.size());
    for (const std::string& name : names) {
        Ref key = str_of_name(name);
        Ref d = Ref::check(PyObject_GetAttr(cls, key.get()));
        if (reinterpret_cast<PyObject*>(Py_TYPE(d.get())) != member_type.get()) {
            slot_error(name, " is not a slot");
        }
        auto* descr = reinterpret_cast<PyMemberDescrObject*>(d.get());
        // A descriptor of an unrelated class names an offset in another layout: writing there
        // would corrupt the instance, so it does not count as a slot of this class.
        if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), descr->d_common.d_type)) {
            slot_error(name, " is not a slot");
        }
        const PyMemberDef* member = descr->d_member;
        if (member->type != Py_T_OBJECT_EX) slot_error(name, " has unexpected slot type");
        // Offsets relative to a base's data area are not instance offsets.
        if (member->flags & Py_RELATIVE_OFFSET) slot_error(name, " has unexpected slot type");
        sc.offsets_.push_back(member->offset);
    }
    require_plain_class(reinterpret_cast<PyTypeObject*>(cls));
    sc.cls_ = Ref::borrow(cls);
    return sc;
}

Ref SlotClass::alloc() const {
    auto* type = reinterpret_cast<PyTypeObject*>(cls_.get());
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    return Ref::check(alloc(type, 0));
}

}  // namespace tovrel
