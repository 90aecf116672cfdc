// Probe functions for cell values, formulas in cells and the slot-class accessor.

#include <optional>
#include <string>
#include <vector>

#include "utils/py_boundary.h"
#include "tests_probe.h"
#include "sheet/py_formulas.h"
#include "sheet/py_helpers.h"
#include "sheet/py_settings.h"
#include "sheet/py_values.h"
#include "utils/py_slot_class.h"

namespace tovrel {
namespace {

// The str value of `cell[key]`, or nothing when the key is absent.
std::optional<std::string> text_item(PyObject* cell, const char* key) {
    PyObject* raw = nullptr;
    if (check_rc(PyDict_GetItemStringRef(cell, key, &raw)) == 0) return std::nullopt;
    Ref item = Ref::steal(raw);
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &len);
    if (!text) throw PyErrorSet();
    return std::string(text, static_cast<std::size_t>(len));
}

Ref object_item(PyObject* cell, const char* key) {
    PyObject* raw = nullptr;
    check_rc(PyDict_GetItemStringRef(cell, key, &raw));
    return Ref::steal(raw);
}

void put(PyObject* dict, const char* key, Ref value) {
    check_rc(PyDict_SetItemString(dict, key, value.get()));
}

std::vector<std::string> names_of(PyObject* seq) {
    Ref fast = Ref::check(PySequence_Fast(seq, "names must be a sequence"));
    std::vector<std::string> names;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(fast.get(), i), &len);
        if (!text) throw PyErrorSet();
        names.emplace_back(text, static_cast<std::size_t>(len));
    }
    return names;
}

}  // namespace

// What interpret works against, built from a parser object and a helpers dict.
struct Cells {
    Cells(PyObject* parser, PyObject* helpers_dict, std::int64_t first_row)
        : helpers(Helpers::from_dict(helpers_dict)),
          settings(Settings::from_parser(parser)),
          dt(DT::make()),
          actions(Ref::check(PyList_New(0))),
          row(first_row),
          ctx{settings, helpers, dt, shared, actions.get(), row, column} {}

    Helpers helpers;
    Settings settings;
    DT dt;
    SharedFormulas shared;
    Ref actions;
    std::int64_t row;
    std::int64_t column = 0;
    CellContext ctx;
};

// interpret_cells(parser, helpers, cells) -> (results, actions)
// Each cell is a dict of the raw texts a parser would collect: "t", "r", "s", "v", "f" (the <f>
// text; the key marks an <f> child), "f_t", "f_ref", "f_si"; optionally "f_attrs" (dict),
// "inline" (a str becomes a native text value, anything else a host value), "row" (starts a
// row: sets the row counter and clears the column counter) and "column" (sets the column
// counter). Every cell is interpreted before any value is converted, so shared formulas render
// lazily. Each result is a dict: row, column, value, data_type, style, has_formula and, when
// kept, formula and cached.
PyObject* probe_interpret_cells(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject *parser, *helpers_dict, *cells;
        if (!PyArg_ParseTuple(args, "OO!O", &parser, &PyDict_Type, &helpers_dict, &cells)) {
            throw PyErrorSet();
        }
        Cells cells_state(parser, helpers_dict, 0);
        auto& [helpers, settings, dt, shared, actions, row, column, ctx] = cells_state;

        Ref fast = Ref::check(PySequence_Fast(cells, "cells must be a sequence"));
        std::vector<CellRec> recs;
        CellBufs bufs;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
            PyObject* cell = PySequence_Fast_GET_ITEM(fast.get(), i);
            if (Ref r = object_item(cell, "row")) {
                check_rc(PyLong_AsInt64(r.get(), &row));
                column = 0;
            }
            if (Ref c = object_item(cell, "column")) check_rc(PyLong_AsInt64(c.get(), &column));

            bufs.clear();
            CellFlags flags;
            struct Field {
                const char* key;
                std::string* buf;
                std::uint8_t bit;
            };
            const Field fields[] = {
                {"t", &bufs.t, CellFlags::T},         {"r", &bufs.r, CellFlags::R},
                {"s", &bufs.s, 0},                    {"v", &bufs.v, 0},
                {"f", &bufs.f_text, CellFlags::F},    {"f_t", &bufs.f_t, CellFlags::FT},
                {"f_ref", &bufs.f_ref, CellFlags::FRef}, {"f_si", &bufs.f_si, CellFlags::FSi},
            };
            bool has_s = false;
            for (const Field& f : fields) {
                if (std::optional<std::string> text = text_item(cell, f.key)) {
                    *f.buf = std::move(*text);
                    if (f.bit) flags.set(f.bit);
                    if (f.buf == &bufs.s) has_s = true;
                }
            }
            Ref f_attrs = object_item(cell, "f_attrs");
            std::optional<Val> inline_value;
            if (Ref inl = object_item(cell, "inline")) {
                if (PyUnicode_CheckExact(inl.get())) {
                    inline_value = Val(*text_item(cell, "inline"));
                } else {
                    inline_value = Val(std::move(inl));
                }
            }
            StyleId style = style_of(helpers.int_.get(), has_s, bufs.s);
            recs.push_back(
                interpret(ctx, bufs.text(), std::move(style), flags, f_attrs.get(), std::move(inline_value)));
        }

        Ref results = Ref::check(PyList_New(0));
        for (CellRec& rec : recs) {
            Ref d = Ref::check(PyDict_New());
            put(d.get(), "row", Ref::check(PyLong_FromInt64(rec.row)));
            put(d.get(), "column", Ref::check(PyLong_FromInt64(rec.column)));
            put(d.get(), "value", val_to_py(ctx, std::move(rec.value)));
            put(d.get(), "data_type", rec.dtype.to_py(dt));
            put(d.get(), "style", rec.style.to_py());
            put(d.get(), "has_formula", Ref::borrow(rec.has_formula ? Py_True : Py_False));
            if (rec.has_aside(CellRec::Aside::Formula)) {
                put(d.get(), "formula", val_to_py(ctx, std::move(rec.aside)));
            }
            if (rec.has_aside(CellRec::Aside::Cached)) {
                put(d.get(), "cached", val_to_py(ctx, std::move(rec.aside)));
            }
            check_rc(PyList_Append(results.get(), d.get()));
        }
        return Py_BuildValue("(OO)", results.get(), actions.get());
    });
}

// slot_make(cls, names) -> the number of slots found; raises what SlotClass::make raises.
PyObject* probe_slot_make(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject *cls, *names;
        if (!PyArg_ParseTuple(args, "OO", &cls, &names)) throw PyErrorSet();
        const std::vector<std::string> list = names_of(names);
        return Ref::check(PyLong_FromSize_t(SlotClass::make(cls, list).size())).release();
    });
}

// slot_build(cls, names, values) -> a new instance (no __init__) with slot i set to values[i].
PyObject* probe_slot_build(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject *cls, *names, *values;
        if (!PyArg_ParseTuple(args, "OOO", &cls, &names, &values)) throw PyErrorSet();
        const std::vector<std::string> list = names_of(names);
        SlotClass sc = SlotClass::make(cls, list);
        Ref fast = Ref::check(PySequence_Fast(values, "values must be a sequence"));
        if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.get())) != sc.size()) {
            PyErr_SetString(PyExc_ValueError, "one value per slot");
            throw PyErrorSet();
        }
        Ref inst = sc.alloc();
        for (std::size_t i = 0; i < sc.size(); ++i) {
            sc.set(inst.get(), i,
                   Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), static_cast<Py_ssize_t>(i))));
        }
        return inst.release();
    });
}

}  // namespace tovrel
