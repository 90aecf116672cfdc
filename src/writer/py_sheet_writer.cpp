#include "writer/py_sheet_writer.h"

#include <charconv>
#include <mutex>

#include "sheet/py_dates.h"
#include "sheet/py_helpers.h"
#include "utils/borrow.h"
#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "writer/py_classify.h"

namespace tovrel {

namespace {

constexpr long kMaxColumn = 18278;

Ref attr(PyObject* obj, const char* name) { return Ref::check(PyObject_GetAttrString(obj, name)); }

// The host's conversion error for a result of the wrong type.
[[noreturn]] void raise_conversion(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(obj)->tp_name,
                 target);
    throw PyErrorSet();
}

// The UTF-8 text of a str, or the conversion error.
std::string_view str_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_conversion(obj, "PyString");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!text) throw PyErrorSet();
    return {text, static_cast<std::size_t>(len)};
}

// The native Epoch of the workbook's epoch when it is a naive datetime; nothing otherwise.
std::optional<Epoch> workbook_epoch(PyObject* epoch, PyObject* datetime_cls) {
    Ref windows =
        Ref::check(PyImport_ImportModuleAttrString("tovrel.utils.datetime", "WINDOWS_EPOCH"));
    return epoch_from_datetime(epoch, datetime_cls, windows.get());
}

bool truth(PyObject* obj) { return check_rc(PyObject_IsTrue(obj)) != 0; }

}  // namespace

SheetWriter::SheetWriter(PyObject* ws, PyObject* write, bool lxml, PyObject* helpers)
    : ws_(Ref::borrow(ws)),
      write_(Ref::borrow(write)),
      lxml_(lxml),
      cell_(),
      get_name_(Ref::check(PyUnicode_InternFromString("get"))),
      append_name_(Ref::check(PyUnicode_InternFromString("append"))),
      update_name_(Ref::check(PyUnicode_InternFromString("update"))),
      parent_(attr(ws, "parent")),
      cell_styles_(attr(parent_.get(), "_cell_styles")),
      style_array_(lookup_helper(helpers, "StyleArray")),
      hyperlinks_(attr(ws, "_hyperlinks")),
      add_comment_(lookup_helper(helpers, "add_comment")),
      write_cell_(lookup_helper(helpers, "write_cell")),
      date_value_(lookup_helper(helpers, "date_value")),
      date_value_raw_(lookup_helper(helpers, "date_value_raw")),
      epoch_obj_(attr(parent_.get(), "epoch")),
      datetime_cls_(Ref::check(PyImport_ImportModuleAttrString("datetime", "datetime"))),
      epoch_(workbook_epoch(epoch_obj_.get(), datetime_cls_.get())),
      iso_dates_(truth(attr(parent_.get(), "iso_dates").get())),
      styles_(style_array_.dup(), cell_styles_.dup()) {}

void SheetWriter::flush_buf() {
    if (buf_.empty()) return;
    const auto size = static_cast<Py_ssize_t>(buf_.size());
    Ref chunk = Ref::check(lxml_ ? PyBytes_FromStringAndSize(buf_.data(), size)
                                 : PyUnicode_DecodeUTF8(buf_.data(), size, nullptr));
    Ref result = Ref::check(PyObject_CallOneArg(write_.get(), chunk.get()));
    buf_.clear();
}

Ref SheetWriter::dimension_of(PyObject* dims, PyObject* row) {
    Ref dim;
    if (PyDict_CheckExact(dims)) {
        PyObject* found = nullptr;
        check_rc(PyDict_GetItemRef(dims, row, &found));
        dim = Ref::steal(found);
    } else {
        dim = Ref::check(PyObject_CallMethodOneArg(dims, get_name_.get(), row));
    }
    if (dim.get() == Py_None) return Ref();
    return dim;
}

void SheetWriter::write_row(PyObject* cells, long row_idx) {
    Ref dims = attr(ws_.get(), "row_dimensions");
    Ref row_obj = Ref::check(PyLong_FromLong(row_idx));
    Ref dim = dimension_of(dims.get(), row_obj.get());
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, row_idx).ptr;
    write_row_start({text, static_cast<std::size_t>(end - text)}, dim.get());
    Ref iter = Ref::check(PyObject_GetIter(cells));
    for (;;) {
        PyObject* raw = nullptr;
        if (check_rc(PyIter_NextItem(iter.get(), &raw)) == 0) break;
        Ref cell = Ref::steal(raw);
        write_one(cell.get());
    }
    end_row();
}

void SheetWriter::write_row_start(std::string_view row_text, PyObject* dimension) {
    if (!dimension) {
        buf_ += "<row";
        append_attribute(buf_, "r", row_text, lxml_);
        buf_ += '>';
        return;
    }
    Ref attrs = Ref::check(PyDict_New());
    Ref r = Ref::check(
        PyUnicode_FromStringAndSize(row_text.data(), static_cast<Py_ssize_t>(row_text.size())));
    check_rc(PyDict_SetItemString(attrs.get(), "r", r.get()));
    Ref updated = Ref::check(PyObject_CallMethodOneArg(attrs.get(), update_name_.get(), dimension));
    // The dict is this call's own: nothing else can see or change it while it is walked. A key
    // in "{uri}local" form names an attribute of another namespace, which needs a prefix
    // declared for it; written as it stands it would make the row malformed, so the row is
    // refused before any of it is written.
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(attrs.get(), &pos, &key, &value)) {
        const std::string_view k = str_text(key);
        str_text(value);
        if (!k.empty() && k.front() == '{') throw Fallback("namespaced row attribute");
    }
    buf_ += "<row";
    pos = 0;
    while (PyDict_Next(attrs.get(), &pos, &key, &value))
        append_attribute(buf_, str_text(key), str_text(value), lxml_);
    buf_ += '>';
}

void SheetWriter::end_row() {
    buf_ += "</row>";
    if (buf_.size() >= kFlushAt) flush_buf();
}

void SheetWriter::write_one(PyObject* cell) {
    Ref comment = cell_.get(cell, CellAttrs::Comment);
    if (comment.get() != Py_None)
        Ref done = Ref::check(
            PyObject_CallFunctionObjArgs(add_comment_.get(), ws_.get(), cell, nullptr));
    Ref value = cell_.get(cell, CellAttrs::Value);
    Ref style = cell_.get(cell, CellAttrs::Style);
    const StyleCache::Look look = styles_.look(style.get());
    const bool styled = look.styled;
    if (value.get() == Py_None && !styled && (comment.get() == Py_None || !truth(comment.get())))
        return;

    Ref data_type = cell_.get(cell, CellAttrs::DataType);
    Ref row_obj = cell_.get(cell, CellAttrs::Row);
    Ref column_obj = cell_.get(cell, CellAttrs::Column);
    const auto row = exact_int(row_obj.get());
    const auto column = exact_int(column_obj.get());
    if (!row || !column || *column < 1 || *column > kMaxColumn) return push_fallback(cell, styled);
    if (!PyUnicode_Check(data_type.get())) return push_fallback(cell, styled);
    Py_ssize_t dt_len = 0;
    const char* dt_text = PyUnicode_AsUTF8AndSize(data_type.get(), &dt_len);
    if (!dt_text) {
        PyErr_Clear();
        return push_fallback(cell, styled);
    }

    CellHead head;
    head.row = *row;
    head.column = *column;
    head.data_type = {dt_text, static_cast<std::size_t>(dt_len)};
    std::string style_scratch;
    if (styled) head.style = styles_.style_text(style.get(), look, style_scratch);
    head.type = type_attribute(head.data_type);
    if (head.data_type == "d") {
        Ref pair = Ref::check(
            PyObject_CallFunctionObjArgs(date_value_.get(), ws_.get(), cell, nullptr));
        if (!PyTuple_Check(pair.get())) raise_conversion(pair.get(), "PyTuple");
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError,
                         "expected tuple of length 2, but got tuple of length %zd",
                         PyTuple_GET_SIZE(pair.get()));
            throw PyErrorSet();
        }
        value = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        if (!truth(PyTuple_GET_ITEM(pair.get(), 1))) head.type = std::string_view("n");
    }
    const std::optional<CellValue> classified = classify(value.get());
    if (!classified) return push_fallback(cell, styled);
    Ref hyperlink = cell_.get(cell, CellAttrs::Hyperlink);
    if (!emit(head, *classified, hyperlink.get())) push_fallback(cell, styled);
}

bool SheetWriter::emit(const CellHead& head, const CellValue& value, PyObject* hyperlink) {
    if (cell_refused(head.data_type, value)) return false;
    if (hyperlink && hyperlink != Py_None && truth(hyperlink))
        Ref done = Ref::check(
            PyObject_CallMethodOneArg(hyperlinks_.get(), append_name_.get(), hyperlink));
    append_cell(buf_, head, value, lxml_);
    return true;
}

void SheetWriter::push_fallback(PyObject* cell, bool styled) {
    Ref text = Ref::check(PyObject_CallFunctionObjArgs(write_cell_.get(), ws_.get(), cell,
                                                        styled ? Py_True : Py_False, nullptr));
    if (lxml_) {
        if (!PyBytes_Check(text.get())) raise_conversion(text.get(), "PyBytes");
        buf_.append(PyBytes_AS_STRING(text.get()),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(text.get())));
        return;
    }
    if (!PyUnicode_Check(text.get())) raise_conversion(text.get(), "PyString");
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (utf8) {
        buf_.append(utf8, static_cast<std::size_t>(len));
        return;
    }
    // Not encodable (lone surrogates): what came before goes out first, then the str itself, so
    // the order holds and the host deals with the encoding.
    PyErr_Clear();
    flush_buf();
    Ref result = Ref::check(PyObject_CallOneArg(write_.get(), text.get()));
}

int SheetWriter::traverse(visitproc visit, void* arg) const {
    for (const Ref* r : {&ws_, &write_, &parent_, &cell_styles_, &style_array_, &hyperlinks_,
                         &add_comment_, &write_cell_, &date_value_, &date_value_raw_, &epoch_obj_,
                         &datetime_cls_})
        Py_VISIT(r->get());
    if (int rc = cell_.traverse(visit, arg)) return rc;
    return styles_.traverse(visit, arg);
}

// --- the Python type ----------------------------------------------------------------------------

namespace {

struct SheetWriterObject {
    PyObject_HEAD
    BorrowFlag borrow;
    SheetWriter* state;
};

SheetWriterObject* as_writer(PyObject* self) { return reinterpret_cast<SheetWriterObject*>(self); }

SheetWriter& state_of(PyObject* self) {
    SheetWriter* st = as_writer(self)->state;
    if (!st) {
        PyErr_SetString(PyExc_RuntimeError, "SheetWriter was cleared");
        throw PyErrorSet();
    }
    return *st;
}

// A bool, or NumPy's boolean scalar.
bool bool_arg(const char* fname, const char* name, PyObject* obj) {
    if (PyBool_Check(obj)) return obj == Py_True;
    const char* type_name = Py_TYPE(obj)->tp_name;
    if (std::string_view(type_name) == "numpy.bool" || std::string_view(type_name) == "numpy.bool_")
        return truth(obj);
    raise_arg_type(fname, name, "bool", obj);
}

PyObject* sheet_writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"ws", "write", "lxml", "helpers"};
        static const Signature sig{"SheetWriter", names, 4, 4};
        PyObject* a[4];
        bind_args(sig, args, kwargs, a);
        const bool lxml = bool_arg("SheetWriter", "lxml", a[2]);
        if (!PyDict_Check(a[3])) raise_arg_type("SheetWriter", "helpers", "dict", a[3]);
        auto state = std::make_unique<SheetWriter>(a[0], a[1], lxml, a[3]);
        Ref self = Ref::check(type->tp_alloc(type, 0));
        SheetWriterObject* obj = as_writer(self.get());
        new (&obj->borrow) BorrowFlag();
        obj->state = state.release();
        return self.release();
    });
}

PyObject* write_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"cells", "row_idx"};
        static const Signature sig{"write_row", names, 2, 2};
        PyObject* a[2];
        bind_args(sig, args, nargs, kwnames, a);
        const long row_idx = PyLong_AsLong(a[1]);
        if (row_idx == -1 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                raise_arg_type("write_row", "row_idx", "int", a[1]);
            }
            throw PyErrorSet();
        }
        ExclusiveBorrow borrow(as_writer(self)->borrow);
        state_of(self).write_row(a[0], row_idx);
        Py_RETURN_NONE;
    });
}

PyObject* write_sheet_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"rows_fallback"};
        static const Signature sig{"write_sheet_data", names, 1, 1};
        PyObject* a[1];
        bind_args(sig, args, nargs, kwnames, a);
        ExclusiveBorrow borrow(as_writer(self)->borrow);
        state_of(self).write_sheet_data(a[0]);
        Py_RETURN_NONE;
    });
}

PyObject* flush(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        ExclusiveBorrow borrow(as_writer(self)->borrow);
        state_of(self).flush_buf();
        Py_RETURN_NONE;
    });
}

int sheet_writer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (SheetWriter* st = as_writer(self)->state) return st->traverse(visit, arg);
    return 0;
}

int sheet_writer_clear(PyObject* self) {
    SheetWriterObject* obj = as_writer(self);
    SheetWriter* st = obj->state;
    obj->state = nullptr;
    delete st;
    return 0;
}

void sheet_writer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    sheet_writer_clear(self);
    as_writer(self)->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef sheet_writer_methods[] = {
    {"write_row", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_row)),
     METH_FASTCALL | METH_KEYWORDS,
     "write_row($self, /, cells, row_idx)\n--\n\n"
     "Write one `<row>` from an iterable of cells (write-only worksheets)."},
    {"write_sheet_data",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_sheet_data)),
     METH_FASTCALL | METH_KEYWORDS,
     "write_sheet_data($self, /, rows_fallback)\n--\n\n"
     "Write the whole `<sheetData>` element for `ws`, as the worksheet writer's row writing does.\n"
     "`rows_fallback` is that writer's own row source (a callable returning (row_idx, cells)\n"
     "pairs), used when the cell keys are not plain integer tuples."},
    {"flush", flush, METH_NOARGS,
     "flush($self, /)\n--\n\n"
     "Hand whatever output is pending to `write`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sheet_writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("SheetWriter(ws, write, lxml, helpers)\n--\n\n"
                                  "Writes the <sheetData> of a worksheet through `write`, in the "
                                  "ElementTree or the lxml form.")},
    {Py_tp_new, reinterpret_cast<void*>(sheet_writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sheet_writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(sheet_writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sheet_writer_clear)},
    {Py_tp_methods, sheet_writer_methods},
    {0, nullptr},
};

PyType_Spec sheet_writer_spec = {
    "_tovrel.SheetWriter",
    sizeof(SheetWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    sheet_writer_slots,
};

PyObject* g_sheet_writer_type = nullptr;
std::once_flag g_sheet_writer_once;

}  // namespace

PyTypeObject* sheet_writer_type() noexcept {
    // Created once per process and never released.
    std::call_once(g_sheet_writer_once,
                   [] { g_sheet_writer_type = PyType_FromSpec(&sheet_writer_spec); });
    if (!g_sheet_writer_type) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "_tovrel: SheetWriter type could not be created");
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(g_sheet_writer_type);
}

}  // namespace tovrel
