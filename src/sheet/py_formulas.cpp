#include "sheet/py_formulas.h"

#include <stdexcept>
#include <utility>

#include "sheet/py_helpers.h"

namespace tovrel {

namespace {

// Calls the host's class `cls` with `text` and `origin` (a str or None) as positional arguments.
Ref host_translator(const Helpers& helpers, const std::string& text, PyObject* origin) {
    Ref formula = str_of(text);
    return Ref::check(PyObject_CallFunctionObjArgs(helpers.Translator.get(), formula.get(), origin,
                                                   nullptr));
}

Val array_formula(const Helpers& helpers, const CellBufs& bufs, CellFlags flags,
                  const std::string& text) {
    Ref kwargs = Ref::check(PyDict_New());
    Ref ref = flags.has(CellFlags::FRef) ? str_of(bufs.f_ref) : Ref::borrow(Py_None);
    check_rc(PyDict_SetItemString(kwargs.get(), "ref", ref.get()));
    Ref formula = str_of(text);
    check_rc(PyDict_SetItemString(kwargs.get(), "text", formula.get()));
    Ref args = Ref::check(PyTuple_New(0));
    return Ref::check(PyObject_Call(helpers.ArrayFormula.get(), args.get(), kwargs.get()));
}

Val data_table_formula(const Helpers& helpers, PyObject* f_attrs) {
    Ref kwargs = f_attrs ? Ref::borrow(f_attrs) : Ref::check(PyDict_New());
    Ref args = Ref::check(PyTuple_New(0));
    return Ref::check(PyObject_Call(helpers.DataTableFormula.get(), args.get(), kwargs.get()));
}

Val shared_formula(CellContext& ctx, const CellBufs& bufs, CellFlags flags, std::string text,
                   std::optional<Coord> cell) {
    const Helpers& helpers = ctx.helpers;
    const std::string* si = flags.has(CellFlags::FSi) ? &bufs.f_si : nullptr;

    if (std::optional<std::uint32_t> found = ctx.shared.find(si)) {
        const SharedEntry& entry = ctx.shared.entry(*found);
        if (entry.py) {
            Ref dest = flags.has(CellFlags::R) ? str_of(bufs.r) : Ref::borrow(Py_None);
            Ref name = Ref::check(PyUnicode_FromString("translate_formula"));
            return Ref::check(PyObject_CallMethodOneArg(entry.py.get(), name.get(), dest.get()));
        }
        SharedRef ref{*found};
        if (cell) {
            const CellPos dest{cell->row, cell->column};
            if (!entry.native->fits(dest)) {
                raise_formula_error(helpers, FormulaError::translator(Translator::kOutOfRange));
            }
            ref.has_dest = true;
            ref.row = cell->row;
            ref.column = cell->column;
        }
        return ref;
    }

    // A master. A lone "=" registers nothing: the next cell of this `si` becomes the master.
    if (text == "=") return text;
    SharedEntry entry;
    if (!flags.has(CellFlags::R)) {
        entry.py = host_translator(helpers, text, Py_None);
    } else {
        const Coord origin = cell ? *cell : parse_coordinate(helpers, bufs.r);
        try {
            entry.native = std::make_shared<const Translator>(text, origin.row, origin.column);
        } catch (const FormulaError& err) {
            if (err.kind() != FormulaError::Kind::NeedPython) raise_formula_error(helpers, err);
            Ref r = str_of(bufs.r);
            entry.py = host_translator(helpers, text, r.get());
        }
    }
    ctx.shared.add(std::move(entry), si);
    return text;
}

}  // namespace

std::optional<std::uint32_t> SharedFormulas::find(const std::string* si) const {
    if (!si) return no_si_;
    auto it = by_si_.find(std::string_view(*si));
    if (it == by_si_.end()) return std::nullopt;
    return it->second;
}

std::uint32_t SharedFormulas::add(SharedEntry entry, const std::string* si) {
    if (entries_.size() >= UINT32_MAX) throw Fallback("shared formula count");
    const auto index = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(std::move(entry));
    if (si) {
        by_si_.insert_or_assign(*si, index);
    } else {
        no_si_ = index;
    }
    return index;
}

Ref SharedFormulas::render(const SharedRef& ref) const {
    const SharedEntry& e = entry(ref.entry);
    if (!e.native) throw std::logic_error("shared formula value on a host translator");
    std::optional<CellPos> dest;
    if (ref.has_dest) dest = CellPos{ref.row, ref.column};
    std::string out;
    out.reserve(64);
    if (!e.native->translate_into(dest, out)) {
        throw std::logic_error("shared formula no longer fits the cell it was read for");
    }
    return str_of(out);
}

void raise_formula_error(const Helpers& helpers, const FormulaError& err) {
    PyObject* cls = nullptr;
    switch (err.kind()) {
        case FormulaError::Kind::Tokenizer: cls = helpers.TokenizerError.get(); break;
        case FormulaError::Kind::Translator: cls = helpers.TranslatorError.get(); break;
        case FormulaError::Kind::PopEmpty:
            PyErr_SetString(PyExc_IndexError, "pop from empty list");
            throw PyErrorSet();
        case FormulaError::Kind::NeedPython:
            PyErr_SetString(PyExc_TypeError, "internal: NeedPython");
            throw PyErrorSet();
    }
    Ref message = str_of(err.message());
    Ref instance = Ref::check(PyObject_CallOneArg(cls, message.get()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    throw PyErrorSet();
}

Val formula_value(CellContext& ctx, const CellBufs& bufs, CellFlags flags, PyObject* f_attrs,
                  std::optional<Coord> cell) {
    std::string text;
    text.reserve(bufs.f_text.size() + 1);
    text += '=';
    text += bufs.f_text;
    if (flags.has(CellFlags::FT)) {
        const std::string_view t = bufs.f_t;
        if (t == "array") return array_formula(ctx.helpers, bufs, flags, text);
        if (t == "dataTable") return data_table_formula(ctx.helpers, f_attrs);
        if (t == "shared") return shared_formula(ctx, bufs, flags, std::move(text), cell);
    }
    return text;
}

}  // namespace tovrel
