// Element text and string items over in-memory documents, delivered whole and one byte at a time.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "text/element_text.h"
#include "text/name_set.h"
#include "utils/error.h"
#include "xml/names.h"

namespace tovrel {
namespace {

const std::string kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

bool forbid_nothing(std::uint32_t, std::string_view) { return false; }
bool forbid_b(std::uint32_t, std::string_view local) { return local == "b"; }

class ElementText : public ::testing::TestWithParam<std::size_t> {
protected:
    // A reader positioned on the Start/Empty of the first element named `name` in the document.
    std::unique_ptr<Reader> at(const std::string& doc, std::string_view name) {
        auto r = std::make_unique<Reader>(std::make_unique<MemorySource>(doc, GetParam()));
        for (;;) {
            XmlEvent ev = r->next();
            if ((ev == XmlEvent::Start || ev == XmlEvent::Empty) && r->local_name() == name)
                return r;
            if (ev == XmlEvent::Eof) ADD_FAILURE() << "no element " << name;
        }
    }

    // The item's result: "P:" + text or "M:" + bytes; or "E:" + the error message.
    std::string item(const std::string& body, std::vector<std::string>* asked = nullptr,
                     bool accept = true) {
        std::string doc = "<sst xmlns=\"" + kMain + "\">" + body + "</sst>";
        auto r = at(doc, "si");
        TextCtx ctx;
        ctx.text_dangerous.insert("danger");
        ctx.rich_dangerous.insert("rPh");
        std::string out;
        try {
            auto check = [&](std::string_view rpr) {
                if (asked) asked->emplace_back(rpr);
                return accept;
            };
            TextKind kind = parse_text(*r, ctx, forbid_si, check, out);
            // Reading on must see the item's End consumed and the root close next.
            EXPECT_EQ(r->depth(), 1u);
            return (kind == TextKind::Plain ? "P:" : "M:") + out;
        } catch (const XmlError& e) {
            return std::string("E:") + e.what();
        }
    }
};

TEST_P(ElementText, StringItems) {
    struct Case {
        const char* body;
        const char* expected;
    } cases[] = {
        {"<si><t>abc</t></si>", "P:abc"},
        {"<si><t/></si>", "P:"},
        {"<si/>", "P:"},
        {"<si><r><t>a</t></r><r><t>b</t></r></si>", "P:ab"},
        {"<si><r><t>r</t></r><t>d</t></si>", "P:dr"},
        {"<si><t>a<b/>c</t></si>", "P:a"},
        {"<si><t>a&amp;&lt;&#x1F600;</t></si>", "P:a&<\xF0\x9F\x98\x80"},
        {"<si><t>a\r\nb</t></si>", "P:a\nb"},
        {"<si><t><![CDATA[x\r\ny]]></t></si>", "P:x\ny"},
        {"<si><other><t>no</t></other><t>yes</t></si>", "P:yes"},
        {"<si><danger/><t>a</t></si>", "M:<si><danger/><t>a</t></si>"},
        {"<si><t>a</t><rPh sb=\"0\"><t>x</t></rPh></si>", "M:<si><t>a</t><rPh sb=\"0\"><t>x</t></rPh></si>"},
        {"<si><phoneticPr/></si>", "M:<si><phoneticPr/></si>"},
        {"<si a=\"1\"/>", "M:<si a=\"1\"/>"},
        {"<si><r x=\"1\"><t>a</t></r></si>", "M:<si><r x=\"1\"><t>a</t></r></si>"},
        {"<si><r><rPh/><t>a</t></r></si>", "M:<si><r><rPh/><t>a</t></r></si>"},
        {"<si><si/></si>", "E:nested element handled by dispatcher"},
        {"<si><r><t><si/></t></r></si>", "E:nested element handled by dispatcher"},
    };
    for (const Case& c : cases) EXPECT_EQ(item(c.body), c.expected) << c.body;
}

TEST_P(ElementText, RunPropertiesAreCheckedWithTheirRawBytes) {
    std::vector<std::string> asked;
    EXPECT_EQ(item("<si><r><rPr><b/><sz val=\"1\"/></rPr><t>a</t></r></si>", &asked), "P:a");
    EXPECT_EQ(asked, std::vector<std::string>{"<rPr><b/><sz val=\"1\"/></rPr>"});

    asked.clear();
    EXPECT_EQ(item("<si><r><rPr><b/></rPr><t>a</t></r><r><rPr><i/></rPr><t>b</t></r></si>",
                   &asked, false),
              "M:<si><r><rPr><b/></rPr><t>a</t></r><r><rPr><i/></rPr><t>b</t></r></si>");
    EXPECT_EQ(asked.size(), 1u) << "a rejected item asks no further";
}

TEST_P(ElementText, RunPropertiesCacheSpansItems) {
    std::string doc = "<sst xmlns=\"" + kMain + "\">";
    for (int i = 0; i < 3; ++i) doc += "<si><r><rPr><b/></rPr><t>x</t></r></si>";
    doc += "</sst>";
    Reader r(std::make_unique<MemorySource>(doc, GetParam()));
    TextCtx ctx;
    int asked = 0;
    auto check = [&](std::string_view) { return ++asked, true; };
    std::string out;
    int items = 0;
    for (XmlEvent ev; (ev = r.next()) != XmlEvent::Eof;) {
        if (ev == XmlEvent::Start && r.local_name() == "si") {
            EXPECT_EQ(parse_text(r, ctx, forbid_si, check, out), TextKind::Plain);
            EXPECT_EQ(out, "x");
            ++items;
        }
    }
    EXPECT_EQ(items, 3);
    EXPECT_EQ(asked, 1);
}

TEST_P(ElementText, SimpleElementText) {
    auto r = at("<c><v>12<b/>34</v></c>", "v");
    EXPECT_THROW(element_text_checked(*r, forbid_b), Unsupported);

    r = at("<c><v>12<x/>34</v><w/></c>", "v");
    EXPECT_EQ(element_text_checked(*r, forbid_nothing), std::optional<std::string>("12"));
    EXPECT_EQ(r->next(), XmlEvent::Empty);
    EXPECT_EQ(r->local_name(), "w");

    r = at("<c><v/></c>", "v");
    EXPECT_EQ(element_text_checked(*r, forbid_nothing), std::nullopt);
    r = at("<c><v></v></c>", "v");
    EXPECT_EQ(element_text_checked(*r, forbid_nothing), std::nullopt);
    r = at("<c><v><![CDATA[]]></v></c>", "v");
    EXPECT_EQ(element_text_checked(*r, forbid_nothing), std::optional<std::string>(""));

    r = at("<c><v>a&amp;b</v></c>", "v");
    std::string out = "x";
    element_text_into(*r, out, forbid_nothing);
    EXPECT_EQ(out, "xa&b");

    r = at("<c><v>1<q><b/></q></v></c>", "v");
    EXPECT_THROW(skip_checked(*r, forbid_b), Unsupported);
}

INSTANTIATE_TEST_SUITE_P(Chunks, ElementText, ::testing::Values(1, 7, 65536));

TEST(RemoveX005F, Table) {
    struct Case {
        const char* in;
        const char* out;
        bool found;
    } cases[] = {
        {"", "", false},         {"x005F", "x005F", false},   {"x005F_", "", true},
        {"ax005F_b", "ab", true}, {"x005F_x005F_", "", true},  {"xx005F_005F_", "x005F_", true},
        {"b_x005F_c", "b_c", true}, {"_x005F_x005F_x", "_x", true},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(remove_x005f(s), c.found) << c.in;
        EXPECT_EQ(s, c.out) << c.in;
    }
}

}  // namespace
}  // namespace tovrel

namespace tovrel {
namespace {

// Names inserted with repeats, across the growth from a handful to thousands, against std::set.
TEST(NameSet, MatchesStdSet) {
    NameSet set;
    std::set<std::string> model;
    for (int i = 0; i < 3000; ++i) {
        std::string name = "n" + std::to_string(i * 7 % 1000);
        set.insert(name);
        model.insert(name);
        ASSERT_EQ(set.size(), model.size());
        for (int probe : {i % 1000, (i * 13) % 1100})
            ASSERT_EQ(set.contains("n" + std::to_string(probe)),
                      model.count("n" + std::to_string(probe)) == 1) << i;
        ASSERT_FALSE(set.contains("n"));
    }
}

}  // namespace
}  // namespace tovrel
