// SheetWriter::write_sheet_data: a whole <sheetData> from a CellStore in compact form, from a
// plain dict of cells, or from the host's own row source.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "store/py_store.h"
#include "utils/borrow.h"
#include "utils/error.h"
#include "writer/py_classify.h"
#include "writer/py_sheet_writer.h"

namespace tovrel {

namespace {

constexpr std::uint32_t kLastColumn = 18278;

[[noreturn]] void internal(const char* what) { throw std::logic_error(what); }
constexpr std::int64_t kMicrosPerDay = 86'400'000'000;

Ref attr(PyObject* obj, const char* name) { return Ref::check(PyObject_GetAttrString(obj, name)); }

struct RowText {
    char text[24];
    std::size_t len;
    explicit RowText(std::int64_t row) {
        len = static_cast<std::size_t>(std::to_chars(text, text + sizeof text, row).ptr - text);
    }
    std::string_view view() const noexcept { return {text, len}; }
};

// The keys of row_dimensions, ascending; nothing when one is not an int of 64 bits.
std::optional<std::vector<std::int64_t>> dimension_rows(PyObject* dims) {
    Ref keys = Ref::check(PyObject_CallMethod(dims, "keys", nullptr));
    Ref iter = Ref::check(PyObject_GetIter(keys.get()));
    std::vector<std::int64_t> rows;
    bool ok = true;
    for (;;) {
        PyObject* raw = nullptr;
        if (check_rc(PyIter_NextItem(iter.get(), &raw)) == 0) break;
        Ref key = Ref::steal(raw);
        if (!ok) continue;
        if (!PyLong_CheckExact(key.get())) {
            ok = false;
            continue;
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(key.get(), &overflow);
        if (overflow) {
            ok = false;
            continue;
        }
        if (v == -1 && PyErr_Occurred()) throw PyErrorSet();
        rows.push_back(v);
    }
    if (!ok) return std::nullopt;
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Calls row(r, first, last) for every row of the union of the rows of the sorted `keys` (by
// row_of) and the sorted dimension rows, ascending; [first, last) are that row's entries.
template <class T, class RowOf, class Fn>
void for_each_row(const std::vector<T>& items, RowOf row_of, const std::vector<std::int64_t>& dims,
                  Fn&& row) {
    std::size_t i = 0, d = 0;
    while (i < items.size() || d < dims.size()) {
        std::int64_t r;
        if (i < items.size() && (d == dims.size() || row_of(items[i]) <= dims[d]))
            r = row_of(items[i]);
        else
            r = dims[d];
        while (d < dims.size() && dims[d] == r) ++d;  // a key can repeat only in a host mapping
        std::size_t j = i;
        while (j < items.size() && row_of(items[j]) == r) ++j;
        row(r, i, j);
        i = j;
    }
}

// A date as the host's writer turns it into a serial number (helpers._serial), in double
// precision step by step.
double date_serial(const DateResult& d, const Epoch& epoch) {
    const std::int64_t seconds = std::int64_t{d.hour} * 3600 + d.minute * 60 + d.second;
    const double time_part = (static_cast<double>(seconds) + d.microsecond / 1'000'000.0) / 86400;
    if (d.kind == DateResult::Kind::Time) return time_part;
    const std::int64_t micros = days_from_civil(d.year, d.month, d.day) * kMicrosPerDay +
                                seconds * 1'000'000 + d.microsecond;
    const std::int64_t diff = micros - (epoch.days * kMicrosPerDay + epoch.micros);
    std::int64_t days = diff / kMicrosPerDay;
    if (diff % kMicrosPerDay != 0 && diff < 0) --days;
    if (epoch.is_windows && days >= 1 && days <= 60) --days;
    return time_part + static_cast<double>(days);
}

NumberText number_of(double x) { return std::isfinite(x) ? g16_float(x) : NumberText(); }

}  // namespace

void SheetWriter::write_sheet_data(PyObject* rows_fallback) {
    Ref cells = attr(ws_.get(), "_cells");
    Ref dims = attr(ws_.get(), "row_dimensions");
    buf_ += "<sheetData>";
    bool compact = false;
    if (is_cell_store(cells.get())) {
        SharedBorrow b(store_borrow(cells.get()));
        compact = !store_state(cells.get()).dict;
    }
    if (compact) {
        write_store(cells.get(), dims.get());
    } else if (!PyDict_Check(cells.get()) || !write_dict(cells.get(), dims.get())) {
        write_rows_fallback(rows_fallback, dims.get());
    }
    buf_ += "</sheetData>";
    flush_buf();
}

bool SheetWriter::write_dict(PyObject* cells, PyObject* dims) {
    struct Entry {
        long row, column;
        Ref cell;
    };
    std::vector<Entry> entries;
    bool plain = true;
    Py_BEGIN_CRITICAL_SECTION(cells);
    entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(cells)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(cells, &pos, &key, &value)) {
        std::optional<long> row, column;
        if (PyTuple_CheckExact(key) && PyTuple_GET_SIZE(key) == 2) {
            row = exact_int(PyTuple_GET_ITEM(key, 0));
            column = exact_int(PyTuple_GET_ITEM(key, 1));
        }
        if (!row || !column) {
            plain = false;
            break;
        }
        entries.push_back(Entry{*row, *column, Ref::borrow(value)});
    }
    Py_END_CRITICAL_SECTION();
    if (!plain) return false;
    std::optional<std::vector<std::int64_t>> dim_rows = dimension_rows(dims);
    if (!dim_rows) return false;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    for_each_row(entries, [](const Entry& e) { return std::int64_t{e.row}; }, *dim_rows,
                 [&](std::int64_t r, std::size_t first, std::size_t last) {
                     Ref row_obj = Ref::check(PyLong_FromLongLong(r));
                     Ref dim = dimension_of(dims, row_obj.get());
                     write_row_start(RowText(r).view(), dim.get());
                     for (std::size_t k = first; k < last; ++k) write_one(entries[k].cell.get());
                     end_row();
                 });
    return true;
}

void SheetWriter::write_rows_fallback(PyObject* rows_fallback, PyObject* dims) {
    Ref rows = Ref::check(PyObject_CallNoArgs(rows_fallback));
    Ref iter = Ref::check(PyObject_GetIter(rows.get()));
    for (;;) {
        PyObject* raw = nullptr;
        if (check_rc(PyIter_NextItem(iter.get(), &raw)) == 0) break;
        Ref item = Ref::steal(raw);
        if (!PyTuple_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'",
                         Py_TYPE(item.get())->tp_name);
            throw PyErrorSet();
        }
        if (PyTuple_GET_SIZE(item.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                         PyTuple_GET_SIZE(item.get()));
            throw PyErrorSet();
        }
        PyObject* row_idx = PyTuple_GET_ITEM(item.get(), 0);
        Ref text = Ref::check(PyObject_Str(row_idx));
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
        if (!utf8) throw PyErrorSet();
        Ref dim = dimension_of(dims, row_idx);
        write_row_start({utf8, static_cast<std::size_t>(len)}, dim.get());
        Ref row_cells = Ref::check(PyObject_GetIter(PyTuple_GET_ITEM(item.get(), 1)));
        for (;;) {
            PyObject* c = nullptr;
            if (check_rc(PyIter_NextItem(row_cells.get(), &c)) == 0) break;
            Ref cell = Ref::steal(c);
            write_one(cell.get());
        }
        end_row();
    }
}

void SheetWriter::write_store(PyObject* store, PyObject* dims) {
    std::optional<std::vector<std::int64_t>> dim_rows = dimension_rows(dims);
    if (!dim_rows) throw Fallback("row dimension keys");

    StoreState& st = store_state(store);
    BorrowFlag& flag = store_borrow(store);
    std::vector<std::pair<CellKey, Loc>> records;
    std::uint64_t generation;
    {
        SharedBorrow b(flag);
        const std::vector<Loc> locs = st.table.locs();
        records.reserve(locs.size());
        for (const Loc& loc : locs) records.emplace_back(st.table.entry(loc).key, loc);
        generation = st.table.generation();
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    // Host code runs between reads (style lookups, date helpers, write_cell); a store that gains
    // or loses cells meanwhile has moved its records.
    auto check_unchanged = [&] {
        if (st.dict || st.table.generation() != generation) {
            PyErr_SetString(PyExc_RuntimeError, "CellStore changed size during iteration");
            throw PyErrorSet();
        }
    };
    struct StyleText {
        bool known = false;
        bool styled = false;
        std::string text;
    };
    std::vector<StyleText> style_texts;
    std::string rendered;

    auto materialized = [&](const Loc& loc) {
        Ref cell;
        {
            ExclusiveBorrow b(flag);
            check_unchanged();
            cell = st.materialize(loc);
        }
        write_one(cell.get());
    };

    auto write_record = [&](const Loc& loc) {
        Rec r;
        Ref value;  // owns the text of a Python value
        Ref dtype_obj;
        Ref held_cell;
        auto read = [&] {
            SharedBorrow b(flag);
            check_unchanged();
            r = st.table.entry(loc);
            held_cell = r.kind == Kind::CellObject ? Ref::borrow(st.objects.get(r.payload)) : Ref();
            value = r.kind == Kind::Object ? Ref::borrow(st.objects.get(r.payload)) : Ref();
            dtype_obj = Ref();
            if (r.dtype >= kTypeCount) {
                const std::size_t k = r.dtype - kTypeCount;
                if (k >= st.extra_dtypes.size()) internal("data type missing");
                dtype_obj = st.extra_dtypes[k].dup();
            }
        };
        read();
        if (held_cell) return write_one(held_cell.get());
        const std::uint32_t row = key_row(r.key), column = key_column(r.key);
        if (column < 1 || column > kLastColumn) return materialized(loc);

        const StyleText* style = nullptr;
        if (r.style != kNoStyle) {
            if (style_texts.size() <= r.style) style_texts.resize(std::size_t{r.style} + 1);
            StyleText& entry = style_texts[r.style];
            if (!entry.known) {
                Ref styles;
                {
                    SharedBorrow b(flag);
                    styles = st.cell_styles.dup();
                }
                Ref index = Ref::check(PyLong_FromUnsignedLong(r.style));
                Ref obj = Ref::check(PyObject_GetItem(styles.get(), index.get()));
                entry.styled = styles_.has_style(obj.get());
                if (entry.styled) {
                    Ref array = Ref::check(PyObject_CallOneArg(style_array_.get(), obj.get()));
                    Ref id = styles_.style_id(array.get());
                    Ref text = Ref::check(PyObject_Str(id.get()));
                    Py_ssize_t len = 0;
                    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
                    if (!utf8) throw PyErrorSet();
                    entry.text.assign(utf8, static_cast<std::size_t>(len));
                }
                entry.known = true;
                // The lookup ran host code: read the record again.
                read();
                if (held_cell) return write_one(held_cell.get());
            }
            style = &entry;
        }
        const bool styled = style && style->styled;
        if (!styled && (r.kind == Kind::Empty || (r.kind == Kind::Object && value.get() == Py_None)))
            return;

        static constexpr std::string_view kTypes[kTypeCount] = {"n", "s", "f", "b", "e", "d",
                                                                 "inlineStr"};
        CellHead head;
        head.row = row;
        head.column = column;
        if (dtype_obj) {
            if (!PyUnicode_Check(dtype_obj.get())) return materialized(loc);
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(dtype_obj.get(), &len);
            if (!utf8) {
                PyErr_Clear();
                return materialized(loc);
            }
            head.data_type = {utf8, static_cast<std::size_t>(len)};
        } else {
            head.data_type = kTypes[r.dtype];
        }
        if (styled) head.style = std::string_view(style->text);
        head.type = type_attribute(head.data_type);

        std::optional<CellValue> cv;
        bool refused = false;
        const bool is_date = r.kind == Kind::DateInt || r.kind == Kind::DateFloat;
        if (head.data_type == "d") {
            std::optional<DateResult> d;
            if (is_date && !iso_dates_ && epoch_) {
                SharedBorrow b(flag);
                check_unchanged();
                d = st.excel_date(loc);
            }
            if (d && d->kind != DateResult::Kind::OutOfRange) {
                cv = CellValue::of_number(number_of(date_serial(*d, *epoch_)));
                head.type = std::string_view("n");
            } else {
                {
                    ExclusiveBorrow b(flag);
                    check_unchanged();
                    value = st.value_obj(loc);
                }
                Ref pair = Ref::check(PyObject_CallFunctionObjArgs(date_value_raw_.get(), ws_.get(),
                                                                   value.get(), nullptr));
                if (!PyTuple_Check(pair.get())) {
                    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'",
                                 Py_TYPE(pair.get())->tp_name);
                    throw PyErrorSet();
                }
                if (PyTuple_GET_SIZE(pair.get()) != 2) {
                    PyErr_Format(PyExc_ValueError,
                                 "expected tuple of length 2, but got tuple of length %zd",
                                 PyTuple_GET_SIZE(pair.get()));
                    throw PyErrorSet();
                }
                const int keep = check_rc(PyObject_IsTrue(PyTuple_GET_ITEM(pair.get(), 1)));
                value = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
                if (!keep) head.type = std::string_view("n");
                cv = classify(value.get());
            }
        } else {
            SharedBorrow b(flag);
            check_unchanged();
            switch (r.kind) {
                case Kind::Empty:
                    cv = CellValue::none();
                    break;
                case Kind::Int:
                    cv = CellValue::of_number(g16_int(static_cast<std::int64_t>(r.payload)));
                    break;
                case Kind::Float:
                    cv = CellValue::of_number(number_of(std::bit_cast<double>(r.payload)));
                    break;
                case Kind::Bool:
                    cv = CellValue::of_number(NumberText::of(r.payload ? "1" : "0"));
                    break;
                case Kind::ArenaText:
                    // Written below while the store is still borrowed.
                    cv = CellValue::of_text(st.table.text(r.payload));
                    break;
                case Kind::SharedAt:
                case Kind::SharedOwn: {
                    if (r.payload >= st.shared.size() || !st.shared[r.payload].native)
                        internal("shared formula entry missing");
                    std::optional<CellRef> dest;
                    if (r.kind == Kind::SharedAt) dest = CellRef{row, column};
                    rendered.clear();
                    if (!st.shared[r.payload].native->translate_into(dest, rendered))
                        internal("shared formula no longer fits its cell");
                    cv = CellValue::of_text(rendered);
                    break;
                }
                case Kind::Templated: {
                    const Templates& ts = st.table.templates();
                    if (r.payload >= ts.size()) internal("template missing");
                    rendered.clear();
                    if (!ts[static_cast<std::uint32_t>(r.payload)].render_into(row, column, rendered))
                        internal("template no longer fits its cell");
                    cv = CellValue::of_text(rendered);
                    break;
                }
                default:
                    break;
            }
            // emit runs no host code without a hyperlink.
            if (cv) {
                if (emit(head, *cv, nullptr)) return;
                refused = true;
            }
        }
        if (refused) return materialized(loc);
        if (!cv && head.data_type != "d") {
            {
                ExclusiveBorrow b(flag);
                check_unchanged();
                value = st.value_obj(loc);
            }
            cv = classify(value.get());
        }
        if (!cv || !emit(head, *cv, nullptr)) return materialized(loc);
    };

    for_each_row(records, [](const auto& e) { return std::int64_t{key_row(e.first)}; }, *dim_rows,
                 [&](std::int64_t r, std::size_t first, std::size_t last) {
                     Ref row_obj = Ref::check(PyLong_FromLongLong(r));
                     Ref dim = dimension_of(dims, row_obj.get());
                     write_row_start(RowText(r).view(), dim.get());
                     for (std::size_t k = first; k < last; ++k) write_record(records[k].second);
                     end_row();
                 });
}

}  // namespace tovrel
