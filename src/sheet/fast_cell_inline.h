// The body of fast_cell (sheet/fast_cell.h), inline for the worksheet parser's cell loop, which
// reads every cell through it. Everything here is internal to the cell reader.
#pragma once

#include <cstring>

#include "sheet/fast_cell.h"
#include "sheet/values.h"
#include "utils/scan.h"
#include "xml/chars.h"
#include "xml/refs.h"

namespace tovrel {

namespace fast_cell_detail {

inline bool starts(const std::uint8_t* buf, std::size_t length, std::size_t at, const char* lit,
                   std::size_t n) noexcept {
    return at + n <= length && std::memcmp(buf + at, lit, n) == 0;
}

// Four bytes as a little-endian word, from the buffer or from a literal. The buffer is padded,
// so four bytes load at any offset up to its length (the padding zeros match no literal).
inline std::uint32_t load4(const std::uint8_t* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
constexpr std::uint32_t word4(const char (&s)[5]) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3])) << 24;
}

// The first `Stop` byte at or after p in b[0, n) (n when there is none), a word at a time; sets
// `special` when a byte before it needs a closer look: a control byte (tab, LF and CR included),
// '&', `Extra`, or a byte of 0x80 and above.
template <std::uint8_t Stop, std::uint8_t Extra>
[[gnu::always_inline]] inline std::size_t find_stop(const std::uint8_t* b, std::size_t n,
                                                    std::size_t p, bool& special) noexcept {
    using namespace scan;
    std::uint64_t seen = 0;
    for (; n - p >= 8; p += 8) {
        const std::uint64_t w = load(b + p);
        // Each mask's lowest bit is exact (higher ones may be spurious), so any bit below the
        // first stop byte means a real byte to look at before it.
        const std::uint64_t look = below_bytes(w, 0x20) | (w & kHigh) | eq_bytes(w, '&') |
                                   eq_bytes(w, Extra);
        if (const std::uint64_t hit = eq_bytes(w, Stop)) {
            seen |= look & ((hit & (~hit + 1)) - 1);
            special = seen != 0;
            return p + first(hit);
        }
        seen |= look;
    }
    for (; p < n && b[p] != Stop; ++p)
        seen |= b[p] < 0x20 || b[p] >= 0x80 || b[p] == '&' || b[p] == Extra;
    special = seen != 0;
    return p;
}

constexpr int kIgnore = -1;  // an attribute the cell reader does not keep
constexpr int kRefuse = -2;  // an attribute that makes the tag the general reader's

// The attributes of a <c> or <f> start tag from q (right after the element name, or after the
// attributes already read into slots, whose bits `kept` holds), in the tight shape of
// fast_attrs: ` name="value"` with names of ASCII letters, values free of control bytes,
// whitespace other than spaces, '&', '<' and bytes of 0x80 and above, distinct, none named
// xmlns, at most eight besides the kept ones. `pick(name, length)` gives the slot (0-2) of a
// name the caller keeps, kIgnore or kRefuse; slot i sets bit `first_bit + i` of `present`.
// Written out for these two tags so that the names are told apart by their length and first
// byte, and a repeated kept name by a bit.
template <class Pick>
[[gnu::always_inline]] inline TagScan tight_attrs(const std::uint8_t* b, std::size_t n,
                                                  std::size_t q, Span* slots,
                                                  std::uint16_t& present, unsigned first_bit,
                                                  unsigned kept, Pick pick) noexcept {
    constexpr TagScan kRefused{0, TagStatus::Refused};
    constexpr std::size_t kMaxAttrs = 8;
    struct Name {
        const std::uint8_t* at;
        std::size_t length;
    };
    Name others[kMaxAttrs];  // the names not kept, for the duplicate check
    std::size_t count = 0;
    for (;;) {
        const std::size_t before = q;
        while (q < n && b[q] == ' ') ++q;
        if (q >= n) return kRefused;
        if (b[q] == '>') return {q + 1, TagStatus::Open};
        if (b[q] == '/')
            return q + 1 < n && b[q + 1] == '>' ? TagScan{q + 2, TagStatus::SelfClosed} : kRefused;
        if (q == before) return kRefused;
        const std::size_t name = q;
        while (q < n && is_letter(b[q])) ++q;
        const std::size_t length = q - name;
        if (length == 0 || n - q < 2 || b[q] != '=' || b[q + 1] != '"') return kRefused;
        q += 2;
        const std::size_t value = q;
        bool special = false;
        q = find_stop<'"', '<'>(b, n, q, special);
        if (q >= n || special) return kRefused;
        const int slot = pick(b + name, length);
        if (slot >= 0) {
            if (kept & (1u << slot)) return kRefused;
            kept |= 1u << slot;
            slots[static_cast<std::size_t>(slot)] = Span{value, q};
            present |= static_cast<std::uint16_t>(1u << (first_bit + static_cast<unsigned>(slot)));
        } else {
            if (slot == kRefuse || count == kMaxAttrs) return kRefused;
            if (length == 5 && std::memcmp(b + name, "xmlns", 5) == 0) return kRefused;
            for (std::size_t i = 0; i < count; ++i)
                if (others[i].length == length && std::memcmp(others[i].at, b + name, length) == 0)
                    return kRefused;
            others[count++] = Name{b + name, length};
        }
        ++q;  // the closing quote
    }
}

// The attribute most cells start with, ` r="A1"`, read at q together with its value as
// fast_coordinate reads it (1-3 letters A-Z, then 1-9 digits without a leading zero). Returns the
// offset after the closing quote, or q when the tag does not start so (tight_attrs reads it then).
// The buffer is padded: its zeros end every run below. `digits` is set to the offset of the row's
// digits when they are those of the row expected, else left as it is.
inline std::size_t leading_ref(const std::uint8_t* b, std::size_t q, CellSpans& cell,
                               std::size_t& digits) noexcept {
    if (load4(b + q) != word4(" r=\"")) return q;
    const std::size_t value = q + 4;
    std::size_t p = value;
    unsigned letter = b[p] - unsigned{'A'};
    if (letter >= 26) return q;
    std::int64_t column = letter + 1;
    if ((letter = b[++p] - unsigned{'A'}) < 26) {
        column = column * 26 + letter + 1;
        if ((letter = b[++p] - unsigned{'A'}) < 26) {
            column = column * 26 + letter + 1;
            if (b[++p] - unsigned{'A'} < 26) return q;
        }
    }
    std::int64_t row;
    // Mostly the row the cell is in: its digits and the closing quote compared at once.
    if (cell.row_mask && ((scan::load(b + p) ^ cell.row_text) & cell.row_mask) == 0) {
        row = cell.row_number;
        digits = p;
        p += cell.row_digits;
    } else {
        unsigned digit = b[p] - unsigned{'1'};
        if (digit >= 9) return q;  // no digit, or a leading zero
        // Past nine digits the value wraps, but the text is refused then.
        std::uint64_t digits = digit + 1;
        const std::size_t first = p;
        while ((digit = b[++p] - unsigned{'0'}) < 10) digits = digits * 10 + digit;
        if (p - first > 9 || b[p] != '"') return q;
        row = static_cast<std::int64_t>(digits);
    }
    cell.cell[0] = Span{value, p};
    cell.ref = CellRef{row, column};
    cell.present |= CellSpans::R | CellSpans::RefParsed;
    return p + 1;
}

// The same for an ` s="12"` at q (after a leading r, or first): a style number of 1 to 18
// digits, read as the integer fast parse reads it.
inline std::size_t leading_style(const std::uint8_t* b, std::size_t q, CellSpans& cell) noexcept {
    if (load4(b + q) != word4(" s=\"")) return q;
    const std::size_t value = q + 4;
    std::size_t p = value;
    unsigned digit = b[p] - unsigned{'0'};
    if (digit >= 10) return q;
    // Past 18 digits the value wraps, but the text is refused then.
    std::uint64_t style = digit;
    while ((digit = b[++p] - unsigned{'0'}) < 10) style = style * 10 + digit;
    if (p - value > 18 || b[p] != '"') return q;
    cell.cell[1] = Span{value, p};
    cell.style = static_cast<std::int64_t>(style);
    cell.present |= CellSpans::S | CellSpans::StyleParsed;
    return p + 1;
}

// The same for a ` t="n"` at q (after r and s, or in their place): a type of 1 to 9 ASCII
// letters, the span tight_attrs would take.
inline std::size_t leading_type(const std::uint8_t* b, std::size_t q, CellSpans& cell) noexcept {
    if (load4(b + q) != word4(" t=\"")) return q;
    const std::size_t value = q + 4;
    std::size_t p = value;
    while (is_letter(b[p])) ++p;
    if (p == value || p - value > 9 || b[p] != '"') return q;
    cell.cell[2] = Span{value, p};
    cell.present |= CellSpans::T;
    return p + 1;
}

// <c>: r -> 0, s -> 1, t -> 2; other attributes are ignored.
inline int pick_cell(const std::uint8_t* name, std::size_t length) noexcept {
    if (length != 1) return kIgnore;
    switch (name[0]) {
        case 'r': return 0;
        case 's': return 1;
        case 't': return 2;
        default: return kIgnore;
    }
}

// <f>: t -> 0, ref -> 1, si -> 2; other attributes (aca, ca, bx, ...) are ignored, as the
// general reader ignores them outside a dataTable formula, which the fast path never takes.
inline int pick_formula(const std::uint8_t* name, std::size_t length) noexcept {
    switch (length) {
        case 1: return name[0] == 't' ? 0 : kIgnore;
        case 2: return name[0] == 's' && name[1] == 'i' ? 2 : kIgnore;
        case 3: return std::memcmp(name, "ref", 3) == 0 ? 1 : kIgnore;
        default: return kIgnore;
    }
}

inline bool tag_name_end(std::uint8_t c) noexcept { return c == ' ' || c == '/' || c == '>'; }

// The offset after the XML whitespace (space, tab, LF, CR) starting at `at`: pretty-printed
// sheets put it between a cell's children, which the cell reader ignores as it ignores any text
// there.
inline std::size_t skip_space(const std::uint8_t* buf, std::size_t at) noexcept {
    // Markup bytes are above the space, so most calls leave after one comparison; the padding
    // zeros end the run.
    if (buf[at] > ' ') return at;
    while (is_ws(buf[at])) ++at;
    return at;
}

// Whether buf[at, stop) is printable ASCII other than '>' (so it holds no CR to normalise, no
// "]]>" and no UTF-8 to check).
inline bool only_refs(const std::uint8_t* buf, std::size_t at, std::size_t stop) noexcept {
    using namespace scan;
    std::uint64_t bad = 0;
    for (; stop - at >= 8; at += 8) {
        const std::uint64_t w = load(buf + at);
        bad |= below_bytes(w, 0x20) | (w & kHigh) | eq_bytes(w, '>');
    }
    for (; at < stop; ++at) bad |= buf[at] < 0x20 || buf[at] >= 0x80 || buf[at] == '>';
    return bad == 0;
}

// The length of the predefined entity whose name starts at p ("amp;" 4 and so on, the ';'
// included), or 0. The text it is in ends with the closing tag's '<', so the bytes loaded
// are the text's or that tag's.
inline std::size_t entity_length(const std::uint8_t* p) noexcept {
    const std::uint32_t w = load4(p);
    if (w == word4("amp;")) return 4;
    if ((w & 0xFFFFFF) == (word4("lt;_") & 0xFFFFFF) || (w & 0xFFFFFF) == (word4("gt;_") & 0xFFFFFF))
        return 3;
    if ((w == word4("quot") || w == word4("apos")) && p[4] == ';') return 5;
    return 0;
}

// The references in [p, end), which hold no '<': 1 when all are predefined entities, 0 when
// some are character references (all of them good), -1 when one is not a reference the reader
// accepts.
inline int entity_refs(const std::uint8_t* p, const std::uint8_t* end) noexcept {
    int all_entities = 1;
    for (;;) {
        const std::uint8_t* amp = scan::find1(p, end, '&');
        if (amp == end) return all_entities;
        if (const std::size_t n = entity_length(amp + 1)) {
            p = amp + 1 + n;
            continue;
        }
        const std::uint8_t* semi = scan::find1(amp + 1, end, ';');
        std::uint32_t cp;
        if (semi == end || ref_error(std::string_view(reinterpret_cast<const char*>(amp + 1),
                                                      static_cast<std::size_t>(semi - amp - 1)),
                                     cp))
            return -1;
        all_entities = 0;
        p = semi + 1;
    }
}

// The text of a child from `at` to the next '<', which must open the closing tag(s) `close`.
// Taken when the reader would accept it as character data; references and CRs are left for
// the caller to decode. Returns the offset after the closing tag, or 0 to give up.
[[gnu::always_inline]] inline std::size_t text_until(const std::uint8_t* buf, std::size_t length,
                                                    std::size_t at, const char* close,
                                                    std::size_t close_len,
                                                    TextSpan& text) noexcept {
    bool special = false;
    const std::size_t stop = find_stop<'<', '>'>(buf, length, at, special);
    if (!starts(buf, length, stop, close, close_len)) return 0;
    if (!special) {
        text = TextSpan{Span{at, stop}, false};
        return stop + close_len;
    }
    if (only_refs(buf, at, stop)) {
        // Printable ASCII and references: only the references need a look.
        const int refs = entity_refs(buf + at, buf + stop);
        if (refs < 0) return 0;
        text = TextSpan{Span{at, stop}, true, refs == 1};
        return stop + close_len;
    }
    const CharScan scanned = scan_chars(buf + at, stop - at);
    const CharFlags& seen = scanned.seen;
    if (scanned.fault || seen.cdata_end) return 0;
    if (seen.amp && refs_error(buf + at, stop - at)) return 0;
    text = TextSpan{Span{at, stop}, seen.amp || seen.cr};
    return stop + close_len;
}

inline std::string_view span_view(const std::uint8_t* buf, const Span& s) noexcept {
    return std::string_view(reinterpret_cast<const char*>(buf) + s.start, s.end - s.start);
}

// A non-empty <v> text at `at` read as a number and decided at once, when it is one up to the
// closing "</v>" (its bytes are then plain character data). Sets `q` after the closing tag;
// false, with nothing set, for any other text.
inline bool read_number(const std::uint8_t* buf, std::size_t length, std::size_t at,
                        CellSpans& cell, std::size_t& q) noexcept {
    const char* const chars = reinterpret_cast<const char*>(buf);
    const char* stop = nullptr;
    const CellNumber number = scan_number<true>(chars + at, chars + length, stop);
    const auto end = static_cast<std::size_t>(stop - chars);
    if (end == at || load4(buf + end) != word4("</v>")) return false;
    cell.value = TextSpan{Span{at, end}, false};
    cell.number = number;
    cell.present |= CellSpans::Value | CellSpans::Number;
    q = end + 4;
    return true;
}

inline bool equals(const std::uint8_t* buf, const Span& s, const char* lit,
                   std::size_t n) noexcept {
    return s.end - s.start == n && std::memcmp(buf + s.start, lit, n) == 0;
}

// Keeps what fast_cell has read of the cell at `start`, whose row digits are at `digits`, on
// reaching its first text (or its end) at q.
[[gnu::noinline]] inline void keep_memo(CellMemo& memo, const CellSpans& cell,
                                        const std::uint8_t* buf, std::size_t start,
                                        std::size_t digits, std::size_t q, CellResume resume,
                                        bool value_taken) noexcept {
    const std::size_t head_len = digits - start;
    const std::size_t tail_start = digits + cell.row_digits + 1;
    const std::size_t tail_len = q - tail_start;
    if (head_len > 8 || tail_len > sizeof memo.tail) {
        memo.row_digits = 0;
        return;
    }
    memo.head = scan::load(buf + start);
    memo.head_mask = head_len == 8 ? ~std::uint64_t{0} : scan::low_bytes(head_len);
    memo.head &= memo.head_mask;
    memo.head_len = static_cast<std::uint8_t>(head_len);
    memo.tail_len = static_cast<std::uint8_t>(tail_len);
    memo.tail_mask = static_cast<std::uint32_t>((std::uint64_t{1} << tail_len) - 1);
    std::memcpy(memo.tail, buf + tail_start, tail_len);
    memo.row_digits = static_cast<std::uint8_t>(cell.row_digits);
    memo.resume = resume;
    memo.value_taken = value_taken;
    memo.present = cell.present;
    memo.type = static_cast<std::uint8_t>(cell.type);
    memo.column = cell.ref.column;
    memo.style = cell.style;
    for (std::size_t i = 0; i < 3; ++i) {
        memo.cell[i] = Span{cell.cell[i].start - start, cell.cell[i].end - start};
        memo.formula[i] = Span{cell.formula[i].start - start, cell.formula[i].end - start};
    }
}

// Whether the cell at `start` has the bytes of `memo` (with the expected row's digits in the
// hole) up to where the memo ends, within the buffer's `length` bytes; its offset then.
inline std::size_t memo_match(const CellMemo& memo, const CellSpans& cell,
                              const std::uint8_t* buf, std::size_t length,
                              std::size_t start) noexcept {
    if (memo.row_digits != cell.row_digits || cell.row_mask == 0) return 0;
    const std::size_t digits = start + memo.head_len;
    const std::size_t tail = digits + memo.row_digits + 1;
    const std::size_t end = tail + memo.tail_len;
    if (end > length || ((scan::load(buf + start) ^ memo.head) & memo.head_mask) != 0 ||
        ((scan::load(buf + digits) ^ cell.row_text) & cell.row_mask) != 0)
        return 0;
    using namespace scan::block;
    // The tail's second block is loaded only when it has bytes there: the buffer's padding
    // covers sixteen bytes past its end, not thirty-two.
    std::uint32_t same = bits(eq(load16(buf + tail), load16(memo.tail)));
    if (memo.tail_len > 16) same |= bits(eq(load16(buf + tail + 16), load16(memo.tail + 16))) << 16;
    return (same & memo.tail_mask) == memo.tail_mask ? end : 0;
}

}  // namespace fast_cell_detail

// fast_cell, inline.
[[gnu::always_inline]] inline bool read_plain_cell(const std::uint8_t* buf, std::size_t length,
                                                   std::size_t position, CellSpans& cell) noexcept {
    using namespace fast_cell_detail;
    position = skip_space(buf, position);
    if ((load4(buf + position) & 0xFFFF) != (word4("<c__") & 0xFFFF) ||
        !tag_name_end(buf[position + 2]))
        return false;
    // The memo of this place in the row: taken when the cell matches it, else kept anew from
    // this cell when its r names the expected row.
    CellMemo* keep = nullptr;
    std::size_t digits = 0;
    std::size_t q;
    bool value_taken;
    CellResume next;  // the text to read next
    if (cell.ordinal < CellSpans::kMemos) {
        CellMemo& memo = cell.memos[cell.ordinal++];
        if (const std::size_t resume_at = memo_match(memo, cell, buf, length, position)) {
            cell.present = memo.present;
            cell.type = static_cast<CellType>(memo.type);
            cell.ref = CellRef{cell.row_number, memo.column};
            cell.style = memo.style;
            for (std::size_t i = 0; i < 3; ++i) {
                cell.cell[i] = Span{memo.cell[i].start + position, memo.cell[i].end + position};
                cell.formula[i] =
                    Span{memo.formula[i].start + position, memo.formula[i].end + position};
            }
            value_taken = memo.value_taken;
            q = resume_at;
            next = memo.resume;
            if (next == CellResume::End) goto done;
            goto text;
        }
        keep = &memo;
    }
    {
        cell.present = 0;
        const std::size_t after_ref = leading_ref(buf, position + 2, cell, digits);
        if (!digits) keep = nullptr;
        const std::size_t after_style = leading_style(buf, after_ref, cell);
        const std::size_t after_type = leading_type(buf, after_style, cell);
        // Slots 0-2 (r, s, t) have the bits R, S and T: those already read are kept.
        const unsigned kept = cell.present & (CellSpans::R | CellSpans::S | CellSpans::T);
        TagScan open = buf[after_type] == '>'
                           ? TagScan{after_type + 1, TagStatus::Open}
                           : tight_attrs(buf, length, after_type, cell.cell, cell.present, 0,
                                         kept, pick_cell);
        if (open.status == TagStatus::Refused) return false;
        cell.type = cell.has(CellSpans::T) ? classify_type(span_view(buf, cell.cell[2]))
                                           : CellType::N;
        q = open.end;
        value_taken = false;
        if (open.status != TagStatus::Open) {
            if (keep) keep_memo(*keep, cell, buf, position, digits, q, CellResume::End, false);
            goto done;
        }
    }
    for (;;) {
        q = skip_space(buf, q);
        {
            // Every child this reader takes, and the closing tag, spans four bytes at least.
            const std::uint32_t head = load4(buf + q);
            if (head == word4("</c>")) {
                q += 4;
                if (keep)
                    keep_memo(*keep, cell, buf, position, digits, q, CellResume::End, value_taken);
                break;
            }
            if ((head & 0xFFFFFF) == (word4("<v>_") & 0xFFFFFF)) {
                if (value_taken) return false;
                value_taken = true;
                q += 3;
                next = CellResume::Value;
            } else if (head == word4("<v/>")) {
                if (value_taken) return false;
                value_taken = true;
                q += 4;
                continue;
            } else if ((head & 0xFFFF) == (word4("<f__") & 0xFFFF) && tag_name_end(buf[q + 2])) {
                if (cell.has(CellSpans::Formula)) return false;
                const TagScan f = tight_attrs(buf, length, q + 2, cell.formula, cell.present, 3,
                                              0, pick_formula);
                if (f.status == TagStatus::Refused) return false;
                cell.present |= CellSpans::Formula;
                q = f.end;
                if (f.status != TagStatus::Open) continue;
                next = CellResume::FormulaText;
            } else if (head == word4("<is>")) {
                // The inline string of an inlineStr cell, without runs or attributes on <is>;
                // whitespace around its <t> is text directly inside the item, which is ignored.
                if (cell.has(CellSpans::Inline) || cell.type != CellType::InlineStr) return false;
                q = skip_space(buf, q + 4);
                if ((load4(buf + q) & 0xFFFFFF) == (word4("<t>_") & 0xFFFFFF))
                    q += 3;
                else if (starts(buf, length, q, "<t xml:space=\"preserve\">", 24))
                    q += 24;
                else
                    return false;
                next = CellResume::InlineText;
            } else {
                return false;
            }
        }
        if (keep) {
            keep_memo(*keep, cell, buf, position, digits, q, next, value_taken);
            keep = nullptr;
        }
    text:
        if (next == CellResume::Value) {
            // A number is read and decided at once, unless the cell's formula will be its
            // value.
            if (numeric_type(cell.type) && !(cell.formula_wins && cell.has(CellSpans::Formula)) &&
                read_number(buf, length, q, cell, q))
                continue;
            q = text_until(buf, length, q, "</v>", 4, cell.value);
            if (!q) return false;
            if (cell.value.raw.end > cell.value.raw.start) cell.present |= CellSpans::Value;
        } else if (next == CellResume::FormulaText) {
            q = text_until(buf, length, q, "</f>", 4, cell.formula_text);
            if (!q) return false;
            cell.present |= CellSpans::FormulaText;
        } else {
            q = text_until(buf, length, q, "</t>", 4, cell.inline_text);
            if (!q) return false;
            q = skip_space(buf, q);
            if (load4(buf + q) != word4("</is") || buf[q + 4] != '>') return false;
            q += 5;
            cell.present |= CellSpans::Inline;
        }
    }
done:
    if (cell.has(CellSpans::FT) && equals(buf, cell.formula[0], "dataTable", 9)) return false;
    cell.start = position;
    cell.end = q;
    return true;
}

}  // namespace tovrel
