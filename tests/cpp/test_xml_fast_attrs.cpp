// The variants of the attribute scanner against the general parse.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "sheet/fast_cell.h"
#include "xml/byte_buffer.h"
#include "utils/error.h"
#include "xml/fast_attrs.h"
#include "xml_trace.h"

namespace tovrel {
namespace {

// A random start tag of <c> or <f>, mostly of the shape spreadsheet programs write. `tight` tells
// whether fast_attrs must take it: space-separated name="value" pairs, names of ASCII letters,
// distinct, at most eight, none xmlns, values free of control bytes, '&', '<' and bytes of 0x80
// and above; the tag ending in '>' or "/>".
struct RandomTag {
    std::string text;  // after the element name
    bool tight = true;
    bool formula_names = true;  // every name is one the formula selector takes
    bool open = false;          // ends with '>', not "/>"
};

// An entry of `pool`, whose first `tight` entries keep the tight shape; the others come up in an
// eighth of the picks and clear `still_tight`.
template <std::size_t N>
std::string pick(std::mt19937_64& rng, const char* const (&pool)[N], std::size_t tight,
                 bool& still_tight) {
    const std::size_t i = rng() % 8 ? rng() % tight : rng() % N;
    if (i >= tight) still_tight = false;
    return pool[i];
}

RandomTag random_tag(std::mt19937_64& rng) {
    static const char* const kSeps[] = {" ", "  ", "", "\t", "\n", " \r\n"};
    static const char* const kNames[] = {"r",   "s",  "t",   "ref",       "si",       "cm",
                                         "ca",  "xmlns", "r1", "x-y",     "_a",       "p:r",
                                         "a:",  "1a", "xml:space", "\xC3\xA9"};
    static const char* const kEquals[] = {"=", " =", "= ", " = "};
    static const char* const kQuotes[] = {"\"", "'"};
    static const char* const kValueBits[] = {"A1", "3",  "shared", " ",     ">",     "'",
                                             "]]>", "",  "&amp;",  "&#10;", "\t",    "\n",
                                             "\r",  "<", "\x01",   "&",     "&bad;", "\xC3\xA9"};
    static const char* const kEnds[] = {">", "/>", " >", " />", "", "/", "/ >", "x>", "\t>"};
    RandomTag tag;
    std::vector<std::string> seen;
    const std::size_t count = rng() % 11;
    for (std::size_t i = 0; i < count; ++i) {
        tag.text += pick(rng, kSeps, 2, tag.tight);
        std::string name = pick(rng, kNames, 8, tag.tight);
        if (name == "xmlns" || std::find(seen.begin(), seen.end(), name) != seen.end())
            tag.tight = false;
        if (name != "t" && name != "ref" && name != "si") tag.formula_names = false;
        seen.push_back(name);
        tag.text += name + pick(rng, kEquals, 1, tag.tight);
        const std::string quote = pick(rng, kQuotes, 1, tag.tight);
        tag.text += quote;
        for (std::size_t k = rng() % 4; k; --k) tag.text += pick(rng, kValueBits, 8, tag.tight);
        if (i + 1 < count || rng() % 16)
            tag.text += quote;
        else
            tag.tight = false;  // the last value unterminated
    }
    if (count > 8) tag.tight = false;
    const std::string end = pick(rng, kEnds, 4, tag.tight);
    tag.text += end;
    tag.open = !end.ends_with("/>");
    return tag;
}

// The selectors' slots as text: "r|s|t" ("-" for an empty slot).
std::string slot_texts(const std::uint8_t* buf, const AttrSlots& slots) {
    std::string out;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (i) out += "|";
        out += slots[i] ? std::string(reinterpret_cast<const char*>(buf) + slots[i]->start,
                                      slots[i]->end - slots[i]->start)
                        : "-";
    }
    return out;
}

// The same slots filled from the general reader's attribute records.
std::string reader_slot_texts(const Reader& r, const char* const (&names)[3]) {
    std::string out;
    for (std::size_t i = 0; i < 3; ++i) {
        if (i) out += "|";
        const Attr* a = r.find_attr(kNoNamespace, names[i]);
        out += a ? std::string(r.attr_raw(*a)) : "-";
    }
    return out;
}

// Every reader of start tags agrees with the general parse: fast_attrs (with either selector)
// takes exactly the tight tags and then reads what the general parse reads; the reader's one-pass
// parse of plain tags (whole document in the buffer) and its general parse (one byte at a time)
// yield the same events and errors.
TEST(AttrScan, VariantsAgreeWithTheGeneralParse) {
    std::mt19937_64 rng(0x617474727363616e);
    const std::string root = "<root xmlns:p='u'>";
    int taken = 0;
    for (int n = 0; n < 20000; ++n) {
        const bool formula = n % 2;
        const std::string elem = formula ? "f" : "c";
        const RandomTag tag = random_tag(rng);
        const std::string doc =
            root + "<" + elem + tag.text + (tag.open ? "</" + elem + ">" : "") + "</root>";

        const testing::Trace whole = testing::run(doc, 65536), bytewise = testing::run(doc, 1);
        EXPECT_EQ(whole.events, bytewise.events) << doc;
        EXPECT_EQ(whole.error, bytewise.error) << doc;

        const auto* buf = reinterpret_cast<const std::uint8_t*>(doc.data());
        AttrSlots slots{};
        const TagScan scan = fast_attrs(buf, doc.size(), root.size() + 2, slots,
                                        formula ? select_formula : select_cell);
        const bool accepted = scan.status != TagStatus::Refused;
        EXPECT_EQ(accepted, tag.tight && (!formula || tag.formula_names)) << doc;

        // The cell reader's own scan of <c> and <f> takes the same tags (and <f> tags with
        // names it ignores) and the same values.
        const std::string cell_doc =
            formula ? "<c><f" + tag.text + (tag.open ? "</f>" : "") + "</c>"
                    : "<c" + tag.text + (tag.open ? "</c>" : "");
        CellSpans spans;
        ByteBuffer cell_buf(cell_doc.size() + 1);  // padded, as the reader's window is
        cell_buf.append(cell_doc.data(), cell_doc.size());
        const bool cell_taken = fast_cell(cell_buf.data(), cell_buf.size(), 0, spans);
        EXPECT_EQ(cell_taken, formula ? tag.tight : accepted) << cell_doc;
        if (cell_taken && accepted) {
            AttrSlots from_cell{};
            const Span* taken_spans = formula ? spans.formula : spans.cell;
            const unsigned first_bit = formula ? 3 : 0;
            for (std::size_t i = 0; i < 3; ++i) {
                if (spans.has(static_cast<std::uint16_t>(1u << (first_bit + i))))
                    from_cell[i] = taken_spans[i];
            }
            const auto* cbuf = reinterpret_cast<const std::uint8_t*>(cell_doc.data());
            EXPECT_EQ(slot_texts(cbuf, from_cell), slot_texts(buf, slots)) << cell_doc;
        }
        if (!accepted) continue;
        ++taken;
        Reader r = testing::memory_reader(doc, 65536);
        r.next();
        const XmlEvent ev = r.next();  // the tag (a tight tag is well-formed)
        EXPECT_EQ(ev == XmlEvent::Empty, scan.status == TagStatus::SelfClosed) << doc;
        EXPECT_EQ(scan.end, r.tag_end()) << doc;
        static const char* const kCell[3] = {"r", "s", "t"};
        static const char* const kFormula[3] = {"t", "ref", "si"};
        EXPECT_EQ(slot_texts(buf, slots), reader_slot_texts(r, formula ? kFormula : kCell)) << doc;
    }
    EXPECT_GT(taken, 2000);
}

}  // namespace
}  // namespace tovrel
