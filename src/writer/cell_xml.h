// The XML of one written cell (<c>) and the attributes of a row start tag, in the two forms the
// host's writers produce: the standard-library ElementTree serializer and lxml's incremental
// writer. Pure text work: the Python side decides the parts and hands them over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "writer/number_text.h"

namespace tovrel {

// A cell's value as the writer writes it: nothing, text (UTF-8 borrowed from its owner) or the
// text of a number (an empty number text stands for infinity or NaN).
struct CellValue {
    enum class Kind : std::uint8_t { None, Text, Number };

    Kind kind = Kind::None;
    std::string_view text;  // Kind::Text
    NumberText number;      // Kind::Number

    static CellValue none() noexcept { return {}; }
    static CellValue of_text(std::string_view t) noexcept { return {Kind::Text, t, {}}; }
    static CellValue of_number(NumberText n) noexcept { return {Kind::Number, {}, n}; }
};

// What the start tag of a <c> carries besides the value.
struct CellHead {
    std::int64_t row = 0;
    std::int64_t column = 0;                // 1..18278
    std::string_view data_type;             // the cell's data type text
    std::optional<std::string_view> style;  // the s attribute, when styled
    std::optional<std::string_view> type;   // the t attribute (see type_attribute)
};

// The t attribute for a data type: none for "f", "inlineStr" for "s", else the data type itself.
std::optional<std::string_view> type_attribute(std::string_view data_type) noexcept;

// True when the cell cannot be written exactly from these parts and must go to the host: a
// number under data type "f" or "s", or text holding a control character other than tab, LF, CR.
bool cell_refused(std::string_view data_type, const CellValue& value) noexcept;

// True when `value` is written as an element without content: None or empty text (whatever the
// data type).
bool cell_is_empty(const CellValue& value) noexcept;

// Appends the <c> element of a cell that cell_refused accepted.
void append_cell(std::string& out, const CellHead& head, const CellValue& value, bool lxml);

// Appends ` name="value"` with the value escaped for an attribute.
void append_attribute(std::string& out, std::string_view name, std::string_view value, bool lxml);

}  // namespace tovrel
