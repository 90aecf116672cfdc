// _tovrel_bench: the benchmarks' own extension. It runs engine internals in C++ loops (date
// conversion, shared-formula rendering, cell-value decisions) so that bench/*.py can time them
// against the host's pure-Python paths, and gives each benchmark a way to check that both sides
// did the same work. Built beside _tovrel; not part of it, and not used by the tests.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formula/translator.h"
#include "sheet/dates.h"
#include "sheet/py_dates.h"
#include "sheet/py_formulas.h"
#include "sheet/py_helpers.h"
#include "sheet/py_settings.h"
#include "sheet/py_values.h"
#include "utils/error.h"
#include "utils/py_boundary.h"
#include "utils/py_fallback.h"
#include "utils/py_ref.h"

namespace tovrel {
namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ns(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since).count();
}

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw PyErrorSet();
    return {data, static_cast<std::size_t>(size)};
}

// The native Epoch of a host datetime, judged as the settings reader judges parser.epoch.
Epoch native_epoch_of(PyObject* e) {
    Ref datetime_type = Ref::check(PyImport_ImportModuleAttrString("datetime", "datetime"));
    Ref windows =
        Ref::check(PyImport_ImportModuleAttrString("tovrel.utils.datetime", "WINDOWS_EPOCH"));
    std::optional<Epoch> epoch = epoch_from_datetime(e, datetime_type.get(), windows.get());
    if (!epoch) {
        PyErr_SetString(PyExc_TypeError, "epoch has no native form");
        throw PyErrorSet();
    }
    return *epoch;
}

// dates(n, start, step, epoch, build) -> (elapsed_ns, converted, checksum): converts the float
// serials start + i * step for i < n, building each Python object when `build` is true.
PyObject* dates(PyObject*, PyObject* args) {
    return guard_obj([&] {
        Py_ssize_t n;
        double start, step;
        PyObject* epoch_obj;
        int build;
        if (!PyArg_ParseTuple(args, "nddOp:dates", &n, &start, &step, &epoch_obj, &build))
            throw PyErrorSet();
        const Epoch epoch = native_epoch_of(epoch_obj);
        ensure_datetime_api();
        long long converted = 0, checksum = 0;
        const auto t0 = Clock::now();
        for (Py_ssize_t i = 0; i < n; ++i) {
            const DateResult r = from_excel_float(start + static_cast<double>(i) * step, epoch);
            if (!r.ok()) continue;
            ++converted;
            if (build)
                Ref obj = build_date(r);
            else
                checksum += r.day + r.microsecond;
        }
        const long long ns = elapsed_ns(t0);
        return Py_BuildValue("(LLL)", ns, converted, checksum);
    });
}

// dates_list(serials, epoch) -> the datetime of each float serial (None when out of range).
PyObject* dates_list(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* values;
        PyObject* epoch_obj;
        if (!PyArg_ParseTuple(args, "OO:dates_list", &values, &epoch_obj)) throw PyErrorSet();
        const Epoch epoch = native_epoch_of(epoch_obj);
        Ref seq = Ref::check(PySequence_Fast(values, "serials must be a sequence"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        Ref out = Ref::check(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const double serial = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (serial == -1.0 && PyErr_Occurred()) throw PyErrorSet();
            const DateResult r = from_excel_float(serial, epoch);
            Ref item = r.ok() ? build_date(r) : Ref::borrow(Py_None);
            PyList_SET_ITEM(out.get(), i, item.release());
        }
        return out.release();
    });
}

// formula(text, origin_row, origin_col, count) -> (elapsed_ns, total_bytes): compiles the formula
// once and renders it for `count` destinations (row origin_row + i, column origin_col + i % 16)
// into one reused buffer, timing the whole.
PyObject* formula(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* text;
        long long orow, ocol, count;
        if (!PyArg_ParseTuple(args, "ULLL:formula", &text, &orow, &ocol, &count))
            throw PyErrorSet();
        const std::string_view source = utf8_of(text);
        long long total = 0;
        const auto t0 = Clock::now();
        const Translator t(source, orow, ocol);
        std::string buf;
        for (long long i = 0; i < count; ++i) {
            buf.clear();
            if (!t.translate_into(CellRef{orow + i, ocol + i % 16}, buf))
                throw Fallback("formula out of range");
            total += static_cast<long long>(buf.size());
        }
        const long long ns = elapsed_ns(t0);
        return Py_BuildValue("(LL)", ns, total);
    });
}

// formula_at(text, origin_row, origin_col, row, col) -> the formula rendered for (row, col).
PyObject* formula_at(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject* text;
        long long orow, ocol, row, col;
        if (!PyArg_ParseTuple(args, "ULLLL:formula_at", &text, &orow, &ocol, &row, &col))
            throw PyErrorSet();
        const std::string out = Translator(utf8_of(text), orow, ocol).translate(CellRef{row, col});
        return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
    });
}

// interpret(parser, helpers, texts, t, convert) -> (elapsed_ns, results): decides one cell per
// <v> text (all with the data type `t`, or none when `t` is None), converting each value to
// Python when `convert` is true (None otherwise).
PyObject* interpret_cells(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject *parser, *helpers_dict, *texts, *t;
        int convert = 0;
        if (!PyArg_ParseTuple(args, "OO!OOp:interpret", &parser, &PyDict_Type, &helpers_dict,
                              &texts, &t, &convert))
            throw PyErrorSet();
        const Helpers helpers = Helpers::from_dict(helpers_dict);
        const Settings settings = Settings::from_parser(parser);
        const DT dt = DT::make();
        SharedFormulas shared;
        Ref warnings = Ref::check(PyList_New(0));
        std::int64_t row = 1, column = 0;
        CellContext ctx{settings, helpers, dt, shared, warnings.get(), row, column};

        Ref seq = Ref::check(PySequence_Fast(texts, "texts must be a sequence"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        std::vector<std::string> values;
        values.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            values.emplace_back(utf8_of(PySequence_Fast_GET_ITEM(seq.get(), i)));
        CellFlags flags;
        CellBufs bufs;
        if (t != Py_None) {
            bufs.t.assign(utf8_of(t));
            flags.set(CellFlags::T);
        }
        Ref results = Ref::check(PyList_New(n));
        const auto t0 = Clock::now();
        for (Py_ssize_t i = 0; i < n; ++i) {
            bufs.v = values[static_cast<std::size_t>(i)];
            CellRec rec = interpret(ctx, bufs.text(), StyleId{}, flags, nullptr, std::nullopt);
            Ref obj = convert ? val_to_py(ctx, std::move(rec.value)) : Ref::borrow(Py_None);
            PyList_SET_ITEM(results.get(), i, obj.release());
        }
        const long long ns = elapsed_ns(t0);
        return Py_BuildValue("(LO)", ns, results.get());
    });
}

// fixed_costs(source, parser, helpers, n) -> {step: ns per call}: what setting up one sheet's
// reader costs, step by step, each run n times in a C++ loop: the helper bundle from the dict,
// the settings from the parser (and, within them, the two module imports and the native epoch),
// the data-type strings, and the whole RowReader construction
// (`source` is not read by it).
PyObject* fixed_costs(PyObject*, PyObject* args) {
    return guard_obj([&] {
        PyObject *source, *parser, *helpers_dict;
        Py_ssize_t n;
        if (!PyArg_ParseTuple(args, "OOO!n:fixed_costs", &source, &parser, &PyDict_Type,
                              &helpers_dict, &n))
            throw PyErrorSet();
        if (n < 1) n = 1;
        Ref reader_type = Ref::check(PyImport_ImportModuleAttrString("_tovrel", "RowReader"));
        Ref call_args = Ref::check(PyTuple_Pack(3, source, parser, helpers_dict));
        Ref out = Ref::check(PyDict_New());
        auto put = [&](const char* step, long long ns) {
            Ref v = Ref::check(PyFloat_FromDouble(static_cast<double>(ns) / static_cast<double>(n)));
            check_rc(PyDict_SetItemString(out.get(), step, v.get()));
        };
        auto t0 = Clock::now();
        for (Py_ssize_t i = 0; i < n; ++i) Helpers h = Helpers::from_dict(helpers_dict);
        put("helper bundle", elapsed_ns(t0));
        t0 = Clock::now();
        for (Py_ssize_t i = 0; i < n; ++i) Settings s = Settings::from_parser(parser);
        put("settings", elapsed_ns(t0));
        // The settings' two parts that are not plain attribute reads: the imports, and the
        // native epoch (the date context) built from parser.epoch.
        Ref datetime_name = Ref::check(PyUnicode_FromString("datetime"));
        Ref host_dates_name = Ref::check(PyUnicode_FromString("tovrel.utils.datetime"));
        t0 = Clock::now();
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref a = Ref::check(PyImport_Import(datetime_name.get()));
            Ref b = Ref::check(PyImport_Import(host_dates_name.get()));
        }
        put("  of which the two imports", elapsed_ns(t0));
        Ref epoch = Ref::check(PyObject_GetAttrString(parser, "epoch"));
        Ref datetime_type = Ref::check(PyImport_ImportModuleAttrString("datetime", "datetime"));
        Ref windows =
            Ref::check(PyImport_ImportModuleAttrString("tovrel.utils.datetime", "WINDOWS_EPOCH"));
        t0 = Clock::now();
        for (Py_ssize_t i = 0; i < n; ++i)
            (void)epoch_from_datetime(epoch.get(), datetime_type.get(), windows.get());
        put("  of which the date context", elapsed_ns(t0));
        t0 = Clock::now();
        for (Py_ssize_t i = 0; i < n; ++i) DT dt = DT::make();
        put("data-type strings", elapsed_ns(t0));
        t0 = Clock::now();
        for (Py_ssize_t i = 0; i < n; ++i)
            Ref reader = Ref::check(PyObject_Call(reader_type.get(), call_args.get(), nullptr));
        put("RowReader construction", elapsed_ns(t0));
        return out.release();
    });
}

PyMethodDef bench_methods[] = {
    {"fixed_costs", fixed_costs, METH_VARARGS, nullptr},
    {"dates", dates, METH_VARARGS, nullptr},
    {"dates_list", dates_list, METH_VARARGS, nullptr},
    {"formula", formula, METH_VARARGS, nullptr},
    {"formula_at", formula_at, METH_VARARGS, nullptr},
    {"interpret", interpret_cells, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Raises the NativeFallback class of _tovrel itself, not a second copy.
int bench_exec(PyObject*) {
    PyObject* cls = PyImport_ImportModuleAttrString("_tovrel", "NativeFallback");
    if (!cls) return -1;
    adopt_native_fallback_type(cls);
    Py_DECREF(cls);
    return 0;
}

PyModuleDef_Slot bench_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(bench_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef bench_def = {
    PyModuleDef_HEAD_INIT, "_tovrel_bench", nullptr, 0, bench_methods, bench_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tovrel

PyMODINIT_FUNC PyInit__tovrel_bench(void) { return PyModuleDef_Init(&tovrel::bench_def); }
