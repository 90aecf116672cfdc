// The attribute fast path for <c> and <f> tags, and the dimension finder over in-memory sources.
#include <gtest/gtest.h>

#include <string>

#include "sheet/dimension.h"
#include "utils/error.h"
#include "xml/fast_attrs.h"
#include "xml_trace.h"

namespace tovrel {
namespace {

struct FastCase {
    const char* tag;      // the bytes after the element name
    AttrSelector selector;
    int status;
    const char* slots;    // "r|s|t" as the filled slot values, "-" for an empty slot
};

std::string render_slots(const std::string& buf, const AttrSlots& slots) {
    std::string out;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (i) out += "|";
        out += slots[i] ? buf.substr(slots[i]->start, slots[i]->end - slots[i]->start) : "-";
    }
    return out;
}

const FastCase kFastCases[] = {
    {" r=\"A1\" s=\"3\">", select_cell, 0, "A1|3|-"},
    {" r=\"A1\"  t=\"s\"/>", select_cell, 1, "A1|-|s"},
    {">", select_cell, 0, "-|-|-"},
    {"/>", select_cell, 1, "-|-|-"},
    {" r=\"B2\" cm=\"1\" t=\"str\">", select_cell, 0, "B2|-|str"},
    {" r=\"\">", select_cell, 0, "|-|-"},
    {" r='A1'>", select_cell, 2, ""},
    {" r = \"A1\">", select_cell, 2, ""},
    {"\tr=\"A1\">", select_cell, 2, ""},
    {" r=\"A1\"s=\"1\">", select_cell, 2, ""},
    {"x r=\"A1\">", select_cell, 2, ""},
    {" r=\"A1\" r=\"A2\">", select_cell, 2, ""},
    {" x:r=\"A1\">", select_cell, 2, ""},
    {" r1=\"A1\">", select_cell, 2, ""},
    {" xmlns=\"u\">", select_cell, 2, ""},
    {" r=\"a&amp;\">", select_cell, 2, ""},
    {" r=\"a<\">", select_cell, 2, ""},
    {" r=\"a\tb\">", select_cell, 2, ""},
    {" r=\"\xC3\xA9\">", select_cell, 2, ""},
    {" r=\"A1\" /x", select_cell, 2, ""},
    {" r=\"A1", select_cell, 2, ""},
    {" r=\"A1\"", select_cell, 2, ""},
    {" r=\"A1\" ", select_cell, 2, ""},
    {" a=\"1\" b=\"1\" c=\"1\" d=\"1\" e=\"1\" f=\"1\" g=\"1\" h=\"1\">", select_cell, 0, "-|-|-"},
    {" a=\"1\" b=\"1\" c=\"1\" d=\"1\" e=\"1\" f=\"1\" g=\"1\" h=\"1\" i=\"1\">", select_cell, 2, ""},
    {" t=\"shared\" ref=\"A1:A3\" si=\"0\">", select_formula, 0, "shared|A1:A3|0"},
    {" t=\"array\" ref=\"B1\"/>", select_formula, 1, "array|B1|-"},
    {" ca=\"1\">", select_formula, 2, ""},
    {" t=\"shared\" si=\"2\" aca=\"0\">", select_formula, 2, ""},
};

TEST(FastAttrs, StatusesSlotsAndEnds) {
    for (const FastCase& c : kFastCases) {
        const std::string buf = std::string("<c") + c.tag;
        AttrSlots slots{};
        TagScan res = fast_attrs(reinterpret_cast<const std::uint8_t*>(buf.data()), buf.size(),
                                    2, slots, c.selector);
        EXPECT_EQ(static_cast<int>(res.status), c.status) << buf;
        if (res.status != TagStatus::Refused) {
            EXPECT_EQ(res.end, buf.size()) << buf;
            EXPECT_EQ(render_slots(buf, slots), c.slots) << buf;
        }
    }
}

TEST(FastAttrs, StopsAtTheTagEnd) {
    const std::string buf = "<c r=\"A1\"><v>1</v></c>";
    AttrSlots slots{};
    TagScan res = fast_attrs(reinterpret_cast<const std::uint8_t*>(buf.data()), buf.size(), 2,
                                slots, select_cell);
    ASSERT_EQ(res.status, TagStatus::Open);
    EXPECT_EQ(buf.substr(res.end), "<v>1</v></c>");
}

const std::string kMain = std::string(kMainUri);

struct DimensionCase {
    std::string doc;
    const char* result;  // the snippet, "None", or the error
};

std::string find(const std::string& doc, std::size_t chunk) {
    Reader r = testing::memory_reader(doc, chunk);
    try {
        auto snippet = find_dimension(r);
        return snippet ? *snippet : "None";
    } catch (const XmlError& e) {
        return std::string(e.kind() == XmlError::Kind::Malformed ? "M:" : "U:") + e.what();
    }
}

TEST(FindDimension, Cases) {
    const std::string ws = "<worksheet xmlns=\"" + kMain + "\">";
    const DimensionCase cases[] = {
        {ws + "<dimension ref='A1:C3'/><sheetData/></worksheet>", "<dimension ref='A1:C3'/>"},
        {ws + "<dimension ref=\"A1\"></dimension></worksheet>", "<dimension ref=\"A1\"></dimension>"},
        {ws + "<dimension ref=\"A1\"><x:ext xmlns:x='o'>t</x:ext></dimension></worksheet>",
         "<dimension ref=\"A1\"><x:ext xmlns:x='o'>t</x:ext></dimension>"},
        {"<x:worksheet xmlns:x=\"" + kMain + "\"><x:dimension ref=\"B2\" /></x:worksheet>",
         "<x:dimension ref=\"B2\" />"},
        {ws + "<sheetData><row/><dimension ref='A1'/></sheetData></worksheet>", "<dimension ref='A1'/>"},
        {ws + "<sheetData/><dimension ref='A1'/></worksheet>", "None"},
        {ws + "<sheetData></sheetData><dimension ref='A1'/></worksheet>", "None"},
        {ws + "<o:dimension xmlns:o='other' ref='A1'/></worksheet>", "None"},
        {"<worksheet><dimension ref='A1'/></worksheet>", "None"},
        {ws + "</worksheet>", "None"},
        {ws + "<dimension><sheetData/></dimension></worksheet>",
         "U:nested element handled by dispatcher"},
        {ws + "<dimension><dimension/></dimension></worksheet>",
         "U:nested element handled by dispatcher"},
        {ws + "<dimension ref='A1'>", "M:unclosed element"},
        {ws + "<bad<dimension ref='A1'/></worksheet>", "M:missing whitespace between attributes"},
        {ws + "<sheetData/><dimension ref='A1'/></worksheet><junk/>", "None"},
    };
    for (const DimensionCase& c : cases)
        for (std::size_t chunk : {1u, 65536u})
            EXPECT_EQ(find(c.doc, chunk), c.result) << c.doc << " chunk " << chunk;
}

TEST(FindDimension, NamespacesAreTheAncestorsAfterTheElement) {
    Reader r = testing::memory_reader(
        "<worksheet xmlns=\"" + kMain + "\" xmlns:r='rel'><dimension xmlns:d='own' ref='A1'/>" +
            "<sheetData/></worksheet>",
        65536);
    ASSERT_TRUE(find_dimension(r).has_value());
    auto scope = r.namespaces().in_scope();
    ASSERT_EQ(scope.size(), 2u);
    EXPECT_EQ(scope[0].first, "");
    EXPECT_EQ(r.namespaces().uri(scope[0].second), kMain);
    EXPECT_EQ(scope[1].first, "r");
}

}  // namespace
}  // namespace tovrel
