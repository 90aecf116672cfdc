#include "sheet/py_prescan.h"

#include <string>

#include "sheet/prescan.h"
#include "sheet/py_helpers.h"
#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "utils/py_ref.h"
#include "utils/py_str.h"
#include "xml/py_reader.h"
#include "xml/refs.h"

namespace tovrel {

const char kPrescanSheetDoc[] =
    "prescan_sheet(source, want_rows, corners, helpers)\n--\n\n"
    "prescan_sheet(source, want_rows, corners, helpers) -> dict";

namespace {

Ref int_of(std::int64_t v) { return Ref::check(PyLong_FromLongLong(v)); }

Ref cell_key(CellRef at) {
    Ref row = int_of(at.row);
    Ref column = int_of(at.column);
    return Ref::check(PyTuple_Pack(2, row.get(), column.get()));
}

std::int64_t int64_of(PyObject* obj) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet();
    return v;
}

// Each item of `corners` as a 2-tuple of 64-bit integers.
void collect_corners(PyObject* corners, CornerSet& out) {
    if (corners == Py_None) return;
    Ref iter = Ref::check(PyObject_GetIter(corners));
    for (;;) {
        PyObject* raw = nullptr;
        const int rc = PyIter_NextItem(iter.get(), &raw);
        if (rc < 0) throw PyErrorSet();
        if (rc == 0) return;
        Ref item = Ref::steal(raw);
        if (!PyTuple_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "'%T' object cannot be converted to 'tuple'", item.get());
            throw PyErrorSet();
        }
        if (PyTuple_GET_SIZE(item.get()) != 2) {
            PyErr_Format(PyExc_TypeError, "expected tuple of length 2, but got tuple of length %zd",
                         PyTuple_GET_SIZE(item.get()));
            throw PyErrorSet();
        }
        out.insert(CellRef{int64_of(PyTuple_GET_ITEM(item.get(), 0)),
                           int64_of(PyTuple_GET_ITEM(item.get(), 1))});
    }
}

class PySink final : public PrescanSink {
public:
    PySink(const Reader& reader, Ref row_index)
        : reader_(reader), row_index_(std::move(row_index)),
          head_(Ref::check(PyList_New(0))), tail_(Ref::check(PyList_New(0))),
          rows_(Ref::check(PyList_New(0))), corners_(Ref::check(PyDict_New())) {}

    void element(bool after_sheet_data, std::string snippet) override {
        PyMarkup markup = py_markup(reader_, snippet);
        Ref pair = Ref::check(PyTuple_Pack(2, markup.snippet.get(), markup.namespaces.get()));
        check_rc(PyList_Append((after_sheet_data ? tail_ : head_).get(), pair.get()));
    }

    std::int64_t row_index(std::string_view r) override {
        Ref text = str_of(r);
        Ref number = Ref::check(PyObject_CallOneArg(row_index_.get(), text.get()));
        if (!PyLong_Check(number.get())) throw Unsupported("row index");
        const long value = PyLong_AsLong(number.get());
        if (value == -1 && PyErr_Occurred()) {
            // An index beyond 64 bits is the host's to handle, not an error to hand it.
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyErrorSet();
            PyErr_Clear();
            throw Unsupported("row index");
        }
        return value;
    }

    void row(std::int64_t index, const std::vector<ScanAttr>& attrs) override {
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(attrs.size())));
        Py_ssize_t i = 0;
        for (const ScanAttr& a : attrs) {
            Ref key = attr_key(a);
            Ref value = str_of(a.needs_decoding ? decode_attr(a.raw, scratch_) : a.raw);
            PyList_SET_ITEM(list.get(), i++,
                            Ref::check(PyTuple_Pack(2, key.get(), value.get())).release());
        }
        Ref number = int_of(index);
        Ref entry = Ref::check(PyTuple_Pack(2, number.get(), list.get()));
        if (PyList_Append(rows_.get(), entry.get()) < 0) {
            PyErr_Clear();
            throw Unsupported("append");
        }
    }

    void corner(CellRef at, std::optional<std::string_view> style) override {
        Ref key = cell_key(at);
        Ref value = style ? str_of(*style) : Ref::borrow(Py_None);
        check_rc(PyDict_SetItem(corners_.get(), key.get(), value.get()));
    }

    PyObject* result() {
        Ref out = Ref::check(PyDict_New());
        check_rc(PyDict_SetItemString(out.get(), "head", head_.get()));
        check_rc(PyDict_SetItemString(out.get(), "tail", tail_.get()));
        check_rc(PyDict_SetItemString(out.get(), "rows", rows_.get()));
        check_rc(PyDict_SetItemString(out.get(), "corners", corners_.get()));
        return out.release();
    }

private:
    Ref attr_key(const ScanAttr& a) {
        if (a.ns == kNoNamespace) return str_of(a.local);
        std::string key;
        std::string_view uri = reader_.namespaces().uri(a.ns);
        key.reserve(uri.size() + a.local.size() + 2);
        key.append("{").append(uri).append("}").append(a.local);
        return str_of(key);
    }

    const Reader& reader_;
    Ref row_index_;
    Ref head_, tail_, rows_, corners_;
    std::string scratch_;
};

}  // namespace

PyObject* py_prescan_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"source", "want_rows", "corners", "helpers"};
        static const Signature sig{"prescan_sheet", names, 4, 4};
        PyObject* bound[4];
        bind_args(sig, args, nargs, kwnames, bound);
        PyObject* const want_rows = bound[1];
        PyObject* const helpers = bound[3];
        if (!PyBool_Check(want_rows)) raise_arg_type("prescan_sheet", "want_rows", "bool", want_rows);
        if (!PyDict_Check(helpers)) raise_arg_type("prescan_sheet", "helpers", "dict", helpers);
        CornerSet corners;
        collect_corners(bound[2], corners);
        Ref row_index = lookup_helper(helpers, "row_index");
        Reader reader = make_py_reader(bound[0]);
        PySink sink(reader, std::move(row_index));
        prescan(reader, want_rows == Py_True, corners, sink);
        return sink.result();
    });
}

}  // namespace tovrel
