#include "sheet/py_helpers.h"

#include "utils/py_interned.h"
#include "xml/py_reader.h"

namespace tovrel {

bool Helpers::rpr_accepted(const Reader& reader, std::string_view rpr) const {
    Ref verdict = call_with_markup(validate_rpr.get(), reader, rpr);
    return check_rc(PyObject_IsTrue(verdict.get())) != 0;
}

namespace {

// One lookup by an interned key: the dict's own keys are the host's interned literals, so the
// lookup compares by identity, without decoding or hashing the key again.
Ref lookup_helper(PyObject* helpers, const InternedName& key) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(helpers, key.get(), &value);
    if (found < 0) throw PyErrorSet();
    if (found == 0) {
        PyErr_Format(PyExc_TypeError, "missing helper %s", key.text());
        throw PyErrorSet();
    }
    return Ref::steal(value);
}

// The keys of the bundle, in the order they are looked up.
constinit const InternedName kInt("int"), kFloat("float"),
    kCoordinateToTuple("coordinate_to_tuple"), kRowIndex("row_index"), kFromExcel("from_excel"),
    kFromISO8601("from_ISO8601"), kDateWarning("date_warning"), kArrayFormula("ArrayFormula"),
    kDataTableFormula("DataTableFormula"), kTranslator("Translator"),
    kTokenizerError("TokenizerError"), kTranslatorError("TranslatorError"),
    kTextContent("text_content"), kRichInline("rich_inline"), kValidateRpr("validate_rpr"),
    kTextDangerous("text_dangerous"), kRichDangerous("rich_dangerous");

}  // namespace

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
    h.int_ = lookup_helper(helpers, kInt);
    h.float_ = lookup_helper(helpers, kFloat);
    h.coordinate_to_tuple = lookup_helper(helpers, kCoordinateToTuple);
    h.row_index = lookup_helper(helpers, kRowIndex);
    h.from_excel = lookup_helper(helpers, kFromExcel);
    h.from_ISO8601 = lookup_helper(helpers, kFromISO8601);
    h.date_warning = lookup_helper(helpers, kDateWarning);
    h.ArrayFormula = lookup_helper(helpers, kArrayFormula);
    h.DataTableFormula = lookup_helper(helpers, kDataTableFormula);
    h.Translator = lookup_helper(helpers, kTranslator);
    h.TokenizerError = lookup_helper(helpers, kTokenizerError);
    h.TranslatorError = lookup_helper(helpers, kTranslatorError);
    h.text_content = lookup_helper(helpers, kTextContent);
    h.rich_inline = lookup_helper(helpers, kRichInline);
    h.validate_rpr = lookup_helper(helpers, kValidateRpr);
    read_name_set(lookup_helper(helpers, kTextDangerous).get(), h.text_dangerous);
    read_name_set(lookup_helper(helpers, kRichDangerous).get(), h.rich_dangerous);
    return h;
}

}  // namespace tovrel
