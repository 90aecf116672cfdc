// The worksheet parser: turns the XML events of one worksheet part into items: one per <row>
// with its parsed cells, one per element that is not sheet data (for the host to replay), and a
// final End.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "sheet/fast_cell.h"
#include "sheet/py_formulas.h"
#include "sheet/py_helpers.h"
#include "sheet/py_settings.h"
#include "sheet/py_values.h"
#include "text/element_text.h"
#include "utils/py_ref.h"
#include "xml/reader.h"

namespace tovrel {

struct RowItem {
    std::vector<CellRec> cells;
    std::int64_t index = 0;
};

// An element that is not sheet data: its exact bytes and the namespaces in scope at its start,
// already as the Python objects handed to the host: bytes, and a list of (prefix, uri) tuples.
struct ElementItem {
    Ref xml;
    Ref namespaces;
};

struct EndItem {};

using Item = std::variant<RowItem, ElementItem, EndItem>;

// Elements the host's worksheet parser dispatches to handlers of their own; inside a row or a
// cell they make the native path give up.
bool forbid_dispatch(std::uint32_t ns, std::string_view local) noexcept;

class SheetParser {
public:
    // Takes over the helper bundle and the settings; `warnings` (a list) receives the
    // ("warn", message) tuples of the cells read, `row_dimensions` the attributes of rows that
    // carry more than r and spans. Reads nothing.
    SheetParser(PyObject* source, Helpers helpers, Settings settings, PyObject* warnings,
                PyObject* row_dimensions);

    // The next item; after End or an error the parser must not be used again.
    Item next_item();

    // The Python object of a value read by this parser.
    Ref to_py(Val&& value) const { return val_to_py(settings_, shared_, std::move(value)); }
    const DT& dt() const noexcept { return dt_; }
    const Settings& settings() const noexcept { return settings_; }
    // The shared formulas met so far, in the order of their entries.
    const SharedFormulas& shared() const noexcept { return shared_; }
    // Visits every Python object the parser holds, the file object and the shared-formula
    // translators included (for an owner's GC traverse; defined with the other rules in
    // sheet/py_sheet_gc.cpp).
    int traverse(visitproc visit, void* arg) const;

    // Hands back the cell vector of a row the caller is done with: a later row reuses its
    // storage, so a reader in steady state allocates nothing per row. A few vectors are kept,
    // as many rows can be in flight between the parser and the caller.
    void recycle(std::vector<CellRec>&& cells) noexcept {
        cells.clear();
        if (cells.capacity() == 0 || spare_.size() == spare_.capacity()) return;
        spare_.push_back(std::move(cells));
    }

    // Stream bytes consumed so far.
    std::uint64_t position() noexcept { return reader_.input().offset(); }

private:
    // The row at the current row start tag, into `row` (new).
    void parse_row(RowItem& row);
    // The row whose start tag Reader::row_start_tag has read, r's digits at `digits`, into `row`
    // (new).
    void plain_row(std::size_t digits, RowItem& row);
    // The cells of the row whose start tag has been read (row_ set), into `row`.
    void row_cells(RowItem& row);
    ElementItem capture_checked();
    CellRec read_cell();
    // Reads the cell at the current position straight from the buffer and appends it, deciding
    // it in `ctx` (the row's context); false (nothing consumed) when the cell does not have the
    // plain shape.
    bool read_cell_from_buffer(std::vector<CellRec>& cells, CellContext& ctx);
    // Decides the cell fast_cell has just read into `rec` (new) and moves the reader past it:
    // the cells that are not a plain number, shared string or boolean.
    [[gnu::noinline]] void decide_from_buffer(CellRec& rec, CellContext& ctx);
    std::optional<Val> inline_value();
    // Passes over whitespace up to the next tag in the buffer: text between rows and cells,
    // which the parser ignores, so it need not be read as a text event.
    void skip_space() noexcept;
    // The row-dimensions dict of the current row start tag, whose r attribute is `r` (or null).
    // `r_is_key`: r_text reads as `key`, the row's key in the row-dimensions dict.
    Ref row_attributes(const Attr* r, std::string_view r_text, bool r_is_key, const Ref& key);
    CellContext context() noexcept {
        return CellContext{settings_, helpers_, dt_, shared_, warnings_.get(), row_, column_};
    }

    Reader reader_;
    Helpers helpers_;
    Settings settings_;
    TextCtx text_;
    DT dt_;
    SharedFormulas shared_;
    CellBufs bufs_;
    CellSpans spans_;  // what the buffer-level path read of the current cell
    Ref warnings_;
    Ref row_dimensions_;
    std::int64_t row_ = 0;
    std::int64_t column_ = 0;
    bool in_sheet_data_ = false;
    std::size_t last_row_cells_ = 0;  // capacity hint for the next row
    std::vector<std::vector<CellRec>> spare_;  // empty row storage handed back by recycle()
    std::string scratch_;
    std::string item_;
    // The last row start tag's dict, its bytes without the r value (before it, then after it)
    // and the namespace scope it was read in: a row tag that differs from it only in r gets a
    // copy with r set again.
    Ref row_template_;  // never handed out, so never changed by the host
    Ref r_key_;
    std::string row_shape_;
    std::size_t row_shape_split_ = 0;
    std::uint64_t row_shape_scope_ = 0;
};

}  // namespace tovrel
