// The host's helper objects for one reading call, copied out of the `helpers` dict once.
#pragma once

#include <string_view>

#include "text/name_set.h"
#include "utils/py_ref.h"
#include "xml/reader.h"

namespace tovrel {

struct Helpers {
    Ref int_;
    Ref float_;
    Ref coordinate_to_tuple;
    Ref row_index;
    Ref from_excel;
    Ref from_ISO8601;
    Ref date_warning;
    Ref ArrayFormula;
    Ref DataTableFormula;
    Ref Translator;
    Ref TokenizerError;
    Ref TranslatorError;
    Ref text_content;
    Ref rich_inline;
    Ref validate_rpr;
    NameSet text_dangerous;
    NameSet rich_dangerous;

    // Looks every key up in the fixed order; the first failure (a missing key: TypeError
    // "missing helper <key>") aborts, and the record's destructor releases what was taken.
    static Helpers from_dict(PyObject* helpers);

    // validate_rpr(snippet, namespaces) on the raw bytes of an <rPr> element, by truth value:
    // whether the plain text may ignore these run properties.
    bool rpr_accepted(const Reader& reader, std::string_view rpr) const;

    // Visits every held object (for an owner's GC traverse; defined with the other rules in
    // sheet/py_sheet_gc.cpp).
    int traverse(visitproc visit, void* arg) const;
};

// One helper lookup with the bundle's rule, for callers that need only a few keys:
// the value as a new reference, or TypeError "missing helper <key>".
Ref lookup_helper(PyObject* helpers, const char* key);

// Copies an iterable of str into a name set; a non-str item fails with the conversion's TypeError.
void read_name_set(PyObject* iterable, NameSet& out);

}  // namespace tovrel
