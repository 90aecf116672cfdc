// Moves a shared formula from its master cell to other cells.
//
// The formula is tokenized and compiled once into segments: literal text, relative rows and
// relative columns. Rendering for a destination walks the segments once, adding the row and
// column distance from the origin to every relative part; absolute parts ("$") are text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formula/token.h"
#include "utils/error.h"
#include "utils/cell_ref.h"
#include "utils/text.h"

namespace tovrel {

class Translator {
public:
    static constexpr const char* kOutOfRange = "Formula out of range";

    // Tokenizes and compiles `formula` written in the cell (origin_row, origin_col).
    // Throws FormulaError (Tokenizer, PopEmpty or NeedPython).
    Translator(std::string_view formula, std::int64_t origin_row, std::int64_t origin_col);

    const std::vector<Token>& tokens() const noexcept { return tokens_; }
    std::int64_t origin_row() const noexcept { return origin_row_; }
    std::int64_t origin_col() const noexcept { return origin_col_; }

    // Whether rendering for `dest` succeeds: every relative row stays >= 1 (and representable)
    // and every relative column within 1..kMaxColumn. No destination means no move.
    bool fits(std::optional<CellRef> dest) const noexcept;

    // The formula rendered for `dest` (unmoved without one). Throws
    // FormulaError::Translator("Formula out of range").
    std::string translate(std::optional<CellRef> dest) const;

    // Appends the rendering for `dest` to `out` (anything with append(const char*, size_t)).
    // Returns false when a relative part leaves its range; `out` may then hold a partial text.
    template <class Buf>
    [[nodiscard]] bool translate_into(std::optional<CellRef> dest, Buf& out) const;

    // The room render_raw needs: the most bytes a render can write (every relative row at its
    // widest) plus kSlack bytes it may scribble past the end of the text.
    std::size_t max_rendered_size() const noexcept {
        return text_.size() + row_parts_ * 19 + col_parts_ * 3;  // text_ holds the kSlack pad
    }

    // Renders for `dest` into `out`, which has room for max_rendered_size() bytes; returns the
    // end of the text, or null when a relative part leaves its range (exactly when
    // translate_into fails).
    char* render_raw(std::optional<CellRef> dest, char* out) const noexcept;

    // Whether every byte any render writes is ASCII (the text parts are; numbers and column
    // letters always are).
    bool ascii() const noexcept { return ascii_; }

private:
    enum class SegKind : std::uint8_t { Text, Row, Col };
    struct Seg {
        SegKind kind;
        std::uint32_t len;   // Text: byte length in text_
        std::int64_t value;  // Text: offset in text_; Row: row number; Col: column number
    };

    void compile();
    void compile_range(std::string_view text);
    void compile_col(std::string_view part);
    void compile_row(std::string_view part);
    void push_text(std::string_view text);
    void push_number(SegKind kind, std::int64_t value);
    bool offsets(std::optional<CellRef> dest, std::int64_t& drow, std::int64_t& dcol) const noexcept {
        drow = dcol = 0;
        if (!dest) return true;
        // A distance too large to compute moves some part out of range, unless there is no
        // part of that axis to move.
        if (__builtin_sub_overflow(dest->row, origin_row_, &drow)) {
            if (min_row_ != INT64_MAX) return false;
            drow = 0;
        }
        if (__builtin_sub_overflow(dest->column, origin_col_, &dcol) || dcol > kMaxColumn ||
            dcol < -kMaxColumn) {
            if (min_col_ != INT64_MAX) return false;
            dcol = 0;
        }
        return true;
    }

    std::vector<Token> tokens_;
    std::int64_t origin_row_;
    std::int64_t origin_col_;
    std::vector<Seg> segs_;
    // Short pieces are copied as whole blocks of this many bytes.
    static constexpr std::size_t kSlack = 16;

    std::string text_;  // the texts of all Text segments, back to back, then kSlack zero bytes
    bool ascii_ = true;
    std::size_t row_parts_ = 0;  // Row segments
    std::size_t col_parts_ = 0;  // Col segments
    // Bounds of the relative parts, for fits().
    std::int64_t min_row_ = INT64_MAX;
    std::int64_t max_row_ = INT64_MIN;
    std::int64_t min_col_ = INT64_MAX;
    std::int64_t max_col_ = INT64_MIN;
};

inline bool Translator::fits(std::optional<CellRef> dest) const noexcept {
    std::int64_t drow, dcol;
    if (!offsets(dest, drow, dcol)) return false;
    if (min_row_ != INT64_MAX) {
        std::int64_t n;
        if (__builtin_add_overflow(min_row_, drow, &n) || n < 1) return false;
        if (__builtin_add_overflow(max_row_, drow, &n)) return false;
    }
    if (min_col_ != INT64_MAX && (min_col_ + dcol < 1 || max_col_ + dcol > kMaxColumn))
        return false;
    return true;
}

template <class Buf>
bool Translator::translate_into(std::optional<CellRef> dest, Buf& out) const {
    std::int64_t drow, dcol;
    if (!offsets(dest, drow, dcol)) return false;
    char tmp[24];
    for (const Seg& seg : segs_) {
        std::int64_t n;
        switch (seg.kind) {
            case SegKind::Text:
                out.append(text_.data() + seg.value, seg.len);
                break;
            case SegKind::Row:
                if (__builtin_add_overflow(seg.value, drow, &n) || n < 1) return false;
                out.append(tmp, decimal_digits(n, tmp));
                break;
            case SegKind::Col:
                n = seg.value + dcol;  // dcol is bounded by offsets()
                if (n < 1 || n > kMaxColumn) return false;
                out.append(tmp, column_letters(n, tmp));
                break;
        }
    }
    return true;
}

}  // namespace tovrel
