#include "sheet/py_helpers.h"

#include "xml/py_reader.h"

namespace tovrel {

bool Helpers::rpr_accepted(const Reader& reader, std::string_view rpr) const {
    Ref verdict = call_with_markup(validate_rpr.get(), reader, rpr);
    return check_rc(PyObject_IsTrue(verdict.get())) != 0;
}

Ref lookup_helper(PyObject* helpers, const char* key) {
    Ref name = Ref::check(PyUnicode_FromString(key));
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(helpers, name.get(), &value);
    if (found < 0) throw PyErrorSet();
    if (found == 0) {
        PyErr_Format(PyExc_TypeError, "missing helper %s", key);
        throw PyErrorSet();
    }
    return Ref::steal(value);
}

void read_name_set(PyObject* iterable, NameSet& out) {
    Ref iter = Ref::check(PyObject_GetIter(iterable));
    for (;;) {
        PyObject* raw = nullptr;
        int rc = PyIter_NextItem(iter.get(), &raw);
        if (rc < 0) throw PyErrorSet();
        if (rc == 0) return;
        Ref item = Ref::steal(raw);
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.get(), &len);
        if (!text) throw PyErrorSet();
        out.insert(std::string_view(text, static_cast<std::size_t>(len)));
    }
}

Helpers Helpers::from_dict(PyObject* helpers) {
    Helpers h;
    h.int_ = lookup_helper(helpers, "int");
    h.float_ = lookup_helper(helpers, "float");
    h.coordinate_to_tuple = lookup_helper(helpers, "coordinate_to_tuple");
    h.row_index = lookup_helper(helpers, "row_index");
    h.from_excel = lookup_helper(helpers, "from_excel");
    h.from_ISO8601 = lookup_helper(helpers, "from_ISO8601");
    h.date_warning = lookup_helper(helpers, "date_warning");
    h.ArrayFormula = lookup_helper(helpers, "ArrayFormula");
    h.DataTableFormula = lookup_helper(helpers, "DataTableFormula");
    h.Translator = lookup_helper(helpers, "Translator");
    h.TokenizerError = lookup_helper(helpers, "TokenizerError");
    h.TranslatorError = lookup_helper(helpers, "TranslatorError");
    h.text_content = lookup_helper(helpers, "text_content");
    h.rich_inline = lookup_helper(helpers, "rich_inline");
    h.validate_rpr = lookup_helper(helpers, "validate_rpr");
    read_name_set(lookup_helper(helpers, "text_dangerous").get(), h.text_dangerous);
    read_name_set(lookup_helper(helpers, "rich_dangerous").get(), h.rich_dangerous);
    return h;
}

}  // namespace tovrel
