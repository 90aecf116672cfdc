// SheetWriter: writes a worksheet's <sheetData> for the host, one row at a time (write_row) or,
// later, a whole sheet at once. Output collects in a byte buffer that goes to the host's `write`
// callable in pieces of about a mebibyte.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sheet/dates.h"
#include "utils/py_compat.h"
#include "utils/py_ref.h"
#include "writer/cell_xml.h"
#include "writer/py_cell_attrs.h"
#include "writer/py_styles.h"

namespace tovrel {

// The writer's state: everything looked up once at construction, the output buffer and the
// style cache. The building blocks below (write_row_start, write_one, emit, push_fallback,
// end_row, flush_buf) are what every way of writing rows is made of.
class SheetWriter {
public:
    // A finished row that leaves at least this many bytes in the buffer sends them to `write`.
    static constexpr std::size_t kFlushAt = std::size_t{1} << 20;

    // Looks up, in this order: the interned attribute names, ws.parent and its _cell_styles, the
    // helper StyleArray, ws._hyperlinks, the helpers add_comment, write_cell, date_value and
    // date_value_raw, then the date context (the workbook's epoch and iso_dates). The first
    // failure throws and nothing is kept.
    SheetWriter(PyObject* ws, PyObject* write, bool lxml, PyObject* helpers);

    // One <row> from an iterable of cell objects; the flush rule after it.
    void write_row(PyObject* cells, long row_idx);

    // The whole <sheetData> of ws: from its CellStore in compact form, from a dict keyed by
    // (row, column), or else from the rows `rows_fallback()` yields. Flushes at the end.
    // (writer/py_sheet_data.cpp)
    void write_sheet_data(PyObject* rows_fallback);

    // ws.row_dimensions.get(row): a new reference, or nullptr for None.
    Ref dimension_of(PyObject* dims, PyObject* row);

    // Hands the buffer to `write` (bytes in lxml form, str otherwise) and empties it; an empty
    // buffer calls nothing; when `write` raises the buffer keeps its content.
    void flush_buf();

    // "<row r=...>" with the attributes of `dimension` (a mapping, or nullptr for none) after r.
    void write_row_start(std::string_view row_text, PyObject* dimension);
    // "</row>", then a flush when the buffer holds kFlushAt bytes or more.
    void end_row();
    // One host cell object: written here when it can be reproduced exactly, else by write_cell.
    void write_one(PyObject* cell);
    // Appends the <c> of a classified cell; false (nothing written, hyperlink untouched) when the
    // parts cannot be written exactly. A truthy hyperlink is appended to ws._hyperlinks first.
    bool emit(const CellHead& head, const CellValue& value, PyObject* hyperlink);
    // write_cell(ws, cell, styled), its text spliced in at the current place.
    void push_fallback(PyObject* cell, bool styled);

    std::string& buffer() noexcept { return buf_; }
    StyleCache& styles() noexcept { return styles_; }
    bool lxml() const noexcept { return lxml_; }
    PyObject* ws() const noexcept { return ws_.get(); }
    const std::optional<Epoch>& epoch() const noexcept { return epoch_; }
    bool iso_dates() const noexcept { return iso_dates_; }
    PyObject* date_value_raw() const noexcept { return date_value_raw_.get(); }

    int traverse(visitproc visit, void* arg) const;

private:
    void write_store(PyObject* store, PyObject* row_dimensions);
    // False (nothing written) when some key is not a pair of ints; the caller then falls back.
    bool write_dict(PyObject* cells, PyObject* row_dimensions);
    void write_rows_fallback(PyObject* rows_fallback, PyObject* row_dimensions);

    // Members are built in this order, which is the order of the lookups.
    Ref ws_;
    Ref write_;
    bool lxml_;
    CellAttrs cell_;
    Ref get_name_, append_name_, update_name_;
    Ref parent_;
    Ref cell_styles_;
    Ref style_array_;
    Ref hyperlinks_;
    Ref add_comment_;
    Ref write_cell_;
    Ref date_value_;
    Ref date_value_raw_;
    // Date context, for dates held natively by the cell store.
    Ref epoch_obj_;
    Ref datetime_cls_;
    std::optional<Epoch> epoch_;
    bool iso_dates_ = false;
    StyleCache styles_;
    std::string buf_;
};

// The type object, created once per process. Borrowed reference; NULL with an exception set if
// it could not be created.
PyTypeObject* sheet_writer_type() noexcept;

}  // namespace tovrel
