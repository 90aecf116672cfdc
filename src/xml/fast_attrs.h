// The buffer-level fast path for the attributes of the worksheet's most frequent tags (<c> and
// <f>): it reads the rest of a start tag straight from the raw bytes, without attribute records,
// when the tag has the simple shape these tags have in practice, and otherwise tells the caller
// to use the general reader. It never raises.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tovrel {

struct Span {
    std::size_t start;
    std::size_t end;
    bool operator==(const Span&) const = default;
};

using FastSlots = std::array<std::optional<Span>, 3>;

// Stores the value span of an attribute the caller wants into its slot; false refuses the tag.
using FastSelector = bool (*)(FastSlots& slots, std::string_view name, std::size_t value_start,
                              std::size_t value_end);

enum class FastStatus : std::uint8_t {
    Open = 0,        // the tag ended with '>'
    SelfClosed = 1,  // the tag ended with "/>"
    Refused = 2,     // the general reader must read this tag
};

struct FastResult {
    std::size_t end;  // offset after the tag's '>' (Open and SelfClosed only)
    FastStatus status;
};

// `position` is the offset right after the element name in buf[0, length). Accepts only
// space-separated attributes of ASCII letters written name="value", at most eight, distinct, none
// named xmlns, with values free of control bytes, '&', '<' and bytes of 0x80 and above.
FastResult fast_attrs(const std::uint8_t* buf, std::size_t length, std::size_t position,
                      FastSlots& slots, FastSelector selector) noexcept;

// <c>: r -> 0, s -> 1, t -> 2; other attributes are ignored.
bool select_cell(FastSlots& slots, std::string_view name, std::size_t value_start,
                 std::size_t value_end) noexcept;
// <f>: t -> 0, ref -> 1, si -> 2; any other attribute refuses the tag.
bool select_formula(FastSlots& slots, std::string_view name, std::size_t value_start,
                    std::size_t value_end) noexcept;

}  // namespace tovrel
