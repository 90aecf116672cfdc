// The attribute fast path for <c> and <f> tags.
#include <gtest/gtest.h>

#include <string>

#include "xml/fast_attrs.h"

namespace tovrel {
namespace {

struct FastCase {
    const char* tag;      // the bytes after the element name
    FastSelector selector;
    int status;
    const char* slots;    // "r|s|t" as the filled slot values, "-" for an empty slot
};

std::string render_slots(const std::string& buf, const FastSlots& slots) {
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
        FastSlots slots{};
        FastResult res = fast_attrs(reinterpret_cast<const std::uint8_t*>(buf.data()), buf.size(),
                                    2, slots, c.selector);
        EXPECT_EQ(static_cast<int>(res.status), c.status) << buf;
        if (res.status != FastStatus::Refused) {
            EXPECT_EQ(res.end, buf.size()) << buf;
            EXPECT_EQ(render_slots(buf, slots), c.slots) << buf;
        }
    }
}

TEST(FastAttrs, StopsAtTheTagEnd) {
    const std::string buf = "<c r=\"A1\"><v>1</v></c>";
    FastSlots slots{};
    FastResult res = fast_attrs(reinterpret_cast<const std::uint8_t*>(buf.data()), buf.size(), 2,
                                slots, select_cell);
    ASSERT_EQ(res.status, FastStatus::Open);
    EXPECT_EQ(buf.substr(res.end), "<v>1</v></c>");
}

}  // namespace
}  // namespace tovrel
