#include "sheet/fast_cell.h"

#include <charconv>
#include <cstring>

#include "sheet/fast_cell_inline.h"
#include "utils/scan.h"

namespace tovrel {

std::size_t decode_entities(std::string_view raw, char* out) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(raw.data());
    const auto* const end = p + raw.size();
    char* const first = out;
    // The next '&' at or after q, or end: words are loaded past the text (the buffer is padded)
    // and a hit there counts as none.
    auto next_amp = [end](const std::uint8_t* q) {
        for (;; q += 8) {
            if (const std::uint64_t hit = scan::eq_bytes(scan::load(q), '&')) {
                q += scan::first(hit);
                return q < end ? q : end;
            }
            if (end - q <= 8) return end;
        }
    };
    for (;;) {
        const std::uint8_t* amp = next_amp(p);
        // The run before it, a word at a time: the bytes past it are readable (the buffer is
        // padded) and the ones written past it are overwritten next or lie in the slack.
        for (std::size_t i = 0; i < static_cast<std::size_t>(amp - p); i += 8)
            std::memcpy(out + i, p + i, 8);
        out += amp - p;
        if (amp == end) break;
        // The text holds only these five, so the first letters tell them apart.
        switch (amp[1]) {
            case 'l': *out++ = '<'; p = amp + 4; break;
            case 'g': *out++ = '>'; p = amp + 4; break;
            case 'q': *out++ = '"'; p = amp + 6; break;
            default:
                const bool is_amp = amp[2] == 'm';
                *out++ = is_amp ? '&' : '\'';
                p = amp + (is_amp ? 5 : 6);
                break;
        }
    }
    return static_cast<std::size_t>(out - first);
}

void CellSpans::expect_row(std::int64_t row) noexcept {
    ordinal = 0;
    row_mask = 0;
    if (row < 1 || row > 9999999) return;  // seven digits and the quote fill a word
    char text[8] = {};
    const auto n = static_cast<std::size_t>(std::to_chars(text, text + 7, row).ptr - text);
    text[n] = '"';
    std::memcpy(&row_text, text, 8);
    row_mask = n + 1 == 8 ? ~std::uint64_t{0} : scan::low_bytes(n + 1);
    row_digits = n;
    row_number = row;
}

void CellSpans::expect_row(std::int64_t row, const std::uint8_t* digits, std::size_t n) noexcept {
    // A leading zero is not how a cell's r spells the row.
    if (n > 7 || digits[0] == '0') {
        expect_row(row);
        return;
    }
    ordinal = 0;
    row_mask = n + 1 == 8 ? ~std::uint64_t{0} : scan::low_bytes(n + 1);
    row_text = scan::load(digits) & row_mask;
    row_digits = n;
    row_number = row;
}

bool fast_cell(const std::uint8_t* buf, std::size_t length, std::size_t position,
               CellSpans& cell) noexcept {
    return read_plain_cell(buf, length, position, cell);
}

}  // namespace tovrel
