// XML escaping of attribute values and element text in both output styles.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>

#include "utils/escape.h"

namespace tovrel {
namespace {

struct EscCase {
    const char* name;
    std::string input;
    std::string attr_etree;
    std::string attr_lxml;
    std::string text_etree;
    std::string text_lxml;
};

std::ostream& operator<<(std::ostream& os, const EscCase& c) { return os << c.name; }

class Escape : public ::testing::TestWithParam<EscCase> {};

TEST_P(Escape, BothRoutinesInBothStyles) {
    const EscCase& c = GetParam();
    std::string out;
    esc_attr(out, c.input, false);
    EXPECT_EQ(out, c.attr_etree);
    out.clear();
    esc_attr(out, c.input, true);
    EXPECT_EQ(out, c.attr_lxml);
    out.clear();
    esc_text(out, c.input, false);
    EXPECT_EQ(out, c.text_etree);
    out.clear();
    esc_text(out, c.input, true);
    EXPECT_EQ(out, c.text_lxml);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Escape,
    ::testing::Values(
        EscCase{"empty", "", "", "", "", ""},
        EscCase{"plain", "plain text 123", "plain text 123", "plain text 123", "plain text 123",
                "plain text 123"},
        EscCase{"markup", "a\"b<c>&d", "a&quot;b&lt;c&gt;&amp;d", "a&quot;b&lt;c&gt;&amp;d",
                "a\"b&lt;c&gt;&amp;d", "a\"b&lt;c&gt;&amp;d"},
        EscCase{"apostrophe", "it's", "it's", "it's", "it's", "it's"},
        EscCase{"tab", "a\tb", "a&#09;b", "a&#9;b", "a\tb", "a\tb"},
        EscCase{"line feed", "a\nb", "a&#10;b", "a&#10;b", "a\nb", "a\nb"},
        EscCase{"lone carriage return", "a\rb", "a&#13;b", "a&#13;b", "a\rb", "a&#13;b"},
        EscCase{"crlf", "\r\n", "&#13;&#10;", "&#13;&#10;", "\r\n", "&#13;\n"},
        EscCase{"controls kept", "\x01\x1f\x7f", "\x01\x1f\x7f", "\x01\x1f\x7f", "\x01\x1f\x7f",
                "\x01\x1f\x7f"},
        EscCase{"two-byte", "caf\xc3\xa9", "caf\xc3\xa9", "caf&#233;", "caf\xc3\xa9",
                "caf&#233;"},
        EscCase{"astral", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80", "&#128512;",
                "\xf0\x9f\x98\x80", "&#128512;"},
        EscCase{"boundaries", "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf",
                "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf",
                "&#128;&#2047;&#2048;&#65535;&#1114111;",
                "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf",
                "&#128;&#2047;&#2048;&#65535;&#1114111;"},
        EscCase{"mixed", "x&\xe2\x82\xac<\t\"\r>", "x&amp;\xe2\x82\xac&lt;&#09;&quot;&#13;&gt;",
                "x&amp;&#8364;&lt;&#9;&quot;&#13;&gt;", "x&amp;\xe2\x82\xac&lt;\t\"\r&gt;",
                "x&amp;&#8364;&lt;\t\"&#13;&gt;"},
        // Bytes that do not form a character stand for themselves and never overrun the end.
        EscCase{"malformed", "a\xff\xc3", "a\xff\xc3", "a&#255;&#195;", "a\xff\xc3",
                "a&#255;&#195;"},
        EscCase{"truncated", "\xe2\x82", "\xe2\x82", "&#226;&#130;", "\xe2\x82",
                "&#226;&#130;"},
        EscCase{"overlong", "\xc0\xaf", "\xc0\xaf", "&#192;&#175;", "\xc0\xaf",
                "&#192;&#175;"}),
    [](const ::testing::TestParamInfo<EscCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(Escape, AppendsAfterExistingOutput) {
    std::string out = "<c t=\"";
    esc_attr(out, "a&b", false);
    esc_attr(out, "plain", true);
    EXPECT_EQ(out, "<c t=\"a&amp;bplain");
    out = "<v>";
    esc_text(out, "1<2", true);
    esc_text(out, "", false);
    EXPECT_EQ(out, "<v>1&lt;2");
}

// A special character at every position of texts of several lengths, so every branch of the
// scan (the unrolled body and the tail) meets it, plus runs of several.
TEST(Escape, SpecialCharacterAtEveryPosition) {
    const std::map<char, std::string> attr_et = {{'&', "&amp;"},  {'<', "&lt;"},   {'>', "&gt;"},
                                                 {'"', "&quot;"}, {'\t', "&#09;"}, {'\n', "&#10;"},
                                                 {'\r', "&#13;"}};
    const std::map<char, std::string> text_lx = {
        {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'\r', "&#13;"}};
    for (std::size_t len = 1; len <= 19; ++len) {
        for (std::size_t pos = 0; pos < len; ++pos) {
            for (const auto& [ch, rep] : attr_et) {
                std::string input(len, 'q');
                input[pos] = ch;
                input[len - 1 - pos] = ch;
                std::string expect_attr;
                std::string expect_text;
                for (char c : input) {
                    expect_attr += c == 'q' ? std::string(1, c) : rep;
                    auto it = text_lx.find(c);
                    expect_text += it == text_lx.end() ? std::string(1, c) : it->second;
                }
                std::string out;
                esc_attr(out, input, false);
                ASSERT_EQ(out, expect_attr) << "len " << len << " pos " << pos;
                out.clear();
                esc_text(out, input, true);
                ASSERT_EQ(out, expect_text) << "len " << len << " pos " << pos;
            }
        }
    }
}

// Undoes the ElementTree-style escapes.
std::string unescape_etree(std::string_view s) {
    static const std::pair<std::string_view, char> refs[] = {
        {"&amp;", '&'},   {"&lt;", '<'},    {"&gt;", '>'},   {"&quot;", '"'},
        {"&#09;", '\t'}, {"&#10;", '\n'}, {"&#13;", '\r'}};
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        bool matched = false;
        for (const auto& [ref, ch] : refs) {
            if (s.substr(i, ref.size()) == ref) {
                out += ch;
                i += ref.size();
                matched = true;
                break;
            }
        }
        if (!matched) out += s[i++];
    }
    return out;
}

// Random bytes (valid or not) in buffers of exactly their size, so a sanitizer build catches any
// read past the end: ElementTree style escapes losslessly, lxml style yields only ASCII.
TEST(Escape, RandomBytesInExactBuffers) {
    std::mt19937 rng(12345);
    const char alphabet[] = "ab&<>\"\t\n\r\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xff\x80";
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = rng() % 24;
        auto buf = std::make_unique<char[]>(n ? n : 1);
        for (std::size_t i = 0; i < n; ++i)
            buf[i] = rng() % 2 ? alphabet[rng() % (sizeof alphabet - 1)] : static_cast<char>(rng());
        const std::string_view text(buf.get(), n);
        std::string out;
        esc_attr(out, text, false);
        ASSERT_EQ(unescape_etree(out), text);
        ASSERT_EQ(out.find_first_of("<>\"\t\n\r"), std::string::npos);
        out.clear();
        esc_text(out, text, false);
        ASSERT_EQ(unescape_etree(out), text);
        for (bool attr : {false, true}) {
            out.clear();
            if (attr)
                esc_attr(out, text, true);
            else
                esc_text(out, text, true);
            for (char c : out) ASSERT_EQ(static_cast<unsigned char>(c) & 0x80, 0) << out;
            ASSERT_EQ(out.find('\r'), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace tovrel
