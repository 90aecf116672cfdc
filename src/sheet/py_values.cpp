#include "sheet/py_values.h"

#include "utils/py_str.h"

#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

#include "sheet/dates.h"
#include "sheet/py_dates.h"
#include "sheet/py_formulas.h"
#include "sheet/py_helpers.h"
#include "sheet/py_settings.h"
#include "sheet/values.h"
#include "utils/error.h"
#include "utils/cell_ref.h"

namespace tovrel {

namespace {

// The texts of the recognised data types, in TypeIndex order.
constexpr const char* kTypeTexts[kTypeCount] = {"n", "s", "f", "b", "e", "d", "inlineStr"};

// The data-type index of a type that has none ("str" and any other text).
constexpr auto kUnrecognised = static_cast<TypeIndex>(kTypeCount);

static_assert(static_cast<int>(CellType::InlineStr) == static_cast<int>(TypeIndex::InlineStr) &&
              static_cast<int>(CellType::D) == static_cast<int>(TypeIndex::D) &&
              static_cast<std::size_t>(CellType::Str) == kTypeCount);

Ref call1(PyObject* callable, PyObject* arg) {
    return Ref::check(PyObject_CallOneArg(callable, arg));
}

// int(text) through the host's helper.
Ref host_int(const Helpers& helpers, std::string_view text) {
    Ref s = str_of(text);
    return call1(helpers.int_.get(), s.get());
}

// The Python number of a value read from a numeric cell.
Ref number_obj(const Val& v) {
    switch (kind_of(v)) {
        case ValKind::Int: return Ref::check(PyLong_FromInt64(std::get<std::int64_t>(v)));
        case ValKind::Float: return Ref::check(PyFloat_FromDouble(std::get<double>(v)));
        case ValKind::Py: return std::get<Ref>(v).dup();
        default: break;
    }
    throw InternalError("date rule on a value that is not a number");
}

Ref r_or_none(const CellText& raw, CellFlags flags) {
    return flags.has(CellFlags::R) ? str_of(raw.r) : Ref::borrow(Py_None);
}

// A numeric cell's value text that the host's int() or float() decides, into `value`.
[[gnu::noinline]] void host_number(const Helpers& helpers, std::string_view text,
                                   CellNumber::Kind kind, Val& value) {
    if (kind == CellNumber::Kind::HostInt) {
        value = host_int(helpers, text);
        return;
    }
    Ref s = str_of(text);
    Ref r = call1(helpers.float_.get(), s.get());
    if (PyFloat_CheckExact(r.get()))
        value.emplace<double>(PyFloat_AS_DOUBLE(r.get()));
    else
        value = std::move(r);
}

// A value text of a numeric cell, decided as `number`: Int, Float, or the host converter's
// object, into `value`.
inline void number_value(const Helpers& helpers, std::string_view text, const CellNumber& number,
                         Val& value) {
    if (number.kind == CellNumber::Kind::Int)
        emplace_val<std::int64_t>(value, number.integer);
    else if (number.kind == CellNumber::Kind::Float)
        emplace_val<double>(value, number.real);
    else
        host_number(helpers, text, number.kind, value);
}

// The host's from_excel for a date-formatted number the native conversion does not take (a
// duration format, an epoch without a native form, a number from a host converter). True when
// it gave a value; false when it refused the number with OverflowError or ValueError.
bool host_date(CellContext& ctx, bool is_td, Val& value, DType& dtype) {
    const Settings& st = ctx.settings;
    Ref number = number_obj(value);
    Ref args = Ref::check(PyTuple_Pack(2, number.get(), st.epoch.get()));
    Ref kwargs = Ref::check(PyDict_New());
    check_rc(PyDict_SetItemString(kwargs.get(), "timedelta", is_td ? Py_True : Py_False));
    Ref result = Ref::steal(PyObject_Call(ctx.helpers.from_excel.get(), args.get(), kwargs.get()));
    if (result) {
        value = std::move(result);
        dtype.set(TypeIndex::D);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError)) {
        throw PyErrorSet();
    }
    PyErr_Clear();
    return false;
}

// A date-formatted number outside the date range: the host's warning, and the cell reads as an
// error value.
void date_warning(CellContext& ctx, const CellText& raw, CellFlags flags, bool formula_kept,
                  Val& value, DType& dtype) {
    Ref number = number_obj(value);
    Ref where = r_or_none(raw, flags);
    Ref message = Ref::check(PyObject_CallFunctionObjArgs(ctx.helpers.date_warning.get(),
                                                          where.get(), number.get(), nullptr));
    if (!formula_kept) {
        Ref warn = Ref::check(PyUnicode_FromString("warn"));
        Ref item = Ref::check(PyTuple_Pack(2, warn.get(), message.get()));
        check_rc(PyList_Append(ctx.warnings, item.get()));
    }
    value = std::string("#VALUE!");
    dtype.set(TypeIndex::E);
}

[[gnu::noinline]] void host_date_rule(CellContext& ctx, const CellText& raw, CellFlags flags,
                                      bool is_td, bool formula_kept, Val& value, DType& dtype) {
    if (!host_date(ctx, is_td, value, dtype))
        date_warning(ctx, raw, flags, formula_kept, value, dtype);
}

// Replaces a number (a trivially destructible alternative) with a date serial without the
// variant's generic reset.
template <class T>
void number_to_date(Val& value, T date) noexcept {
    std::construct_at(&value, std::in_place_type<T>, date);
}

// The date rule for a number in a date-formatted cell. Updates value and dtype in place.
void apply_date_rule(CellContext& ctx, const CellText& raw, CellFlags flags, std::int64_t style,
                     bool formula_kept, Val& value, DType& dtype) {
    const Settings& st = ctx.settings;
    const bool is_td = st.timedelta_formats.contains(style);
    if (is_td || !st.native_epoch) {
        host_date_rule(ctx, raw, flags, is_td, formula_kept, value, dtype);
        return;
    }
    const Epoch& epoch = *st.native_epoch;
    if (const std::int64_t* n = std::get_if<std::int64_t>(&value)) {
        const DateResult r = from_excel_int(*n, epoch);
        if (r.ok()) {
            number_to_date(value, DateInt{*n, PackedDate::of(r)});
            dtype.set(TypeIndex::D);
            return;
        }
    } else if (const double* x = std::get_if<double>(&value)) {
        const DateResult r = from_excel_float(*x, epoch);
        if (r.ok()) {
            number_to_date(value, DateFloat{*x, PackedDate::of(r)});
            dtype.set(TypeIndex::D);
            return;
        }
    } else {
        host_date_rule(ctx, raw, flags, false, formula_kept, value, dtype);
        return;
    }
    date_warning(ctx, raw, flags, formula_kept, value, dtype);
}

// The cell's number, as the cell path read it or parsed here.
inline CellNumber number_of(const CellText& raw) {
    return raw.v_number ? *raw.v_number : parse_number(raw.v);
}

// The integer fast parse of the value text: the cell path's number says it when there is one.
inline std::optional<std::int64_t> integer_of(const CellText& raw) {
    if (!raw.v_number) return fast_int(raw.v);
    if (raw.v_number->kind != CellNumber::Kind::Int) return std::nullopt;
    return raw.v_number->integer;
}

// The value and data type of the cell's <v> text (steps after the formula), any shape.
[[gnu::noinline]] void decide_value_general(CellContext& ctx, const CellText& raw,
                                            CellFlags flags, const StyleId& style,
                                            std::optional<Val>& inline_value, bool formula_kept,
                                            Val& value, DType& dtype) {
    const Settings& st = ctx.settings;
    const Helpers& helpers = ctx.helpers;
    const std::string_view t = flags.has(CellFlags::T) ? std::string_view(raw.t) : "n";
    const CellType type = raw.typed ? raw.type : classify_type(t);
    const TypeIndex known =
        type < CellType::Str ? static_cast<TypeIndex>(type) : kUnrecognised;
    const std::string_view text = raw.v;

    if (text.empty() || known == TypeIndex::InlineStr) {
        value = std::monostate{};
        if (known == TypeIndex::InlineStr) {
            if (raw.has_inline_text) {
                emplace_val<std::string>(value, raw.inline_text);
                dtype.set(TypeIndex::S);
            } else if (inline_value) {
                value = std::move(*inline_value);
                dtype.set(TypeIndex::S);
            } else {
                dtype.set(TypeIndex::InlineStr);
            }
        } else if (known != kUnrecognised) {
            dtype.set(known);
        } else {
            dtype = DType::as_written(str_of(t));
        }
        return;
    }

    switch (known) {
        case TypeIndex::N:
            number_value(helpers, text, number_of(raw), value);
            dtype.set(TypeIndex::N);
            if (style.is_int() && st.date_formats.contains(style.value)) {
                apply_date_rule(ctx, raw, flags, style.value, formula_kept, value, dtype);
            }
            return;
        case TypeIndex::S: {
            const std::optional<std::int64_t> i = integer_of(raw);
            if (i && *i >= 0 && static_cast<std::uint64_t>(*i) < st.shared_strings_len &&
                *i <= std::numeric_limits<std::uint32_t>::max()) {
                emplace_val<SharedStr>(value, SharedStr{static_cast<std::uint32_t>(*i)});
            } else {
                Ref index = i ? Ref::check(PyLong_FromInt64(*i)) : host_int(helpers, text);
                value = Ref::check(PyObject_GetItem(st.shared_strings.get(), index.get()));
            }
            dtype.set(TypeIndex::S);
            return;
        }
        case TypeIndex::B:
            if (std::optional<std::int64_t> i = integer_of(raw)) {
                emplace_val<bool>(value, *i != 0);
            } else {
                Ref n = host_int(helpers, text);
                value = check_rc(PyObject_IsTrue(n.get())) != 0;
            }
            dtype.set(TypeIndex::B);
            return;
        case TypeIndex::D: {
            Ref s = str_of(text);
            value = call1(helpers.from_ISO8601.get(), s.get());
            dtype.set(TypeIndex::D);
            return;
        }
        case TypeIndex::E:
        case TypeIndex::F:
            value = std::string(text);
            dtype.set(known);
            return;
        default:
            break;
    }
    // "str" reads as a string; any other unrecognised type is kept as written.
    value = std::string(text);
    dtype = type == CellType::Str ? DType::of(TypeIndex::S) : DType::as_written(str_of(t));
}

// The same, with the shapes nearly every cell has decided here: a number (no `t`, or "n"), a
// shared string, a boolean.
inline void decide_value(CellContext& ctx, const CellText& raw, CellFlags flags,
                         const StyleId& style, std::optional<Val>& inline_value,
                         bool formula_kept, Val& value, DType& dtype) {
    const std::string_view text = raw.v;
    const CellType t = raw.typed                   ? raw.type
                       : !flags.has(CellFlags::T) ? CellType::N
                                                  : classify_type(raw.t);
    if (!text.empty()) {
        const Settings& st = ctx.settings;
        if (t == CellType::N) {
            number_value(ctx.helpers, text, number_of(raw), value);
            dtype.set(TypeIndex::N);
            if (style.is_int() && st.date_formats.contains(style.value))
                apply_date_rule(ctx, raw, flags, style.value, formula_kept, value, dtype);
            return;
        }
        if (t == CellType::S) {
            const std::optional<std::int64_t> i = integer_of(raw);
            if (i && *i >= 0 && static_cast<std::uint64_t>(*i) < st.shared_strings_len &&
                *i <= std::numeric_limits<std::uint32_t>::max()) {
                emplace_val<SharedStr>(value, SharedStr{static_cast<std::uint32_t>(*i)});
                dtype.set(TypeIndex::S);
                return;
            }
        } else if (t == CellType::B) {
            if (const std::optional<std::int64_t> i = integer_of(raw)) {
                emplace_val<bool>(value, *i != 0);
                dtype.set(TypeIndex::B);
                return;
            }
        }
    }
    decide_value_general(ctx, raw, flags, style, inline_value, formula_kept, value, dtype);
}

}  // namespace

DT DT::make() {
    DT dt;
    for (std::size_t i = 0; i < kTypeCount; ++i) {
        dt.strings_[i] = Ref::check(PyUnicode_InternFromString(kTypeTexts[i]));
    }
    return dt;
}

Ref StyleId::to_py() const {
    if (obj) return obj.dup();
    return Ref::check(PyLong_FromInt64(value));
}

CellRef host_coordinate(const Helpers& helpers, std::string_view text) {
    Ref s = str_of(text);
    Ref pair = call1(helpers.coordinate_to_tuple.get(), s.get());
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_Format(PyExc_TypeError,
                     "coordinate_to_tuple() must return a (row, column) tuple, not %T",
                     pair.get());
        throw PyErrorSet();
    }
    CellRef c;
    check_rc(PyLong_AsInt64(PyTuple_GET_ITEM(pair.get(), 0), &c.row));
    check_rc(PyLong_AsInt64(PyTuple_GET_ITEM(pair.get(), 1), &c.column));
    return c;
}

StyleId style_of(PyObject* int_helper, bool present, std::string_view text) {
    if (!present) return StyleId{};
    if (text.empty()) return StyleId{0, Ref::check(PyUnicode_FromStringAndSize("", 0))};
    if (std::optional<std::int64_t> i = fast_int(text)) return StyleId{*i, Ref()};
    Ref s = str_of(text);
    Ref n = call1(int_helper, s.get());
    const long v = PyLong_AsLong(n.get());
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyErrorSet();
        PyErr_Clear();  // beyond 64 bits: the Python int is the style
        return StyleId{0, std::move(n)};
    }
    return StyleId{v, Ref()};
}

CellRec interpret(CellContext& ctx, const CellText& raw, StyleId style, CellFlags flags,
                  PyObject* f_attrs, std::optional<Val> inline_value) {
    CellRec rec;
    interpret_into(rec, ctx, raw, std::move(style), flags, f_attrs, std::move(inline_value));
    return rec;
}

namespace {

// A cell with an <f> child: the formula is its value, or is kept beside the value.
[[gnu::noinline]] void interpret_formula_cell(CellRec& rec, CellContext& ctx, const CellText& raw,
                                              CellFlags flags, PyObject* f_attrs,
                                              std::optional<Val>& inline_value) {
    // The cell's position when its `r` names it.
    const CellRef position{rec.row, rec.column};
    const CellRef* cell = flags.has(CellFlags::R) && !raw.r.empty() ? &position : nullptr;
    const Settings& st = ctx.settings;
    rec.has_formula = !st.data_only;
    if (!st.data_only && !st.formula_and_value) {
        // The formula is the value; <v> is not looked at.
        formula_value_into(rec.value, ctx, raw, flags, f_attrs, cell);
        rec.dtype.set(TypeIndex::F);
        return;
    }
    if (st.data_only && !st.formula_and_value) {
        decide_value(ctx, raw, flags, rec.style, inline_value, false, rec.value, rec.dtype);
        return;
    }
    // formula_and_value: the formula is kept (no date warning is queued for the value).
    if (st.data_only) {
        formula_value_into(rec.aside, ctx, raw, flags, f_attrs, cell);
        rec.aside_kind = CellRec::Aside::Formula;
        decide_value(ctx, raw, flags, rec.style, inline_value, true, rec.value, rec.dtype);
    } else {
        formula_value_into(rec.value, ctx, raw, flags, f_attrs, cell);
        DType dtype;
        decide_value(ctx, raw, flags, rec.style, inline_value, true, rec.aside, dtype);
        rec.aside_kind = CellRec::Aside::Cached;
        rec.dtype.set(TypeIndex::F);
    }
}

}  // namespace

void interpret_into(CellRec& rec, CellContext& ctx, const CellText& raw, StyleId&& style,
                    CellFlags flags, PyObject* f_attrs, std::optional<Val>&& inline_value) {
    // `rec` is new: its style holds no object.
    rec.style.value = style.value;
    if (style.obj) [[unlikely]]
        rec.style.obj = std::move(style.obj);

    if (flags.has(CellFlags::R) && !raw.r.empty()) [[likely]] {
        const CellRef cell = raw.r_cell ? *raw.r_cell : parse_coordinate(ctx.helpers, raw.r);
        place_cell(rec, ctx, &cell);
    } else {
        place_cell(rec, ctx, nullptr);
    }

    if (flags.has(CellFlags::F)) {
        interpret_formula_cell(rec, ctx, raw, flags, f_attrs, inline_value);
        return;
    }
    rec.has_formula = false;
    decide_value(ctx, raw, flags, rec.style, inline_value, false, rec.value, rec.dtype);
}

namespace {

// A shared string of a table that is not exactly a list: Python indexing.
[[gnu::noinline]] Ref shared_string_of(PyObject* strings, std::uint32_t index) {
    Ref key = Ref::check(PyLong_FromUnsignedLong(index));
    return Ref::check(PyObject_GetItem(strings, key.get()));
}

// A date serial's Python object when `interpret` did not keep its conversion.
template <class D>
[[gnu::noinline]] Ref convert_date(const Settings& settings, const D& date) {
    if (!settings.native_epoch) throw InternalError("date value without a native epoch");
    if constexpr (std::is_same_v<D, DateInt>)
        return build_date(from_excel_int(date.serial, *settings.native_epoch));
    else
        return build_date(from_excel_float(date.serial, *settings.native_epoch));
}

template <class D>
Ref date_of(const Settings& settings, const D& date) {
    if (date.when.kind != DateResult::Kind::OutOfRange) return build_date(date.when.unpack());
    return convert_date(settings, date);
}

}  // namespace

Ref val_to_py_general(const Settings& settings, const SharedFormulas& shared, Val&& value) {
    switch (kind_of(value)) {
        case ValKind::None: return Ref::borrow(Py_None);
        case ValKind::Int: return Ref::check(PyLong_FromInt64(*std::get_if<std::int64_t>(&value)));
        case ValKind::Float: return Ref::check(PyFloat_FromDouble(*std::get_if<double>(&value)));
        case ValKind::Bool: return Ref::borrow(*std::get_if<bool>(&value) ? Py_True : Py_False);
        case ValKind::SharedStr: {
            const std::uint32_t index = std::get_if<SharedStr>(&value)->index;
            PyObject* strings = settings.shared_strings.get();
            // Checked against the list as it is now: Python code may have shortened it.
            if (PyList_CheckExact(strings))
                return Ref::check(PyList_GetItemRef(strings, static_cast<Py_ssize_t>(index)));
            return shared_string_of(strings, index);
        }
        case ValKind::Str: return str_of(*std::get_if<std::string>(&value));
        case ValKind::SharedRef: return shared.render(*std::get_if<SharedRef>(&value));
        case ValKind::DateInt: return date_of(settings, *std::get_if<DateInt>(&value));
        case ValKind::DateFloat: return date_of(settings, *std::get_if<DateFloat>(&value));
        case ValKind::Py: return std::move(*std::get_if<Ref>(&value));
    }
    throw InternalError("unknown value kind");
}

}  // namespace tovrel
