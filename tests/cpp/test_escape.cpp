// XML escaping of attribute values and element text in both output styles.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "utils/escape.h"

namespace tovrel {
namespace {

// Bytes that do not form a character stand for themselves in ElementTree style and become one
// character reference each in lxml style, never reading past the end. Well-formed text is
// compared with ElementTree and an lxml model from Python.
TEST(Escape, MalformedBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\xff\xc3", "a&#255;&#195;"},  // stray and truncated at the end
        {"\xe2\x82", "&#226;&#130;"},     // truncated
        {"\xc0\xaf", "&#192;&#175;"},     // overlong
    };
    for (const auto& [input, lxml] : cases) {
        for (bool attr : {false, true}) {
            std::string etree, lx;
            (attr ? esc_attr : esc_text)(etree, input, false);
            (attr ? esc_attr : esc_text)(lx, input, true);
            EXPECT_EQ(etree, input);
            EXPECT_EQ(lx, lxml);
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
        ASSERT_EQ(out.find_first_of("<>"), std::string::npos);
        for (bool attr : {false, true}) {
            out.clear();
            (attr ? esc_attr : esc_text)(out, text, true);
            for (char c : out) ASSERT_EQ(static_cast<unsigned char>(c) & 0x80, 0) << out;
            ASSERT_EQ(out.find_first_of("<>\r"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace tovrel
