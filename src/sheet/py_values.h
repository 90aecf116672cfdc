// Cell values and data types: what one parsed <c> element becomes.
//
// The worksheet parser collects a cell's raw texts (CellText) and calls `interpret`, which
// decides the value, the data type, the position and the formula exactly as the host's Python
// cell parser does. Values stay compact (Val) until a consumer asks for the Python object
// (`val_to_py`).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "sheet/dates.h"
#include "sheet/py_settings.h"
#include "sheet/values.h"
#include "utils/cell_ref.h"
#include "utils/error.h"
#include "utils/py_compat.h"
#include "utils/py_ref.h"
#include "utils/py_str.h"

namespace tovrel {

struct Helpers;
struct Settings;
class SharedFormulas;

// The data types the reader recognises, by their data-type index: "n", "s", "f", "b", "e", "d",
// "inlineStr".
enum class TypeIndex : std::uint8_t { N = 0, S, F, B, E, D, InlineStr };
inline constexpr std::size_t kTypeCount = 7;

// DT: the strings of the seven recognised data types as interned Python str objects, made once
// per parser and indexed by TypeIndex; every cell of a recognised type hands out these objects.
class DT {
public:
    static DT make();
    PyObject* get(TypeIndex type) const noexcept {
        return strings_[static_cast<std::size_t>(type)].get();
    }

private:
    Ref strings_[kTypeCount];
};

// DType: a cell's data type in compact form, a TypeIndex, or a `t` value the reader does not
// recognise, kept as written (an owned str).
struct DType {
    TypeIndex index = TypeIndex::N;  // meaningless when `written` is set
    Ref written;

    static DType of(TypeIndex index) noexcept { return DType{index, Ref()}; }
    static DType as_written(Ref t) noexcept { return DType{TypeIndex::N, std::move(t)}; }
    // Becomes the recognised type `type` (cheaper than assigning of(type) to a fresh one).
    void set(TypeIndex type) noexcept {
        if (written) written = Ref();
        index = type;
    }
    // The Python data-type string (a new reference).
    Ref to_py(const DT& dt) const noexcept { return written ? written.dup() : Ref::borrow(dt.get(index)); }
};

// A cell's style id: an integer, or the host object for an empty `s` (the empty str) and for a
// number beyond 64 bits (the Python int).
struct StyleId {
    std::int64_t value = 0;
    Ref obj;

    bool is_int() const noexcept { return !obj; }
    Ref to_py() const;
};

// Compact cell values. The alternatives are in the order of ValKind.
struct SharedStr {
    std::uint32_t index;
};
struct SharedRef {
    std::uint32_t entry;           // index into the parser's shared-formula table
    std::optional<CellRef> dest;   // the cell it was read for; rendered unmoved without one
};
// A converted date or time, packed small enough to travel inside a Val.
struct PackedDate {
    std::int32_t microsecond = 0;
    std::int16_t year = 0;
    std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
    DateResult::Kind kind = DateResult::Kind::OutOfRange;  // OutOfRange: not converted

    static PackedDate of(const DateResult& r) noexcept {
        return PackedDate{r.microsecond,
                          static_cast<std::int16_t>(r.year),
                          static_cast<std::uint8_t>(r.month),
                          static_cast<std::uint8_t>(r.day),
                          static_cast<std::uint8_t>(r.hour),
                          static_cast<std::uint8_t>(r.minute),
                          static_cast<std::uint8_t>(r.second),
                          r.kind};
    }
    DateResult unpack() const noexcept {
        return DateResult{kind, year, month, day, hour, minute, second, microsecond};
    }
};

// Date serials. `interpret` converts the serial once to check its range and keeps the result
// beside it, so handing the value to Python does not convert it again; a value made with the
// serial alone is converted then.
struct DateInt {
    std::int64_t serial;
    PackedDate when{};
};
struct DateFloat {
    double serial;
    PackedDate when{};
};

using Val = std::variant<std::monostate, std::int64_t, double, bool, SharedStr, std::string,
                         SharedRef, DateInt, DateFloat, Ref>;

enum class ValKind : std::uint8_t {
    None, Int, Float, Bool, SharedStr, Str, SharedRef, DateInt, DateFloat, Py
};

inline ValKind kind_of(const Val& v) noexcept { return static_cast<ValKind>(v.index()); }

// One parsed cell.
struct CellRec {
    // What `aside` holds. A cell keeps at most one value beside its own: the formula
    // (data_only with formula_and_value) or the <v> value beside the formula (formula_and_value
    // with data_only off), never both.
    enum class Aside : std::uint8_t { None, Formula, Cached };

    // User-provided, so that a value-initialised record (emplace_back()) only runs the member
    // initialisers below instead of first zeroing the whole record.
    CellRec() noexcept {}

    StyleId style;
    Val value;
    Val aside;
    DType dtype;
    std::int64_t row = 0;
    std::int64_t column = 0;
    Aside aside_kind = Aside::None;
    bool has_formula = false;    // an <f> child, data_only off

    bool has_aside(Aside kind) const noexcept { return aside_kind == kind; }
};

// The raw texts of one cell as `interpret` reads them: views of the reader's buffer (the
// buffer-level path) or of CellBufs (the general path), valid for the call. Attribute texts have
// their references already resolved; presence travels in CellFlags.
struct CellText {
    std::string_view t;
    std::string_view r;
    std::string_view s;
    std::string_view v;
    std::string_view f_t;
    std::string_view f_ref;
    std::string_view f_si;
    std::string_view f_text;
    // The position `r` names when the caller has already read it as fast_coordinate does.
    const CellRef* r_cell = nullptr;
    // `v` as parse_number decides it, when the caller has already read it so.
    const CellNumber* v_number = nullptr;
    // `type` is the cell's t classified (N when it has none); else decide_value classifies t.
    bool typed = false;
    CellType type = CellType::N;
    // `inline_text` is the text of the cell's <is> (an inlineStr cell's value), read as plain
    // text by the caller instead of handed over as a value.
    bool has_inline_text = false;
    std::string_view inline_text;
};

// Storage for the texts of one cell where they cannot stay views of the buffer, reused from
// cell to cell.
struct CellBufs {
    std::string t;
    std::string r;
    std::string s;
    std::string v;
    std::string f_t;
    std::string f_ref;
    std::string f_si;
    std::string f_text;

    void clear() noexcept {
        t.clear();
        r.clear();
        s.clear();
        v.clear();
        f_t.clear();
        f_ref.clear();
        f_si.clear();
        f_text.clear();
    }
    CellText text() const noexcept {
        CellText text;
        text.t = t;
        text.r = r;
        text.s = s;
        text.v = v;
        text.f_t = f_t;
        text.f_ref = f_ref;
        text.f_si = f_si;
        text.f_text = f_text;
        return text;
    }
};

// Presence bits of the cell's attributes and of its <f> child.
struct CellFlags {
    // The same bits as the buffer-level reader's CellSpans uses for these.
    enum : std::uint8_t {
        R = 1 << 0,      // the cell's `r`
        S = 1 << 1,      // the cell's `s`
        T = 1 << 2,      // the cell's `t`
        FT = 1 << 3,     // <f t=...>
        FRef = 1 << 4,   // <f ref=...>
        FSi = 1 << 5,    // <f si=...>
        F = 1 << 6,      // an <f> child
    };
    std::uint8_t bits = 0;

    bool has(std::uint8_t bit) const noexcept { return (bits & bit) != 0; }
    void set(std::uint8_t bit) noexcept { bits |= bit; }
};

// Where the value of an attribute the reader keeps goes: its buffer and its presence bit.
struct AttrSlot {
    std::string_view name;
    std::string CellBufs::*buffer;
    std::uint8_t flag;

    void store(CellBufs& bufs, CellFlags& flags, std::string_view value) const {
        (bufs.*buffer).assign(value);
        flags.set(flag);
    }
};

// The attributes kept from <c> and from <f>, all without a namespace; other attributes are
// ignored. The order is that of the buffer-level reader's slots (CellSpans::cell, ::formula).
inline constexpr AttrSlot kCellAttrs[3] = {
    {"r", &CellBufs::r, CellFlags::R},
    {"s", &CellBufs::s, CellFlags::S},
    {"t", &CellBufs::t, CellFlags::T},
};
inline constexpr AttrSlot kFormulaAttrs[3] = {
    {"t", &CellBufs::f_t, CellFlags::FT},
    {"ref", &CellBufs::f_ref, CellFlags::FRef},
    {"si", &CellBufs::f_si, CellFlags::FSi},
};

// The slot of `name` in one of the tables above, or null. (The table is a template argument so
// that the name comparisons compile to constant-length ones.)
template <const AttrSlot (&Slots)[3]>
const AttrSlot* find_attr_slot(std::string_view name) noexcept {
    for (const AttrSlot& slot : Slots)
        if (slot.name == name) return &slot;
    return nullptr;
}

// What `interpret` works against. The worksheet parser owns every piece and hands out a
// context for the cells it reads; the row and column counters are updated in place.
struct CellContext {
    const Settings& settings;
    const Helpers& helpers;
    const DT& dt;
    SharedFormulas& shared;
    PyObject* warnings;     // list receiving ("warn", message) tuples
    std::int64_t& row;      // the current row number
    std::int64_t& column;   // the column of the previous cell of the row
};

// (row, column) of a cell reference: the native A1 parser first, the host's
// coordinate_to_tuple (host_coordinate) for anything it rejects. Host exceptions propagate.
CellRef host_coordinate(const Helpers& helpers, std::string_view text);
inline CellRef parse_coordinate(const Helpers& helpers, std::string_view text) {
    if (std::optional<CellRef> c = fast_coordinate(text)) return *c;
    return host_coordinate(helpers, text);
}

// The style of a cell from its `s` attribute.
StyleId style_of(PyObject* int_helper, bool present, std::string_view text);

// Decides one cell. `f_attrs` (the <f> element's attributes, a dict, or null) and `inline_value`
// (the value of an <is> child of an inlineStr cell) come from the parser.
CellRec interpret(CellContext& ctx, const CellText& raw, StyleId style, CellFlags flags,
                  PyObject* f_attrs, std::optional<Val> inline_value);
// The same, deciding into `rec`, a default-constructed CellRec (for instance the new last cell
// of a row's vector, so that the cell is built where it stays). On an exception `rec` is left
// partly filled and the caller drops it.
void interpret_into(CellRec& rec, CellContext& ctx, const CellText& raw, StyleId&& style,
                    CellFlags flags, PyObject* f_attrs, std::optional<Val>&& inline_value);

// The row and column of a new cell `rec`: those its r names (`ref`, read as fast_coordinate reads
// it), or without r the next column of the current row.
[[gnu::always_inline]] inline void place_cell(CellRec& rec, CellContext& ctx, const CellRef* ref) {
    if (ref) {
        ctx.column = ref->column;
        rec.row = ref->row;
        rec.column = ref->column;
    } else {
        if (ctx.column == std::numeric_limits<std::int64_t>::max()) [[unlikely]]
            throw Unsupported("column index");
        rec.column = ++ctx.column;
        rec.row = ctx.row;
    }
}

// The cells most sheets are made of, decided from what the buffer-level reader already read:
// no formula, and a <v> number (`number`, as parse_number decides the text) in a cell of type
// "n" (or without t), a date serial the native conversion takes included, or an in-range
// shared-string index, or a boolean.
// `ref` is the position its r names (null without r), `style` its integer style. Decides the
// cell into `rec` (a default-constructed CellRec) exactly as interpret_into would and returns
// true; false, with `rec` and `ctx` untouched, for any other cell.
[[gnu::always_inline]] inline bool interpret_number_into(CellRec& rec, CellContext& ctx,
                                                         const CellRef* ref, std::int64_t style,
                                                         CellType type,
                                                         const CellNumber& number) {
    // The value first: a cell this does not decide leaves everything as it was. `rec` is new, so
    // its value holds nothing and is made in place.
    auto make = [&rec]<class T>(T v) { std::construct_at(&rec.value, std::in_place_type<T>, v); };
    const Settings& st = ctx.settings;
    const bool integer = number.kind == CellNumber::Kind::Int;
    switch (type) {
        case CellType::N:
            if (!integer && number.kind != CellNumber::Kind::Float) return false;
            if (st.date_formats.contains(style)) [[unlikely]] {
                // The date rule's native conversion; a duration, an epoch without one and a
                // serial outside the range (a warning) take the general path.
                if (!st.native_epoch || st.timedelta_formats.contains(style)) return false;
                const DateResult r = integer ? from_excel_int(number.integer, *st.native_epoch)
                                             : from_excel_float(number.real, *st.native_epoch);
                if (!r.ok()) return false;
                if (integer)
                    make(DateInt{number.integer, PackedDate::of(r)});
                else
                    make(DateFloat{number.real, PackedDate::of(r)});
                type = CellType::D;
            } else if (integer) {
                make(number.integer);
            } else {
                make(number.real);
            }
            break;
        case CellType::S:
            if (!integer || number.integer < 0 ||
                static_cast<std::uint64_t>(number.integer) >= st.shared_strings_len ||
                number.integer > std::numeric_limits<std::uint32_t>::max())
                return false;
            make(SharedStr{static_cast<std::uint32_t>(number.integer)});
            break;
        case CellType::B:
            if (!integer) return false;
            make(number.integer != 0);
            break;
        default:
            return false;
    }
    place_cell(rec, ctx, ref);
    rec.style.value = style;
    rec.dtype.index = static_cast<TypeIndex>(type);
    return true;
}

// The same for an inlineStr cell without a formula whose <is> text the buffer-level reader
// took as it stands: its value is that text, data type "s".
[[gnu::always_inline]] inline void interpret_inline_into(CellRec& rec, CellContext& ctx,
                                                         const CellRef* ref, std::int64_t style,
                                                         std::string_view text) {
    std::construct_at(&rec.value, std::in_place_type<std::string>, text);
    place_cell(rec, ctx, ref);
    rec.style.value = style;
    rec.dtype.index = TypeIndex::S;
}

// The Python object of a value (consumes it). The kinds that need neither the settings nor the
// formula table are made inline; val_to_py_general makes every kind.
Ref val_to_py_general(const Settings& settings, const SharedFormulas& shared, Val&& value);
inline Ref val_to_py(const Settings& settings, const SharedFormulas& shared, Val&& value) {
    switch (kind_of(value)) {
        case ValKind::None: return Ref::borrow(Py_None);
        case ValKind::Int: return Ref::check(PyLong_FromInt64(*std::get_if<std::int64_t>(&value)));
        case ValKind::Float: return Ref::check(PyFloat_FromDouble(*std::get_if<double>(&value)));
        case ValKind::Bool: return Ref::borrow(*std::get_if<bool>(&value) ? Py_True : Py_False);
        case ValKind::Py: return std::move(*std::get_if<Ref>(&value));
        default: return val_to_py_general(settings, shared, std::move(value));
    }
}
inline Ref val_to_py(const CellContext& ctx, Val&& value) {
    return val_to_py(ctx.settings, ctx.shared, std::move(value));
}

}  // namespace tovrel
