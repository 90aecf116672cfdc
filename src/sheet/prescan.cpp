#include "sheet/prescan.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "sheet/values.h"
#include "utils/error.h"
#include "utils/scan.h"
#include "xml/chars.h"
#include "xml/content_walk.h"
#include "xml/refs.h"

namespace tovrel {

namespace {

constexpr std::int64_t kMaxIndex = std::numeric_limits<std::int64_t>::max();
// Bytes wanted after a '<' before it is classified: enough for "/sheetData" and the byte after.
constexpr std::size_t kLookahead = 12;

const std::uint8_t* bytes(std::string_view s) noexcept {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

// The checks of an attribute value; returns whether it needs decoding.
bool check_value(std::string_view v) {
    bool special = false;
    for (unsigned char c : v) special |= c < 0x20 || c >= 0x80 || c == '&' || c == '<';
    if (!special) return false;
    const std::uint8_t* p = bytes(v);
    if (scan::find1(p, p + v.size(), '<') != p + v.size()) throw Malformed("< in attribute");
    CharFlags flags = check_chars(p, v.size());
    if (flags.amp) validate_refs(p, v.size());
    if (flags.amp || flags.cr) return true;
    return v.find_first_of("\t\n") != std::string_view::npos;
}

// Byte equality for the short names met per tag, without a library call.
inline bool same(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

const ScanAttr* find_attr(const std::vector<ScanAttr>& attrs, std::string_view local) noexcept {
    for (const ScanAttr& a : attrs)
        if (a.ns == kNoNamespace && same(a.local, local)) return &a;
    return nullptr;
}

std::string_view decoded(const ScanAttr& a, std::string& scratch) {
    return a.needs_decoding ? decode_attr(a.raw, scratch) : a.raw;
}

// The raw scan inside <sheetData>, from the reader's position to the '<' of </sheetData>.
class SheetDataScan {
public:
    SheetDataScan(Reader& reader, bool want_rows, const CornerSet& corners, PrescanSink& sink)
        : reader_(reader), in_(reader.input()), want_rows_(want_rows), corners_(corners),
          sink_(sink) {
        if (corners.size() <= kFewCorners) few_.assign(corners.begin(), corners.end());
        for (const CellRef& c : corners) {
            lo_.row = std::min(lo_.row, c.row);
            lo_.column = std::min(lo_.column, c.column);
            hi_.row = std::max(hi_.row, c.row);
            hi_.column = std::max(hi_.column, c.column);
        }
    }

    void run() {
        const bool rows = want_rows_ || !corners_.empty();
        const bool cells = !corners_.empty();
        std::size_t from = in_.pos;
        for (;;) {
            const std::uint8_t* b = in_.data();
            const std::uint8_t* end = b + in_.filled();
            const std::uint8_t* lt = scan::find1(b + from, end, '<');
            if (lt == end) {
                in_.pos = in_.filled();
                if (!in_.more()) throw Malformed("eof in element");
                from = in_.pos;
                continue;
            }
            in_.pos = static_cast<std::size_t>(lt - b);
            while (in_.available() <= kLookahead && in_.more()) {
            }
            b = in_.data();
            const std::size_t q = in_.pos;
            const std::size_t n = in_.available();
            const std::uint8_t* t = b + q;
            const std::uint8_t next = n > 1 ? t[1] : 0;
            if (next == '!' || next == '?') throw Unsupported("comment/cdata/pi in sheetData");
            if (next == '/') {
                if (n > 11 && t[2] == 's' && std::memcmp(t + 3, "heetData", 8) == 0 &&
                    (t[11] == '>' || is_ws(t[11])))
                    return;
            } else if (next == 'r' && rows && n > 4 && t[2] == 'o' && t[3] == 'w' && ends_name(t[4])) {
                from = tag(4, true);
                continue;
            } else if (next == 'c' && cells && n > 2 && ends_name(t[2])) {
                from = tag(2, false);
                continue;
            } else if (rows && is_plain_start(next)) {
                check_prefixed(cells);
            }
            from = in_.pos + 1;
        }
    }

private:
    static bool ends_name(std::uint8_t c) noexcept { return is_ws(c) || c == '/' || c == '>'; }

    // Length of the run of name characters other than ':' from byte `i` of the tag at the reader
    // position, reading more input while the run reaches the end of the window.
    std::size_t plain_run(std::size_t i) {
        for (;;) {
            const std::uint8_t* t = in_.data() + in_.pos;
            const std::size_t n = in_.available();
            while (i < n && is_plain_char(t[i])) ++i;
            if (i < n || !in_.more()) return i;
        }
    }

    // Any other start tag at the reader position: one whose prefix stands for the SpreadsheetML
    // namespace would be a row or a cell that the search for "<row" and "<c" misses.
    void check_prefixed(bool cells) {
        const std::size_t colon = plain_run(1);
        if (colon >= in_.available() || in_.data()[in_.pos + colon] != ':') return;
        const std::size_t end = plain_run(colon + 1);
        const char* t = reinterpret_cast<const char*>(in_.data()) + in_.pos;
        const std::string_view local(t + colon + 1, end - colon - 1);
        if (!same(local, "row") && (!cells || !same(local, "c"))) return;
        std::uint32_t id = kNoNamespace;
        if (!reader_.namespaces().lookup(std::string_view(t + 1, colon - 1), id) || id == kMainNamespace)
            throw Unsupported("prefixed row or cell");
    }

    // Offset of the '>' ending the tag whose '<' is at the reader position, skipping quoted
    // values; reads more input as needed.
    std::size_t find_tag_end(std::size_t name_len) {
        std::size_t rel = name_len;
        std::uint8_t quote = 0;
        for (;;) {
            const std::uint8_t* b = in_.data();
            const std::uint8_t* end = b + in_.filled();
            const std::uint8_t* s = b + in_.pos + rel;
            while (s < end) {
                if (quote) {
                    s = scan::find1(s, end, quote);
                    if (s == end) break;
                    quote = 0;
                    ++s;
                    continue;
                }
                s = scan::find3(s, end, '>', '"', '\'');
                if (s == end) break;
                if (*s == '>') return static_cast<std::size_t>(s - b);
                quote = *s++;
            }
            rel = in_.filled() - in_.pos;
            if (!in_.more()) throw Malformed("eof in tag");
        }
    }

    bool wanted(const CellRef& at) const noexcept {
        if (at.row < lo_.row || at.row > hi_.row || at.column < lo_.column || at.column > hi_.column)
            return false;
        if (few_.empty()) return corners_.contains(at);
        for (const CellRef& c : few_)
            if (c == at) return true;
        return false;
    }

    // Handles the <row> or <c> tag at the reader position; returns where the search goes on.
    std::size_t tag(std::size_t name_len, bool is_row) {
        const std::size_t gt = find_tag_end(name_len);
        const std::size_t lt = in_.pos;
        std::size_t stop = gt;
        if (stop > lt + name_len && in_.data()[stop - 1] == '/') --stop;
        const std::string_view text(reinterpret_cast<const char*>(in_.data()) + lt, stop - lt);
        if (is_row) {
            row(text);
        } else {
            cell(text.substr(name_len));
        }
        return gt + 1;
    }

    // `<row r="digits"`, the fast form: the index, or nothing.
    static std::optional<std::int64_t> fast_row(std::string_view text) noexcept {
        constexpr std::string_view kHead = "<row r=\"";
        if (text.substr(0, kHead.size()) != kHead) return std::nullopt;
        const std::size_t close = text.find('"', kHead.size());
        if (close == std::string_view::npos) return std::nullopt;
        return fast_int(text.substr(kHead.size(), close - kHead.size()));
    }

    void row(std::string_view text) {
        std::optional<std::int64_t> index;
        if (!want_rows_) index = fast_row(text);
        if (!index) {
            scan_attrs(text.substr(4), reader_.namespaces(), attrs_);
            if (const ScanAttr* r = find_attr(attrs_, "r")) {
                std::string_view value = decoded(*r, scratch_);
                index = fast_int(value);
                if (!index) index = sink_.row_index(value);
            } else {
                if (row_ == kMaxIndex) throw Unsupported("row index");
                index = row_ + 1;
            }
            if (want_rows_) sink_.row(*index, attrs_);
        }
        row_ = *index;
        column_ = 0;
    }

    void cell(std::string_view text) {
        scan_attrs(text, reader_.namespaces(), attrs_);
        CellRef at;
        const ScanAttr* r = find_attr(attrs_, "r");
        if (r && !r->raw.empty()) {
            std::optional<CellRef> parsed = fast_coordinate(decoded(*r, scratch_));
            if (!parsed) throw Unsupported("coordinate");
            at = *parsed;
        } else {
            if (column_ == kMaxIndex) throw Unsupported("column index");
            at = CellRef{row_, column_ + 1};
        }
        column_ = at.column;
        if (!wanted(at)) return;
        std::optional<std::string_view> style;
        if (const ScanAttr* s = find_attr(attrs_, "s")) style = decoded(*s, scratch_);
        sink_.corner(at, style);
    }

    Reader& reader_;
    Input& in_;
    bool want_rows_;
    const CornerSet& corners_;
    PrescanSink& sink_;
    std::int64_t row_ = 0;
    std::int64_t column_ = 0;
    // A few corners are compared one by one rather than hashed.
    static constexpr std::size_t kFewCorners = 8;
    std::vector<CellRef> few_;
    // The box around the requested corners: most cells are outside it.
    CellRef lo_{kMaxIndex, kMaxIndex};
    CellRef hi_{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::min()};
    std::vector<ScanAttr> attrs_;
    std::string scratch_;
};

// Reads the <sheetData> element whose Start or Empty the reader has just returned, up to its End.
void sheet_data(Reader& reader, bool want_rows, const CornerSet& corners, PrescanSink& sink) {
    if (reader.last_event() == XmlEvent::Empty) {
        reader.next();
        return;
    }
    const std::uint8_t* tag = reader.input().data() + reader.tag_start();
    if (std::memcmp(tag, "<sheetData", 10) != 0 || is_name_char(tag[10]) ||
        reader.namespaces().default_id() != kMainNamespace)
        throw Unsupported("prefixed sheetData");
    SheetDataScan(reader, want_rows, corners, sink).run();
    reader.next();  // </sheetData>
}

}  // namespace

void scan_attrs(std::string_view tag_rest, const Namespaces& ns, std::vector<ScanAttr>& out) {
    out.clear();
    const std::uint8_t* b = bytes(tag_rest);
    const std::size_t end = tag_rest.size();
    std::size_t p = 0;
    for (;;) {
        const std::size_t ws = p;
        while (p < end && is_ws(b[p])) ++p;
        if (p == end) return;
        if (p == ws) throw Malformed("missing whitespace");
        const std::size_t name = p;
        std::size_t colon = std::string_view::npos;
        for (; p < end; ++p) {
            const std::uint8_t c = b[p];
            if (is_plain_char(c)) continue;
            if (c == ':') {
                if (colon != std::string_view::npos) throw Unsupported("qname");
                colon = p;
                continue;
            }
            if (is_ws(c) || c == '=') break;
            throw Unsupported("attribute name");
        }
        if (p == end) throw Malformed("expected =");
        if (p == name) throw Unsupported("attribute name");
        if (colon == name || colon + 1 == p) throw Unsupported("qname");
        const std::string_view qname = tag_rest.substr(name, p - name);
        while (p < end && is_ws(b[p])) ++p;
        if (p == end || b[p] != '=') throw Malformed("expected =");
        ++p;
        while (p < end && is_ws(b[p])) ++p;
        if (p == end || (b[p] != '"' && b[p] != '\'')) throw Malformed("expected quote");
        const std::uint8_t quote = b[p++];
        const std::uint8_t* close = scan::find1(b + p, b + end, quote);
        if (close == b + end) throw Malformed("unterminated value");
        const auto value_end = static_cast<std::size_t>(close - b);
        const std::string_view raw = tag_rest.substr(p, value_end - p);
        p = value_end + 1;
        const bool needs_decoding = check_value(raw);
        ScanAttr attr{kNoNamespace, qname, raw, needs_decoding};
        if (colon == std::string_view::npos) {
            if (same(qname, "xmlns")) throw Unsupported("namespace declaration");
        } else {
            const std::string_view prefix = tag_rest.substr(name, colon - name);
            if (same(prefix, "xmlns")) throw Unsupported("namespace declaration");
            if (!ns.lookup(prefix, attr.ns)) throw Malformed("unbound prefix");
            attr.local = qname.substr(colon + 1 - name);
        }
        for (const ScanAttr& seen : out)
            if (seen.ns == attr.ns && same(seen.local, attr.local))
                throw Malformed("duplicate attribute");
        out.push_back(attr);
    }
}

void prescan(Reader& reader, bool want_rows, const CornerSet& corners, PrescanSink& sink) {
    bool seen = false;
    for (;;) {
        const XmlEvent ev = reader.next();
        if (ev == XmlEvent::Eof) return;
        if ((ev != XmlEvent::Start && ev != XmlEvent::Empty) || reader.depth() != 2) continue;
        if (!seen && reader.is_main("sheetData")) {
            seen = true;
            try {
                sheet_data(reader, want_rows, corners, sink);
            } catch (XmlError& e) {
                e.stamp(reader.offset());  // inside the scan: the '<' of the tag being read
                throw;
            }
            continue;
        }
        reader.begin_capture();
        ContentWalk(reader, "unexpected eof").finish();
        sink.element(seen, reader.end_capture());
    }
}

}  // namespace tovrel
