// The dimension finder over in-memory sources.
#include <gtest/gtest.h>

#include <string>

#include "sheet/dimension.h"
#include "utils/error.h"
#include "xml/names.h"
#include "xml_trace.h"

namespace tovrel {
namespace {

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
