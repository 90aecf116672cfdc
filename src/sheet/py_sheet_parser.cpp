#include "sheet/py_sheet_parser.h"

#include <array>
#include <limits>

#include "sheet/fast_cell.h"
#include "sheet/values.h"
#include "xml/names.h"
#include "xml/py_reader.h"

namespace tovrel {

namespace {

constexpr std::int64_t kMaxIndex = std::numeric_limits<std::int64_t>::max();

constexpr std::array<std::string_view, 22> kDispatchTags = {
    "col",        "row",           "extLst",         "sheetPr",          "rowBreaks",
    "colBreaks",  "pageSetup",     "scenarios",      "autoFilter",       "sheetViews",
    "tableParts", "hyperlinks",    "mergeCells",     "pageMargins",      "printOptions",
    "headerFooter", "legacyDrawing", "sheetFormatPr", "sheetProtection", "dataValidations",
    "customSheetViews", "conditionalFormatting",
};

Ref bytes_of(std::string_view s) {
    return Ref::check(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// A dict of all attributes of the current start tag: keys "local" or "{uri}local".
Ref attribute_dict(const Reader& reader) {
    Ref dict = Ref::check(PyDict_New());
    for (const Attr& a : reader.attrs()) {
        Ref key = Ref::steal(attr_key(reader, a));
        Ref value = Ref::steal(attr_value_str(reader, a));
        check_rc(PyDict_SetItem(dict.get(), key.get(), value.get()));
    }
    return dict;
}

Ref call2(PyObject* fn, PyObject* a, PyObject* b) {
    PyObject* args[2] = {a, b};
    return Ref::check(PyObject_Vectorcall(fn, args, 2, nullptr));
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

SheetParser::SheetParser(PyObject* source, Helpers helpers, Settings settings, PyObject* actions,
                         PyObject* row_dimensions)
    : reader_(make_py_reader(source)),
      helpers_(std::move(helpers)),
      settings_(std::move(settings)),
      dt_(DT::make()),
      actions_(Ref::borrow(actions)),
      row_dimensions_(Ref::borrow(row_dimensions)) {
    text_.text_dangerous = helpers_.text_dangerous;
    text_.rich_dangerous = helpers_.rich_dangerous;
}

Item SheetParser::next_item() {
    for (;;) {
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
            if (reader_.is_main("row")) return parse_row();
            return capture_checked();
        }
        throw Unsupported("unexpected nesting");
    }
}

ElementItem SheetParser::capture_checked() {
    reader_.begin_capture();
    if (reader_.last_event() == XmlEvent::Empty) {
        reader_.next();
    } else {
        const std::size_t depth = reader_.depth();
        for (;;) {
            XmlEvent ev = reader_.next();
            if (ev == XmlEvent::End && reader_.depth() < depth) break;
            if (ev == XmlEvent::Eof) throw Malformed("unexpected eof");
        }
    }
    std::string bytes = reader_.end_capture();
    ElementItem item;
    item.xml = bytes_of(bytes);
    item.namespaces = Ref::steal(in_scope_namespaces(reader_));
    return item;
}

RowItem SheetParser::parse_row() {
    RowItem row;
    bool has_r = false, other = false;
    std::string r_text;
    for (const Attr& a : reader_.attrs()) {
        if (a.ns != kNoNamespace) continue;
        std::string_view name = reader_.attr_local(a);
        if (name == "r") {
            has_r = true;
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
        Ref dims = attribute_dict(reader_);
        Ref key = Ref::check(PyUnicode_FromFormat("%lld", static_cast<long long>(row_)));
        check_rc(PyDict_SetItem(row_dimensions_.get(), key.get(), dims.get()));
    }
    if (reader_.last_event() == XmlEvent::Empty) {
        reader_.next();
        return row;
    }
    const std::size_t depth = reader_.depth();
    const bool buffer_path = !settings_.rich_text;
    row.cells.reserve(last_row_cells_);
    for (;;) {
        if (buffer_path && reader_.namespaces().default_id() == kMainNamespace &&
            read_cell_from_buffer(row.cells))
            continue;
        XmlEvent ev = reader_.next();
        if (ev == XmlEvent::End) {
            if (reader_.depth() < depth) {
                last_row_cells_ = row.cells.size();
                return row;
            }
            continue;
        }
        if (ev == XmlEvent::Text) continue;
        if (ev == XmlEvent::Eof) throw Malformed("eof in row");
        if (forbid_dispatch(reader_.ns(), reader_.local_name()))
            throw Unsupported("dispatch tag inside row");
        row.cells.push_back(read_cell());
    }
}

CellRec SheetParser::read_cell() {
    bufs_.clear();
    CellFlags flags;
    bool has_s = false;
    for (const Attr& a : reader_.attrs()) {
        if (a.ns != kNoNamespace) continue;
        std::string_view name = reader_.attr_local(a);
        std::string* target;
        if (name == "r") {
            target = &bufs_.r;
            flags.set(CellFlags::R);
        } else if (name == "s") {
            target = &bufs_.s;
            has_s = true;
        } else if (name == "t") {
            target = &bufs_.t;
            flags.set(CellFlags::T);
        } else {
            continue;
        }
        target->assign(reader_.attr_value(a, scratch_));
    }
    StyleId style = style_of(helpers_.int_.get(), has_s, bufs_.s);
    Ref f_attrs;
    std::optional<Val> inline_val;
    if (reader_.last_event() == XmlEvent::Start) {
        const std::size_t depth = reader_.depth();
        bool v_seen = false, is_seen = false;
        for (;;) {
            XmlEvent ev = reader_.next();
            if (ev == XmlEvent::End) {
                if (reader_.depth() < depth) break;
                continue;
            }
            if (ev == XmlEvent::Text) continue;
            if (ev == XmlEvent::Eof) throw Malformed("eof in cell");
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
                for (const Attr& a : reader_.attrs()) {
                    if (a.ns != kNoNamespace) continue;
                    std::string_view an = reader_.attr_local(a);
                    if (an == "t") {
                        bufs_.f_t.assign(reader_.attr_value(a, scratch_));
                        flags.set(CellFlags::FT);
                    } else if (an == "ref") {
                        bufs_.f_ref.assign(reader_.attr_value(a, scratch_));
                        flags.set(CellFlags::FRef);
                    } else if (an == "si") {
                        bufs_.f_si.assign(reader_.attr_value(a, scratch_));
                        flags.set(CellFlags::FSi);
                    }
                }
                if (flags.has(CellFlags::FT) && bufs_.f_t == "dataTable")
                    f_attrs = attribute_dict(reader_);
                element_text_into(reader_, bufs_.f_text, forbid_dispatch);
            } else if (name == "is" && !is_seen && flags.has(CellFlags::T) &&
                       bufs_.t == "inlineStr") {
                is_seen = true;
                inline_val = inline_value();
            } else {
                skip_checked(reader_, forbid_dispatch);
            }
        }
    } else {
        reader_.next();  // the End of <c/>
    }
    CellContext ctx = context();
    return interpret(ctx, bufs_, std::move(style), flags, f_attrs.get(), std::move(inline_val));
}

std::optional<Val> SheetParser::inline_value() {
    if (settings_.rich_text) {
        reader_.begin_capture();
        skip_checked(reader_, forbid_dispatch);
        Ref snippet = bytes_of(reader_.end_capture());
        Ref namespaces = Ref::steal(in_scope_namespaces(reader_));
        return Val(call2(helpers_.rich_inline.get(), snippet.get(), namespaces.get()));
    }
    auto rpr_check = [this](std::string_view rpr) {
        Ref snippet = bytes_of(rpr);
        Ref namespaces = Ref::steal(in_scope_namespaces(reader_));
        Ref verdict = call2(helpers_.validate_rpr.get(), snippet.get(), namespaces.get());
        return check_rc(PyObject_IsTrue(verdict.get())) != 0;
    };
    if (parse_text(reader_, text_, forbid_dispatch, rpr_check, item_) == TextKind::Plain)
        return Val(std::string(item_));
    Ref snippet = bytes_of(item_);
    Ref namespaces = Ref::steal(in_scope_namespaces(reader_));
    return Val(call2(helpers_.text_content.get(), snippet.get(), namespaces.get()));
}

bool SheetParser::read_cell_from_buffer(std::vector<CellRec>& cells) {
    Input& in = reader_.input();
    const std::uint8_t* buf = in.data();
    std::optional<CellSpans> cell = fast_cell(buf, in.filled(), in.pos);
    if (!cell) return false;
    auto text = [buf](const Span& s) {
        return std::string_view(reinterpret_cast<const char*>(buf) + s.start, s.end - s.start);
    };
    bufs_.clear();
    CellFlags flags;
    const auto& [r, s, t] = cell->cell;
    if (r) {
        bufs_.r.assign(text(*r));
        flags.set(CellFlags::R);
    }
    if (s) bufs_.s.assign(text(*s));
    if (t) {
        bufs_.t.assign(text(*t));
        flags.set(CellFlags::T);
    }
    if (cell->has_formula) {
        flags.set(CellFlags::F);
        const auto& [ft, fref, fsi] = cell->formula;
        if (ft) {
            bufs_.f_t.assign(text(*ft));
            flags.set(CellFlags::FT);
        }
        if (fref) {
            bufs_.f_ref.assign(text(*fref));
            flags.set(CellFlags::FRef);
        }
        if (fsi) {
            bufs_.f_si.assign(text(*fsi));
            flags.set(CellFlags::FSi);
        }
        if (cell->formula_text) bufs_.f_text.assign(text(*cell->formula_text));
    }
    if (cell->value && !(t && bufs_.t == "inlineStr")) bufs_.v.assign(text(*cell->value));
    const std::size_t start = in.pos;
    reader_.consume_tag(start, cell->end);
    StyleId style = style_of(helpers_.int_.get(), s.has_value(), bufs_.s);
    CellContext ctx = context();
    cells.push_back(interpret(ctx, bufs_, std::move(style), flags, nullptr, std::nullopt));
    return true;
}

}  // namespace tovrel
