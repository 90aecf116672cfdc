// CellStore: the compact mapping from (row, column) to cells that stands in for a worksheet's
// cell dictionary, and its key iterator. Cells loaded from a sheet stay compact (store/
// cell_table.h) until Python asks for them; then a cell object of the host's cell class is
// built once and kept.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sheet/dates.h"
#include "sheet/py_formulas.h"
#include "sheet/py_values.h"
#include "store/cell_table.h"
#include "utils/borrow.h"
#include "utils/py_compat.h"
#include "utils/py_ref.h"
#include "utils/py_slot_class.h"

namespace tovrel {

// Strong references to Python objects by slot index. A freed slot is reused last in, first out.
class ObjectTable {
public:
    std::uint32_t put(Ref obj);
    PyObject* get(std::uint64_t index) const;
    // Drops the slot's reference and frees the slot.
    void release(std::uint64_t index);
    // Drops every reference.
    void clear();
    std::size_t bytes() const noexcept { return slots_.capacity() * sizeof(PyObject*) + free_.capacity() * 4; }
    int traverse(visitproc visit, void* arg) const;

    ObjectTable() = default;
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;
    ~ObjectTable() { clear(); }

private:
    std::vector<PyObject*> slots_;
    std::vector<std::uint32_t> free_;
};

// Everything a CellStore owns.
class StoreState {
public:
    CellTable table;
    ObjectTable objects;
    // Host references set by loading.
    Ref ws;
    Ref cell_styles;
    Ref shared_strings;
    Ref array_type;  // array.array
    Ref typecode;    // "i"
    std::vector<Ref> style_cache;  // ("i", cell_styles[i]) per style index, made on first use
    std::optional<DT> dt;
    std::vector<Ref> extra_dtypes;  // data types beyond the seven, dtype index - 7
    std::unique_ptr<SlotClass> slots;
    std::optional<Epoch> epoch;
    std::vector<SharedEntry> shared;
    std::uint32_t row_cache_row = 0;
    Ref row_cache;
    Ref dict;  // dict mode

    // Python value of a cell; Python errors propagate as PyErrorSet.
    Ref value_obj(const Loc& loc);
    // The cell object of a cell, built and kept on first use.
    Ref materialize(const Loc& loc);
    // The date of a date cell, without making Python objects; nothing for other cells.
    std::optional<DateResult> excel_date(const Loc& loc) const;

    // Keeps a reference in the object table; returns its slot.
    std::uint32_t put_obj(Ref obj) { return objects.put(std::move(obj)); }
    // Releases a record's payload (its object-table slot for kinds 1 and 12).
    void drop_payload(Kind kind, std::uint64_t payload);
    // Back to an empty compact store; templates, shared formulas and style caches stay.
    void reset();
    // Drops every Python reference and the compact part.
    void clear_all();
    int traverse(visitproc visit, void* arg) const;
    std::size_t bytes() const noexcept;
};

// The store object's state and borrow flag. `store` must be a CellStore (or subclass) instance.
bool is_cell_store(PyObject* obj) noexcept;
StoreState& store_state(PyObject* store);
BorrowFlag& store_borrow(PyObject* store);

// Fills a store from a worksheet's parsed cells, holding the store exclusively for its life.
// Construction resets the store and sets its host references; `shared` is the parser's
// shared-formula table, which must outlive the loader. The cells loaded so far stay in the
// store on every exit path, `finish` or not.
class StoreLoader {
public:
    struct Host {
        PyObject* ws;
        PyObject* cell_styles;
        PyObject* cell_cls;
        PyObject* shared_strings;
        std::optional<Epoch> epoch;
    };

    StoreLoader(PyObject* store, const Host& host, const SharedFormulas& shared);
    ~StoreLoader();
    StoreLoader(const StoreLoader&) = delete;
    StoreLoader& operator=(const StoreLoader&) = delete;

    // One parsed cell. Throws Fallback("unusual style id" / "style index" / "coordinate out
    // of range" / "too many data types") or PyErrorSet.
    void add(CellRec& cell);
    // Ends loading: takes over the shared formulas, drops the loading maps.
    void finish();

private:
    std::uint32_t style_index(const StyleId& style);
    std::uint8_t dtype_index(const DType& dtype);

    StoreState& st_;
    ExclusiveBorrow borrow_;
    const SharedFormulas& shared_;
    Py_ssize_t styles_len_ = 0;
    bool finished_ = false;
};

// The type objects, created once per process. Borrowed; NULL with an exception set on failure.
PyTypeObject* cell_store_type() noexcept;
PyTypeObject* key_iter_type() noexcept;

// Makes these the process's types if none were created yet. For a second extension built from
// these sources (the test probe), so that it works on the stores _tovrel makes.
void adopt_cell_store_types(PyObject* store_type, PyObject* iter_type) noexcept;

}  // namespace tovrel
