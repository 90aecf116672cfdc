// The sheet prescan: one fast pass over a worksheet that hands out the raw markup of the root's
// children around <sheetData>, and inside <sheetData> finds <row> and <c> tags by a raw byte
// scan for '<' instead of running the reader over every cell; only those tags' attributes are
// parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "utils/cell_ref.h"
#include "xml/names.h"
#include "xml/reader.h"

namespace tovrel {

// One attribute of a scanned <row> or <c> tag, checked like the reader's attributes. The views
// point into the reader's buffer and stay valid only during the sink call that receives them.
struct ScanAttr {
    std::uint32_t ns;        // kNoNamespace for unprefixed names
    std::string_view local;
    std::string_view raw;    // the bytes between the quotes, validated, not decoded
    bool needs_decoding;     // raw holds '&', tab, LF or CR
};

// Parses the attributes of a tag from right after its name to the end of the tag (the final '/'
// of an empty tag excluded). Prefixes resolve through `ns`. Throws Malformed / Unsupported.
void scan_attrs(std::string_view tag_rest, const Namespaces& ns, std::vector<ScanAttr>& out);

struct CellRefHash {
    std::size_t operator()(const CellRef& ref) const noexcept {
        const auto r = static_cast<std::uint64_t>(ref.row);
        const auto c = static_cast<std::uint64_t>(ref.column);
        return static_cast<std::size_t>((r * 0x9E3779B97F4A7C15ULL) ^ (c + (r << 6)));
    }
};
using CornerSet = std::unordered_set<CellRef, CellRefHash>;

// What the prescan reports, in document order.
class PrescanSink {
public:
    virtual ~PrescanSink() = default;
    // The complete markup of a child of the root; the reader stands right after it.
    virtual void element(bool after_sheet_data, std::string snippet) = 0;
    // The row index of an `r` value that is not a plain integer.
    virtual std::int64_t row_index(std::string_view r) = 0;
    // A <row> tag (only when rows are wanted).
    virtual void row(std::int64_t index, const std::vector<ScanAttr>& attrs) = 0;
    // A cell at a requested position, with its decoded `s` value if it has one.
    virtual void corner(CellRef at, std::optional<std::string_view> style) = 0;
};

// Reads the whole document from `reader`, which must not have been read yet.
void prescan(Reader& reader, bool want_rows, const CornerSet& corners, PrescanSink& sink);

}  // namespace tovrel
