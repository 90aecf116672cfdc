#include "utils/cell_ref.h"

#include "utils/text.h"

namespace tovrel {

std::int64_t column_number(std::string_view letters) noexcept {
    std::int64_t n = 0;
    for (char c : letters) {
        const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        n = n * 26 + (upper - 'A' + 1);
    }
    return n;
}

std::size_t format_a1(CellRef ref, char* out) noexcept {
    const std::size_t n = column_letters(ref.column, out);
    return n + decimal_digits(ref.row, out + n);
}

std::optional<CellRef> fast_coordinate(std::string_view text) noexcept {
    const std::size_t n = text.size();
    std::size_t letters = 0;
    while (letters < n && letters < 4 && text[letters] >= 'A' && text[letters] <= 'Z') ++letters;
    if (letters == 0 || letters > 3) return std::nullopt;
    const std::size_t digits = n - letters;
    if (digits == 0 || digits > 9 || text[letters] == '0') return std::nullopt;
    std::int64_t row = 0;
    for (std::size_t i = letters; i < n; ++i) {
        if (!is_digit(text[i])) return std::nullopt;
        row = row * 10 + (text[i] - '0');
    }
    // At most three letters, so the column is never past kMaxColumn.
    return CellRef{row, column_number(text.substr(0, letters))};
}

}  // namespace tovrel
