// What the garbage collector visits in the state of worksheet reading: values and cell records,
// the helper bundle, the settings, shared formulas and the parser's own members (utils/py_gc.h
// explains the scheme). The worksheet parser's and the row reader's traverse are built on these.
#pragma once

#include "formula/translator.h"
#include "sheet/py_formulas.h"
#include "sheet/py_helpers.h"
#include "sheet/py_settings.h"
#include "sheet/py_sheet_parser.h"
#include "sheet/py_values.h"
#include "text/element_text.h"
#include "text/name_set.h"
#include "utils/py_gc.h"
#include "xml/reader.h"

namespace tovrel {

int gc_visit(const GcVisitor& v, const Helpers& helpers);
int gc_visit(const GcVisitor& v, const Settings& settings);
int gc_visit(const GcVisitor& v, const DType& dtype);
int gc_visit(const GcVisitor& v, const StyleId& style);
int gc_visit(const GcVisitor& v, const CellRec& cell);
int gc_visit(const GcVisitor& v, const CellBufs& bufs);
int gc_visit(const GcVisitor& v, const SharedEntry& entry);
// The worksheet parser's reader pulls from a Python file object (xml/py_reader.h).
int gc_visit(const GcVisitor& v, const Reader& reader);
int gc_visit(const GcVisitor& v, const RowItem& item);
int gc_visit(const GcVisitor& v, const ElementItem& item);
inline int gc_visit(const GcVisitor& v, const SheetParser& parser) {
    return parser.traverse(v.visit, v.arg);
}

// Sorted integers only.
inline int gc_visit(const GcVisitor&, const IntSet&) { return 0; }
// The interned data-type strings: str objects are not GC containers, so never part of a cycle.
inline int gc_visit(const GcVisitor&, const DT&) { return 0; }
// Types of the pure core: they cannot hold Python objects.
inline int gc_visit(const GcVisitor&, const NameSet&) { return 0; }
inline int gc_visit(const GcVisitor&, const TextCtx&) { return 0; }
inline int gc_visit(const GcVisitor&, const Translator&) { return 0; }

}  // namespace tovrel
