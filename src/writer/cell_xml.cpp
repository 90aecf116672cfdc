#include "writer/cell_xml.h"

#include <charconv>

#include "utils/cell_ref.h"
#include "utils/escape.h"
#include "utils/scan.h"
#include "utils/text.h"
#include "utils/utf8.h"

namespace tovrel {

namespace {

bool is_f_or_s(std::string_view data_type) noexcept {
    return data_type == "f" || data_type == "s";
}

// A byte below 0x20 other than tab, LF and CR, eight bytes per step.
bool has_control_char(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* end = p + text.size();
    auto bad = [](std::uint8_t b) { return b < 0x20 && b != '\t' && b != '\n' && b != '\r'; };
    while (end - p >= 8) {
        std::uint64_t mask = scan::below_bytes(scan::load(p), 0x20);
        if (mask) {
            for (int i = 0; i < 8; ++i)
                if (bad(p[i])) return true;
        }
        p += 8;
    }
    for (; p < end; ++p)
        if (bad(*p)) return true;
    return false;
}

// The cell reference: column letters and the row in decimal.
void append_reference(std::string& out, std::int64_t row, std::int64_t column) {
    char buf[32];
    std::size_t n = column_letters(column, buf);
    n = static_cast<std::size_t>(std::to_chars(buf + n, buf + sizeof buf, row).ptr - buf);
    out.append(buf, n);
}

// An element without content: "<v />" in ElementTree form, "<v></v>" in lxml form.
void append_empty(std::string& out, std::string_view name, bool lxml) {
    out += '<';
    out += name;
    if (lxml) {
        out += "></";
        out += name;
        out += '>';
    } else {
        out += " />";
    }
}

}  // namespace

std::optional<std::string_view> type_attribute(std::string_view data_type) noexcept {
    if (data_type == "f") return std::nullopt;
    if (data_type == "s") return std::string_view("inlineStr");
    return data_type;
}

bool cell_refused(std::string_view data_type, const CellValue& value) noexcept {
    if (value.kind == CellValue::Kind::Number) return is_f_or_s(data_type);
    return value.kind == CellValue::Kind::Text && has_control_char(value.text);
}

bool cell_is_empty(const CellValue& value) noexcept {
    return value.kind == CellValue::Kind::None ||
           (value.kind == CellValue::Kind::Text && value.text.empty());
}

void append_attribute(std::string& out, std::string_view name, std::string_view value, bool lxml) {
    out += ' ';
    out += name;
    out += "=\"";
    esc_attr(out, value, lxml);
    out += '"';
}

void append_cell(std::string& out, const CellHead& head, const CellValue& value, bool lxml) {
    out += "<c r=\"";
    append_reference(out, head.row, head.column);
    out += '"';
    if (head.style) append_attribute(out, "s", *head.style, lxml);
    if (head.type) append_attribute(out, "t", *head.type, lxml);
    if (cell_is_empty(value)) {
        out += lxml ? "></c>" : " />";
        return;
    }
    if (value.kind == CellValue::Kind::Number) {
        out += '>';
        if (value.number.empty()) {
            append_empty(out, "v", lxml);
        } else {
            out += "<v>";
            out += value.number.view();  // digits, signs, '.', 'e': nothing to escape
            out += "</v>";
        }
        out += "</c>";
        return;
    }
    const std::string_view text = value.text;
    if (head.data_type == "f") {
        out += '>';
        const std::size_t first = utf8_lead_length(static_cast<std::uint8_t>(text[0]));
        const std::string_view rest = text.substr(first);
        if (rest.empty()) {
            append_empty(out, "f", lxml);
        } else {
            out += "<f>";
            esc_text(out, rest, lxml);
            out += "</f>";
        }
        append_empty(out, "v", lxml);
        out += "</c>";
    } else if (head.data_type == "s") {
        out += "><is><t";
        const std::string_view stripped = py_strip(text);
        if (stripped.size() != text.size() && (lxml || !stripped.empty()))
            out += " xml:space=\"preserve\"";
        out += '>';
        esc_text(out, text, lxml);
        out += "</t></is></c>";
    } else {
        out += "><v>";
        esc_text(out, text, lxml);
        out += "</v></c>";
    }
}

}  // namespace tovrel
