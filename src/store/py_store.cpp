#include "store/py_store.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "sheet/py_dates.h"
#include "utils/error.h"
#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "utils/py_str.h"

namespace tovrel {

namespace {

[[noreturn]] void internal(const char* what) { throw std::logic_error(what); }

// The reusable buffer formulas are rendered into before becoming one str.
thread_local std::string SCRATCH;

Ref int_of(std::int64_t v) { return Ref::check(PyLong_FromInt64(v)); }

Ref key_tuple(CellKey key) {
    Ref row = Ref::check(PyLong_FromUInt64(key_row(key)));
    Ref col = Ref::check(PyLong_FromUInt64(key_column(key)));
    return Ref::check(PyTuple_Pack(2, row.get(), col.get()));
}

double bits_to_double(std::uint64_t bits) noexcept {
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

std::uint64_t double_bits(double d) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return bits;
}

}  // namespace

// --- object table ------------------------------------------------------------------------------

std::uint32_t ObjectTable::put(Ref obj) {
    if (!free_.empty()) {
        const std::uint32_t i = free_.back();
        free_.pop_back();
        PyObject* old = slots_[i];
        slots_[i] = obj.release();
        Py_XDECREF(old);
        return i;
    }
    if (slots_.size() >= UINT32_MAX) internal("object table full");
    slots_.push_back(nullptr);
    slots_.back() = obj.release();
    return static_cast<std::uint32_t>(slots_.size() - 1);
}

PyObject* ObjectTable::get(std::uint64_t index) const {
    if (index >= slots_.size() || !slots_[index]) internal("empty object slot");
    return slots_[index];
}

void ObjectTable::release(std::uint64_t index) {
    if (index >= slots_.size()) internal("object slot out of range");
    PyObject* old = slots_[index];
    slots_[index] = nullptr;
    free_.push_back(static_cast<std::uint32_t>(index));
    Py_XDECREF(old);  // last: a finaliser may run
}

void ObjectTable::clear() {
    std::vector<PyObject*> old;
    old.swap(slots_);
    std::vector<std::uint32_t>().swap(free_);
    for (PyObject* o : old) Py_XDECREF(o);
}

int ObjectTable::traverse(visitproc visit, void* arg) const {
    for (PyObject* o : slots_) Py_VISIT(o);
    return 0;
}

// --- values and cell objects -------------------------------------------------------------------

Ref StoreState::value_obj(const Loc& loc) {
    const Rec r = table.entry(loc);
    switch (r.kind) {
        case Kind::CellObject:
            return Ref::check(PyObject_GetAttrString(objects.get(r.payload), "value"));
        case Kind::Empty:
            return Ref::borrow(Py_None);
        case Kind::Int:
            return int_of(static_cast<std::int64_t>(r.payload));
        case Kind::Float:
            return Ref::check(PyFloat_FromDouble(bits_to_double(r.payload)));
        case Kind::Bool:
            return Ref::borrow(r.payload ? Py_True : Py_False);
        case Kind::SharedString: {
            Ref index = int_of(static_cast<std::int64_t>(r.payload));
            return Ref::check(PyObject_GetItem(shared_strings.get(), index.get()));
        }
        case Kind::ArenaText:
            return str_of(table.text(r.payload));
        case Kind::SharedAt:
        case Kind::SharedOwn: {
            if (r.payload >= shared.size() || !shared[r.payload].native)
                internal("shared formula entry missing");
            std::optional<CellRef> dest;
            if (r.kind == Kind::SharedAt) dest = CellRef{key_row(r.key), key_column(r.key)};
            SCRATCH.clear();
            if (!shared[r.payload].native->translate_into(dest, SCRATCH))
                internal("shared formula no longer fits its cell");
            return str_of(SCRATCH);
        }
        case Kind::DateInt:
        case Kind::DateFloat: {
            std::optional<DateResult> d = excel_date(loc);
            if (!d || !d->ok()) internal("date cell out of range");
            return build_date(*d);
        }
        case Kind::Object:
            return Ref::borrow(objects.get(r.payload));
        case Kind::Templated: {
            const Templates& ts = table.templates();
            if (r.payload >= ts.size()) internal("template missing");
            SCRATCH.clear();
            if (!ts[static_cast<std::uint32_t>(r.payload)].render_into(key_row(r.key), key_column(r.key), SCRATCH))
                internal("template no longer fits its cell");
            return str_of(SCRATCH);
        }
        case Kind::Deleted:
        case Kind::SmallInt:
            break;
    }
    internal("unexpected record kind");
}

std::optional<DateResult> StoreState::excel_date(const Loc& loc) const {
    const Rec r = table.entry(loc);
    if (!epoch) return std::nullopt;
    if (r.kind == Kind::DateInt) {
        const auto serial = static_cast<std::int64_t>(r.payload);
        if (serial == 0) return DateResult::time(0, 0, 0, 0);
        return from_excel_int(serial, *epoch);
    }
    if (r.kind == Kind::DateFloat) return from_excel_float(bits_to_double(r.payload), *epoch);
    return std::nullopt;
}

Ref StoreState::materialize(const Loc& loc) {
    const Rec r = table.entry(loc);
    if (r.kind == Kind::CellObject) return Ref::borrow(objects.get(r.payload));
    if (!slots || !dt) {
        PyErr_SetString(PyExc_RuntimeError, "CellStore has no cell class: no sheet was loaded");
        throw PyErrorSet();
    }
    Ref value = value_obj(loc);

    Ref style;
    if (r.style == kNoStyle) {
        style = Ref::borrow(Py_None);
    } else {
        const std::uint32_t s = r.style;
        if (style_cache.size() <= s) style_cache.resize(static_cast<std::size_t>(s) + 1);
        if (!style_cache[s]) {
            Ref g;
            PyObject* styles = cell_styles.get();
            if (PyList_Check(styles) && static_cast<Py_ssize_t>(s) < PyList_GET_SIZE(styles)) {
                g = Ref::check(PyList_GetItemRef(styles, static_cast<Py_ssize_t>(s)));
            } else {
                Ref index = int_of(s);
                g = Ref::check(PyObject_GetItem(styles, index.get()));
            }
            style_cache[s] = Ref::check(PyTuple_Pack(2, typecode.get(), g.get()));
        }
        PyObject* args = style_cache[s].get();
        PyTypeObject* sub = Py_TYPE(PyTuple_GET_ITEM(args, 1));
        auto* array = reinterpret_cast<PyTypeObject*>(array_type.get());
        // array's constructor lays out an array object: only an array class can take it.
        if (!array || !PyType_IsSubtype(sub, array)) {
            PyErr_Format(PyExc_TypeError, "cell style %u is not an array: %T", s,
                         PyTuple_GET_ITEM(args, 1));
            throw PyErrorSet();
        }
        style = Ref::check(array->tp_new(sub, args, nullptr));
    }

    PyObject* data_type = nullptr;
    if (r.dtype < kTypeCount) {
        data_type = dt->get(static_cast<TypeIndex>(r.dtype));
    } else {
        const std::size_t i = r.dtype - kTypeCount;
        if (i >= extra_dtypes.size()) internal("data type missing");
        data_type = extra_dtypes[i].get();
    }

    const std::uint32_t row = key_row(r.key);
    if (!row_cache || row_cache_row != row) {
        row_cache = int_of(row);
        row_cache_row = row;
    }

    Ref cell = slots->alloc();
    PyObject* c = cell.get();
    slots->set(c, 0, ws.dup());
    slots->set(c, 1, std::move(style));
    slots->set(c, 2, row_cache.dup());
    slots->set(c, 3, int_of(key_column(r.key)));
    slots->set(c, 4, std::move(value));
    slots->set(c, 5, Ref::borrow(Py_None));
    slots->set(c, 6, Ref::borrow(data_type));
    slots->set(c, 7, Ref::borrow(Py_None));

    if (r.kind == Kind::Object) objects.release(r.payload);
    const std::uint32_t index = put_obj(cell.dup());
    table.rewrite(loc, Kind::CellObject, index);
    return cell;
}

void StoreState::drop_payload(Kind kind, std::uint64_t payload) {
    if (kind == Kind::CellObject || kind == Kind::Object) objects.release(payload);
}

void StoreState::reset() {
    table.reset();
    objects.clear();
}

void StoreState::clear_all() {
    // Take everything out first: releasing a reference may run code that looks at the store.
    std::vector<Ref> cache = std::move(style_cache);
    std::vector<Ref> extra = std::move(extra_dtypes);
    std::vector<SharedEntry> old_shared = std::move(shared);
    std::unique_ptr<SlotClass> old_slots = std::move(slots);
    Ref d = std::move(dict), w = std::move(ws), cs = std::move(cell_styles);
    Ref ss = std::move(shared_strings), rc = std::move(row_cache);
    table.reset();
    objects.clear();
}

int StoreState::traverse(visitproc visit, void* arg) const {
    Py_VISIT(ws.get());
    Py_VISIT(cell_styles.get());
    Py_VISIT(shared_strings.get());
    Py_VISIT(dict.get());
    Py_VISIT(array_type.get());
    if (int rc = objects.traverse(visit, arg)) return rc;
    for (const SharedEntry& e : shared) Py_VISIT(e.py.get());
    for (const Ref& r : extra_dtypes) Py_VISIT(r.get());
    for (const Ref& r : style_cache) Py_VISIT(r.get());
    if (slots) {
        if (int rc = slots->traverse(visit, arg)) return rc;
    }
    return 0;
}

std::size_t StoreState::bytes() const noexcept {
    std::size_t n = sizeof(StoreState) + table.bytes() + objects.bytes();
    n += style_cache.capacity() * sizeof(Ref) + extra_dtypes.capacity() * sizeof(Ref);
    n += shared.capacity() * sizeof(SharedEntry);
    return n;
}

// --- loading -----------------------------------------------------------------------------------

StoreLoader::StoreLoader(PyObject* store, const Host& host, const SharedFormulas& shared)
    : st_(store_state(store)), borrow_(store_borrow(store)), shared_(shared) {
    st_.reset();
    Ref old_dict = std::move(st_.dict);
    st_.table.begin_loading();
    st_.ws = Ref::borrow(host.ws);
    st_.cell_styles = Ref::borrow(host.cell_styles);
    st_.shared_strings = Ref::borrow(host.shared_strings);
    st_.epoch = host.epoch;
    static const std::string slot_names[] = {"parent", "_style", "row", "column",
                                             "_value", "_hyperlink", "data_type", "_comment"};
    st_.slots.reset();
    st_.slots = std::make_unique<SlotClass>(SlotClass::make(host.cell_cls, slot_names));
    st_.array_type = Ref::check(PyImport_ImportModuleAttrString("array", "array"));
    if (!PyType_Check(st_.array_type.get())) {
        PyErr_SetString(PyExc_TypeError, "array.array is not a type");
        throw PyErrorSet();
    }
    st_.typecode = Ref::check(PyUnicode_InternFromString("i"));
    st_.dt = DT::make();
    styles_len_ = PyObject_Length(host.cell_styles);
    if (styles_len_ < 0) throw PyErrorSet();
}

StoreLoader::~StoreLoader() {
    if (finished_) return;
    // A failed load: the cells so far stay readable, so the store takes the shared formulas
    // they name. The failure's exception is kept aside while references change hands.
    PyObject* pending = PyErr_GetRaisedException();
    try {
        finish();
    } catch (...) {
        // Only an allocation failure lands here; the loading maps go with the next reset.
        PyErr_Clear();
    }
    if (pending) PyErr_SetRaisedException(pending);
}

void StoreLoader::finish() {
    finished_ = true;
    std::vector<SharedEntry> entries;
    entries.reserve(shared_.size());
    for (std::uint32_t i = 0; i < shared_.size(); ++i) {
        const SharedEntry& e = shared_.entry(i);
        entries.push_back(SharedEntry{e.native, e.py.dup()});
    }
    std::vector<SharedEntry> old = std::move(st_.shared);
    st_.shared = std::move(entries);
    st_.table.finish_loading();
}

std::uint32_t StoreLoader::style_index(const StyleId& style) {
    PyObject* styles = st_.cell_styles.get();
    if (!style.is_int()) {
        Ref probe = Ref::check(PyObject_GetItem(styles, style.obj.get()));
        throw Fallback("unusual style id");
    }
    std::int64_t v = style.value;
    if (v < 0) v += styles_len_;
    if (v >= 0 && v < styles_len_ && v < static_cast<std::int64_t>(kNoStyle))
        return static_cast<std::uint32_t>(v);
    Ref index = int_of(style.value);
    Ref probe = Ref::check(PyObject_GetItem(styles, index.get()));
    throw Fallback("style index");
}

std::uint8_t StoreLoader::dtype_index(const DType& dtype) {
    if (!dtype.written) return static_cast<std::uint8_t>(dtype.index);
    std::vector<Ref>& extra = st_.extra_dtypes;
    for (std::size_t k = 0; k < extra.size(); ++k) {
        if (check_rc(PyObject_RichCompareBool(dtype.written.get(), extra[k].get(), Py_EQ)))
            return static_cast<std::uint8_t>(k + kTypeCount);
    }
    if (extra.size() >= 248) throw Fallback("too many data types");
    extra.push_back(dtype.written.dup());
    return static_cast<std::uint8_t>(extra.size() - 1 + kTypeCount);
}

void StoreLoader::add(CellRec& cell) {
    const std::uint32_t style = style_index(cell.style);
    if (cell.row < 0 || cell.row > UINT32_MAX || cell.column < 0 || cell.column > UINT32_MAX)
        throw Fallback("coordinate out of range");
    const auto row = static_cast<std::uint32_t>(cell.row);
    const auto col = static_cast<std::uint32_t>(cell.column);
    Rec rec;
    rec.key = cell_key(row, col);
    rec.style = style;
    rec.dtype = dtype_index(cell.dtype);

    auto put_object = [&](Ref obj) {
        rec.kind = Kind::Object;
        rec.payload = st_.put_obj(std::move(obj));
    };
    switch (kind_of(cell.value)) {
        case ValKind::None:
            rec.kind = Kind::Empty;
            break;
        case ValKind::Int:
            rec.kind = Kind::Int;
            rec.payload = static_cast<std::uint64_t>(std::get<std::int64_t>(cell.value));
            break;
        case ValKind::Float:
            rec.kind = Kind::Float;
            rec.payload = double_bits(std::get<double>(cell.value));
            break;
        case ValKind::Bool:
            rec.kind = Kind::Bool;
            rec.payload = std::get<bool>(cell.value) ? 1 : 0;
            break;
        case ValKind::SharedStr:
            rec.kind = Kind::SharedString;
            rec.payload = std::get<SharedStr>(cell.value).index;
            break;
        case ValKind::Str: {
            const std::string& text = std::get<std::string>(cell.value);
            if (rec.dtype == static_cast<std::uint8_t>(TypeIndex::F)) {
                if (std::optional<std::uint32_t> t = st_.table.templates().template_for(text, row, col)) {
                    rec.kind = Kind::Templated;
                    rec.payload = *t;
                    break;
                }
            }
            if (std::optional<std::uint64_t> ref = st_.table.store_text(text)) {
                rec.kind = Kind::ArenaText;
                rec.payload = *ref;
            } else {
                put_object(str_of(text));
            }
            break;
        }
        case ValKind::SharedRef: {
            const SharedRef& ref = std::get<SharedRef>(cell.value);
            if (!ref.dest) {
                rec.kind = Kind::SharedOwn;
                rec.payload = ref.entry;
            } else if (ref.dest->row == cell.row && ref.dest->column == cell.column) {
                rec.kind = Kind::SharedAt;
                rec.payload = ref.entry;
            } else {
                put_object(shared_.render(ref));
            }
            break;
        }
        case ValKind::DateInt:
            rec.kind = Kind::DateInt;
            rec.payload = static_cast<std::uint64_t>(std::get<DateInt>(cell.value).serial);
            break;
        case ValKind::DateFloat:
            rec.kind = Kind::DateFloat;
            rec.payload = double_bits(std::get<DateFloat>(cell.value).serial);
            break;
        case ValKind::Py:
            put_object(std::move(std::get<Ref>(cell.value)));
            break;
    }
    if (std::optional<Rec> old = st_.table.load(rec)) st_.drop_payload(old->kind, old->payload);
}

// --- the Python types --------------------------------------------------------------------------

namespace {

struct CellStoreObject {
    PyObject_HEAD
    BorrowFlag borrow;
    StoreState* st;
};

struct KeyIterObject {
    PyObject_HEAD
    PyObject* store;  // strong; NULL once exhausted
    std::uint64_t generation;
    std::uint64_t count;
    std::uint64_t pos;
};

CellStoreObject* as_store(PyObject* self) { return reinterpret_cast<CellStoreObject*>(self); }
StoreState& state(PyObject* self) { return *as_store(self)->st; }

[[noreturn]] void raise_key_error(PyObject* key) {
    Ref exc = Ref::check(PyObject_CallOneArg(PyExc_KeyError, key));
    PyErr_SetObject(PyExc_KeyError, exc.get());
    throw PyErrorSet();
}

// A tuple of exactly two exact ints, both in 0 .. 2^32 - 1.
std::optional<CellKey> exact_key(PyObject* key) noexcept {
    if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2) return std::nullopt;
    std::uint64_t v[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyTuple_GET_ITEM(key, i);
        if (!PyLong_CheckExact(item)) return std::nullopt;
        std::int64_t n;
        if (PyLong_AsInt64(item, &n) < 0) {
            PyErr_Clear();
            return std::nullopt;
        }
        if (static_cast<std::uint64_t>(n) > UINT32_MAX) return std::nullopt;
        v[i] = static_cast<std::uint64_t>(n);
    }
    return cell_key(static_cast<std::uint32_t>(v[0]), static_cast<std::uint32_t>(v[1]));
}

// One item of a key a dict treats as equal to an int: int(x) == x with the same hash.
std::optional<std::int64_t> equivalent_item(PyObject* int_type, PyObject* x) {
    Ref n = Ref::steal(PyObject_CallOneArg(int_type, x));
    if (!n) return std::nullopt;
    const int eq = PyObject_RichCompareBool(x, n.get(), Py_EQ);
    if (eq <= 0) return std::nullopt;
    const Py_hash_t hx = PyObject_Hash(x);
    if (hx == -1) return std::nullopt;
    const Py_hash_t hn = PyObject_Hash(n.get());
    if (hn == -1 || hn != hx) return std::nullopt;
    std::int64_t v;
    if (PyLong_AsInt64(n.get(), &v) < 0) return std::nullopt;
    return v;
}

// A 2-tuple (subclasses too) whose items compare and hash like ints in range. Only the import of
// builtins.int can fail; every other error means "not equivalent".
std::optional<CellKey> equivalent_key(PyObject* key) {
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return std::nullopt;
    Ref int_type = Ref::check(PyImport_ImportModuleAttrString("builtins", "int"));
    std::int64_t v[2];
    for (int i = 0; i < 2; ++i) {
        std::optional<std::int64_t> n = equivalent_item(int_type.get(), PyTuple_GET_ITEM(key, i));
        if (!n) {
            PyErr_Clear();
            return std::nullopt;
        }
        v[i] = *n;
    }
    if (v[0] < 0 || v[0] > UINT32_MAX || v[1] < 0 || v[1] > UINT32_MAX) return std::nullopt;
    return cell_key(static_cast<std::uint32_t>(v[0]), static_cast<std::uint32_t>(v[1]));
}

struct Resolved {
    std::optional<CellKey> key;
    bool exact = false;
};

Resolved resolve(PyObject* key, bool exact_first) {
    if (exact_first) {
        if (auto k = exact_key(key)) return {k, true};
    }
    if (PyObject_Hash(key) == -1) throw PyErrorSet();
    if (auto k = exact_key(key)) return {k, true};
    return {equivalent_key(key), false};
}

Loc locate(StoreState& st, const Resolved& r) {
    return r.key ? st.table.find_key(*r.key) : Loc{};
}

// The one-way switch: every cell, materialised, into a new dict in iteration order.
void switch_to_dict(StoreState& st) {
    Ref d = Ref::check(PyDict_New());
    for (const Loc& loc : st.table.locs()) {
        Ref cell = st.materialize(loc);
        Ref key = key_tuple(st.table.entry(loc).key);
        check_rc(PyDict_SetItem(d.get(), key.get(), cell.get()));
    }
    st.reset();
    st.dict = std::move(d);
}

Ref checked_len(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
        throw PyErrorSet();
    }
    return Ref();
}

// --- mapping protocol ---

PyObject* store_subscript(PyObject* self, PyObject* key) {
    return guard_obj([&]() -> PyObject* {
        ExclusiveBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (st.dict) return PyObject_GetItem(st.dict.get(), key);
        const Loc loc = locate(st, resolve(key, true));
        if (!loc.found()) raise_key_error(key);
        return st.materialize(loc).release();
    });
}

int store_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guard_int([&]() -> int {
        ExclusiveBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (!st.dict) {
            const Resolved r = resolve(key, false);
            const Loc loc = locate(st, r);
            if (!value) {
                if (!loc.found()) raise_key_error(key);
                const Rec old = st.table.remove(loc);
                st.drop_payload(old.kind, old.payload);
                return 0;
            }
            if (loc.found()) {
                const Rec old = st.table.entry(loc);
                const std::uint32_t index = st.put_obj(Ref::borrow(value));
                st.table.rewrite(loc, Kind::CellObject, index);
                st.drop_payload(old.kind, old.payload);
                return 0;
            }
            if (r.exact) {
                const std::uint32_t index = st.put_obj(Ref::borrow(value));
                st.table.insert_new(Rec{*r.key, index, kNoStyle, Kind::CellObject, 0});
                return 0;
            }
            switch_to_dict(st);
        }
        if (!value) return PyDict_DelItem(st.dict.get(), key);
        return PyDict_SetItem(st.dict.get(), key, value);
    });
}

int store_contains(PyObject* self, PyObject* key) {
    return guard_int([&]() -> int {
        SharedBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (st.dict) return PyDict_Contains(st.dict.get(), key);
        return locate(st, resolve(key, true)).found() ? 1 : 0;
    });
}

Py_ssize_t store_len(PyObject* self) {
    return guard(
        [&]() -> Py_ssize_t {
            SharedBorrow b(as_store(self)->borrow);
            StoreState& st = state(self);
            if (st.dict) return PyDict_Size(st.dict.get());
            checked_len(st.table.size());
            return static_cast<Py_ssize_t>(st.table.size());
        },
        Py_ssize_t{-1});
}

PyObject* store_iter(PyObject* self) {
    return guard_obj([&]() -> PyObject* {
        SharedBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (st.dict) return PyObject_GetIter(st.dict.get());
        PyTypeObject* type = key_iter_type();
        if (!type) throw PyErrorSet();
        auto* it = PyObject_GC_New(KeyIterObject, type);
        if (!it) throw PyErrorSet();
        it->store = Py_NewRef(self);
        it->generation = st.table.generation();
        it->count = st.table.size();
        it->pos = 0;
        PyObject_GC_Track(it);
        return reinterpret_cast<PyObject*>(it);
    });
}

// --- methods ---

PyObject* store_reversed(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        ExclusiveBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (st.dict) {
            Ref rev = Ref::check(PyImport_ImportModuleAttrString("builtins", "reversed"));
            return PyObject_CallOneArg(rev.get(), st.dict.get());
        }
        const std::vector<Loc> locs = st.table.locs();
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(locs.size())));
        Py_ssize_t i = 0;
        for (auto it = locs.rbegin(); it != locs.rend(); ++it)
            PyList_SET_ITEM(list.get(), i++, key_tuple(st.table.entry(*it).key).release());
        return PyObject_GetIter(list.get());
    });
}

PyObject* store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"key", "default"};
        static const Signature sig{"get", names, 2, 1};
        PyObject* a[2];
        bind_args(sig, args, nargs, kwnames, a);
        PyObject* dflt = a[1] ? a[1] : Py_None;
        ExclusiveBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (st.dict) {
            PyObject* out = nullptr;
            if (check_rc(PyDict_GetItemRef(st.dict.get(), a[0], &out)) == 0) return Py_NewRef(dflt);
            return out;
        }
        const Loc loc = locate(st, resolve(a[0], true));
        if (!loc.found()) return Py_NewRef(dflt);
        return st.materialize(loc).release();
    });
}

std::int64_t int64_arg(const char* name, PyObject* obj) {
    std::int64_t v;
    if (!PyLong_Check(obj)) raise_arg_type("_row", name, "int", obj);
    if (PyLong_AsInt64(obj, &v) < 0) throw PyErrorSet();
    return v;
}

PyObject* store_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"row", "min_col", "max_col", "values_only"};
        static const Signature sig{"_row", names, 4, 4};
        PyObject* a[4];
        bind_args(sig, args, nargs, kwnames, a);
        const std::int64_t row = int64_arg("row", a[0]);
        const std::int64_t lo = int64_arg("min_col", a[1]);
        const std::int64_t hi = int64_arg("max_col", a[2]);
        if (!PyBool_Check(a[3])) raise_arg_type("_row", "values_only", "bool", a[3]);
        const bool values_only = a[3] == Py_True;

        ExclusiveBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (st.dict) {
            PyErr_SetString(PyExc_RuntimeError, "_row() is not available in dict mode");
            throw PyErrorSet();
        }
        const bool out_of_range = row < 0 || row > UINT32_MAX ||
                                  (hi >= lo && (lo < 0 || hi > UINT32_MAX));
        if (out_of_range) internal("checked by caller");

        struct GcPause {
            int was;
            explicit GcPause(bool on) : was(on ? PyGC_Disable() : 0) {}
            ~GcPause() {
                if (was) PyGC_Enable();
            }
        } pause(!values_only);

        const Py_ssize_t width = hi >= lo ? static_cast<Py_ssize_t>(hi - lo + 1) : 0;
        Ref out = Ref::check(PyTuple_New(width));
        bool created = false;
        for (Py_ssize_t i = 0; i < width; ++i) {
            const CellKey key = cell_key(static_cast<std::uint32_t>(row),
                                         static_cast<std::uint32_t>(lo + i));
            Loc loc = st.table.find_key(key);
            if (!loc.found()) {
                loc = st.table.insert_new(Rec{key, 0, kNoStyle, Kind::Empty, 0});
                created = true;
            }
            Ref item = values_only ? st.value_obj(loc) : st.materialize(loc);
            PyTuple_SET_ITEM(out.get(), i, item.release());
        }
        return PyTuple_Pack(2, out.get(), created ? Py_True : Py_False);
    });
}

PyObject* store_clear(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        ExclusiveBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        Ref d = std::move(st.dict);
        st.reset();
        Py_RETURN_NONE;
    });
}

PyObject* store_popitem(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        ExclusiveBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (st.dict) return PyObject_CallMethod(st.dict.get(), "popitem", nullptr);
        const Loc loc = st.table.last();
        if (!loc.found()) {
            Ref msg = Ref::check(PyUnicode_FromString("popitem(): dictionary is empty"));
            raise_key_error(msg.get());
        }
        Ref cell = st.materialize(loc);
        Ref key = key_tuple(st.table.entry(loc).key);
        const Rec old = st.table.remove(loc);
        Ref pair = Ref::check(PyTuple_Pack(2, key.get(), cell.get()));
        st.drop_payload(old.kind, old.payload);
        return pair.release();
    });
}

PyObject* store_stats(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        SharedBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        std::uint64_t materialised = 0;
        for (const Loc& loc : st.table.locs())
            if (st.table.entry(loc).kind == Kind::CellObject) ++materialised;
        return Py_BuildValue("(KKKK)", static_cast<unsigned long long>(st.table.size()),
                             static_cast<unsigned long long>(materialised),
                             static_cast<unsigned long long>(st.table.templates().size()),
                             static_cast<unsigned long long>(st.table.text_bytes()));
    });
}

PyObject* store_bounds(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        SharedBorrow b(as_store(self)->borrow);
        StoreState& st = state(self);
        if (st.dict || st.table.size() == 0) Py_RETURN_NONE;
        std::uint32_t r0 = UINT32_MAX, r1 = 0, c0 = UINT32_MAX, c1 = 0;
        for (const Loc& loc : st.table.locs()) {
            const CellKey k = st.table.entry(loc).key;
            r0 = std::min(r0, key_row(k));
            r1 = std::max(r1, key_row(k));
            c0 = std::min(c0, key_column(k));
            c1 = std::max(c1, key_column(k));
        }
        return Py_BuildValue("(kkkk)", static_cast<unsigned long>(r0), static_cast<unsigned long>(r1),
                             static_cast<unsigned long>(c0), static_cast<unsigned long>(c1));
    });
}

PyObject* store_in_dict_mode(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        SharedBorrow b(as_store(self)->borrow);
        return Py_NewRef(state(self).dict ? Py_True : Py_False);
    });
}

// --- lifecycle ---

PyObject* store_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        auto st = std::make_unique<StoreState>();
        Ref self = Ref::check(type->tp_alloc(type, 0));
        CellStoreObject* obj = as_store(self.get());
        new (&obj->borrow) BorrowFlag();
        obj->st = st.release();
        return self.release();
    });
}

int store_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (StoreState* st = as_store(self)->st) return st->traverse(visit, arg);
    return 0;
}

int store_clear_refs(PyObject* self) {
    if (StoreState* st = as_store(self)->st) st->clear_all();
    return 0;
}

void store_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CellStoreObject* obj = as_store(self);
    StoreState* st = obj->st;
    obj->st = nullptr;
    delete st;
    obj->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef store_methods[] = {
    {"__reversed__", store_reversed, METH_NOARGS,
     "__reversed__($self, /)\n--\n\nThe keys in reverse iteration order."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_get)),
     METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, default=None)\n--\n\nThe cell of key, or default when absent."},
    {"_row", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_row)),
     METH_FASTCALL | METH_KEYWORDS,
     "_row($self, row, min_col, max_col, values_only)\n--\n\n"
     "One row of the worksheet's row-wise cell access: cells min_col..max_col of row, creating\n"
     "missing cells exactly as the worksheet's single-cell access does. Returns (cells, created):\n"
     "a tuple of cells (of values when values_only) and whether any cell was created."},
    {"clear", store_clear, METH_NOARGS, "clear($self, /)\n--\n\nRemove every cell."},
    {"popitem", store_popitem, METH_NOARGS,
     "popitem($self, /)\n--\n\ndict.popitem(): remove and return the last inserted (key, value)"},
    {"_stats", store_stats, METH_NOARGS,
     "_stats($self, /)\n--\n\nDiagnostics: (cells, materialised cells, formula templates, text bytes)"},
    {"_bounds", store_bounds, METH_NOARGS,
     "_bounds($self, /)\n--\n\n(min_row, max_row, min_col, max_col) of the keys, or None if empty or\n"
     "in dict mode."},
    {"_in_dict_mode", store_in_dict_mode, METH_NOARGS,
     "_in_dict_mode($self, /)\n--\n\nWhether the store has turned into a plain dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("CellStore(*_args, **_kwargs)\n--\n\n"
                                  "A worksheet's cells by (row, column), kept compact until used.")},
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(store_clear_refs)},
    {Py_tp_iter, reinterpret_cast<void*>(store_iter)},
    {Py_tp_methods, store_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(store_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(store_ass_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(store_len)},
    {Py_sq_contains, reinterpret_cast<void*>(store_contains)},
    {Py_sq_length, reinterpret_cast<void*>(store_len)},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "_tovrel.CellStore",
    sizeof(CellStoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    store_slots,
};

// --- KeyIter ---

KeyIterObject* as_iter(PyObject* self) { return reinterpret_cast<KeyIterObject*>(self); }

PyObject* iter_step(KeyIterObject* it, bool& done) {
    return guard_obj([&]() -> PyObject* {
        SharedBorrow b(as_store(it->store)->borrow);
        StoreState& st = state(it->store);
        const CellTable& t = st.table;
        if (t.generation() != it->generation) {
            PyErr_SetString(PyExc_RuntimeError, t.size() != it->count
                                                     ? "dictionary changed size during iteration"
                                                     : "dictionary keys changed during iteration");
            throw PyErrorSet();
        }
        const std::uint64_t end = t.base_slots() + t.overlay_slots();
        while (it->pos < end) {
            const Loc loc = t.slot(it->pos++);
            if (loc.found()) return key_tuple(t.entry(loc).key).release();
        }
        done = true;
        return nullptr;
    });
}

PyObject* iter_next(PyObject* self) {
    KeyIterObject* it = as_iter(self);
    if (!it->store) return nullptr;
    bool done = false;
    PyObject* key = iter_step(it, done);
    // An exhausted iterator lets its store go (after the step's borrow is released) and
    // stops at every later call, as a dict's iterator does.
    if (done) Py_CLEAR(it->store);
    return key;
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_iter(self)->store);
    return 0;
}

int iter_clear(PyObject* self) {
    Py_CLEAR(as_iter(self)->store);
    return 0;
}

void iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    iter_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over the keys of a CellStore.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "_tovrel.KeyIter",
    sizeof(KeyIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iter_slots,
};

PyObject* g_store_type = nullptr;
PyObject* g_iter_type = nullptr;
std::once_flag g_types_once;

void make_types() {
    std::call_once(g_types_once, [] {
        g_store_type = PyType_FromSpec(&store_spec);
        if (g_store_type) g_iter_type = PyType_FromSpec(&iter_spec);
    });
    if (!g_store_type || !g_iter_type) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "_tovrel: CellStore types could not be created");
    }
}

}  // namespace

bool is_cell_store(PyObject* obj) noexcept {
    PyTypeObject* type = cell_store_type();
    if (!type) {
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(obj, type);
}

StoreState& store_state(PyObject* store) {
    if (!is_cell_store(store) || !as_store(store)->st) internal("not a CellStore");
    return state(store);
}

BorrowFlag& store_borrow(PyObject* store) {
    if (!is_cell_store(store)) internal("not a CellStore");
    return as_store(store)->borrow;
}

void adopt_cell_store_types(PyObject* store_type, PyObject* iter_type) noexcept {
    std::call_once(g_types_once, [&] {
        g_store_type = Py_NewRef(store_type);
        g_iter_type = Py_NewRef(iter_type);
    });
}

PyTypeObject* cell_store_type() noexcept {
    make_types();
    return reinterpret_cast<PyTypeObject*>(g_store_type);
}

PyTypeObject* key_iter_type() noexcept {
    make_types();
    return reinterpret_cast<PyTypeObject*>(g_iter_type);
}

}  // namespace tovrel
