// The buffer-level cell reader: which cells it takes, what it reads from them, and where it stops.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sheet/fast_cell.h"
#include "xml/byte_buffer.h"
#include "xml/refs.h"

namespace tovrel {
namespace {

// fast_cell reads the reader's window, which is padded past its end; so does every call here.
bool read_cell(const std::string& doc, CellSpans& c) {
    ByteBuffer buf(doc.size() + 1);
    buf.append(doc.data(), doc.size());
    return fast_cell(buf.data(), buf.size(), 0, c);
}

std::string span(const std::string& buf, const CellSpans& c, std::uint16_t bit, const Span& s) {
    return c.has(bit) ? buf.substr(s.start, s.end - s.start) : std::string("<none>");
}

// A child's text as the parser takes it: decoded when the span says so.
std::string text(const std::string& buf, const CellSpans& c, std::uint16_t bit, const TextSpan& s) {
    if (!c.has(bit)) return "<none>";
    std::string raw = buf.substr(s.raw.start, s.raw.end - s.raw.start), scratch;
    if (s.entities) {
        EXPECT_TRUE(s.decode) << raw;
        ByteBuffer padded(buf.size() + 1);
        padded.append(buf.data(), buf.size());
        std::string out(raw.size() + 8, '\0');
        const std::size_t n = decode_entities(
            std::string_view(reinterpret_cast<const char*>(padded.data()) + s.raw.start, raw.size()),
            out.data());
        EXPECT_EQ(out.substr(0, n), decode_text(raw, false, scratch)) << raw;
    }
    return std::string(s.decode ? decode_text(raw, false, scratch) : std::string_view(raw));
}

struct Taken {
    std::string r, s, t, v, ft, fref, fsi, ftext, inl;
    std::size_t end;
};

std::optional<Taken> read(const std::string& doc) {
    CellSpans c;
    c.present = 0xFFFF;  // stale bits from an earlier cell must not survive
    if (!read_cell(doc, c))
        return std::nullopt;
    using S = CellSpans;
    if (c.has(S::Number)) {  // a <v> read as a number is decided as parse_number decides it
        const CellNumber whole = parse_number(span(doc, c, S::Value, c.value.raw));
        EXPECT_EQ(c.number.kind, whole.kind) << doc;
        EXPECT_EQ(c.number.integer, whole.integer) << doc;
        EXPECT_EQ(c.number.real, whole.real) << doc;
    }
    if (c.has(S::RefParsed)) {
        EXPECT_EQ(c.ref, fast_coordinate(span(doc, c, S::R, c.cell[0])).value_or(CellRef{-1, -1}))
            << doc;
    }
    return Taken{span(doc, c, S::R, c.cell[0]),       span(doc, c, S::S, c.cell[1]),
                 span(doc, c, S::T, c.cell[2]),       text(doc, c, S::Value, c.value),
                 span(doc, c, S::FT, c.formula[0]),   span(doc, c, S::FRef, c.formula[1]),
                 span(doc, c, S::FSi, c.formula[2]),
                 c.has(S::Formula) ? text(doc, c, S::FormulaText, c.formula_text) : "-",
                 text(doc, c, S::Inline, c.inline_text), c.end};
}

TEST(CellSpans, TakesPlainCells) {
    const std::string tail = "<c r=\"Z9\"/>";
    struct Case {
        std::string cell, r, s, t, v, ft, fsi, ftext, inl = "<none>";
    } cases[] = {
        {"<c r=\"A1\"><v>1</v></c>", "A1", "<none>", "<none>", "1", "<none>", "<none>", "-"},
        {"<c r=\"B2\" s=\"3\" t=\"s\"><v>0</v></c>", "B2", "3", "s", "0", "<none>", "<none>", "-"},
        {"<c/>", "<none>", "<none>", "<none>", "<none>", "<none>", "<none>", "-"},
        {"<c r=\"A1\"/>", "A1", "<none>", "<none>", "<none>", "<none>", "<none>", "-"},
        {"<c r=\"A1\"></c>", "A1", "<none>", "<none>", "<none>", "<none>", "<none>", "-"},
        {"<c r=\"A1\"><v></v></c>", "A1", "<none>", "<none>", "<none>", "<none>", "<none>", "-"},
        {"<c r=\"A1\"><v/></c>", "A1", "<none>", "<none>", "<none>", "<none>", "<none>", "-"},
        // Numbers, and texts that only start like one, in cells whose value is a number.
        {"<c r=\"A1\"><v>-12.5E+3</v></c>", "A1", "<none>", "<none>", "-12.5E+3", "<none>", "<none>", "-"},
        {"<c r=\"A1\" t=\"b\"><v>1 </v></c>", "A1", "<none>", "b", "1 ", "<none>", "<none>", "-"},
        {"<c r=\"A1\" t=\"s\"><v>12345678901234567890</v></c>", "A1", "<none>", "s", "12345678901234567890", "<none>", "<none>", "-"},
        {"<c r=\"A1\"><v>1.5.</v></c>", "A1", "<none>", "<none>", "1.5.", "<none>", "<none>", "-"},
        {"<c r=\"A1\"><f>SUM(B1:B2)</f><v>3</v></c>", "A1", "<none>", "<none>", "3", "<none>", "<none>", "SUM(B1:B2)"},
        {"<c r=\"A1\"><v>3</v><f>1</f></c>", "A1", "<none>", "<none>", "3", "<none>", "<none>", "1"},
        {"<c r=\"A2\"><f t=\"shared\" si=\"0\"/><v>4</v></c>", "A2", "<none>", "<none>", "4", "shared", "0", "<none>"},
        {"<c r=\"A1\" t=\"str\"><f>\"x\"</f><v>x\ty\n\xC3\xA9</v></c>", "A1", "<none>", "str", "x\ty\n\xC3\xA9", "<none>", "<none>", "\"x\""},
        {"<c t=\"n\" x=\"1\" r=\"C3\"><v>1</v></c>", "C3", "<none>", "n", "1", "<none>", "<none>", "-"},
        // Texts with references, CR and '>' are taken and decoded as the reader decodes them.
        {"<c r=\"A1\" t=\"str\"><f>\"x\"&amp;A1</f><v>a&#x3c;b\r\nc&gt;d>e</v></c>", "A1", "<none>", "str", "a<b\nc>d>e", "<none>", "<none>", "\"x\"&A1"},
        {"<c r=\"A1\"><f>\"a\"&amp;B1&lt;&quot;&apos;&#67;</f><v>1</v></c>", "A1", "<none>", "<none>", "1", "<none>", "<none>", "\"a\"&B1<\"'C"},
        {"<c r=\"A1\" t=\"str\"><f>&quot;x&quot;&amp;A1&lt;&gt;&apos;</f><v>&amp;</v></c>", "A1", "<none>", "str", "&", "<none>", "<none>", "\"x\"&A1<>'"},
        // The inline string of an inlineStr cell.
        {"<c r=\"D1\" t=\"inlineStr\"><is><t>in &amp; out</t></is></c>", "D1", "<none>", "inlineStr", "<none>", "<none>", "<none>", "-", "in & out"},
        {"<c t=\"inlineStr\"><is><t xml:space=\"preserve\"> x </t></is><v>1</v></c>", "<none>", "<none>", "inlineStr", "1", "<none>", "<none>", "-", " x "},
        {"<c t=\"inlineStr\"><is><t></t></is></c>", "<none>", "<none>", "inlineStr", "<none>", "<none>", "<none>", "-", ""},
        // Whitespace before the cell, between its children and around the <t> of <is>; other
        // attributes of <f> are ignored.
        {"\n  <c r=\"A1\">\n <v>1</v>\r\n\t</c>", "A1", "<none>", "<none>", "1", "<none>", "<none>", "-"},
        {"<c r=\"A1\" t=\"str\"><f aca=\"false\" ca=\"1\">NOW()</f> <v>x</v></c>", "A1", "<none>", "str", "x", "<none>", "<none>", "NOW()"},
        {"<c t=\"inlineStr\">\n <is>\n  <t>x</t>\n </is>\n</c>", "<none>", "<none>", "inlineStr", "<none>", "<none>", "<none>", "-", "x"},
    };
    for (const Case& c : cases) {
        auto got = read(c.cell + tail);
        ASSERT_TRUE(got) << c.cell;
        EXPECT_EQ(got->r, c.r) << c.cell;
        EXPECT_EQ(got->s, c.s) << c.cell;
        EXPECT_EQ(got->t, c.t) << c.cell;
        EXPECT_EQ(got->v, c.v) << c.cell;
        EXPECT_EQ(got->ft, c.ft) << c.cell;
        EXPECT_EQ(got->fsi, c.fsi) << c.cell;
        EXPECT_EQ(got->ftext, c.ftext) << c.cell;
        EXPECT_EQ(got->inl, c.inl) << c.cell;
        EXPECT_EQ(got->end, c.cell.size()) << c.cell;
    }
}

// A leading r is read as fast_coordinate reads it, whenever that parser takes it.
TEST(CellSpans, ReadsTheLeadingReference) {
    const char* refs[] = {"A1", "B10", "C9999999", "D99999999", "XFD1048576", "ZZZ999999999", "AAAA1", "A0", "A01", "a1",
                          "A", "1", "", "A1234567890", "A1B", "$A$1", "A 1"};
    for (const char* r : refs) {
        for (const char* tail : {"/>", " s=\"1\"><v>1</v></c>"}) {
          // The row the cells are expected in changes how the digits are read, not the result.
          for (std::int64_t expected_row : {0, 1, 9, 10, 1048576, 9999999, 99999999}) {
            const std::string doc = std::string("<c r=\"") + r + "\"" + tail;
            CellSpans c;
            if (expected_row) c.expect_row(expected_row);
            ASSERT_TRUE(read_cell(doc, c))
                << doc;
            const std::optional<CellRef> expected = fast_coordinate(r);
            EXPECT_EQ(c.has(CellSpans::RefParsed), expected.has_value()) << doc;
            if (expected && c.has(CellSpans::RefParsed)) {
                EXPECT_EQ(c.ref, *expected) << doc;
            }
          }
        }
    }
    // A style right after it: its digits as a number.
    for (const char* style : {"0", "7", "123456789012345678", "1234567890123456789", "-1", "", "1 "}) {
        const std::string doc = std::string("<c r=\"A1\" s=\"") + style + "\"/>";
        CellSpans c;
        ASSERT_TRUE(read_cell(doc, c));
        const std::string_view text(style);
        const bool digits = !text.empty() && text.size() <= 18 &&
                            text.find_first_not_of("0123456789") == std::string_view::npos;
        EXPECT_EQ(c.has(CellSpans::StyleParsed), digits) << doc;
        if (digits) {
            EXPECT_EQ(c.style, std::stoll(style)) << doc;
        }
    }
    // Not first, or repeated: read by the general attribute scan, or refused.
    const std::string later = "<c s=\"1\" r=\"B2\"/>";
    CellSpans c;
    ASSERT_TRUE(read_cell(later, c));
    EXPECT_FALSE(c.has(CellSpans::RefParsed));
    for (const char* twice : {"<c r=\"B2\" r=\"B2\"/>", "<c r=\"B2\" s=\"1\" s=\"1\"/>"}) {
        const std::string doc(twice);
        EXPECT_FALSE(read_cell(doc, c))
            << doc;
    }
}

TEST(CellSpans, GivesUpOnAnythingElse) {
    const char* cells[] = {
        "<c r='A1'><v>1</v></c>",                 // single quotes
        "<c r = \"A1\"><v>1</v></c>",             // spaces around =
        "<c r=\"A&#49;\"><v>1</v></c>",           // a reference in a value
        "<c r=\"A1\"><!--x--><v>1</v></c>",       // a comment
        "<c r=\"A1\"><v>&bogus;</v></c>",         // references the reader rejects
        "<c r=\"A1\"><v>&#0;</v></c>",
        "<c r=\"A1\"><v>a&b</v></c>",
        "<c r=\"A1\"><v>a]]>b</v></c>",
        "<c r=\"A1\"><v>\x01</v></c>",
        "<c r=\"A1\"><v>\xEF\xBF\xBE</v></c>",   // U+FFFE
        "<c r=\"A1\"><v>\xC3</v></c>",            // broken UTF-8
        "<c r=\"A1\"><v>1</v><v>2</v></c>",       // a second <v>
        "<c r=\"A1\"><f>1</f><f>2</f></c>",       // a second <f>
        "<c r=\"A1\"><v x=\"1\">1</v></c>",       // attributes on <v>
        "<c r=\"A1\"><f t=\"dataTable\" r1=\"A1\"/></c>",
        "<c r=\"A1\"><f t=\"dataTable\"/></c>",
        "<c r=\"A1\"><f ca=\"1\" ca=\"1\">1</f></c>",  // a repeated attribute
        "<c r=\"A1\"><f x:ca=\"1\">1</f></c>",   // a prefixed one
        "<c r=\"A1\"><v>1</v>\x01</c>",           // not whitespace between children
        "<c t=\"inlineStr\"><is> x<t>x</t></is></c>",
        "<c r=\"A1\"><is><t>x</t></is></c>",     // <is> outside an inlineStr cell
        "<c t=\"inlineStr\"><is><r><t>x</t></r></is></c>",  // runs
        "<c t=\"inlineStr\"><is a=\"1\"><t>x</t></is></c>",
        "<c t=\"inlineStr\"><is><t>x</t><t>y</t></is></c>",
        "<c t=\"inlineStr\"><is><t>x</t></is><is><t>y</t></is></c>",
        "<c r=\"A1\"><v>1</w></c>",
        "<cell r=\"A1\"/>",
        "<c\nr=\"A1\"/>",
        "<c r=\"A1\"><v>1</v>",                   // runs into the end of the buffer
        "<c r=\"A1\"><v>1",
        "<c",
    };
    for (const char* c : cells) EXPECT_FALSE(read(c)) << c;
}

// Everything fast_cell says of a cell, as text: the spans of the present parts, the numbers.
std::string outcome(const std::string& buf, const CellSpans& c) {
    using S = CellSpans;
    std::ostringstream out;
    out << c.present << '|' << c.start << '-' << c.end << '|' << static_cast<int>(c.type);
    const Span* spans[] = {&c.cell[0], &c.cell[1], &c.cell[2],
                           &c.formula[0], &c.formula[1], &c.formula[2]};
    for (unsigned i = 0; i < 6; ++i)
        out << '|' << span(buf, c, static_cast<std::uint16_t>(1u << i), *spans[i]);
    for (const auto& [bit, t] : {std::pair{S::Value, &c.value}, {S::FormulaText, &c.formula_text},
                                 {S::Inline, &c.inline_text}})
        if (c.has(bit)) out << '|' << t->raw.start << '-' << t->raw.end << t->decode << t->entities;
    if (c.has(S::RefParsed)) out << '|' << c.ref.row << ',' << c.ref.column;
    if (c.has(S::StyleParsed)) out << '|' << c.style;
    if (c.has(S::Number))
        out << '|' << static_cast<int>(c.number.kind) << ',' << c.number.integer << ','
            << c.number.real;
    return out.str();
}

// Cells of the same place in later rows are read from what was read of the earlier ones when
// their bytes are the same but for the row's digits. Rows of cells that keep their shape from
// row to row, or change it by one byte anywhere (the row's digits included), must read as a
// reader that remembers nothing reads them.
TEST(CellSpans, RepeatedShapesReadAsNew) {
    // '#' stands for the row's digits.
    const std::vector<std::string> shapes = {
        "<c r=\"A#\"><v>1</v></c>",
        "<c r=\"B#\" s=\"1\"><v>2.5</v></c>",
        "<c r=\"C#\" t=\"s\"><v>7</v></c>",
        "<c r=\"D#\" t=\"inlineStr\"><is><t>in &amp; out</t></is></c>",
        "<c r=\"E#\" s=\"2\" t=\"b\"/>",
        "<c r=\"AB#\"><f t=\"shared\" si=\"0\"/><v>4</v></c>",
        "<c r=\"ZZ#\" t=\"str\"><f>\"x\"&amp;A1</f><v>x#</v></c>",
        "<c r=\"F#\" s=\"3\" t=\"inlineStr\">\n <is>\n <t xml:space=\"preserve\"> x </t></is></c>",
        "<c r=\"XFD#\" s=\"4\"><v>5</v></c>",
        "<c r=\"G#\" t=\"e\"></c>",
        "<c r=\"H#\" s=\"123\" t=\"str\" foo=\"bar\"><f ref=\"H1:H9\" aca=\"1\">1</f><v>x</v></c>",
        "<c r=\"I#\"><v/><f>2</f></c>",
        "<c r=\"J#\"><f t=\"dataTable\" ref=\"J1\"/><v>1</v></c>",
        "<c r=\"K#\"><v>1</v><v>2</v></c>",
        "<c r=\"L#\"><v/><f>1</f><v>2</v></c>",
    };
    const std::string alphabet = "<>/\"= \nacfirstv019A#&;:";
    std::mt19937 rnd(7);
    auto pick = [&rnd](std::size_t n) { return static_cast<std::size_t>(rnd() % n); };
    std::vector<std::string> row_shapes = shapes;
    CellSpans memo;  // read row after row
    std::size_t taken = 0;
    for (std::int64_t row = 1; row <= 4000; ++row) {
        // Now and then a shape changes by one byte, or another shape takes the place.
        for (std::string& shape : row_shapes) {
            const std::size_t at = pick(shape.size() + 1);
            switch (pick(24)) {
                case 0:
                    shape = shape.substr(0, at) + alphabet[pick(alphabet.size())] + shape.substr(at);
                    break;
                case 1:
                    if (at < shape.size()) shape = shape.substr(0, at) + shape.substr(at + 1);
                    break;
                case 2: if (at < shape.size()) shape[at] = alphabet[pick(alphabet.size())]; break;
                case 3: shape = shapes[pick(shapes.size())]; break;
                default: break;
            }
        }
        const std::int64_t n = row < 3000 ? row : row * 2503;  // long rows too (to 8 digits)
        std::string doc;
        std::vector<std::size_t> starts;
        for (const std::string& shape : row_shapes) {
            starts.push_back(doc.size());
            for (char ch : shape) doc += ch == '#' ? std::to_string(n) : std::string(1, ch);
        }
        // Now and then the window ends inside the row's last cell.
        if (pick(4) == 0) doc.resize(starts.back() + 1 + pick(doc.size() - starts.back()));
        ByteBuffer buf(doc.size() + 1);
        buf.append(doc.data(), doc.size());
        if (row % 2) {
            memo.expect_row(n);
        } else {  // as the row tag's r value gives it
            const std::string r = std::to_string(n) + "\"";
            ByteBuffer digits(r.size() + 1);
            digits.append(r.data(), r.size());
            memo.expect_row(n, digits.data(), r.size() - 1);
        }
        for (std::size_t start : starts) {
            CellSpans fresh;
            fresh.expect_row(n);
            const bool got = fast_cell(buf.data(), buf.size(), start, memo);
            ASSERT_EQ(got, fast_cell(buf.data(), buf.size(), start, fresh)) << doc;
            if (!got) continue;
            ++taken;
            ASSERT_EQ(outcome(doc, memo), outcome(doc, fresh)) << doc.substr(start);
        }
    }
    EXPECT_GT(taken, 10000u);  // most cells are of a shape it takes
}

}  // namespace
}  // namespace tovrel
