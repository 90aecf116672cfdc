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

// ElementTree style byte by byte: only markup (and in values \t \n \r) is replaced.
std::string etree_model(std::string_view s, bool attr) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += attr ? "&quot;" : "\""; break;
            case '\t': out += attr ? "&#09;" : "\t"; break;
            case '\n': out += attr ? "&#10;" : "\n"; break;
            case '\r': out += attr ? "&#13;" : "\r"; break;
            default: out += c;
        }
    }
    return out;
}

// Random bytes (valid or not) in buffers of exactly their size, so a sanitizer build catches any
// read past the end: ElementTree style follows the byte model, lxml style yields only ASCII.
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
        ASSERT_EQ(out, etree_model(text, true));
        out.clear();
        esc_text(out, text, false);
        ASSERT_EQ(out, etree_model(text, false));
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
