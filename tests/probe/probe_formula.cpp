// Probe functions for the formula tokenizer and translator. A FormulaError surfaces as
// ValueError carrying the error's debug form, e.g. "Tokenizer(Encountered unmatched '[' in =[)".

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "formula/tokenizer.h"
#include "formula/translator.h"
#include "utils/py_boundary.h"
#include "tests_probe.h"
#include "utils/error.h"
#include "utils/py_ref.h"

namespace tovrel {
namespace {

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw PyErrorSet();
    return {data, static_cast<std::size_t>(size)};
}

[[noreturn]] void raise_formula_error(const FormulaError& e) {
    PyErr_SetString(PyExc_ValueError, e.debug().c_str());
    throw PyErrorSet();
}

}  // namespace

// formula_tokenize(formula) -> [(value, kind, subkind), ...] with the numeric kind codes.
PyObject* probe_formula_tokenize(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* formula;
        if (!PyArg_ParseTuple(args, "U:formula_tokenize", &formula)) throw PyErrorSet();
        std::vector<Token> tokens;
        try {
            tokens = tokenize(utf8_of(formula));
        } catch (const FormulaError& e) {
            raise_formula_error(e);
        }
        Ref out = Ref::check(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            PyObject* item = Py_BuildValue("(s#ii)", t.value.data(),
                                           static_cast<Py_ssize_t>(t.value.size()),
                                           static_cast<int>(t.kind), static_cast<int>(t.subkind));
            if (!item) throw PyErrorSet();
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    });
}

// formula_translate(formula, origin_row, origin_col, dest_row=None, dest_col=None) -> str.
PyObject* probe_formula_translate(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* formula;
        long long orow, ocol;
        PyObject* drow = Py_None;
        PyObject* dcol = Py_None;
        if (!PyArg_ParseTuple(args, "ULL|OO:formula_translate", &formula, &orow, &ocol, &drow, &dcol))
            throw PyErrorSet();
        std::optional<CellRef> dest;
        if (drow != Py_None || dcol != Py_None) {
            const long long r = PyLong_AsLongLong(drow);
            if (r == -1 && PyErr_Occurred()) throw PyErrorSet();
            const long long c = PyLong_AsLongLong(dcol);
            if (c == -1 && PyErr_Occurred()) throw PyErrorSet();
            dest = CellRef{r, c};
        }
        std::string text;
        try {
            text = Translator(utf8_of(formula), orow, ocol).translate(dest);
        } catch (const FormulaError& e) {
            raise_formula_error(e);
        }
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    });
}

// formula_bench(formula, origin_row, origin_col, count) -> (elapsed_ns, total_bytes): compiles the
// formula once and renders it for `count` destinations below and beside the origin into one
// reused buffer, timing the whole.
PyObject* probe_formula_bench(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* formula;
        long long orow, ocol, count;
        if (!PyArg_ParseTuple(args, "ULLL:formula_bench", &formula, &orow, &ocol, &count))
            throw PyErrorSet();
        const std::string_view text = utf8_of(formula);
        long long total = 0;
        std::chrono::steady_clock::time_point start, end;
        try {
            start = std::chrono::steady_clock::now();
            const Translator t(text, orow, ocol);
            std::string buf;
            for (long long i = 0; i < count; ++i) {
                buf.clear();
                if (!t.translate_into(CellRef{orow + i, ocol + i % 16}, buf)) {
                    total = -1;
                    break;
                }
                total += static_cast<long long>(buf.size());
            }
            end = std::chrono::steady_clock::now();
        } catch (const FormulaError&) {
            total = -2;
        }
        if (total == -2) throw Fallback("formula does not compile");
        if (total == -1) throw Fallback("formula out of range");
        const long long ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
        return Py_BuildValue("(LL)", ns, total);
    });
}

}  // namespace tovrel
