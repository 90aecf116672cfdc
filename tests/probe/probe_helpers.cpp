// Probe functions for the helper bundle.
#include "utils/py_boundary.h"
#include "sheet/py_helpers.h"
#include "tests_probe.h"

namespace tovrel {

// helpers_from_dict(d) -> (sorted text_dangerous probe results, ...): builds the bundle and
// reports which of the names "rPh", "phoneticPr", "r" each name set holds, and the set sizes.
PyObject* probe_helpers_from_dict(PyObject*, PyObject* arg) {
    return guard_obj([&] {
        Helpers h = Helpers::from_dict(arg);
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(h.text_dangerous.size()),
                             static_cast<Py_ssize_t>(h.rich_dangerous.size()));
    });
}

}  // namespace tovrel
