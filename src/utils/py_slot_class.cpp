#include "utils/py_slot_class.h"

namespace tovrel {

namespace {

[[noreturn]] void slot_error(const std::string& name, const char* what) {
    PyErr_Format(PyExc_TypeError, "%s%s", name.c_str(), what);
    throw PyErrorSet();
}

Ref str_of_name(const std::string& name) {
    return Ref::check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
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
    sc.cls_ = Ref::borrow(cls);
    return sc;
}

Ref SlotClass::alloc() const {
    auto* type = reinterpret_cast<PyTypeObject*>(cls_.get());
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    return Ref::check(alloc(type, 0));
}

}  // namespace tovrel
