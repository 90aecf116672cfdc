// Small text utilities over UTF-8 byte strings, shared by the readers and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tovrel {

// An ASCII decimal digit 0-9 (locale-free, unlike std::isdigit).
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The characters Python's str.isspace() accepts.
constexpr bool is_py_space(std::uint32_t cp) noexcept {
    if (cp < 0x80) return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20);
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Python's str.strip() with no argument: the slice of `text` without leading and trailing
// whitespace (empty when nothing else remains).
std::string_view py_strip(std::string_view text) noexcept;

struct CellCoord {
    std::uint32_t row;
    std::uint32_t column;
    friend bool operator==(const CellCoord&, const CellCoord&) = default;
};

// Fast parse of an A1 reference: 1-3 letters A-Z (column, bijective base 26, at most 18278)
// then 1-9 digits without a leading zero (row). Anything else - lowercase, "$", leading zeros,
// longer runs, trailing characters - gives nothing and is left to the general parser.
std::optional<CellCoord> fast_coordinate(std::string_view text) noexcept;

}  // namespace tovrel
