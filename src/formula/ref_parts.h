// The pieces of A1-style references that the translator recognises and moves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tovrel {

// The largest column a reference may name: "ZZZ".
inline constexpr std::int64_t kMaxRefColumn = 18278;

// An optional "$", a digit 1-9, then at most 6 digits: "7", "$12", "1048576".
bool match_row_part(std::string_view text) noexcept;

// An optional "$", then 1 to 3 ASCII letters of either case: "a", "$XFD".
bool match_col_part(std::string_view text) noexcept;

// Length of the column part that starts `text` when the rest is a row part (a cell reference
// such as "B$7" or "$a1"); 0 when `text` is not a cell reference.
std::size_t split_cell_ref(std::string_view text) noexcept;

// `text` split at its first ":" with both sides matching `part`; false without a ":".
bool match_range(std::string_view text, bool (*part)(std::string_view) noexcept) noexcept;

// 1-3 letters of either case read as a bijective base-26 number: A=1, Z=26, AA=27, ZZZ=18278.
std::int64_t column_number(std::string_view letters) noexcept;

// Writes column 1..18278 as uppercase letters into `out` (room for 3); returns the length.
inline std::size_t column_letters(std::int64_t column, char* out) noexcept {
    if (column <= 26) {
        out[0] = static_cast<char>('A' + column - 1);
        return 1;
    }
    if (column <= 702) {
        const std::int64_t c = column - 27;
        out[0] = static_cast<char>('A' + c / 26);
        out[1] = static_cast<char>('A' + c % 26);
        return 2;
    }
    const std::int64_t c = column - 703;
    out[0] = static_cast<char>('A' + c / 676);
    out[1] = static_cast<char>('A' + c / 26 % 26);
    out[2] = static_cast<char>('A' + c % 26);
    return 3;
}

// Writes a positive number in decimal into `out` (room for 20); returns the length.
inline std::size_t decimal_digits(std::int64_t value, char* out) noexcept {
    std::uint64_t v = static_cast<std::uint64_t>(value);
    std::size_t n = 1;
    for (std::uint64_t t = v; t >= 10; t /= 10) ++n;
    for (std::size_t i = n; i-- > 0; v /= 10) out[i] = static_cast<char>('0' + v % 10);
    return n;
}

}  // namespace tovrel
