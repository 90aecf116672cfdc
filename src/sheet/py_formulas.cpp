#include "sheet/py_formulas.h"

#include <cstring>
#include <utility>

#include "sheet/py_helpers.h"
#include "utils/error.h"

namespace tovrel {

namespace {

// Calls the host's class `cls` with `text` and `origin` (a str or None) as positional arguments.
Ref host_translator(const Helpers& helpers, const std::string& text, PyObject* origin) {
    Ref formula = str_of(text);
    return Ref::check(PyObject_CallFunctionObjArgs(helpers.Translator.get(), formula.get(), origin,
                                                   nullptr));
}

Val array_formula(const Helpers& helpers, const CellText& raw, CellFlags flags,
                  const std::string& text) {
    Ref kwargs = Ref::check(PyDict_New());
    Ref ref = flags.has(CellFlags::FRef) ? str_of(raw.f_ref) : Ref::borrow(Py_None);
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

// "=" and the <f> element's text.
std::string formula_text(const CellText& raw) {
    std::string text;
    text.reserve(raw.f_text.size() + 1);
    text += '=';
    text += raw.f_text;
    return text;
}

// The same, made in `out`.
void formula_text_into(Val& out, const CellText& raw) {
    const std::size_t n = raw.f_text.size();
    std::string& text = emplace_val<std::string>(out, n + 1, '=');
    if (n) std::memcpy(text.data() + 1, raw.f_text.data(), n);
}

void shared_formula(Val& out, CellContext& ctx, const CellText& raw, CellFlags flags,
                    const CellRef* cell) {
    const Helpers& helpers = ctx.helpers;
    const std::string_view* si = flags.has(CellFlags::FSi) ? &raw.f_si : nullptr;

    if (std::optional<std::uint32_t> found = ctx.shared.find(si)) {
        const SharedEntry& entry = ctx.shared.entry(*found);
        if (entry.py) {
            Ref dest = flags.has(CellFlags::R) ? str_of(raw.r) : Ref::borrow(Py_None);
            Ref name = Ref::check(PyUnicode_FromString("translate_formula"));
            out = Ref::check(PyObject_CallMethodOneArg(entry.py.get(), name.get(), dest.get()));
            return;
        }
        if (cell && !entry.native->fits(*cell))
            raise_formula_error(helpers, FormulaError::translator(Translator::kOutOfRange));
        SharedRef& ref = emplace_val<SharedRef>(out, SharedRef{*found, std::nullopt});
        if (cell) ref.dest = *cell;
        return;
    }

    // A master. A lone "=" registers nothing: the next cell of this `si` becomes the master.
    std::string text = formula_text(raw);
    if (text == "=") {
        emplace_val<std::string>(out, std::move(text));
        return;
    }
    SharedEntry entry;
    if (!flags.has(CellFlags::R)) {
        entry.py = host_translator(helpers, text, Py_None);
    } else {
        const CellRef origin = cell ? *cell : parse_coordinate(helpers, raw.r);
        try {
            entry.native = std::make_shared<const Translator>(text, origin.row, origin.column);
        } catch (const FormulaError& err) {
            if (err.kind() != FormulaError::Kind::NeedPython) raise_formula_error(helpers, err);
            Ref r = str_of(raw.r);
            entry.py = host_translator(helpers, text, r.get());
        }
    }
    ctx.shared.add(std::move(entry), si);
    emplace_val<std::string>(out, std::move(text));
}

}  // namespace

std::optional<std::uint32_t> SharedFormulas::find(const std::string_view* si) {
    if (!si) return no_si_;
    if (last_valid_ && si->size() == last_si_.size()) {
        // `si` texts are a few digits: compared here rather than by a call.
        std::size_t i = 0;
        while (i < si->size() && (*si)[i] == last_si_[i]) ++i;
        if (i == si->size()) return last_index_;
    }
    auto it = by_si_.find(*si);
    if (it == by_si_.end()) return std::nullopt;
    last_si_.assign(*si);
    last_index_ = it->second;
    last_valid_ = true;
    return it->second;
}

std::uint32_t SharedFormulas::add(SharedEntry entry, const std::string_view* si) {
    if (entries_.size() >= UINT32_MAX) throw Fallback("shared formula count");
    const auto index = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(std::move(entry));
    if (si) {
        by_si_.insert_or_assign(std::string(*si), index);
        last_valid_ = false;
    } else {
        no_si_ = index;
    }
    return index;
}

// Formulas whose longest rendering fits this many bytes are rendered without the heap.
constexpr std::size_t kDirectRender = 256;

Ref SharedFormulas::render(const SharedRef& ref) const {
    const SharedEntry& e = entry(ref.entry);
    if (!e.native) throw InternalError("shared formula value on a host translator");
    const Translator& tr = *e.native;
    if (tr.ascii() && tr.max_rendered_size() <= kDirectRender) {
        // Rendered on the stack, then copied once into a str of the exact length.
        char buf[kDirectRender];
        const char* end = tr.render_raw(ref.dest, buf);
        if (!end) throw InternalError("shared formula no longer fits the cell it was read for");
        const auto n = static_cast<Py_ssize_t>(end - buf);
        Ref str = Ref::check(PyUnicode_New(n, 127));
        std::memcpy(PyUnicode_1BYTE_DATA(str.get()), buf, static_cast<std::size_t>(n));
        return str;
    }
    // One buffer per thread, kept between calls: rendering a column of shared formulas then
    // allocates nothing but the str objects. (The table may be read from several threads.)
    thread_local std::string out;
    out.clear();
    if (!tr.translate_into(ref.dest, out)) {
        throw InternalError("shared formula no longer fits the cell it was read for");
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
            // Always answered by the host's translator before a failure is raised.
            throw InternalError("NeedPython raised as a formula failure");
    }
    Ref message = str_of(err.message());
    Ref instance = Ref::check(PyObject_CallOneArg(cls, message.get()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    throw PyErrorSet();
}

void formula_value_into(Val& out, CellContext& ctx, const CellText& raw, CellFlags flags,
                        PyObject* f_attrs, const CellRef* cell) {
    if (flags.has(CellFlags::FT)) {
        const std::string_view t = raw.f_t;
        if (t == "shared") {
            shared_formula(out, ctx, raw, flags, cell);
            return;
        }
        if (t == "array") {
            out = array_formula(ctx.helpers, raw, flags, formula_text(raw));
            return;
        }
        if (t == "dataTable") {
            out = data_table_formula(ctx.helpers, f_attrs);
            return;
        }
    }
    formula_text_into(out, raw);
}

}  // namespace tovrel
