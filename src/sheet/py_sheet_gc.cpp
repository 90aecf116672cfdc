#include "sheet/py_sheet_gc.h"

#include "xml/py_reader.h"

namespace tovrel {

int gc_visit(const GcVisitor& v, const Helpers& h) {
    return TOVREL_GC_MEMBERS(v, h, int_, float_, coordinate_to_tuple, row_index, from_excel,
                             from_ISO8601, date_warning, ArrayFormula, DataTableFormula,
                             Translator, TokenizerError, TranslatorError, text_content,
                             rich_inline, validate_rpr, text_dangerous, rich_dangerous);
}

int Helpers::traverse(visitproc visit, void* arg) const {
    return gc_visit(GcVisitor{visit, arg}, *this);
}

int gc_visit(const GcVisitor& v, const Settings& s) {
    return TOVREL_GC_MEMBERS(v, s, date_formats, timedelta_formats, shared_strings_len,
                             shared_strings, epoch, native_epoch, formula_and_value, data_only,
                             rich_text);
}

int gc_visit(const GcVisitor& v, const DType& d) {
    return TOVREL_GC_MEMBERS(v, d, index, custom);
}

int gc_visit(const GcVisitor& v, const StyleId& s) {
    return TOVREL_GC_MEMBERS(v, s, value, obj);
}

int gc_visit(const GcVisitor& v, const CellRec& c) {
    return TOVREL_GC_MEMBERS(v, c, style, value, aside, dtype, row, column, aside_kind,
                             has_formula);
}

int gc_visit(const GcVisitor& v, const CellBufs& b) {
    return TOVREL_GC_MEMBERS(v, b, t, r, s, val, f_t, f_ref, f_si, f_text);
}

int gc_visit(const GcVisitor& v, const SharedEntry& e) {
    return TOVREL_GC_MEMBERS(v, e, native, py);
}

int gc_visit(const GcVisitor& v, const SharedFormulas& table) {
    return TOVREL_GC_MEMBERS(v, table, entries, by_si, no_si, last_si, last_index, last_valid);
}

int gc_visit(const GcVisitor& v, const Reader& reader) {
    // Visiting changes nothing; the accessor to the byte source is just not const.
    return traverse_py_reader(const_cast<Reader&>(reader), v.visit, v.arg);
}

int gc_visit(const GcVisitor& v, const RowItem& item) {
    return TOVREL_GC_MEMBERS(v, item, cells, index);
}

int gc_visit(const GcVisitor& v, const ElementItem& item) {
    return TOVREL_GC_MEMBERS(v, item, xml, namespaces);
}

int SheetParser::traverse(visitproc visit, void* arg) const {
    const GcVisitor v{visit, arg};
    return TOVREL_GC_MEMBERS(v, *this, reader, helpers, settings, text, dt, shared, bufs, spans,
                             actions, row_dimensions, row, column, in_sheet_data,
                             last_row_cells, spare, scratch, item, row_template, r_key,
                             row_shape, row_shape_split, row_shape_scope);
}

}  // namespace tovrel
