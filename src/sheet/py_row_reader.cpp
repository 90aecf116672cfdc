#include "sheet/py_row_reader.h"

#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sheet/py_sheet_gc.h"
#include "sheet/py_sheet_parser.h"
#include "utils/borrow.h"
#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "utils/py_fallback.h"
#include "utils/py_gc.h"
#include "utils/py_interned.h"
#include "utils/py_slot_class.h"

namespace tovrel {

namespace {

constexpr std::uint64_t kBlock = 16384;

// One held-back item: a row, an element, or a warning the parser gave while reading the item
// after it ("warn", message), queued in front of that item.
struct Queued {
    enum class Kind : std::uint8_t { Row, Element, Warn };
    Kind kind = Kind::Row;
    std::uint64_t position = 0;
    RowItem row;          // Row
    ElementItem element;  // Element
    Ref warn;             // Warn: the tuple
};

int gc_visit(const GcVisitor& v, const Queued& q) {
    return TOVREL_GC_MEMBERS(v, q, kind, position, row, element, warn);
}

// The read-ahead queue: first in, first out over one vector whose storage is kept, so a reader
// in steady state queues and releases items without allocating. Released slots at the front are
// reclaimed once they outnumber the live ones.
class ItemQueue {
public:
    bool empty() const noexcept { return head_ == items_.size(); }
    Queued& front() noexcept { return items_[head_]; }
    // A new entry at the back, for the caller to fill.
    Queued& emplace_back(Queued::Kind kind, std::uint64_t position) {
        Queued& q = items_.emplace_back();
        q.kind = kind;
        q.position = position;
        return q;
    }
    // Releases the front entry; a row's cell storage goes back to `parser` for a later row.
    void pop_front(SheetParser& parser) noexcept {
        Queued& q = items_[head_];  // release what the slot held
        switch (q.kind) {
            case Queued::Kind::Row: parser.recycle(std::move(q.row.cells)); break;
            case Queued::Kind::Element: q.element = ElementItem{}; break;
            case Queued::Kind::Warn: q.warn = Ref(); break;
        }
        if (++head_ == items_.size()) {
            clear();
        } else if (head_ >= 16 && head_ * 2 >= items_.size()) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    void clear() noexcept {
        items_.clear();
        head_ = 0;
    }
    friend int gc_visit(const GcVisitor& v, const ItemQueue& q) {
        for (std::size_t i = q.head_; i < q.items_.size(); ++i)
            if (int rc = gc_visit(v, q.items_[i])) return rc;
        return 0;
    }

private:
    std::vector<Queued> items_;
    std::size_t head_ = 0;
};

struct ReaderState {
    ReaderState(PyObject* source, Helpers helpers, Settings settings, PyObject* actions,
                PyObject* warnings, PyObject* row_dimensions)
        : parser(source, std::move(helpers), std::move(settings), warnings, row_dimensions),
          actions(Ref::borrow(actions)),
          warnings(Ref::borrow(warnings)) {}

    SheetParser parser;
    Ref actions;
    // The parser's warnings land here first and are queued with the item they came with, so
    // they reach `actions` in document order with the elements around them. Python code can
    // reach the list through the garbage collector, so it is only used through calls that
    // lock it.
    Ref warnings;
    ItemQueue queue;
    bool finished = false;
    // The error every call raises once reading has failed, kept without traceback, context or
    // cause (those would tie it to the frames of the call that failed).
    Ref deferred;
    // The cell-class accessor of the last next_row call with values_only false, and the
    // extra_none names it was built with: its slot list depends on both.
    std::optional<SlotClass> slots;
    std::vector<std::string> slot_extra;
};

// Everything the state owns, for the type's traverse; clearing deletes the whole state.
int gc_visit(const GcVisitor& v, const ReaderState& st) {
    return TOVREL_GC_MEMBERS(v, st, parser, actions, warnings, queue, finished, deferred, slots,
                             slot_extra);
}

struct RowReaderObject {
    PyObject_HEAD
    BorrowFlag borrow;
    ReaderState* state;
};

RowReaderObject* as_reader(PyObject* self) { return reinterpret_cast<RowReaderObject*>(self); }

ReaderState& state_of(PyObject* self) {
    ReaderState* st = as_reader(self)->state;
    if (!st) {
        PyErr_SetString(PyExc_RuntimeError, "RowReader was cleared");
        throw PyErrorSet();
    }
    return *st;
}

// "native reader error: <type>: <str(exc)>", or nothing (no exception set) when even that
// cannot be built.
Ref reader_error_args(PyObject* exc) noexcept {
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) {
        PyErr_Clear();
        text = Ref::steal(PyUnicode_FromString("<exception str() failed>"));
    }
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc)));
    Ref args;
    if (text && name) {
        Ref message = Ref::steal(
            PyUnicode_FromFormat("native reader error: %U: %U", name.get(), text.get()));
        if (message) args = Ref::steal(PyTuple_Pack(1, message.get()));
    }
    if (!args) PyErr_Clear();
    return args;
}

// The exception to keep as the deferred error: its traceback, context and cause are dropped.
Ref detached(Ref exc) noexcept {
    PyException_SetTraceback(exc.get(), Py_None);
    PyException_SetContext(exc.get(), nullptr);
    PyException_SetCause(exc.get(), nullptr);
    return exc;
}

// Raises a fresh copy of the deferred error: same class, arguments and instance attributes (a
// fallback's input offset). Raising the one stored instance again and again would grow its
// traceback by an entry per call and tie it to every caller's frame.
[[noreturn]] void raise_deferred(PyObject* error) {
    if (PyExceptionClass_Check(error)) {
        PyErr_SetNone(error);
        throw PyErrorSet();
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error));
    Ref args = Ref::check(PyException_GetArgs(error));
    Ref fresh = Ref::check(PyObject_Call(type, args.get(), nullptr));
    PyObject* attrs = nullptr;
    PyObject* fresh_attrs = nullptr;
    check_rc(PyObject_GetOptionalAttrString(error, "__dict__", &attrs));
    Ref own = Ref::steal(attrs);
    check_rc(PyObject_GetOptionalAttrString(fresh.get(), "__dict__", &fresh_attrs));
    Ref fresh_own = Ref::steal(fresh_attrs);
    if (own && fresh_own && PyDict_Check(own.get()) && PyDict_Check(fresh_own.get()))
        check_rc(PyDict_Update(fresh_own.get(), own.get()));
    PyErr_SetObject(type, fresh.get());
    throw PyErrorSet();
}

// Called while a failure of the parser is being handled. Stores the error later calls raise:
// the failure itself when it is a NativeFallback, else a NativeFallback naming it. Returns the
// exception to raise at once instead of the stored one when the failure is not an ordinary
// error a fallback should hide: an interrupt (KeyboardInterrupt, SystemExit, anything not
// derived from Exception), MemoryError, or an internal error of the engine.
Ref defer_failure(ReaderState& st) noexcept {
    bool from_python = false;
    try {
        throw;
    } catch (const PyErrorSet&) {
        from_python = true;
    } catch (...) {
    }
    // The one conversion of the engine's own errors (malformed input becomes NativeFallback).
    set_python_error_from_current();
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* fallback = native_fallback_type();
    if (!fallback) {
        PyErr_Clear();
        return exc;
    }
    if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(fallback))) {
        st.deferred = detached(std::move(exc));
        return Ref();
    }
    Ref args = reader_error_args(exc.get());
    Ref replaced = Ref::steal(args ? PyObject_Call(fallback, args.get(), nullptr) : nullptr);
    if (!replaced) PyErr_Clear();
    // Out of memory even for the message: the class alone still stops later calls.
    st.deferred = replaced ? std::move(replaced) : Ref::borrow(fallback);
    const bool ordinary = PyObject_TypeCheck(exc.get(),
                                             reinterpret_cast<PyTypeObject*>(PyExc_Exception)) &&
                          !PyErr_GivenExceptionMatches(exc.get(), PyExc_MemoryError);
    if (from_python && ordinary) return Ref();
    return exc;
}

// The next item or warning in document order, held back until the input is consumed to the end
// of the 16 KiB block the item ended in; a failure before that discards the held items. Null at
// the end of the document; otherwise the caller takes what it needs and pops the entry.
Queued* next_ready(ReaderState& st) {
    for (;;) {
        if (st.deferred) {
            // The parser cannot go on after an error: every later call raises it again.
            st.queue.clear();
            raise_deferred(st.deferred.get());
        }
        if (!st.queue.empty()) {
            Queued& front = st.queue.front();
            if (st.finished || st.parser.position() >= front.position / kBlock * kBlock + kBlock)
                return &front;
        } else if (st.finished) {
            return nullptr;
        }
        Ref now;
        try {
            Item item = st.parser.next_item();
            const std::uint64_t position = st.parser.position();
            if (PyList_GET_SIZE(st.warnings.get()) > 0) {
                // Owned references to the items, then drop exactly those.
                Ref taken = Ref::check(PyList_GetSlice(st.warnings.get(), 0, PY_SSIZE_T_MAX));
                const Py_ssize_t n = PyList_GET_SIZE(taken.get());
                for (Py_ssize_t i = 0; i < n; ++i)
                    st.queue.emplace_back(Queued::Kind::Warn, position).warn =
                        Ref::borrow(PyList_GET_ITEM(taken.get(), i));
                check_rc(PyList_SetSlice(st.warnings.get(), 0, n, nullptr));
            }
            if (RowItem* row = std::get_if<RowItem>(&item)) {
                st.queue.emplace_back(Queued::Kind::Row, position).row = std::move(*row);
            } else if (ElementItem* el = std::get_if<ElementItem>(&item)) {
                st.queue.emplace_back(Queued::Kind::Element, position).element = std::move(*el);
            } else {
                st.finished = true;
            }
            continue;
        } catch (...) {
            now = defer_failure(st);
        }
        st.queue.clear();
        check_rc(PyList_SetSlice(st.warnings.get(), 0, PY_SSIZE_T_MAX, nullptr));
        if (now) {
            PyErr_SetRaisedException(now.release());
            throw PyErrorSet();
        }
    }
}

// Appends ("element", bytes, namespaces) to the actions list.
void queue_element(ReaderState& st, ElementItem& el) {
    Ref tuple = Ref::check(Py_BuildValue("(sOO)", "element", el.xml.get(), el.namespaces.get()));
    check_rc(PyList_Append(st.actions.get(), tuple.get()));
}

// The next row, with every element and warning before it moved to the actions list; null at
// the end. The row stays at the front of the queue for the caller to read in place; a
// PopRow releases it.
RowItem* next_row_item(ReaderState& st) {
    for (;;) {
        Queued* q = next_ready(st);
        if (!q) return nullptr;
        switch (q->kind) {
            case Queued::Kind::Warn:
                check_rc(PyList_Append(st.actions.get(), q->warn.get()));
                break;
            case Queued::Kind::Element:
                queue_element(st, q->element);
                break;
            case Queued::Kind::Row:
                return &q->row;
        }
        st.queue.pop_front(st.parser);
    }
}

// Releases the row next_row_item returned once it has been turned into Python objects (or the
// call failed), its cell storage going back to the parser for a later row. Nothing adds to the
// queue meanwhile: that takes the reader's borrow, which the caller holds.
struct PopRow {
    ReaderState& st;
    ~PopRow() { st.queue.pop_front(st.parser); }
};

Ref int_of(std::int64_t v) { return Ref::check(PyLong_FromInt64(v)); }

// The Python object of a cell value (val_to_py), made in the loop that builds the row for the
// kinds most cells have.
[[gnu::always_inline]] inline Ref cell_value(const SheetParser& parser, Val&& value) {
    switch (kind_of(value)) {
        case ValKind::None: return Ref::borrow(Py_None);
        case ValKind::Int: return int_of(*std::get_if<std::int64_t>(&value));
        case ValKind::Float: return Ref::check(PyFloat_FromDouble(*std::get_if<double>(&value)));
        case ValKind::Bool: return Ref::borrow(*std::get_if<bool>(&value) ? Py_True : Py_False);
        case ValKind::Py: return std::move(*std::get_if<Ref>(&value));
        default: return val_to_py_general(parser.settings(), parser.shared(), std::move(value));
    }
}

PyObject* next_raw(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        ExclusiveBorrow borrow(as_reader(self)->borrow);
        ReaderState& st = state_of(self);
        RowItem* row = next_row_item(st);
        if (!row) Py_RETURN_NONE;
        PopRow pop{st};
        Ref cells = Ref::check(PyList_New(static_cast<Py_ssize_t>(row->cells.size())));
        Py_ssize_t i = 0;
        for (CellRec& c : row->cells) {
            Ref r = int_of(c.row);
            Ref col = int_of(c.column);
            Ref value = st.parser.to_py(std::move(c.value));
            Ref dtype = c.dtype.to_py(st.parser.dt());
            Ref style = c.style.to_py();
            PyList_SET_ITEM(cells.get(), i++,
                            Ref::check(PyTuple_Pack(5, r.get(), col.get(), value.get(),
                                                    dtype.get(), style.get()))
                                .release());
        }
        Ref index = int_of(row->index);
        return PyTuple_Pack(2, index.get(), cells.get());
    });
}

long long_arg(const char* name, PyObject* obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) raise_arg_type("next_row", name, "int", obj);
        throw PyErrorSet();
    }
    return v;
}

std::vector<std::string> extra_names(PyObject* obj) {
    std::vector<std::string> names;
    if (!obj || obj == Py_None) return names;
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        "next_row() argument 'extra_none': Can't extract `str` to `Vec`");
        throw PyErrorSet();
    }
    if (!PySequence_Check(obj)) raise_arg_type("next_row", "extra_none", "a sequence", obj);
    // A tuple of owned references: another thread may change a list while it is read.
    Ref seq = Ref::check(PySequence_Tuple(obj));
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(seq.get(), i);
        if (!PyUnicode_Check(item)) raise_arg_type("next_row", "extra_none", "a sequence of str", obj);
        Py_ssize_t len;
        const char* text = PyUnicode_AsUTF8AndSize(item, &len);
        if (!text) throw PyErrorSet();
        names.emplace_back(text, static_cast<std::size_t>(len));
    }
    return names;
}

// The number of columns from min_col to hi (none when hi < min_col); OverflowError or
// MemoryError when no tuple can have that many items.
Py_ssize_t row_width(long min_col, long hi) {
    if (hi < min_col) return 0;
    // The difference of two longs with hi >= min_col is exact in unsigned arithmetic.
    const unsigned long span = static_cast<unsigned long>(hi) - static_cast<unsigned long>(min_col);
    if (span >= static_cast<unsigned long>(PY_SSIZE_T_MAX)) {
        PyErr_Format(PyExc_OverflowError,
                     "next_row(): the columns from %ld to %ld are too many for a row", min_col, hi);
        throw PyErrorSet();
    }
    const Py_ssize_t width = static_cast<Py_ssize_t>(span) + 1;
    if (width > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*))) {
        PyErr_Format(PyExc_MemoryError,
                     "next_row(): a row of the %zd columns from %ld to %ld does not fit in memory",
                     width, min_col, hi);
        throw PyErrorSet();
    }
    return width;
}

PyObject* next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"ws", "min_col", "max_col", "values_only",
                                            "cell_cls", "filler", "extra_none"};
        static const Signature sig{"next_row", names, 7, 6};
        PyObject* a[7];
        if (!kwnames && nargs >= 6 && nargs <= 7) {
            // The usual call, every argument by position.
            for (Py_ssize_t i = 0; i < nargs; ++i) a[i] = args[i];
            if (nargs == 6) a[6] = nullptr;
        } else {
            bind_args(sig, args, nargs, kwnames, a);
        }
        PyObject* ws = a[0];
        const long min_col = long_arg("min_col", a[1]);
        std::optional<long> max_col;
        if (a[2] != Py_None) max_col = long_arg("max_col", a[2]);
        if (!PyBool_Check(a[3])) raise_arg_type("next_row", "values_only", "bool", a[3]);
        const bool values_only = a[3] == Py_True;
        if (!PyType_Check(a[4])) raise_arg_type("next_row", "cell_cls", "type", a[4]);
        PyObject* cell_cls = a[4];
        PyObject* filler = a[5];
        std::vector<std::string> extra = extra_names(a[6]);

        ExclusiveBorrow borrow(as_reader(self)->borrow);
        ReaderState& st = state_of(self);
        RowItem* row = next_row_item(st);
        if (!row) Py_RETURN_NONE;
        PopRow pop{st};
        Ref index = int_of(row->index);
        std::vector<CellRec>& cells = row->cells;

        long hi;
        if (max_col && *max_col != 0) {
            hi = *max_col;
        } else if (cells.empty()) {
            Ref empty = Ref::check(PyTuple_New(0));
            return PyTuple_Pack(2, index.get(), empty.get());
        } else {
            hi = static_cast<long>(cells.back().column);
        }
        const Py_ssize_t width = row_width(min_col, hi);

        const bool fv = st.parser.settings().formula_and_value;
        if (!values_only &&
            (!st.slots || st.slots->cls() != cell_cls || st.slot_extra != extra)) {
            std::vector<std::string> slot_names = {"parent", "row", "column", "_value",
                                                   "data_type", "_style_id"};
            if (fv) {
                slot_names.emplace_back("formula");
                slot_names.emplace_back("cached_value");
            }
            slot_names.insert(slot_names.end(), extra.begin(), extra.end());
            st.slots.reset();
            st.slots.emplace(SlotClass::make(cell_cls, slot_names));
            st.slot_extra = extra;
        }

        if (width == 0) {
            Ref empty = Ref::check(PyTuple_New(0));
            return PyTuple_Pack(2, index.get(), empty.get());
        }
        // The tuple is filled as its values or cells are made, out of the collector's sight:
        // Python code that runs meanwhile (a host sequence's __getitem__, a finaliser, a
        // collection) cannot reach it while it still has empty slots. A later cell of the same
        // column takes the slot and releases the one it displaces.
        Ref slots = Ref::check(PyTuple_New(width));
        PyObject* const tuple = slots.get();
        PyObject_GC_UnTrack(tuple);
        Ref row_obj;
        std::int64_t row_of_obj = 0;
        Py_ssize_t taken = 0;  // slots holding a cell's value or cell
        for (CellRec& c : cells) {
            if (c.column < min_col || c.column > hi) continue;
            const auto at = static_cast<Py_ssize_t>(c.column - min_col);
            Ref item = cell_value(st.parser, std::move(c.value));
            if (!values_only) {
                Ref value = std::move(item);
                const SlotClass& sc = *st.slots;
                item = sc.alloc();
                PyObject* cell = item.get();
                if (!row_obj || row_of_obj != c.row) {
                    row_obj = int_of(c.row);
                    row_of_obj = c.row;
                }
                std::size_t k = 0;
                sc.fill(cell, k++, Ref::borrow(ws));
                sc.fill(cell, k++, row_obj.dup());
                sc.fill(cell, k++, int_of(c.column));
                Ref style = c.style.obj ? c.style.obj.dup() : int_of(c.style.value);
                if (fv) {
                    Ref formula;
                    if (c.has_formula)
                        formula = value.dup();
                    else if (c.has_aside(CellRec::Aside::Formula))
                        formula = st.parser.to_py(std::move(c.aside));
                    else
                        formula = Ref::borrow(Py_None);
                    Ref cached = c.has_aside(CellRec::Aside::Cached)
                                     ? st.parser.to_py(std::move(c.aside))
                                     : value.dup();
                    sc.fill(cell, k++, std::move(value));
                    sc.fill(cell, k++, c.dtype.to_py(st.parser.dt()));
                    sc.fill(cell, k++, std::move(style));
                    sc.fill(cell, k++, std::move(formula));
                    sc.fill(cell, k++, std::move(cached));
                } else {
                    sc.fill(cell, k++, std::move(value));
                    sc.fill(cell, k++, c.dtype.to_py(st.parser.dt()));
                    sc.fill(cell, k++, std::move(style));
                }
                for (std::size_t e = 0; e < extra.size(); ++e)
                    sc.set(cell, k++, Ref::borrow(Py_None));  // may repeat a name above
            }
            PyObject* old = PyTuple_GET_ITEM(tuple, at);
            PyTuple_SET_ITEM(tuple, at, item.release());
            if (old)
                Py_DECREF(old);
            else
                ++taken;
        }
        // The filler is often one object shared by every reader (the host's empty cell); only
        // the slots no cell takes hold a reference to it.
        if (taken < width) {
            for (Py_ssize_t i = 0; i < width; ++i)
                if (!PyTuple_GET_ITEM(tuple, i)) PyTuple_SET_ITEM(tuple, i, Py_NewRef(filler));
        }
        PyObject_GC_Track(tuple);
        PyObject* result = PyTuple_New(2);
        if (!result) throw PyErrorSet();
        PyTuple_SET_ITEM(result, 0, index.release());
        PyTuple_SET_ITEM(result, 1, slots.release());
        return result;
    });
}

// The list is fixed at construction, so reading the attribute needs no borrow: a callback
// running inside next_row may look at it.
PyObject* get_actions(PyObject* self, void*) {
    return guard_obj([&] { return state_of(self).actions.dup().release(); });
}

PyObject* row_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"source", "parser", "helpers"};
        static const Signature sig{"RowReader", names, 3, 3};
        PyObject* a[3];
        bind_args(sig, args, kwargs, a);
        if (!PyDict_Check(a[2])) raise_arg_type("RowReader", "helpers", "dict", a[2]);
        Helpers helpers = Helpers::from_dict(a[2]);
        Settings settings = Settings::from_parser(a[1]);
        Ref actions = Ref::check(PyList_New(0));
        Ref warnings = Ref::check(PyList_New(0));
        static constinit const InternedName row_dimensions("row_dimensions");
        Ref row_dims = Ref::check(PyObject_GetAttr(a[1], row_dimensions.get()));
        if (!PyDict_Check(row_dims.get()))
            raise_arg_type("RowReader", "parser.row_dimensions", "dict", row_dims.get());
        auto state = std::make_unique<ReaderState>(a[0], std::move(helpers), std::move(settings),
                                                   actions.get(), warnings.get(),
                                                   row_dims.get());
        Ref self = Ref::check(type->tp_alloc(type, 0));
        RowReaderObject* obj = as_reader(self.get());
        new (&obj->borrow) BorrowFlag();
        obj->state = state.release();
        return self.release();
    });
}

int row_reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const ReaderState* st = as_reader(self)->state;
    return st ? gc_visit(GcVisitor{visit, arg}, *st) : 0;
}

int row_reader_clear(PyObject* self) {
    RowReaderObject* obj = as_reader(self);
    ReaderState* st = obj->state;
    obj->state = nullptr;
    delete st;
    return 0;
}

void row_reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    row_reader_clear(self);
    as_reader(self)->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef row_reader_methods[] = {
    {"next_raw", next_raw, METH_NOARGS,
     "next_raw($self, /)\n--\n\n"
     "The next row as (index, [(row, column, value, data_type, style_id), ...]), or None at the "
     "end."},
    {"next_row", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(next_row)),
     METH_FASTCALL | METH_KEYWORDS,
     "next_row($self, /, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)\n"
     "--\n\n"
     "The next row as (index, tuple of cells or values), or None at the end."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef row_reader_getset[] = {
    {"actions", get_actions, nullptr,
     "Elements that are not rows, and warnings, in document order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot row_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RowReader(source, parser, helpers)\n--\n\n"
                                  "The streaming row reader used by the read-only worksheet "
                                  "class.")},
    {Py_tp_new, reinterpret_cast<void*>(row_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(row_reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(row_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(row_reader_clear)},
    {Py_tp_methods, row_reader_methods},
    {Py_tp_getset, row_reader_getset},
    {0, nullptr},
};

PyType_Spec row_reader_spec = {
    "_tovrel.RowReader",
    sizeof(RowReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    row_reader_slots,
};

PyObject* g_row_reader_type = nullptr;
std::once_flag g_row_reader_once;

}  // namespace

PyTypeObject* row_reader_type() noexcept {
    // Created once per process and never released.
    std::call_once(g_row_reader_once, [] { g_row_reader_type = PyType_FromSpec(&row_reader_spec); });
    if (!g_row_reader_type) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "_tovrel: RowReader type could not be created");
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(g_row_reader_type);
}

}  // namespace tovrel
