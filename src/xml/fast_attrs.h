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

// Hands each attribute to the selector; refuses xmlns, a repeated name and a ninth attribute.
template <class Select>
struct SelectorSink {
    static constexpr std::size_t kMaxAttrs = 8;
    const std::uint8_t* buf;
    AttrSlots& slots;
    Select selector;
    std::string_view seen[kMaxAttrs]{};
    std::size_t count = 0;

    bool take(const ScannedAttr& a) {
        const std::string_view name(reinterpret_cast<const char*>(buf + a.qname_start),
                                    a.qname_end - a.qname_start);
        if (name == "xmlns" || count == kMaxAttrs) return false;
        for (std::size_t i = 0; i < count; ++i)
            if (seen[i] == name) return false;
        seen[count++] = name;
        return selector(slots, name, a.value_start, a.value_end);
    }
};

// `position` is the offset right after the element name in buf[0, length). Accepts only
// space-separated attributes of ASCII letters written name="value", at most eight, distinct, none
// named xmlns, with values free of control bytes, '&', '<' and bytes of 0x80 and above. The end
// is meaningful for Open and SelfClosed only. This form compiles the selector into the scan
// loop (for the per-cell path); fast_attrs below takes it through a pointer.
template <class Select>
[[gnu::always_inline]] inline TagScan fast_attrs_with(const std::uint8_t* buf, std::size_t length,
                                                      std::size_t position, AttrSlots& slots,
                                                      Select selector) noexcept {
    SelectorSink<Select> sink{buf, slots, selector};
    return scan_attrs<TightTagShape>(buf, position, length, sink);
}

TagScan fast_attrs(const std::uint8_t* buf, std::size_t length, std::size_t position,
                   AttrSlots& slots, AttrSelector selector) noexcept;

// <c>: r -> 0, s -> 1, t -> 2; other attributes are ignored.
inline bool select_cell(AttrSlots& slots, std::string_view name, std::size_t value_start,
                        std::size_t value_end) noexcept {
    if (name.size() == 1) {
        int slot = name[0] == 'r' ? 0 : name[0] == 's' ? 1 : name[0] == 't' ? 2 : -1;
        if (slot >= 0) slots[static_cast<std::size_t>(slot)] = Span{value_start, value_end};
    }
    return true;
}
// <f>: t -> 0, ref -> 1, si -> 2; any other attribute refuses the tag.
inline bool select_formula(AttrSlots& slots, std::string_view name, std::size_t value_start,
                           std::size_t value_end) noexcept {
    int slot = name == "t" ? 0 : name == "ref" ? 1 : name == "si" ? 2 : -1;
    if (slot < 0) return false;
    slots[static_cast<std::size_t>(slot)] = Span{value_start, value_end};
    return true;
}

}  // namespace tovrel
