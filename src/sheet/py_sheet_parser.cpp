#include "sheet/py_sheet_parser.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "sheet/fast_cell.h"
#include "sheet/fast_cell_inline.h"
#include "sheet/values.h"
#include "xml/chars.h"
#include "xml/content_walk.h"
#include "xml/names.h"
#include "xml/py_reader.h"
#include "xml/refs.h"

namespace tovrel {

namespace {

constexpr std::int64_t kMaxIndex = std::numeric_limits<std::int64_t>::max();
// Row vectors kept for reuse: more than the rows of one 16 KiB block a streaming reader holds
// back at a time.
constexpr std::size_t kSpareRows = 256;

constexpr std::array<std::string_view, 22> kDispatchTags = {
    "col",        "row",           "extLst",         "sheetPr",          "rowBreaks",
    "colBreaks",  "pageSetup",     "scenarios",      "autoFilter",       "sheetViews",
    "tableParts", "hyperlinks",    "mergeCells",     "pageMargins",      "printOptions",
    "headerFooter", "legacyDrawing", "sheetFormatPr", "sheetProtection", "dataValidations",
    "customSheetViews", "conditionalFormatting",
};

// Copies the attributes of the current start tag that `Slots` names into the buffers.
template <const AttrSlot (&Slots)[3]>
void store_attrs(const Reader& reader, CellBufs& bufs, CellFlags& flags, std::string& scratch) {
    for (const Attr& a : reader.attrs()) {
        if (a.ns != kNoNamespace) continue;
        if (const AttrSlot* slot = find_attr_slot<Slots>(reader.attr_local(a)))
            slot->store(bufs, flags, reader.attr_value(a, scratch));
    }
}

}  // namespace

bool forbid_dispatch(std::uint32_t ns, std::string_view local) noexcept {
    // Every dispatch tag is at least three bytes long, so the worksheet's own one- and two-letter
    // names (c, v, f, is, t, r) leave at once.
    if (ns != kMainNamespace || local.size() < 3) return false;
    for (std::string_view tag : kDispatchTags)
        if (tag.size() == local.size() && tag[0] == local[0] && tag == local) return true;
    return false;
}

SheetParser::SheetParser(PyObject* source, Helpers helpers, Settings settings, PyObject* warnings,
                         PyObject* row_dimensions)
    : reader_(make_py_reader(source)),
      helpers_(std::move(helpers)),
      settings_(std::move(settings)),
      dt_(DT::make()),
      warnings_(Ref::borrow(warnings)),
      row_dimensions_(Ref::borrow(row_dimensions)) {
    spare_.reserve(kSpareRows);
    text_.text_dangerous = helpers_.text_dangerous;
    text_.rich_dangerous = helpers_.rich_dangerous;
    spans_.formula_wins = !settings_.data_only && !settings_.formula_and_value;
}

void SheetParser::skip_space() noexcept {
    if (reader_.last_event() == XmlEvent::Empty) return;  // its End is still to come
    Input& in = reader_.input();
    const std::uint8_t* buf = in.data();
    const std::size_t filled = in.filled();
    std::size_t p = in.pos;
    while (p < filled && is_ws(buf[p])) ++p;
    if (p != in.pos && p < filled && buf[p] == '<') reader_.consume_tag(in.pos, p);
}

Item SheetParser::next_item() {
    for (;;) {
        if (in_sheet_data_) {
            skip_space();
            // Rows mostly start as spreadsheet programs write them: read at once.
            std::size_t digits;
            if (reader_.depth() == 2 && reader_.namespaces().default_id() == kMainNamespace &&
                reader_.row_start_tag(digits)) {
                Item item(std::in_place_type<RowItem>);
                plain_row(digits, *std::get_if<RowItem>(&item));
                return item;
            }
        }
        XmlEvent ev = reader_.next();
        switch (ev) {
            case XmlEvent::Eof:
                return EndItem{};
            case XmlEvent::Text:
                continue;
            case XmlEvent::End:
                if (in_sheet_data_ && reader_.depth() == 1) in_sheet_data_ = false;
                continue;
            case XmlEvent::Start:
            case XmlEvent::Empty:
                break;
        }
        const std::size_t depth = reader_.depth();
        if (depth == 1) continue;
        if (depth == 2) {
            if (reader_.is_main("sheetData")) {
                if (ev == XmlEvent::Empty)
                    reader_.next();  // <sheetData/>: no rows, the flag stays clear
                else
                    in_sheet_data_ = true;
                continue;
            }
            return capture_checked();
        }
        if (in_sheet_data_ && depth == 3) {
            if (reader_.is_main("row")) {
                Item item(std::in_place_type<RowItem>);
                parse_row(*std::get_if<RowItem>(&item));
                return item;
            }
            return capture_checked();
        }
        throw Unsupported("unexpected nesting");
    }
}

ElementItem SheetParser::capture_checked() {
    reader_.begin_capture();
    ContentWalk(reader_, "unexpected eof").finish();
    PyMarkup markup = py_markup(reader_, reader_.end_capture());
    return ElementItem{std::move(markup.snippet), std::move(markup.namespaces)};
}

void SheetParser::parse_row(RowItem& row) {
    bool has_r = false, other = false;
    std::string r_text;
    const Attr* r_attr = nullptr;
    for (const Attr& a : reader_.attrs()) {
        if (a.ns != kNoNamespace) continue;
        std::string_view name = reader_.attr_local(a);
        if (name == "r") {
            has_r = true;
            r_attr = &a;
            r_text.assign(reader_.attr_value(a, scratch_));
        } else if (name != "spans") {
            other = true;
        }
    }
    if (!has_r) {
        if (row_ == kMaxIndex) throw Unsupported("row index");
        row_ += 1;
    } else if (auto n = fast_int(r_text)) {
        row_ = *n;
    } else {
        Ref text = str_of(r_text);
        Ref number = Ref::check(PyObject_CallOneArg(helpers_.row_index.get(), text.get()));
        long value = PyLong_AsLong(number.get());
        if (value == -1 && PyErr_Occurred()) throw PyErrorSet();
        row_ = value;
    }
    column_ = 0;
    row.index = row_;
    if (other) {
        char digits[24];
        const char* end = std::to_chars(digits, digits + sizeof digits, row_).ptr;
        Ref key = Ref::check(PyUnicode_FromStringAndSize(digits, end - digits));
        Ref dims = row_attributes(r_attr, r_text,
                                  r_text == std::string_view(digits, end - digits), key);
        check_rc(PyDict_SetItem(row_dimensions_.get(), key.get(), dims.get()));
    }
    if (reader_.last_event() == XmlEvent::Empty) {
        reader_.next();  // <row/>: its End, read here so that the fast path never looks past it
        return;
    }
    spans_.expect_row(row_);
    row_cells(row);
}

void SheetParser::plain_row(std::size_t digits, RowItem& row) {
    // r is 1 to 18 digits: the integer fast parse's number, and no other attribute but spans.
    const auto* text = reader_.input().data() + digits;
    std::int64_t n = 0;
    std::size_t count = 0;
    for (; text[count] != '"'; ++count) n = n * 10 + (text[count] - '0');
    row_ = n;
    column_ = 0;
    spans_.expect_row(n, text, count);
    row.index = n;
    row_cells(row);
}

void SheetParser::row_cells(RowItem& row) {
    // The cells are read in the row's namespace scope: each one read by the events is read whole,
    // its own declarations leaving scope with it, so the default namespace is the row's
    // throughout.
    const bool buffer_path =
        !settings_.rich_text && reader_.namespaces().default_id() == kMainNamespace;
    if (!spare_.empty()) {
        row.cells = std::move(spare_.back());
        spare_.pop_back();
    }
    row.cells.reserve(last_row_cells_);
    ContentWalk content(reader_, "eof in row");
    CellContext ctx = context();
    for (;;) {
        if (buffer_path && read_cell_from_buffer(row.cells, ctx))
            continue;
        skip_space();
        XmlEvent ev;
        if (!content.next(ev)) break;
        if (ev == XmlEvent::Text) continue;
        if (forbid_dispatch(reader_.ns(), reader_.local_name()))
            throw Unsupported("dispatch tag inside row");
        row.cells.push_back(read_cell());
    }
    last_row_cells_ = row.cells.size();
}

Ref SheetParser::row_attributes(const Attr* r, std::string_view r_text, bool r_is_key,
                                const Ref& key) {
    // Rows of a sheet mostly repeat one start tag but for r: the same bytes before and after the
    // r value, in the same namespace scope, are the same attributes, names and values alike, so
    // the dict is the last one's with r set again.
    if (!r) {
        row_template_ = Ref();
        return attribute_dict(reader_);
    }
    const auto* buf = reinterpret_cast<const char*>(reader_.input().data());
    const std::string_view before(buf + reader_.tag_start(), r->value_start - reader_.tag_start());
    const std::string_view after(buf + r->value_end, reader_.tag_end() - r->value_end);
    const std::string_view shape(row_shape_);
    const std::uint64_t scope = reader_.namespaces().scope_serial();
    if (row_template_ && row_shape_scope_ == scope && row_shape_split_ == before.size() &&
        shape.size() == before.size() + after.size() && shape.starts_with(before) &&
        shape.ends_with(after)) {
        Ref dims = Ref::check(PyDict_Copy(row_template_.get()));
        Ref value = r_is_key ? key.dup() : str_of(r_text);
        if (!r_key_) r_key_ = str_of("r");
        check_rc(PyDict_SetItem(dims.get(), r_key_.get(), value.get()));
        return dims;
    }
    Ref dims = attribute_dict(reader_);
    row_template_ = Ref::check(PyDict_Copy(dims.get()));
    row_shape_.assign(before);
    row_shape_.append(after);
    row_shape_split_ = before.size();
    row_shape_scope_ = scope;
    return dims;
}

CellRec SheetParser::read_cell() {
    bufs_.clear();
    CellFlags flags;
    store_attrs<kCellAttrs>(reader_, bufs_, flags, scratch_);
    StyleId style = style_of(helpers_.int_.get(), flags.has(CellFlags::S), bufs_.s);
    Ref f_attrs;
    std::optional<Val> inline_val;
    bool v_seen = false, is_seen = false;
    ContentWalk content(reader_, "eof in cell");
    for (XmlEvent ev; content.next(ev);) {
        if (ev == XmlEvent::Text) continue;
        // A child of the cell: each is read whole before the walk goes on.
        if (forbid_dispatch(reader_.ns(), reader_.local_name()))
            throw Unsupported("dispatch tag inside cell");
        if (reader_.ns() != kMainNamespace) {
            skip_checked(reader_, forbid_dispatch);
            continue;
        }
        std::string_view name = reader_.local_name();
        if (name == "v" && !v_seen) {
            v_seen = true;
            element_text_into(reader_, bufs_.v, forbid_dispatch);
        } else if (name == "f" && !flags.has(CellFlags::F)) {
            flags.set(CellFlags::F);
            store_attrs<kFormulaAttrs>(reader_, bufs_, flags, scratch_);
            if (flags.has(CellFlags::FT) && bufs_.f_t == "dataTable")
                f_attrs = attribute_dict(reader_);
            element_text_into(reader_, bufs_.f_text, forbid_dispatch);
        } else if (name == "is" && !is_seen && flags.has(CellFlags::T) && bufs_.t == "inlineStr") {
            is_seen = true;
            inline_val = inline_value();
        } else {
            skip_checked(reader_, forbid_dispatch);
        }
    }
    CellContext ctx = context();
    return interpret(ctx, bufs_.text(), std::move(style), flags, f_attrs.get(),
                     std::move(inline_val));
}

std::optional<Val> SheetParser::inline_value() {
    if (settings_.rich_text) {
        reader_.begin_capture();
        skip_checked(reader_, forbid_dispatch);
        return Val(call_with_markup(helpers_.rich_inline.get(), reader_, reader_.end_capture()));
    }
    auto rpr_check = [this](std::string_view rpr) { return helpers_.rpr_accepted(reader_, rpr); };
    if (parse_text(reader_, text_, forbid_dispatch, rpr_check, item_) == TextKind::Plain)
        return Val(std::string(item_));
    return Val(call_with_markup(helpers_.text_content.get(), reader_, item_));
}

bool SheetParser::read_cell_from_buffer(std::vector<CellRec>& cells, CellContext& ctx) {
    Input& in = reader_.input();
    const CellSpans& cell = spans_;
    if (!read_plain_cell(in.data(), in.filled(), in.pos, spans_)) return false;
    CellRec& rec = cells.emplace_back();
    try {
        using S = CellSpans;
        const std::uint16_t present = cell.present;
        // Most cells are a number, a shared string or a boolean without a formula, with r and s
        // read as numbers (or absent): decided from what fast_cell read, without their texts.
        if ((present & (S::Number | S::Formula)) == S::Number &&
            (present & (S::S | S::StyleParsed)) != S::S &&
            (present & (S::R | S::RefParsed)) != S::R &&
            interpret_number_into(rec, ctx, present & S::R ? &cell.ref : nullptr,
                                  present & S::S ? cell.style : 0, cell.type, cell.number)) {
            reader_.consume_tag(cell.start, cell.end);
            return true;
        }
        decide_from_buffer(rec, ctx);
    } catch (...) {
        cells.pop_back();
        throw;
    }
    return true;
}

void SheetParser::decide_from_buffer(CellRec& rec, CellContext& ctx) {
    Input& in = reader_.input();
    const std::uint8_t* buf = in.data();
    const CellSpans& cell = spans_;
    using S = CellSpans;
    using F = CellFlags;
    // The presence bits of the attributes and of <f> sit at the same places in both sets.
    static_assert(unsigned{S::R} == unsigned{F::R} && unsigned{S::S} == unsigned{F::S} &&
                  unsigned{S::T} == unsigned{F::T} && unsigned{S::FT} == unsigned{F::FT} &&
                  unsigned{S::FRef} == unsigned{F::FRef} && unsigned{S::FSi} == unsigned{F::FSi} &&
                  unsigned{S::Formula} == unsigned{F::F});
    const std::uint16_t present = cell.present;
    // An inline string as it stands, without a formula, likewise.
    if ((present & (S::Inline | S::Formula)) == S::Inline && !cell.inline_text.decode &&
        (present & (S::S | S::StyleParsed)) != S::S && (present & (S::R | S::RefParsed)) != S::R) {
        const TextSpan& t = cell.inline_text;
        interpret_inline_into(
            rec, ctx, present & S::R ? &cell.ref : nullptr, present & S::S ? cell.style : 0,
            std::string_view(reinterpret_cast<const char*>(buf) + t.raw.start,
                             t.raw.end - t.raw.start));
        reader_.consume_tag(cell.start, cell.end);
        return;
    }
    CellFlags flags;
    flags.bits = static_cast<std::uint8_t>(present & (S::R | S::S | S::T | S::FT | S::FRef |
                                                      S::FSi | S::Formula));
    // The texts stay views of the buffer, which does not move before the cell is decided; a
    // child's text holding references or CRs is decoded into the cell buffers.
    const char* chars = reinterpret_cast<const char*>(buf);
    auto view = [chars, present](std::uint16_t bit, const Span& s) {
        return present & bit ? std::string_view(chars + s.start, s.end - s.start)
                             : std::string_view();
    };
    auto child_text = [chars](const TextSpan& t, std::string& scratch) {
        const std::string_view raw(chars + t.raw.start, t.raw.end - t.raw.start);
        if (!t.decode) return raw;
        if (!t.entities) return decode_text(raw, false, scratch);
        if (scratch.size() < raw.size() + 8) scratch.resize(2 * raw.size() + 8);
        return std::string_view(scratch.data(), decode_entities(raw, scratch.data()));
    };
    // A formula that is the cell's value (its <v> not looked at): a plain one is "=" and its
    // text; a shared one whose master has a native translator that reaches this cell is a
    // reference to it. Anything else takes the general path below. (`rec` is new: its value
    // holds nothing and is made in place.)
    if ((present & S::Formula) && cell.formula_wins &&
        (present & (S::S | S::StyleParsed)) != S::S && (present & (S::R | S::RefParsed)) != S::R) {
        const CellRef* ref = present & S::R ? &cell.ref : nullptr;
        std::optional<std::uint32_t> found;
        if (present & S::FT) {
            const std::string_view si = view(S::FSi, cell.formula[2]);
            if (view(S::FT, cell.formula[0]) == "shared" &&
                (found = shared_.find(present & S::FSi ? &si : nullptr))) {
                const SharedEntry& entry = shared_.entry(*found);
                if (!entry.native || (ref && !entry.native->fits(*ref))) found.reset();
            }
        }
        if (found || !(present & S::FT)) {
            place_cell(rec, ctx, ref);
            if (found) {
                std::construct_at(&rec.value, std::in_place_type<SharedRef>,
                                  SharedRef{*found, ref ? std::optional(*ref) : std::nullopt});
            } else {
                const std::string_view f = present & S::FormulaText
                                               ? child_text(cell.formula_text, bufs_.f_text)
                                               : std::string_view();
                std::string& text = *std::get_if<std::string>(std::construct_at(
                    &rec.value, std::in_place_type<std::string>, f.size() + 1, '='));
                if (!f.empty()) std::memcpy(text.data() + 1, f.data(), f.size());
            }
            rec.style.value = present & S::S ? cell.style : 0;
            rec.dtype.index = TypeIndex::F;
            rec.has_formula = true;
            reader_.consume_tag(cell.start, cell.end);
            return;
        }
    }
    const std::string_view t = view(S::T, cell.cell[2]);
    std::string_view v, inline_text;
    if (present & S::Inline) {  // only taken in an inlineStr cell, whose <v> is ignored
        inline_text = child_text(cell.inline_text, bufs_.v);
    } else if ((present & S::Value) && cell.type != CellType::InlineStr) {
        v = child_text(cell.value, bufs_.v);
    }
    const CellText text{t,
                        view(S::R, cell.cell[0]),
                        view(S::S, cell.cell[1]),
                        v,
                        view(S::FT, cell.formula[0]),
                        view(S::FRef, cell.formula[1]),
                        view(S::FSi, cell.formula[2]),
                        present & S::FormulaText ? child_text(cell.formula_text, bufs_.f_text)
                                                 : std::string_view(),
                        present & S::RefParsed ? &cell.ref : nullptr,
                        present & S::Number ? &cell.number : nullptr,
                        true,
                        cell.type,
                        (present & S::Inline) != 0,
                        inline_text};
    reader_.consume_tag(cell.start, cell.end);
    // Absent, or read as digits by fast_cell: an integer without asking style_of.
    StyleId style = !(present & S::S)           ? StyleId{}
                    : present & S::StyleParsed ? StyleId{cell.style, Ref()}
                                               : style_of(helpers_.int_.get(), true, text.s);
    interpret_into(rec, ctx, text, std::move(style), flags, nullptr, std::nullopt);
}

}  // namespace tovrel
