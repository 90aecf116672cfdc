// Reading the attributes of host cell objects without a name lookup per read: for a cell class
// whose attribute access is the generic one, the member descriptors of its __slots__ are found
// once (per class and class version) and read directly; anything else (properties, instance
// dictionaries, custom __getattribute__, a class changed since) goes through getattr.
#pragma once

#include <array>
#include <cstddef>

#include "utils/py_compat.h"
#include "utils/py_ref.h"

namespace tovrel {

class CellAttrs {
public:
    enum Name : std::size_t { Value, Style, Comment, DataType, Hyperlink, Row, Column, kCount };

    // Interns the attribute names "_value", "_style", "_comment", "data_type", "hyperlink",
    // "row", "column" (in this order).
    CellAttrs();

    // getattr(cell, name): errors of the read propagate.
    Ref get(PyObject* cell, Name name);

    int traverse(visitproc visit, void* arg) const;

private:
    void learn(PyTypeObject* type);

    std::array<Ref, kCount> names_;
    // The class the slots were learnt for, its version tag, and per name the member descriptor
    // (kept alive here) when the name is a plain object slot.
    Ref type_;
    unsigned int version_ = 0;
    std::array<Ref, kCount> descriptors_;
};

}  // namespace tovrel
