// The worksheet parser's fast path for a whole <c> element: reads the cell straight from the
// reader's buffer when it has the plain shape spreadsheet programs write (attributes in simple
// form; <v>, <f> and, in an inlineStr cell, <is><t>text</t></is> children with nothing between
// them), and otherwise leaves everything untouched for the general reader. It never raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "xml/fast_attrs.h"

namespace tovrel {

// The raw text of a child, checked as the reader checks character data. `decode`: it holds
// references or carriage returns, so its text is decode_text of the raw bytes, else the bytes as
// they stand.
struct TextSpan {
    Span raw;
    bool decode = false;
};

// What fast_cell read: spans of the buffer. Attribute values are taken as they stand.
struct CellSpans {
    std::size_t end = 0;  // offset after the cell's "</c>" or "/>"
    AttrSlots cell{};     // r, s, t value spans
    AttrSlots formula{};  // t, ref, si value spans of <f>
    bool has_formula = false;
    std::optional<TextSpan> value;  // the <v> text (a non-empty one)
    std::optional<TextSpan> formula_text;
    // The <t> text of the <is> child, taken only when the cell's t is "inlineStr".
    std::optional<TextSpan> inline_text;
};

// Reads a cell starting at buf[position] ("<c"). Returns nothing, having read nothing, when the
// cell is not of the plain shape.
std::optional<CellSpans> fast_cell(const std::uint8_t* buf, std::size_t length,
                                   std::size_t position) noexcept;

}  // namespace tovrel
