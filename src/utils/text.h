// Small text utilities over UTF-8 byte strings, shared by the readers and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Writes a non-negative number in decimal into `out` (room for 19); returns the length.
inline std::size_t decimal_digits(std::int64_t value, char* out) noexcept {
    std::uint64_t v = static_cast<std::uint64_t>(value);
    std::size_t n = 1;
    for (std::uint64_t t = v; t >= 10; t /= 10) ++n;
    for (std::size_t i = n; i-- > 0; v /= 10) out[i] = static_cast<char>('0' + v % 10);
    return n;
}

}  // namespace tovrel
