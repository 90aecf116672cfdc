#include "formula/translator.h"

#include <algorithm>
#include <cstring>

#include "formula/ref_parts.h"
#include "formula/tokenizer.h"

namespace tovrel {

Translator::Translator(std::string_view formula, std::int64_t origin_row, std::int64_t origin_col)
    : origin_row_(origin_row), origin_col_(origin_col) {
    // Segment lengths are 32-bit; a formula this long is left to the host.
    if (formula.size() >= UINT32_MAX) throw FormulaError::need_python();
    tokens_ = tokenize(formula);
    compile();
    text_.append(kSlack, '\0');
}

void Translator::compile() {
    if (tokens_.empty() || tokens_.front().kind == TokenKind::Literal) {
        // Renders as the formula unchanged (or as nothing): one text, no moving parts.
        if (!tokens_.empty()) push_text(tokens_.front().value);
        return;
    }
    push_text("=");
    for (const Token& token : tokens_) {
        if (token.kind == TokenKind::Operand && token.subkind == TokenSubkind::Range)
            compile_range(token.value);
        else
            push_text(token.value);
    }
}

void Translator::compile_range(std::string_view text) {
    std::string_view prefix, rest = text;
    if (const std::size_t bang = text.rfind('!'); bang != std::string_view::npos) {
        prefix = text.substr(0, bang + 1);
        rest = text.substr(bang + 1);
    }
    const std::size_t colon = rest.find(':');
    if (match_range(rest, match_row_part)) {
        push_text(prefix);
        compile_row(rest.substr(0, colon));
        push_text(":");
        compile_row(rest.substr(colon + 1));
    } else if (match_range(rest, match_col_part)) {
        push_text(prefix);
        compile_col(rest.substr(0, colon));
        push_text(":");
        compile_col(rest.substr(colon + 1));
    } else if (colon != std::string_view::npos) {
        push_text(prefix);
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = rest.find(':', start);
            compile_range(rest.substr(start, end == std::string_view::npos ? end : end - start));
            if (end == std::string_view::npos) break;
            push_text(":");
            start = end + 1;
        }
    } else if (const std::size_t split = split_cell_ref(rest); split != 0) {
        push_text(prefix);
        compile_col(rest.substr(0, split));
        compile_row(rest.substr(split));
    } else {
        // A defined name or anything else: kept whole, sheet prefix included, since
        // «Sheet1!MyName» and «MyName» may name different things.
        push_text(text);
    }
}

void Translator::compile_col(std::string_view part) {
    if (part[0] == '$')
        push_text(part);
    else
        push_number(SegKind::Col, column_number(part));
}

void Translator::compile_row(std::string_view part) {
    if (part[0] == '$') {
        push_text(part);
        return;
    }
    std::int64_t n = 0;
    for (char c : part) n = n * 10 + (c - '0');
    push_number(SegKind::Row, n);
}

void Translator::push_text(std::string_view text) {
    if (text.empty()) return;
    if (!segs_.empty() && segs_.back().kind == SegKind::Text) {
        segs_.back().len += static_cast<std::uint32_t>(text.size());
    } else {
        segs_.push_back(Seg{SegKind::Text, static_cast<std::uint32_t>(text.size()),
                            static_cast<std::int64_t>(text_.size())});
    }
    text_.append(text);
    for (char c : text) ascii_ &= static_cast<unsigned char>(c) < 0x80;
}

void Translator::push_number(SegKind kind, std::int64_t value) {
    segs_.push_back(Seg{kind, 0, value});
    ++(kind == SegKind::Row ? row_parts_ : col_parts_);
    if (kind == SegKind::Row) {
        min_row_ = std::min(min_row_, value);
        max_row_ = std::max(max_row_, value);
    } else {
        min_col_ = std::min(min_col_, value);
        max_col_ = std::max(max_col_, value);
    }
}

namespace {

// The number of decimal digits of v.
inline std::size_t digit_count(std::uint64_t v) noexcept {
    std::size_t n = 1;
    for (; v >= 10000; v /= 10000) n += 4;
    return n + (v >= 10) + (v >= 100) + (v >= 1000);
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes v in decimal into the `n` bytes ending before `end` (n = digit_count(v)).
inline void write_digits(std::uint64_t v, char* end) noexcept {
    while (v >= 100) {
        const std::size_t pair = static_cast<std::size_t>(v % 100) * 2;
        v /= 100;
        *--end = kDigitPairs[pair + 1];
        *--end = kDigitPairs[pair];
    }
    if (v >= 10) {
        *--end = kDigitPairs[v * 2 + 1];
        *--end = kDigitPairs[v * 2];
    } else {
        *--end = static_cast<char>('0' + v);
    }
}

// The number of decimal digits of a 32-bit v, by comparisons alone.
inline std::size_t digit_count32(std::uint32_t v) noexcept {
    if (v < 10000) return v < 100 ? 1 + (v >= 10) : 3 + (v >= 1000);
    if (v < 100000000) return v < 1000000 ? 5 + (v >= 100000) : 7 + (v >= 10000000);
    return 9 + (v >= 1000000000);
}

// Writes v in decimal at out; returns the end. Row numbers nearly always fit 32 bits, where
// the division by 100 is a cheap multiplication.
inline char* write_decimal(std::uint64_t v, char* out) noexcept {
    if (v > UINT32_MAX) {
        out += digit_count(v);
        write_digits(v, out);
        return out;
    }
    auto w = static_cast<std::uint32_t>(v);
    char* const end = out + digit_count32(w);
    char* p = end;
    while (w >= 100) {
        const std::uint32_t q = w / 100;
        p -= 2;
        std::memcpy(p, kDigitPairs + (w - q * 100) * 2, 2);
        w = q;
    }
    if (w >= 10)
        std::memcpy(p - 2, kDigitPairs + w * 2, 2);
    else
        p[-1] = static_cast<char>('0' + w);
    return end;
}

}  // namespace

char* Translator::render_raw(std::optional<CellRef> dest, char* out) const noexcept {
    std::int64_t drow, dcol;
    if (!offsets(dest, drow, dcol)) return nullptr;
    const char* text = text_.data();
    // The last row number written and where its text is: a formula usually names one row
    // several times ("A1*2+B1"), and each later mention is a copy.
    std::int64_t last_row = 0;
    const char* last_text = nullptr;
    std::size_t last_len = 0;
    for (const Seg& seg : segs_) {
        std::int64_t n;
        switch (seg.kind) {
            case SegKind::Text:
                if (seg.len <= kSlack) {
                    // Operators and separators: one block, the pad of text_ and the slack of
                    // `out` keep it in bounds.
                    std::memcpy(out, text + seg.value, kSlack);
                } else {
                    std::memcpy(out, text + seg.value, seg.len);
                }
                out += seg.len;
                break;
            case SegKind::Row:
                if (__builtin_add_overflow(seg.value, drow, &n) || n < 1) return nullptr;
                if (n == last_row && last_len <= kSlack) {
                    // One block from earlier in `out` (all loads before stores: the two
                    // ranges may overlap past the number).
                    std::memmove(out, last_text, kSlack);
                    out += last_len;
                } else {
                    char* const start = out;
                    out = write_decimal(static_cast<std::uint64_t>(n), out);
                    last_row = n;
                    last_text = start;
                    last_len = static_cast<std::size_t>(out - start);
                }
                break;
            case SegKind::Col:
                n = seg.value + dcol;  // dcol is bounded by offsets()
                if (n < 1 || n > kMaxColumn) return nullptr;
                out += column_letters(n, out);
                break;
        }
    }
    return out;
}

std::string Translator::translate(std::optional<CellRef> dest) const {
    std::string out;
    out.reserve(64);
    if (!translate_into(dest, out)) throw FormulaError::translator(kOutOfRange);
    return out;
}

}  // namespace tovrel
