// Formula templates: formula texts that differ only by relative cell references moved with
// their cells («=A1*2» in row 1, «=A2*2» in row 2, ...) are kept once, as a sequence of literal
// runs and column/row parts; each cell renders the text again at its own row and column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formula/ref_parts.h"
#include "utils/cell_ref.h"
#include "utils/fx_hash.h"
#include "utils/text.h"

namespace tovrel {

// A cell reference found by the template scanner, as [start, end) of the text.
struct ScannedRef {
    std::size_t start;
    std::size_t end;
    bool col_abs;
    std::int64_t col;
    bool row_abs;
    std::int64_t row;
};

// The cell references of a formula text, outside quoted runs, in text order, into `out`
// (cleared first).
void scan_refs(std::string_view text, std::vector<ScannedRef>& out);
inline std::vector<ScannedRef> scan_refs(std::string_view text) {
    std::vector<ScannedRef> out;
    scan_refs(text, out);
    return out;
}

// The hash of a formula's shape at a cell: literal runs and absolute parts as written, relative
// parts as offsets from the cell.
std::uint64_t shape_hash(std::string_view text, const std::vector<ScannedRef>& refs,
                         std::int64_t row, std::int64_t col) noexcept;

class Template {
public:
    struct Part {
        enum Kind : std::uint8_t { Lit, Col, Row };
        Kind kind;
        bool absolute;
        std::int64_t value;  // Col/Row: the number, or the offset from the cell when relative
        std::uint32_t off;   // Lit: the run in lits_
        std::uint32_t len;
    };

    // The template of `text` as written at (row, col).
    static Template build(std::string_view text, const std::vector<ScannedRef>& refs,
                          std::int64_t row, std::int64_t col);

    // Whether rendering at (row, col) gives exactly `text`.
    bool matches(std::string_view text, std::int64_t row, std::int64_t col) const noexcept;

    // Appends the rendering at (row, col) to `out` (anything with append(const char*, size_t)).
    // False when a column leaves 1..18278 or a row falls below 1; `out` may hold a partial text.
    template <class Buf>
    [[nodiscard]] bool render_into(std::int64_t row, std::int64_t col, Buf& out) const;

    std::size_t bytes() const noexcept {
        return sizeof(Template) + parts_.capacity() * sizeof(Part) + lits_.capacity();
    }

private:
    std::vector<Part> parts_;
    std::string lits_;
};

template <class Buf>
bool Template::render_into(std::int64_t row, std::int64_t col, Buf& out) const {
    char tmp[24];
    for (const Part& p : parts_) {
        std::int64_t n;
        switch (p.kind) {
            case Part::Lit:
                out.append(lits_.data() + p.off, p.len);
                break;
            case Part::Col:
                if (p.absolute) {
                    n = p.value;
                    out.append("$", 1);
                } else if (__builtin_add_overflow(p.value, col, &n)) {
                    return false;
                }
                if (n < 1 || n > kMaxColumn) return false;
                out.append(tmp, column_letters(n, tmp));
                break;
            case Part::Row:
                if (p.absolute) {
                    n = p.value;
                    out.append("$", 1);
                } else if (__builtin_add_overflow(p.value, row, &n)) {
                    return false;
                }
                if (n < 1) return false;
                out.append(tmp, decimal_digits(n, tmp));
                break;
        }
    }
    return true;
}

// The templates of a store, and while loading the shape map that finds them.
class Templates {
public:
    static constexpr std::uint32_t kSeenOnce = 0xFFFFFFFF;

    // The index of a template that renders `text` at (row, col), or nothing. The first formula
    // of a shape never gets one: it only marks the shape as seen.
    std::optional<std::uint32_t> template_for(std::string_view text, std::int64_t row,
                                              std::int64_t col);

    const Template& operator[](std::uint32_t i) const noexcept { return list_[i]; }
    std::size_t size() const noexcept { return list_.size(); }

    // Ends loading: drops the shape map and the list's spare room.
    void finish_loading();
    std::size_t bytes() const noexcept;

private:
    std::vector<Template> list_;
    std::unordered_map<std::uint64_t, std::uint32_t, FxU64Hash> shapes_;
    std::vector<ScannedRef> refs_;  // reused by every call
};

}  // namespace tovrel
