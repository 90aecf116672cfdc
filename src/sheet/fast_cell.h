// The worksheet parser's fast path for a whole <c> element: reads the cell straight from the
// reader's buffer when it has the plain shape spreadsheet programs write (attributes in simple
// form; <v>, <f> and, in an inlineStr cell, <is><t>text</t></is> children with nothing but
// whitespace between them), and otherwise leaves everything untouched for the general reader. It
// never raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sheet/values.h"
#include "utils/cell_ref.h"
#include "xml/fast_attrs.h"

namespace tovrel {

// The raw text of a child, checked as the reader checks character data. `decode`: it holds
// references or carriage returns, so its text is decode_text of the raw bytes, else the bytes as
// they stand.
struct TextSpan {
    Span raw;
    bool decode = false;
    // Printable ASCII whose references are all among the five predefined entities: its text is
    // decode_entities of the raw bytes.
    bool entities = false;
};

// decode_text of a text fast_cell took with TextSpan::entities set, written to `out`; returns
// its length, at most raw.size(). `raw` lies in the padded buffer fast_cell read, and `out` has
// room for raw.size() + 8 bytes.
std::size_t decode_entities(std::string_view raw, char* out) noexcept;

// Where fast_cell's reading of a cell first meets a text: right after "<v>", after the start tag
// of <f>, after the <t> start tag inside <is>, or (End) the cell's end, when it has no text.
enum class CellResume : std::uint8_t { Value, FormulaText, InlineText, End };

// What fast_cell had read of a cell when it reached its first text (or its end), kept for the
// cells in the same place of later rows: a cell whose bytes from "<c" up to that point are the
// same but for the digits of its row reads the same up to there. The bytes are the head (from
// "<c" to the row's digits: the r attribute's start and the column letters), the row's digits
// (the row expected), and the tail (from the quote after them to the text).
struct CellMemo {
    std::uint64_t head = 0;       // the head's bytes as a word
    std::uint64_t head_mask = 0;  // the head's bytes of that word
    std::uint32_t tail_mask = 0;  // one bit per tail byte
    std::uint8_t head_len = 0;
    std::uint8_t tail_len = 0;    // at most 32
    std::uint8_t row_digits = 0;  // the digits of the row it was read in; 0: nothing kept
    CellResume resume = CellResume::End;
    bool value_taken = false;     // a <v> came before the text
    std::uint8_t tail[32] = {};
    // What had been read, the spans relative to the cell's "<c".
    std::uint16_t present = 0;
    std::uint8_t type = 0;        // CellType
    std::int64_t column = 0;
    std::int64_t style = 0;
    Span cell[3] = {};
    Span formula[3] = {};
};

// What fast_cell read: spans of the buffer. Attribute values are taken as they stand. A span is
// meaningful only when its bit is in `present` (fast_cell clears nothing else, so one CellSpans
// can be reused from cell to cell at no cost).
struct CellSpans {
    enum : std::uint16_t {
        R = 1 << 0,  // cell[0..2]: the cell's r, s, t
        S = 1 << 1,
        T = 1 << 2,
        FT = 1 << 3,  // formula[0..2]: the t, ref, si of <f>
        FRef = 1 << 4,
        FSi = 1 << 5,
        Formula = 1 << 6,      // an <f> child
        Value = 1 << 7,        // a non-empty <v> text
        FormulaText = 1 << 8,  // the text of <f>
        Inline = 1 << 9,       // the <t> text of <is>, taken only when the cell's t is "inlineStr"
        RefParsed = 1 << 10,   // `ref` holds the cell's r as fast_coordinate reads it
        StyleParsed = 1 << 11, // `style` holds the cell's s, a run of 1 to 18 digits
        Number = 1 << 12,      // `number` holds the <v> text as parse_number decides it
    };
    std::uint16_t present = 0;
    std::size_t start = 0;  // offset of the cell's "<c"
    std::size_t end = 0;    // offset after the cell's "</c>" or "/>"
    Span cell[3] = {};  // (the spans of absent parts are kept in memos as they stand)
    Span formula[3] = {};
    TextSpan value;
    TextSpan formula_text;
    TextSpan inline_text;
    CellRef ref;
    std::int64_t style = 0;
    CellType type = CellType::N;  // the cell's t classified (always set; N without one)
    CellNumber number;

    // Set by the caller and kept from cell to cell. `formula_wins`: a cell's formula is its
    // value when it has one, so a <v> after an <f> is not read as a number.
    bool formula_wins = false;
    // The row the next cells are expected in: a reference naming it is taken without reading
    // its digits as a number. Without a call no row is expected.
    void expect_row(std::int64_t row) noexcept;
    // The same for a row whose number is the `n` digits at `digits`, followed by a quote (the
    // r value of a row tag in a padded buffer).
    void expect_row(std::int64_t row, const std::uint8_t* digits, std::size_t n) noexcept;
    std::uint64_t row_text = 0;  // the row's digits and a closing quote, as a word
    std::uint64_t row_mask = 0;  // the bytes of row_text; zero when no row is expected
    std::size_t row_digits = 0;
    std::int64_t row_number = 0;

    // The cells of the current row that fast_cell has met (reset by expect_row), and what it
    // read of the first cells in each place of the previous rows.
    static constexpr std::size_t kMemos = 16;
    std::size_t ordinal = 0;
    CellMemo memos[kMemos];

    bool has(std::uint16_t bit) const noexcept { return (present & bit) != 0; }
};

// Reads a cell starting at buf[position] ("<c", or XML whitespace before it, which the row reader
// ignores as text between cells) into `out`; `out.start` is the offset of its "<c". Returns false,
// having read nothing (and with `out` meaningless), when the cell is not of the plain shape.
// The buffer must be padded as a ByteBuffer is: sixteen zero bytes readable past `length`.
// (read_plain_cell, in sheet/fast_cell_inline.h, is the same function inline, for the parser's
// cell loop.)
bool fast_cell(const std::uint8_t* buf, std::size_t length, std::size_t position,
               CellSpans& out) noexcept;

}  // namespace tovrel
