// Probe functions for the cell store: filling a store through the loader's append path (what
// sheet loading uses), and its native memory figure.
#include <memory>
#include <optional>
#include <string>

#include "utils/py_boundary.h"
#include "tests_probe.h"
#include "sheet/py_formulas.h"
#include "store/py_store.h"
#include "formula/ref_parts.h"

namespace tovrel {
namespace {

std::string utf8_of(PyObject* s) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(s, &len);
    if (!text) throw PyErrorSet();
    return std::string(text, static_cast<std::size_t>(len));
}

std::int64_t i64_of(PyObject* o) {
    std::int64_t v;
    check_rc(PyLong_AsInt64(o, &v));
    return v;
}

// A Python description of a value as a compact value: None, bool, int (a Python object beyond
// 64 bits), float, str, or a tagged tuple ("s", index), ("di", serial), ("df", serial),
// ("sf", entry, row or None, column), ("py", object).
Val val_of(PyObject* v) {
    if (v == Py_None) return std::monostate{};
    if (PyBool_Check(v)) return v == Py_True;
    if (PyLong_CheckExact(v)) {
        std::int64_t n;
        if (PyLong_AsInt64(v, &n) == 0) return n;
        PyErr_Clear();
        return Ref::borrow(v);
    }
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    if (PyUnicode_Check(v)) return utf8_of(v);
    if (!PyTuple_Check(v) || PyTuple_GET_SIZE(v) < 2) {
        PyErr_Format(PyExc_TypeError, "cannot describe %R as a cell value", v);
        throw PyErrorSet();
    }
    const std::string tag = utf8_of(PyTuple_GET_ITEM(v, 0));
    PyObject* a = PyTuple_GET_ITEM(v, 1);
    if (tag == "s") return SharedStr{static_cast<std::uint32_t>(i64_of(a))};
    if (tag == "di") return DateInt{i64_of(a)};
    if (tag == "df") return DateFloat{PyFloat_AsDouble(a)};
    if (tag == "py") return Ref::borrow(a);
    if (tag == "sf") {
        SharedRef ref{static_cast<std::uint32_t>(i64_of(a)), std::nullopt};
        PyObject* row = PyTuple_GET_ITEM(v, 2);
        if (row != Py_None) ref.dest = CellRef{i64_of(row), i64_of(PyTuple_GET_ITEM(v, 3))};
        return ref;
    }
    PyErr_Format(PyExc_ValueError, "unknown value tag %R", PyTuple_GET_ITEM(v, 0));
    throw PyErrorSet();
}

std::optional<Epoch> epoch_of(PyObject* e) {
    if (e == Py_None) return std::nullopt;
    std::int64_t f[8];
    for (int i = 0; i < 8; ++i) f[i] = i64_of(PyTuple_GET_ITEM(e, i));
    return Epoch::make(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7] != 0);
}

}  // namespace

// store_load(store, ws, cell_styles, cell_cls, shared_strings, epoch, masters, cells): loads
// the cells through the store's loader. epoch: None or (y, m, d, H, M, S, us, is_windows);
// masters: [(formula, row, column)] compiled as native shared formulas 0, 1, ...; cells:
// [(row, column, value, dtype, style)] with value as described at val_of, dtype an index 0-6 or
// a str, style an int or any other style object.
PyObject* probe_store_load(PyObject*, PyObject* args) {
    return guard_obj([&]() -> PyObject* {
        PyObject *store, *ws, *styles, *cls, *strings, *epoch, *masters, *cells;
        if (!PyArg_ParseTuple(args, "OOOOOOOO", &store, &ws, &styles, &cls, &strings, &epoch,
                              &masters, &cells))
            throw PyErrorSet();
        if (!is_cell_store(store)) {
            PyErr_SetString(PyExc_TypeError, "store must be a CellStore");
            throw PyErrorSet();
        }
        SharedFormulas shared;
        Ref ms = Ref::check(PySequence_Fast(masters, "masters must be a sequence"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(ms.get()); ++i) {
            PyObject* m = PySequence_Fast_GET_ITEM(ms.get(), i);
            SharedEntry e;
            e.native = std::make_shared<const Translator>(utf8_of(PyTuple_GET_ITEM(m, 0)),
                                                          i64_of(PyTuple_GET_ITEM(m, 1)),
                                                          i64_of(PyTuple_GET_ITEM(m, 2)));
            shared.add(std::move(e), nullptr);
        }
        StoreLoader loader(store, StoreLoader::Host{ws, styles, cls, strings, epoch_of(epoch)}, shared);
        Ref it = Ref::check(PyObject_GetIter(cells));
        PyObject* raw;
        while ((raw = PyIter_Next(it.get()))) {
            Ref c = Ref::steal(raw);
            CellRec rec;
            rec.row = i64_of(PyTuple_GET_ITEM(c.get(), 0));
            rec.column = i64_of(PyTuple_GET_ITEM(c.get(), 1));
            rec.value = val_of(PyTuple_GET_ITEM(c.get(), 2));
            PyObject* dt = PyTuple_GET_ITEM(c.get(), 3);
            rec.dtype = PyLong_Check(dt) ? DType::of(static_cast<TypeIndex>(i64_of(dt)))
                                         : DType::as_written(Ref::borrow(dt));
            PyObject* st = PyTuple_GET_ITEM(c.get(), 4);
            if (PyLong_CheckExact(st)) {
                rec.style.value = i64_of(st);
            } else {
                rec.style.obj = Ref::borrow(st);
            }
            loader.add(rec);
        }
        if (PyErr_Occurred()) throw PyErrorSet();
        loader.finish();
        Py_RETURN_NONE;
    });
}

// store_fill(store, ws, cell_styles, cell_cls, kind, n, width): n synthetic cells of one kind
// in rows of `width` columns, made natively and loaded through the same path: "int" (small
// ints), "float", "text" (300 distinct texts), "formula" (one shape: the cell to the left
// times 2, in columns 2 to width + 1).
PyObject* probe_store_fill(PyObject*, PyObject* args) {
    return guard_obj([&]() -> PyObject* {
        PyObject *store, *ws, *styles, *cls;
        const char* kind;
        Py_ssize_t n, width;
        if (!PyArg_ParseTuple(args, "OOOOsnn", &store, &ws, &styles, &cls, &kind, &n, &width))
            throw PyErrorSet();
        const std::string k = kind;
        SharedFormulas shared;
        StoreLoader loader(store, StoreLoader::Host{ws, styles, cls, Py_None, std::nullopt}, shared);
        for (Py_ssize_t i = 0; i < n; ++i) {
            CellRec rec;
            rec.row = i / width + 1;
            rec.column = i % width + 1;
            if (k == "int") {
                rec.value = static_cast<std::int64_t>(i % 1000);
            } else if (k == "float") {
                rec.value = static_cast<double>(i) + 0.5;
            } else if (k == "text") {
                rec.value = "text number " + std::to_string(i % 300);
                rec.dtype = DType::of(TypeIndex::S);
            } else if (k == "formula") {
                // the cell to the left, times 2: one shape in every column from B on
                rec.column += 1;
                char letters[4];
                std::string text = "=";
                text.append(letters, column_letters(rec.column - 1, letters));
                text += std::to_string(rec.row);
                text += "*2";
                rec.value = std::move(text);
                rec.dtype = DType::of(TypeIndex::F);
            } else {
                PyErr_SetString(PyExc_ValueError, "unknown kind");
                throw PyErrorSet();
            }
            loader.add(rec);
        }
        loader.finish();
        Py_RETURN_NONE;
    });
}

// store_bytes(store): bytes of every native structure of the store, reserved room included.
PyObject* probe_store_bytes(PyObject*, PyObject* store) {
    return guard_obj([&] {
        return Ref::check(PyLong_FromSize_t(store_state(store).bytes())).release();
    });
}

}  // namespace tovrel
