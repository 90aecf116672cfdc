// The buffer-level attribute reader for the worksheet's most frequent tags (<c> and <f>): it reads
// the rest of a start tag straight from the raw bytes, without attribute records, when the tag
// has the tight shape these tags have in practice, and otherwise refuses, leaving the tag to the
// general reader. It never raises.
//
// A fast_ operation (fast_attrs, fast_cell, fast_int, fast_coordinate, ...) handles the common
// shape of its input directly and refuses everything else rather than failing on it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "xml/attr_scan.h"

namespace tovrel {

struct Span {
    std::size_t start;
    std::size_t end;
    bool operator==(const Span&) const = default;
};

// The value spans of the attributes a selector wants, in the selector's order.
using AttrSlots = std::array<std::optional<Span>, 3>;

// Stores the value span of an attribute the caller wants into its slot; false refuses the tag.
using AttrSelector = bool (*)(AttrSlots& slots, std::string_view name, std::size_t value_start,
                              std::size_t value_end);

// `position` is the offset right after the element name in buf[0, length). Accepts only
// space-separated attributes of ASCII letters written name="value", at most eight, distinct, none
// named xmlns, with values free of control bytes, '&', '<' and bytes of 0x80 and above. The end
// is meaningful for Open and SelfClosed only.
TagScan fast_attrs(const std::uint8_t* buf, std::size_t length, std::size_t position,
                   AttrSlots& slots, AttrSelector selector) noexcept;

// <c>: r -> 0, s -> 1, t -> 2; other attributes are ignored.
bool select_cell(AttrSlots& slots, std::string_view name, std::size_t value_start,
                 std::size_t value_end) noexcept;
// <f>: t -> 0, ref -> 1, si -> 2; any other attribute refuses the tag.
bool select_formula(AttrSlots& slots, std::string_view name, std::size_t value_start,
                    std::size_t value_end) noexcept;

}  // namespace tovrel
