#include "sheet/py_values.h"

#include "utils/py_str.h"

#include <limits>
#include <memory>
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

// Sets `value` to a T made of `args`. A value that holds nothing (as in a new record, where
// every cell's value starts) is made in place without the variant's generic reset, which is an
// out-of-line visit.
template <class T, class... Args>
void set_val(Val& value, Args&&... args) {
    if (value.index() == 0)
        std::construct_at(&value, std::in_place_type<T>, std::forward<Args>(args)...);
    else
        value.emplace<T>(std::forward<Args>(args)...);
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

// A value text of a numeric cell, decided as `number`: Int, Float, or the host converter's
// object, into `value`.
void number_value(const Helpers& helpers, std::string_view text, const CellNumber& number,
                  Val& value) {
    switch (number.kind) {
        case CellNumber::Kind::Int: set_val<std::int64_t>(value, number.integer); return;
        case CellNumber::Kind::Float: set_val<double>(value, number.real); return;
        case CellNumber::Kind::HostInt: value = host_int(helpers, text); return;
        case CellNumber::Kind::HostFloat: break;
    }
    Ref s = str_of(text);
    Ref r = call1(helpers.float_.get(), s.get());
    if (PyFloat_CheckExact(r.get()))
        value.emplace<double>(PyFloat_AS_DOUBLE(r.get()));
    else
        value = std::move(r);
}

// The date rule for a number in a date-formatted cell. Updates value and dtype in place.
void apply_date_rule(CellContext& ctx, const CellText& raw, CellFlags flags, std::int64_t style,
                     bool formula_kept, Val& value, DType& dtype) {
    const Settings& st = ctx.settings;
    const bool is_td = st.timedelta_formats.contains(style);
    const ValKind kind = kind_of(value);
    bool out_of_range = false;
    if (is_td || !st.native_epoch || kind == ValKind::Py) {
        Ref number = number_obj(value);
        Ref args = Ref::check(PyTuple_Pack(2, number.get(), st.epoch.get()));
        Ref kwargs = Ref::check(PyDict_New());
        check_rc(PyDict_SetItemString(kwargs.get(), "timedelta", is_td ? Py_True : Py_False));
        Ref result = Ref::steal(PyObject_Call(ctx.helpers.from_excel.get(), args.get(), kwargs.get()));
        if (result) {
            value = std::move(result);
            dtype.set(TypeIndex::D);
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw PyErrorSet();
        }
        PyErr_Clear();
        out_of_range = true;
    } else {
        const Epoch& epoch = *st.native_epoch;
        if (kind == ValKind::Int) {
            const std::int64_t n = std::get<std::int64_t>(value);
            const DateResult r = from_excel_int(n, epoch);
            if (r.ok()) {
                value.emplace<DateInt>(DateInt{n, PackedDate::of(r)});
            } else {
                out_of_range = true;
            }
        } else {
            const double x = std::get<double>(value);
            const DateResult r = from_excel_float(x, epoch);
            if (r.ok()) {
                value.emplace<DateFloat>(DateFloat{x, PackedDate::of(r)});
            } else {
                out_of_range = true;
            }
        }
        if (!out_of_range) {
            dtype.set(TypeIndex::D);
            return;
        }
    }
    // Outside the date range: the host's warning, and the cell reads as an error value.
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

// The value and data type of the cell's <v> text (steps after the formula).
[[gnu::always_inline]] inline void decide_value(CellContext& ctx, const CellText& raw,
                                                CellFlags flags, const StyleId& style,
                                                std::optional<Val>& inline_value,
                                                bool formula_kept, Val& value, DType& dtype) {
    const Settings& st = ctx.settings;
    const Helpers& helpers = ctx.helpers;
    const std::string_view t = flags.has(CellFlags::T) ? std::string_view(raw.t) : "n";
    const CellType type = raw.typed ? raw.type : classify_type(t);
    const TypeIndex known =
        type < CellType::Str ? static_cast<TypeIndex>(type) : kUnrecognised;
    const std::string_view text = raw.v;
    // The integer fast parse of the text: the caller's number says it when there is one.
    auto fast_integer = [&]() -> std::optional<std::int64_t> {
        if (!raw.v_number) return fast_int(text);
        if (raw.v_number->kind != CellNumber::Kind::Int) return std::nullopt;
        return raw.v_number->integer;
    };

    if (text.empty() || known == TypeIndex::InlineStr) {
        value = std::monostate{};
        if (known == TypeIndex::InlineStr) {
            if (raw.has_inline_text) {
                set_val<std::string>(value, raw.inline_text);
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
            number_value(helpers, text, raw.v_number ? *raw.v_number : parse_number(text), value);
            dtype.set(TypeIndex::N);
            if (style.is_int() && st.date_formats.contains(style.value)) {
                apply_date_rule(ctx, raw, flags, style.value, formula_kept, value, dtype);
            }
            return;
        case TypeIndex::S: {
            const std::optional<std::int64_t> i = fast_integer();
            if (i && *i >= 0 && static_cast<std::uint64_t>(*i) < st.shared_strings_len &&
                *i <= std::numeric_limits<std::uint32_t>::max()) {
                set_val<SharedStr>(value, SharedStr{static_cast<std::uint32_t>(*i)});
            } else {
                Ref index = i ? Ref::check(PyLong_FromInt64(*i)) : host_int(helpers, text);
                value = Ref::check(PyObject_GetItem(st.shared_strings.get(), index.get()));
            }
            dtype.set(TypeIndex::S);
            return;
        }
        case TypeIndex::B:
            if (std::optional<std::int64_t> i = fast_integer()) {
                set_val<bool>(value, *i != 0);
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

void interpret_into(CellRec& rec, CellContext& ctx, const CellText& raw, StyleId&& style,
                    CellFlags flags, PyObject* f_attrs, std::optional<Val>&& inline_value) {
    rec.style.value = style.value;
    if (style.obj || rec.style.obj) rec.style.obj = std::move(style.obj);

    std::optional<CellRef> cell;
    if (flags.has(CellFlags::R) && !raw.r.empty()) {
        cell = raw.r_cell ? *raw.r_cell : parse_coordinate(ctx.helpers, raw.r);
        ctx.column = cell->column;
        rec.row = cell->row;
        rec.column = cell->column;
    } else {
        if (ctx.column == std::numeric_limits<std::int64_t>::max()) throw Unsupported("column index");
        rec.column = ++ctx.column;
        rec.row = ctx.row;
    }

    const Settings& st = ctx.settings;
    const bool has_f = flags.has(CellFlags::F);
    rec.has_formula = has_f && !st.data_only;
    if (has_f && !st.data_only && !st.formula_and_value) {
        // The formula is the value; <v> is not looked at.
        rec.value = formula_value(ctx, raw, flags, f_attrs, cell);
        rec.dtype.set(TypeIndex::F);
        return;
    }
    std::optional<Val> formula;
    if (has_f && (!st.data_only || st.formula_and_value)) {
        formula = formula_value(ctx, raw, flags, f_attrs, cell);
    }

    const bool formula_kept = formula.has_value();  // only with formula_and_value here
    // The value goes straight into the record, or beside the formula that is the value.
    const bool beside = formula && !st.data_only;
    DType cached_dtype;
    decide_value(ctx, raw, flags, rec.style, inline_value, formula_kept,
                 beside ? rec.aside : rec.value, beside ? cached_dtype : rec.dtype);
    if (beside) {
        rec.aside_kind = CellRec::Aside::Cached;
        rec.value = std::move(*formula);
        rec.dtype.set(TypeIndex::F);
    } else if (formula) {
        rec.aside = std::move(*formula);
        rec.aside_kind = CellRec::Aside::Formula;
    }
}

bool interpret_number_into(CellRec& rec, CellContext& ctx, const CellRef* ref,
                           std::int64_t style, CellType type, const CellNumber& number) {
    // The value first: a cell this does not decide leaves everything as it was.
    const Settings& st = ctx.settings;
    const bool integer = number.kind == CellNumber::Kind::Int;
    switch (type) {
        case CellType::N:
            if (!integer && number.kind != CellNumber::Kind::Float) return false;
            if (st.date_formats.contains(style)) {
                // The date rule's native conversion; a duration, an epoch without one and a
                // serial outside the range (a warning) take the general path.
                if (!st.native_epoch || st.timedelta_formats.contains(style)) return false;
                const DateResult r = integer ? from_excel_int(number.integer, *st.native_epoch)
                                             : from_excel_float(number.real, *st.native_epoch);
                if (!r.ok()) return false;
                if (integer)
                    set_val<DateInt>(rec.value, DateInt{number.integer, PackedDate::of(r)});
                else
                    set_val<DateFloat>(rec.value, DateFloat{number.real, PackedDate::of(r)});
                type = CellType::D;
            } else if (integer) {
                set_val<std::int64_t>(rec.value, number.integer);
            } else {
                set_val<double>(rec.value, number.real);
            }
            break;
        case CellType::S:
            if (!integer || number.integer < 0 ||
                static_cast<std::uint64_t>(number.integer) >= st.shared_strings_len ||
                number.integer > std::numeric_limits<std::uint32_t>::max())
                return false;
            set_val<SharedStr>(rec.value, SharedStr{static_cast<std::uint32_t>(number.integer)});
            break;
        case CellType::B:
            if (!integer) return false;
            set_val<bool>(rec.value, number.integer != 0);
            break;
        default:
            return false;
    }
    if (ref) {
        ctx.column = ref->column;
        rec.row = ref->row;
        rec.column = ref->column;
    } else {
        if (ctx.column == std::numeric_limits<std::int64_t>::max()) throw Unsupported("column index");
        rec.column = ++ctx.column;
        rec.row = ctx.row;
    }
    rec.style.value = style;
    rec.dtype.set(static_cast<TypeIndex>(type));
    return true;
}

Ref val_to_py_general(const Settings& settings, const SharedFormulas& shared, Val&& value) {
    switch (kind_of(value)) {
        case ValKind::None: return Ref::borrow(Py_None);
        case ValKind::Int: return Ref::check(PyLong_FromInt64(std::get<std::int64_t>(value)));
        case ValKind::Float: return Ref::check(PyFloat_FromDouble(std::get<double>(value)));
        case ValKind::Bool: return Ref::borrow(std::get<bool>(value) ? Py_True : Py_False);
        case ValKind::SharedStr: {
            const std::uint32_t index = std::get<SharedStr>(value).index;
            PyObject* strings = settings.shared_strings.get();
            if (PyList_CheckExact(strings)) {
                // Checked against the list as it is now: Python code may have shortened it.
                return Ref::check(PyList_GetItemRef(strings, static_cast<Py_ssize_t>(index)));
            }
            Ref key = Ref::check(PyLong_FromUnsignedLong(index));
            return Ref::check(PyObject_GetItem(strings, key.get()));
        }
        case ValKind::Str: return str_of(std::get<std::string>(value));
        case ValKind::SharedRef: return shared.render(std::get<SharedRef>(value));
        case ValKind::DateInt:
        case ValKind::DateFloat: {
            const PackedDate& when = kind_of(value) == ValKind::DateInt
                                         ? std::get<DateInt>(value).when
                                         : std::get<DateFloat>(value).when;
            if (when.kind != DateResult::Kind::OutOfRange) return build_date(when.unpack());
            if (!settings.native_epoch) throw InternalError("date value without a native epoch");
            const Epoch& epoch = *settings.native_epoch;
            const DateResult r = kind_of(value) == ValKind::DateInt
                                     ? from_excel_int(std::get<DateInt>(value).serial, epoch)
                                     : from_excel_float(std::get<DateFloat>(value).serial, epoch);
            return build_date(r);
        }
        case ValKind::Py: return std::move(std::get<Ref>(value));
    }
    throw InternalError("unknown value kind");
}

}  // namespace tovrel
