// The sheet prescan against the general reader: a generated sheet large enough for the window to
// be compacted in the middle of <sheetData>, with tags in every shape the raw scan meets, read at
// chunkings that put '<' and quotes on every buffer edge. The rows and corners the raw scan finds
// must be those an event-by-event reading of the same document gives.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "sheet/prescan.h"
#include "sheet/values.h"
#include "utils/error.h"
#include "xml/refs.h"
#include "xml_trace.h"

namespace tovrel {
namespace {

using testing::memory_reader;

// Appends the pieces to `out`.
void put(std::string& out, std::initializer_list<std::string_view> pieces) {
    for (std::string_view p : pieces) out.append(p);
}

std::string sheet() {
    std::string doc;
    put(doc, {"<?xml version='1.0'?>\n<worksheet xmlns='", kMainUri,
              "' xmlns:x='urn:x'><sheetPr><x:e a='1'/></sheetPr><dimension ref='A1'/><sheetData>"});
    for (int r = 1; r <= 3000; ++r) {
        const std::string row = std::to_string(r);
        if (r % 7 == 0) {
            doc += "<row>";  // no r: the previous index + 1
        } else if (r % 5 == 0) {
            put(doc, {"<row\n spans='1:4' r = \"", row, "\" x:h='&amp;&#9;'>"});
        } else {
            put(doc, {"<row r=\"", row, "\" spans=\"1:4\">"});
        }
        for (int c = 0; c < 4; ++c) {
            const std::string ref = static_cast<char>('A' + c) + row;
            const std::string style = std::to_string(c);
            switch ((r + c) % 4) {
                case 0: put(doc, {"<c r=\"", ref, "\" s=\"", style, "\"><v>1</v></c>"}); break;
                case 1: put(doc, {"<c s='x&lt;", row, "'><is><t>a &lt;c r=\"A1\"/></t></is></c>"}); break;
                case 2: put(doc, {"<c\tr='", ref, "'/>"}); break;
                default: doc += "<c r=\"\" t=\"s\"><f>SUM(A1:B2)</f><v>2</v></c>"; break;
            }
        }
        doc += "</row>";
    }
    doc += "</sheetData ><pageMargins left='0.7'/><sheetData/></worksheet>";
    return doc;
}

// Renders what a sink receives as one string.
class TraceSink final : public PrescanSink {
public:
    std::string out;

    void element(bool after, std::string snippet) override {
        out.append(after ? "T:" : "H:").append(snippet).append("\n");
    }
    std::int64_t row_index(std::string_view) override { throw Unsupported("row index"); }
    void row(std::int64_t index, const std::vector<ScanAttr>& attrs) override {
        out.append("R").append(std::to_string(index));
        for (const ScanAttr& a : attrs)
            out.append(" ").append(std::to_string(a.ns)).append(":").append(a.local).append("=")
                .append(a.needs_decoding ? decode_attr(a.raw, scratch_) : a.raw);
        out.append("\n");
    }
    void corner(CellRef at, std::optional<std::string_view> s) override {
        out.append("C").append(std::to_string(at.row)).append(",").append(std::to_string(at.column))
            .append("=").append(s ? *s : "-").append("\n");
    }

private:
    std::string scratch_;
};

// The same report from the reader's events.
std::string reference(const std::string& doc, const CornerSet& corners) {
    Reader r = memory_reader(doc, 65536);
    TraceSink sink;
    std::string scratch;
    bool in_data = false, seen = false;
    std::int64_t row = 0, column = 0;
    for (XmlEvent ev; (ev = r.next()) != XmlEvent::Eof;) {
        if (ev == XmlEvent::End && r.depth() == 1) in_data = false;
        if (ev != XmlEvent::Start && ev != XmlEvent::Empty) continue;
        if (r.depth() == 2 && !seen && r.is_main("sheetData")) {
            in_data = seen = true;
        } else if (r.depth() == 2) {
            r.begin_capture();
            for (std::size_t d = r.depth(); r.depth() >= d;) r.next();
            sink.element(seen, r.end_capture());
        } else if (in_data && r.is_main("row")) {
            const Attr* a = r.find_attr(kNoNamespace, "r");
            row = a ? *fast_int(r.attr_value(*a, scratch)) : row + 1;
            column = 0;
            std::vector<ScanAttr> attrs;
            for (const Attr& at : r.attrs())
                attrs.push_back({at.ns, r.attr_local(at), r.attr_raw(at), at.needs_decoding});
            sink.row(row, attrs);
        } else if (in_data && r.is_main("c")) {
            const Attr* a = r.find_attr(kNoNamespace, "r");
            std::string ref = a ? std::string(r.attr_value(*a, scratch)) : "";
            CellRef at = ref.empty() ? CellRef{row, column + 1} : *fast_coordinate(ref);
            column = at.column;
            if (!corners.contains(at)) continue;
            const Attr* s = r.find_attr(kNoNamespace, "s");
            sink.corner(at, s ? std::optional<std::string_view>(r.attr_value(*s, scratch)) : std::nullopt);
        }
    }
    return sink.out;
}

TEST(Prescan, AgreesWithTheReaderAtEveryChunking) {
    const std::string doc = sheet();
    ASSERT_GT(doc.size(), 4 * Input::kChunk);  // compaction happens inside <sheetData>
    CornerSet corners;
    for (std::int64_t r = 1; r <= 3000; r += 3)
        for (std::int64_t c = 1; c <= 5; ++c) corners.insert(CellRef{r, c});
    const std::string expected = reference(doc, corners);
    ASSERT_NE(expected.find("C4,2=x<4"), std::string::npos);
    for (std::size_t chunk : {1, 3, 11, 65536}) {
        for (bool want_rows : {false, true}) {
            Reader reader = memory_reader(doc, chunk);
            TraceSink sink;
            prescan(reader, want_rows, corners, sink);
            std::string got = sink.out;
            std::string want = expected;
            if (!want_rows) {  // the reference without its row lines
                std::string kept;
                for (std::size_t p = 0, n; p < want.size(); p = n + 1) {
                    n = want.find('\n', p);
                    if (want[p] != 'R') kept += want.substr(p, n - p + 1);
                }
                want = kept;
            }
            EXPECT_EQ(got, want) << "chunk " << chunk << " rows " << want_rows;
        }
    }
}

}  // namespace
}  // namespace tovrel
