// Cell references: a cell's row and column, their A1 text, and the 64-bit cell key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "utils/text.h"

namespace tovrel {

// The 64-bit cell key: row << 32 | column. Ordered as unsigned numbers, keys order cells by row,
// then by column. Everything that builds or takes a key apart goes through these.
using CellKey = std::uint64_t;

constexpr CellKey cell_key(std::uint32_t row, std::uint32_t column) noexcept {
    return static_cast<CellKey>(row) << 32 | column;
}
constexpr std::uint32_t key_row(CellKey key) noexcept { return static_cast<std::uint32_t>(key >> 32); }
constexpr std::uint32_t key_column(CellKey key) noexcept { return static_cast<std::uint32_t>(key); }

// The last column a reference may name: "ZZZ". Three letters never name a larger one; sheets
// themselves end at "XFD" (16384), but references and moved formulas go up to here.
inline constexpr std::int64_t kMaxColumn = 18278;

// A cell reference, 1-based. Signed 64-bit like the host's coordinates: a reference parsed
// natively is within 1..999999999 and 1..kMaxColumn, one from the host's coordinate parser or a
// destination of a formula move may be any value.
struct CellRef {
    std::int64_t row = 0;
    std::int64_t column = 0;

    friend bool operator==(const CellRef&, const CellRef&) = default;

    // The cell key under which the store and the writer file a cell. Nothing when row or column
    // is outside 0..2^32-1.
    std::optional<CellKey> key() const noexcept {
        if (static_cast<std::uint64_t>(row) >> 32 || static_cast<std::uint64_t>(column) >> 32)
            return std::nullopt;
        return cell_key(static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(column));
    }
    static constexpr CellRef of_key(CellKey key) noexcept { return CellRef{key_row(key), key_column(key)}; }
};

// The number of a column name after one more letter of either case (bijective base 26): a
// letter's low five bits are its digit, 1 for A and a up to 26 for Z and z.
constexpr std::int64_t append_column_letter(std::int64_t column, char letter) noexcept {
    return column * 26 + (letter & 0x1F);
}

// 1-3 ASCII letters of either case as a column number: A=1, Z=26, AA=27, ZZZ=18278.
constexpr std::int64_t column_number(std::string_view letters) noexcept {
    std::int64_t n = 0;
    for (char c : letters) n = append_column_letter(n, c);
    return n;
}

// Writes column 1..kMaxColumn as uppercase letters into `out` (room for 3); returns the length.
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

// Room for the A1 text of any reference format_a1 accepts.
inline constexpr std::size_t kMaxA1Length = 3 + 19;

// Writes the A1 text of `ref` (column 1..kMaxColumn, row >= 1), such as "XFD1048576", into `out`
// (room for kMaxA1Length); returns the length.
std::size_t format_a1(CellRef ref, char* out) noexcept;

// Fast parse of an A1 reference: 1-3 letters A-Z (the column) then 1-9 digits without a leading
// zero (the row). Anything else - lowercase, "$", leading zeros, longer runs, trailing
// characters - gives nothing and is left to the general parser. Inline: it runs for every cell
// reference the worksheet reader meets.
inline std::optional<CellRef> fast_coordinate(std::string_view text) noexcept {
    const std::size_t n = text.size();
    std::size_t letters = 0;
    std::int64_t column = 0;
    while (letters < n && letters < 4 && text[letters] >= 'A' && text[letters] <= 'Z')
        column = append_column_letter(column, text[letters++]);
    // At most three letters, so the column is never past kMaxColumn.
    if (letters == 0 || letters > 3) return std::nullopt;
    const std::size_t digits = n - letters;
    if (digits == 0 || digits > 9 || text[letters] == '0') return std::nullopt;
    std::int64_t row = 0;
    for (std::size_t i = letters; i < n; ++i) {
        if (!is_digit(text[i])) return std::nullopt;
        row = row * 10 + (text[i] - '0');
    }
    return CellRef{row, column};
}

}  // namespace tovrel
