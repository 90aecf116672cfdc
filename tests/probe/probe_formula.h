// Probe functions for the formula tokenizer and translator.
#pragma once

#include "utils/py_compat.h"

namespace tovrel {

PyObject* probe_formula_tokenize(PyObject*, PyObject* args);
PyObject* probe_formula_translate(PyObject*, PyObject* args);
PyObject* probe_formula_bench(PyObject*, PyObject* args);

}  // namespace tovrel
