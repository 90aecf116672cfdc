// The shared-strings fast path against the reader: whatever item text the reader accepts, the
// scan accepts with the same decoded characters, sized and written at the right width; whatever
// the reader rejects, the scan leaves to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "text/item_scan.h"
#include "utils/error.h"
#include "utils/utf8.h"
#include "xml/reader.h"

namespace tovrel {
namespace {

// The item twice at the start of a buffer with the end of the document after it, both taken in
// one call and each written into room of exactly its size at the width its maxchar asks for,
// with the same text. nullopt: refused.
struct Filled {
    ItemScan scan;  // of the first
    std::u32string text;
};

std::optional<Filled> take(const std::string& item, ScanWidth width = ScanWidth::Block16) {
    ByteBuffer buf(16);
    const std::string doc = item + item + "</sst>";
    buf.append(doc.data(), doc.size());
    // The room of each item, and a guard after it that nothing may overwrite.
    constexpr std::size_t kGuard = 64;
    std::vector<ItemScan> scans;
    std::vector<std::vector<std::uint8_t>> rooms;
    auto sink = [&](const ItemScan& scan) -> void* {
        scans.push_back(scan);
        const std::size_t unit = scan.maxchar <= 0xFF ? 1 : scan.maxchar <= 0xFFFF ? 2 : 4;
        return rooms.emplace_back(scan.chars * unit + kGuard, 0x5A).data();
    };
    auto verdict = [](std::string_view rpr) { return rpr == "<rPr><b/></rPr>"; };
    const TakenItems taken = take_si_items(buf.data(), buf.size(), 0, verdict, sink, width);
    if (taken.end == 0) return std::nullopt;
    EXPECT_EQ(scans.size(), 2u) << item;
    EXPECT_EQ(taken.last_start, item.size()) << item;
    EXPECT_EQ(taken.end, 2 * item.size()) << item;
    std::u32string texts[2];
    for (std::size_t k = 0; k < scans.size() && k < 2; ++k) {
        const ItemScan& s = scans[k];
        if (s.markup) continue;  // nothing written
        const std::size_t unit = s.maxchar <= 0xFF ? 1 : s.maxchar <= 0xFFFF ? 2 : 4;
        for (std::size_t i = 0; i < s.chars; ++i) {
            std::uint32_t u = 0;
            std::memcpy(&u, rooms[k].data() + i * unit, unit);
            texts[k] += static_cast<char32_t>(u);
        }
        EXPECT_EQ(std::count(rooms[k].end() - kGuard, rooms[k].end(), 0x5A), kGuard)
            << "written past the room: " << item;
    }
    EXPECT_EQ(texts[0], texts[1]) << item;
    return Filled{scans[0], texts[0]};
}

std::u32string code_points(std::string_view utf8) {
    std::u32string out;
    for (std::size_t i = 0, len = 0; i < utf8.size(); i += len)
        out += static_cast<char32_t>(decode_utf8(utf8, i, len));
    return out;
}

// The block widths this processor runs.
std::vector<ScanWidth> widths() {
    std::vector<ScanWidth> all = {ScanWidth::Block16};
    if (best_scan_width() >= ScanWidth::Block32) all.push_back(ScanWidth::Block32);
    if (best_scan_width() >= ScanWidth::Block64) all.push_back(ScanWidth::Block64);
    return all;
}

// The text of the document's <t> as the reader decodes it, or the reader's error.
struct General {
    std::string text;
    bool error = false;
};

General general(const std::string& item) {
    General g;
    try {
        Reader r(std::make_unique<MemorySource>("<sst>" + item + "</sst>"));
        std::string scratch;
        for (XmlEvent ev; (ev = r.next()) != XmlEvent::Eof;)
            if (ev == XmlEvent::Text) g.text += r.text(scratch);
    } catch (const XmlError&) {
        g.error = true;
    }
    return g;
}

TEST(ItemScan, TakesThePlainShapeOnly) {
    struct Case {
        const char* item;
        const char32_t* text;  // nullptr: refused
    } cases[] = {
        {"<si><t>abc</t></si>", U"abc"},
        {"<si><t xml:space=\"preserve\"> a </t></si>", U" a "},
        {"<si><t>a&amp;b&#x41;&quot;&apos;&lt;&gt;</t></si>", U"a&bA\"'<>"},
        {"<si><t>a\r\nb\rc</t></si>", U"a\nb\nc"},
        {"<si><t></t></si>", U""},
        {"<si><t/></si>", nullptr},
        {"<si x=\"1\"><t>a</t></si>", nullptr},
        {"<si><t x=\"1\">a</t></si>", nullptr},
        {"<si> <t>a</t></si>", nullptr},
        {"<si><t>a</t> </si>", nullptr},
        {"<si><r><t>a</t></r></si>", U"a"},
        {"<si><r><rPr><b/></rPr><t>a</t></r><r><t xml:space=\"preserve\"> b</t></r></si>", U"a b"},
        {"<si><r><rPr><i/></rPr><t>a</t></r></si>", nullptr},
        {"<si><r><rPr><b/></rPr></r></si>", nullptr},
        {"<si><r><t>a</t><t>b</t></r></si>", nullptr},
        {"<si><r><t>a</t></r><t>b</t></si>", nullptr},
        {"<si><r><t>a</t></r> </si>", nullptr},
        {"<si></si>", nullptr},
        {"<si><t>a</t></sx>", nullptr},
        {"<sj><t>a</t></sj>", nullptr},
        {"<si><t>abc", nullptr},
        {"<si><t>abc</t></si", nullptr},
    };
    for (const ScanWidth width : widths()) {
        for (const Case& c : cases) {
            auto taken = take(c.item, width);
            if (!c.text) {
                EXPECT_FALSE(taken) << c.item;
                continue;
            }
            ASSERT_TRUE(taken) << c.item;
            EXPECT_EQ(taken->text, c.text) << c.item;
            EXPECT_EQ(taken->scan.item_end, std::string(c.item).size()) << c.item;
        }
    }
}

// Items with phonetic runs after their text, in the forms Excel writes, are taken whole as
// markup, the reader accepting each; other forms are left to the reader.
TEST(ItemScan, TakesPhoneticItemsAsMarkup) {
    const char* const taken[] = {
        "<si><t>\xE6\xBC\xA2</t><rPh sb=\"0\" eb=\"1\"><t>\xE3\x81\x8B</t></rPh>"
        "<phoneticPr fontId=\"1\"/></si>",
        "<si><t>a</t><rPh><t></t></rPh></si>",
        "<si><t xml:space=\"preserve\">a</t><phoneticPr fontId=\"12\" type=\"noConversion\"/></si>",
        "<si><t>a</t><rPh sb=\"0\" eb=\"1\"><t xml:space=\"preserve\"> &amp;</t></rPh>"
        "<rPh sb=\"1\" eb=\"2\"><t>y</t></rPh></si>",
    };
    const char* const refused[] = {
        "<si><t>a</t><rPh sb=\"\" eb=\"1\"><t>x</t></rPh></si>",
        "<si><t>a</t><rPh sb='0' eb='1'><t>x</t></rPh></si>",
        "<si><t>a</t><rPh eb=\"1\" sb=\"0\"><t>x</t></rPh></si>",
        "<si><t>a</t><rPh><t>x&bogus;</t></rPh></si>",
        "<si><t>a</t><rPh><t>x</t></rPh> </si>",
        "<si><t>a</t><rPh><t>x</t><t>y</t></rPh></si>",
        "<si><t>a</t><rPh/></si>",
        "<si><t>a</t><phoneticPr fontId=\"1\" type=\"\"/></si>",
        "<si><t>a</t><phoneticPr fontId=\"1\"></phoneticPr></si>",
        "<si><t>a</t><phoneticPr/></si>",
        "<si><r><t>a</t></r><rPh><t>x</t></rPh></si>",
        "<si><t>a</t><rPh><t>x</t></rPh></si",
    };
    for (const ScanWidth width : widths()) {
        for (const char* item : taken) {
            EXPECT_FALSE(general(item).error) << item;
            const auto got = take(item, width);
            ASSERT_TRUE(got) << item;
            EXPECT_TRUE(got->scan.markup) << item;
            EXPECT_EQ(got->scan.item_end, std::string(item).size()) << item;
        }
        for (const char* item : refused) EXPECT_FALSE(take(item, width)) << item;
    }
}

// Scans and fills `item`, which holds `text`, at every block width: taken exactly when the
// reader accepts it and holds the plain shape, with the reader's text, its length and its widest
// character's class; or, for an item with phonetic runs, taken whole as markup.
void check_against_reader(const std::string& item, const std::string& text, int& taken_count,
                          int& rejected, bool phonetic = false) {
    const General g = general(item);
    for (const ScanWidth width : widths()) {
        const auto taken = take(item, width);
        if (g.error) {
            EXPECT_FALSE(taken) << "taken although the reader rejects: " << item;
            ++rejected;
            continue;
        }
        if (text.find('<') != std::string::npos) continue;  // not the plain shape
        ASSERT_TRUE(taken) << item;
        ++taken_count;
        EXPECT_EQ(taken->scan.markup, phonetic) << item;
        if (phonetic) {
            EXPECT_EQ(taken->scan.item_start, 0u) << item;
            EXPECT_EQ(taken->scan.item_end, item.size()) << item;
            continue;
        }
        const std::u32string expected = code_points(g.text);
        EXPECT_EQ(taken->text, expected) << item;
        EXPECT_EQ(taken->scan.chars, expected.size()) << item;
        const char32_t widest =
            expected.empty() ? 0 : *std::max_element(expected.begin(), expected.end());
        const std::uint32_t cls = widest < 0x80     ? 0x7F
                                  : widest <= 0xFF   ? 0xFF
                                  : widest <= 0xFFFF ? 0xFFFF
                                                     : 0x10FFFF;
        EXPECT_EQ(taken->scan.maxchar, cls) << item;
        if (g.text.find("x005F_") != std::string::npos) {
            EXPECT_TRUE(taken->scan.rewrite) << item;
        }
    }
}

// Random texts from pieces that hit every branch: ASCII and multi-byte runs longer and shorter
// than a block of either width (so characters straddle block ends), characters of each width,
// references of each kind, line ends, "x005F_" and its parts, and pieces the reader rejects.
// Every block width takes and refuses the same items.
TEST(ItemScan, AgreesWithTheReader) {
    const std::vector<std::string> pieces = {
        "a", "plain ascii text, more than sixteen bytes", "\t", "\n", "\r", "\r\n", " ",
        "\xC3\xA9", "\xC2\x80", "\xC3\xBF", "\xC4\x80", "\xE6\x9D\xB1", "\xEF\xBF\xBD",
        "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
        // 34 bytes of two-byte, then 16 of three- and four-byte characters
        "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
        "\xE6\x9D\xB1\xE6\x9D\xB1\xE6\x9D\xB1\xE6\x9D\xB1\xF0\x9F\x98\x80",
        "&amp;", "&lt;", "&gt;", "&quot;", "&apos;",
        "&#65;", "&#x41;", "&#xE9;", "&#x100;", "&#x1F600;", "&#10;", "&#13;", "&#95;", "&#x78;",
        "x005F_", "x005F", "_", "x", "]", "]]", ">", ";", "#", "\x7F"};
    const std::vector<std::string> rejected_pieces = {
        "]]>", "\x01", "\x1F", "\xC3", "\xC0\x80", "\xED\xA0\x80", "\xEF\xBF\xBE", "\xF5\x80\x80\x80",
        "\x80", "&bogus;", "&", "&#;", "&#x;", "&#0;", "&#xD800;", "&#X41;", "&#123456789012;",
        "&amp", "<"};
    std::mt19937 rng(11);
    int taken_count = 0, rejected = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 8);
        for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
        if (rng() % 2) {
            // One piece the reader rejects, somewhere.
            const std::string& bad = rejected_pieces[rng() % rejected_pieces.size()];
            text.insert(rng() % (text.size() + 1), bad);
        }
        // The plain shape with or without xml:space, or the text cut into runs (some with run
        // properties).
        std::string item;
        const unsigned shape = rng() % 6;
        if (shape < 2) {
            item = shape ? "<si><t>" + text + "</t></si>"
                         : "<si><t xml:space=\"preserve\">" + text + "</t></si>";
        } else if (shape >= 4) {
            // Phonetic runs after the text, or the text as a phonetic run's.
            item = shape == 4 ? "<si><t>" + text + "</t><rPh sb=\"0\" eb=\"1\"><t>x</t></rPh></si>"
                              : "<si><t>a</t><phoneticPr fontId=\"1\"/><rPh><t xml:space=\"preserve\">" +
                                    text + "</t></rPh></si>";
        } else {
            item = "<si>";
            for (std::size_t from = 0, runs = 1 + rng() % 3; runs--;) {
                const std::size_t to = runs ? from + rng() % (text.size() - from + 1) : text.size();
                item += rng() % 2 ? "<r><rPr><b/></rPr><t>" : "<r><t xml:space=\"preserve\">";
                item += text.substr(from, to - from) + "</t></r>";
                from = to;
            }
            item += "</si>";
        }
        check_against_reader(item, text, taken_count, rejected, shape >= 4);
    }
    EXPECT_GT(taken_count, 5000);
    EXPECT_GT(rejected, 1000);
}

// Generated texts of every length up to 120 characters, in mixes from all ASCII to all four-byte
// characters (so characters of each width straddle every block and half-block end), with
// references and line ends among them, down to texts made mostly of references (more of them in
// a block than are matched at once, and running across block ends); a third have one byte
// overwritten with an arbitrary one (a stray or missing continuation byte, an overlong form, a
// control byte, ...). Each is scanned and filled at every block width, whole and cut into two
// runs, against the reader.
TEST(ItemScan, AgreesWithTheReaderOnGeneratedText) {
    std::mt19937 rng(5);
    auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    auto random_char = [&](const std::uint32_t (&weights)[6], std::string& out) {
        std::uint32_t roll = below(weights[0] + weights[1] + weights[2] + weights[3] + weights[4] +
                                   weights[5]);
        int kind = 0;
        while (roll >= weights[kind]) roll -= weights[kind++];
        std::uint32_t cp = 0;
        switch (kind) {
            case 0:  // printable ASCII but for the markup characters
                do cp = 0x20 + below(0x5F); while (cp == '<' || cp == '&' || cp == ']');
                break;
            case 1:  // half of them one-byte units
                cp = 0x80 + below(below(2) ? 0x80 : 0x800 - 0x80);
                break;
            case 2:
                do cp = 0x800 + below(0x10000 - 0x800);
                while ((cp >= 0xD800 && cp < 0xE000) || cp >= 0xFFFE);
                break;
            case 3:
                cp = 0x10000 + below(0x110000 - 0x10000);
                break;
            case 4: {
                static const char* const refs[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;",
                                                   "&#xE9;", "&#26481;", "&#x1F600;", "&#10;"};
                out += refs[below(9)];
                return;
            }
            default:
                out += below(2) ? "\r\n" : "\r";
                return;
        }
        append_utf8(out, cp);
    };
    static const std::uint32_t mixes[][6] = {
        {1, 0, 0, 0, 0, 0}, {12, 1, 0, 0, 0, 0}, {12, 0, 1, 0, 0, 0}, {12, 0, 0, 1, 0, 0},
        {6, 2, 2, 1, 1, 1}, {1, 1, 1, 1, 0, 0},  {0, 1, 0, 0, 0, 0},  {0, 0, 1, 0, 0, 0},
        {0, 0, 0, 1, 0, 0}, {1, 0, 3, 0, 0, 0},  {0, 3, 3, 1, 1, 0}, {1, 1, 0, 0, 4, 1}};
    int taken_count = 0, rejected = 0;
    for (std::size_t chars = 0; chars <= 120; ++chars) {
        for (const auto& mix : mixes) {
            std::string text;
            for (std::size_t i = 0; i < chars; ++i) random_char(mix, text);
            if (!text.empty() && below(3) == 0)
                text[below(static_cast<std::uint32_t>(text.size()))] = static_cast<char>(rng());
            const std::size_t cut = below(static_cast<std::uint32_t>(text.size() + 1));
            const std::string items[] = {
                "<si><t>" + text + "</t></si>",
                "<si><t xml:space=\"preserve\">" + text + "</t></si>",
                "<si><r><t>" + text.substr(0, cut) + "</t></r><r><t>" + text.substr(cut) +
                    "</t></r></si>"};
            for (const std::string& item : items) {
                check_against_reader(item, text, taken_count, rejected);
            }
        }
    }
    EXPECT_GT(taken_count, 3000);
    EXPECT_GT(rejected, 300);
}

// Single texts of one character, reference or line end (or a piece the reader rejects) after or
// before ASCII padding, at every length around a 64-byte block: the text and its end tags within
// the block, ending at its last byte, and running across its end by a byte or a character.
TEST(ItemScan, AgreesWithTheReaderAroundTheBlockEnd) {
    const std::string tails[] = {"",       "\xC3\xA9", "\xC4\x80", "\xE6\x9D\xB1",
                                 "\xF0\x9F\x98\x80", "&amp;", "&lt;", "&quot;",
                                 "&#65;",  "\r\n",     "_",        "\xC3",
                                 "&bogus;"};
    int taken_count = 0, rejected = 0;
    for (std::size_t pad = 40; pad <= 72; ++pad) {
        for (const std::string& tail : tails) {
            for (const std::string& head : {std::string("<si><t>"),
                                            std::string("<si><t xml:space=\"preserve\">")}) {
                const std::string text = std::string(pad, 'a') + tail;
                check_against_reader(head + text + "</t></si>", text, taken_count, rejected);
                check_against_reader(head + tail + std::string(pad, 'a') + "</t></si>",
                                     tail + std::string(pad, 'a'), taken_count, rejected);
            }
        }
    }
    EXPECT_GT(taken_count, 1000);
    EXPECT_GT(rejected, 100);
}

// Every copy this processor runs moves exactly n bytes, whatever n.
TEST(ItemScan, CopiesExactly) {
    std::vector<CopyKind> kinds = {CopyKind::Words};
    if (best_copy_kind() == CopyKind::Masked64) kinds.push_back(CopyKind::Masked64);
    std::vector<std::uint8_t> from(256 + 16);
    for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (const CopyKind kind : kinds) {
        for (std::size_t n = 0; n <= 200; ++n) {
            std::vector<std::uint8_t> out(n + 64, 0xEE);
            copy_text(from.data(), out.data(), n, kind);
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n),
                                   from.begin()))
                << n;
            EXPECT_EQ(std::count(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), 0xEE), 64)
                << "written past the end: " << n;
        }
    }
}

}  // namespace
}  // namespace tovrel
