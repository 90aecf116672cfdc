#include "sheet/fast_cell.h"

#include <cstring>

#include "xml/chars.h"
#include "xml/refs.h"

namespace tovrel {

namespace {

bool starts(const std::uint8_t* buf, std::size_t length, std::size_t at, const char* lit,
            std::size_t n) noexcept {
    return at + n <= length && std::memcmp(buf + at, lit, n) == 0;
}

// The selectors as types, so that fast_attrs_with compiles each into its scan loop.
struct CellSelector {
    bool operator()(AttrSlots& slots, std::string_view name, std::size_t start,
                    std::size_t end) const noexcept {
        return select_cell(slots, name, start, end);
    }
};
struct FormulaSelector {
    bool operator()(AttrSlots& slots, std::string_view name, std::size_t start,
                    std::size_t end) const noexcept {
        return select_formula(slots, name, start, end);
    }
};

bool tag_name_end(std::uint8_t c) noexcept { return c == ' ' || c == '/' || c == '>'; }

// The text of a child from `at` to the next '<', which must open the closing tag(s) `close`.
// Taken when the reader would accept it as character data; references and CRs are left for
// the caller to decode. Returns the offset after the closing tag, or 0 to give up.
inline std::size_t text_until(const std::uint8_t* buf, std::size_t length, std::size_t at,
                              const char* close, std::size_t close_len, TextSpan& text) noexcept {
    const void* lt = std::memchr(buf + at, '<', length - at);
    if (!lt) return 0;
    std::size_t stop = static_cast<const std::uint8_t*>(lt) - buf;
    if (!starts(buf, length, stop, close, close_len)) return 0;
    const CharScan scanned = scan_chars(buf + at, stop - at);
    const CharFlags& seen = scanned.seen;
    if (scanned.fault || seen.cdata_end) return 0;
    if (seen.amp && refs_error(buf + at, stop - at)) return 0;
    text = TextSpan{Span{at, stop}, seen.amp || seen.cr};
    return stop + close_len;
}

bool is_inline_str(const std::uint8_t* buf, const std::optional<Span>& t) noexcept {
    return t && t->end - t->start == 9 && std::memcmp(buf + t->start, "inlineStr", 9) == 0;
}

}  // namespace

std::optional<CellSpans> fast_cell(const std::uint8_t* buf, std::size_t length,
                                   std::size_t position) noexcept {
    if (length - position < 3 || buf[position] != '<' || buf[position + 1] != 'c' ||
        !tag_name_end(buf[position + 2]))
        return std::nullopt;
    CellSpans cell;
    TagScan open = fast_attrs_with(buf, length, position + 2, cell.cell, CellSelector{});
    if (open.status == TagStatus::Refused) return std::nullopt;
    std::size_t q = open.end;
    bool value_taken = false;
    if (open.status == TagStatus::Open) {
        for (;;) {
            if (starts(buf, length, q, "</c>", 4)) {
                q += 4;
                break;
            }
            if (starts(buf, length, q, "<v>", 3)) {
                if (value_taken) return std::nullopt;
                TextSpan text{};
                q = text_until(buf, length, q + 3, "</v>", 4, text);
                if (!q) return std::nullopt;
                value_taken = true;
                if (text.raw.end > text.raw.start) cell.value = text;
            } else if (starts(buf, length, q, "<v/>", 4)) {
                if (value_taken) return std::nullopt;
                value_taken = true;
                q += 4;
            } else if (starts(buf, length, q, "<f", 2) && q + 2 < length &&
                       tag_name_end(buf[q + 2])) {
                if (cell.has_formula) return std::nullopt;
                TagScan f = fast_attrs_with(buf, length, q + 2, cell.formula, FormulaSelector{});
                if (f.status == TagStatus::Refused) return std::nullopt;
                cell.has_formula = true;
                q = f.end;
                if (f.status == TagStatus::Open) {
                    TextSpan text{};
                    q = text_until(buf, length, q, "</f>", 4, text);
                    if (!q) return std::nullopt;
                    cell.formula_text = text;
                }
            } else if (starts(buf, length, q, "<is><t", 6)) {
                // The inline string of an inlineStr cell, without runs or attributes on <is>.
                if (cell.inline_text || !is_inline_str(buf, cell.cell[2])) return std::nullopt;
                std::size_t p = q + 6;
                if (starts(buf, length, p, ">", 1))
                    p += 1;
                else if (starts(buf, length, p, " xml:space=\"preserve\">", 22))
                    p += 22;
                else
                    return std::nullopt;
                TextSpan text{};
                q = text_until(buf, length, p, "</t></is>", 9, text);
                if (!q) return std::nullopt;
                cell.inline_text = text;
            } else {
                return std::nullopt;
            }
        }
    }
    const auto& ft = cell.formula[0];
    if (ft && ft->end - ft->start == 9 && std::memcmp(buf + ft->start, "dataTable", 9) == 0)
        return std::nullopt;
    cell.end = q;
    return cell;
}

}  // namespace tovrel
