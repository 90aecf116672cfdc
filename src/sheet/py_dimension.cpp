#include "sheet/py_dimension.h"

#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "sheet/dimension.h"
#include "utils/py_ref.h"
#include "xml/py_reader.h"

namespace tovrel {

const char kFindDimensionDoc[] =
    "find_dimension(source)\n--\n\n"
    "Find the worksheet's <dimension> element as the worksheet parser's dimension parsing does.\n"
    "Returns (snippet, namespaces) or None.";

PyObject* py_find_dimension(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"source"};
        static const Signature sig{"find_dimension", names, 1, 1};
        PyObject* bound[1];
        bind_args(sig, args, nargs, kwnames, bound);
        Reader reader = make_py_reader(bound[0]);
        std::optional<std::string> snippet = find_dimension(reader);
        if (!snippet) Py_RETURN_NONE;
        PyMarkup markup = py_markup(reader, *snippet);
        return PyTuple_Pack(2, markup.snippet.get(), markup.namespaces.get());
    });
}

}  // namespace tovrel
