#include "writer/py_cell_attrs.h"

#include <structmember.h>

namespace tovrel {

CellAttrs::CellAttrs() {
    static const char* const texts[kCount] = {"_value", "_style", "_comment", "data_type",
                                              "hyperlink", "row", "column"};
    for (std::size_t i = 0; i < kCount; ++i)
        names_[i] = Ref::check(PyUnicode_InternFromString(texts[i]));
}

void CellAttrs::learn(PyTypeObject* type) {
    type_ = Ref::borrow(reinterpret_cast<PyObject*>(type));
    for (Ref& d : descriptors_) d.reset();
    version_ = 0;
    // The version tag changes whenever the class (or a base) is changed; without one every
    // read takes the generic path.
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(type))
        return;
    const unsigned int version = type->tp_version_tag;
    for (std::size_t i = 0; i < kCount; ++i) {
        Ref descr = Ref::steal(_PyType_LookupRef(type, names_[i].get()));
        if (!descr || Py_TYPE(descr.get()) != &PyMemberDescr_Type) continue;
        const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
        if (member->type == Py_T_OBJECT_EX && !(member->flags & Py_AUDIT_READ))
            descriptors_[i] = std::move(descr);
    }
    version_ = version;
}

Ref CellAttrs::get(PyObject* cell, Name name) {
    PyTypeObject* type = Py_TYPE(cell);
    if (reinterpret_cast<PyObject*>(type) != type_.get() || type->tp_version_tag != version_)
        learn(type);
    if (version_ != 0 && descriptors_[name]) {
        const PyMemberDef* member =
            reinterpret_cast<PyMemberDescrObject*>(descriptors_[name].get())->d_member;
        return Ref::check(PyMember_GetOne(reinterpret_cast<const char*>(cell),
                                          const_cast<PyMemberDef*>(member)));
    }
    return Ref::check(PyObject_GetAttr(cell, names_[name].get()));
}

int CellAttrs::traverse(visitproc visit, void* arg) const {
    Py_VISIT(type_.get());
    for (const Ref& d : descriptors_) Py_VISIT(d.get());
    return 0;
}

}  // namespace tovrel
