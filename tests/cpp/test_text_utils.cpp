// The shared text utilities: py_strip (Python's str.strip() on UTF-8), the lenient UTF-8
// decoder behind it, and the word-at-a-time byte scans.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include "utils/scan.h"
#include "utils/text.h"
#include "utils/utf8.h"

namespace tovrel {
namespace {

// Malformed bytes are never whitespace, even those that look like part of one. Well-formed text
// is compared with str.strip() from Python, for every code point.
TEST(PyStrip, MalformedBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xa0x", "\xa0x"},
        {"\x85x\xa0", "\x85x\xa0"},
        {"x\xc2", "x\xc2"},
        {"\xc2\xa0\xa0", "\xa0"},
        {"x\x80\x80\x80\x80 ", "x\x80\x80\x80\x80"},
        {" \xe3\x80", "\xe3\x80"},
    };
    for (const auto& [input, expect] : cases) EXPECT_EQ(py_strip(input), expect) << input;
    const std::string s = "  abc  ";  // the result is a slice of the input
    EXPECT_EQ(py_strip(s).data(), s.data() + 2);
}

// Random bytes (whitespace pieces, other characters, malformed bytes) in buffers of exactly their
// size: the result is a sub-slice, stripping it again changes nothing, and only whitespace
// characters were cut away from either end.
TEST(PyStrip, RandomBytesInExactBuffers) {
    const std::string pieces[] = {" ", "\t", "\xc2\xa0", "\xe3\x80\x80", "\xc2\x85", "x", "\xc3\xa9",
                                  "\xa0", "\x85", "\xc2", "\xe2\x80", "\xe2\x80\xa8", "\xf0\x9f\x98\x80"};
    std::mt19937 rng(777);
    for (int round = 0; round < 5000; ++round) {
        std::string s;
        for (int k = static_cast<int>(rng() % 6); k > 0; --k) s += pieces[rng() % std::size(pieces)];
        auto buf = std::make_unique<char[]>(s.size() + 1);
        std::copy(s.begin(), s.end(), buf.get());
        const std::string_view text(buf.get(), s.size());
        const std::string_view r = py_strip(text);
        ASSERT_GE(r.data(), text.data());
        ASSERT_LE(r.data() + r.size(), text.data() + text.size());
        ASSERT_EQ(py_strip(r), r);
        for (std::string_view cut : {text.substr(0, static_cast<std::size_t>(r.data() - text.data())),
                                     text.substr(static_cast<std::size_t>(r.data() - text.data()) + r.size())}) {
            for (std::size_t i = 0, len = 0; i < cut.size(); i += len) {
                const std::uint32_t cp = decode_utf8(cut, i, len);
                ASSERT_TRUE(is_py_space(cp) && (cp < 0x80 || len > 1)) << s;
            }
        }
    }
}

TEST(DecodeUtf8, LengthsAndRejections) {
    struct Case {
        std::string bytes;
        std::uint32_t cp;
        std::size_t len;
    };
    const Case cases[] = {
        {"A", 'A', 1},
        {"\xc3\xa9", 0xE9, 2},
        {"\xe2\x82\xac", 0x20AC, 3},
        {"\xf0\x9f\x98\x80", 0x1F600, 4},
        {"\xf4\x8f\xbf\xbf", 0x10FFFF, 4},
        {"\xf4\x90\x80\x80", 0xF4, 1},  // above U+10FFFF
        {"\xe0\x80\x80", 0xE0, 1},      // overlong
        {"\xc1\xbf", 0xC1, 1},          // overlong
        {"\x80", 0x80, 1},
        {"\xe2\x82", 0xE2, 1},          // truncated
        {"\xe2\x28\xa1", 0xE2, 1},      // bad continuation
        {"\xf8\x88\x80\x80\x80", 0xF8, 1},
    };
    for (const auto& c : cases) {
        std::size_t len = 99;
        EXPECT_EQ(decode_utf8(c.bytes, 0, len), c.cp) << c.bytes;
        EXPECT_EQ(len, c.len) << c.bytes;
    }
}

TEST(Scan, WordSearchesMatchByteSearches) {
    // Every position of a hit and every range end, from an 8-byte-aligned and a shifted start.
    for (std::size_t shift : {0u, 3u}) {
        for (std::size_t hit = 0; hit < 40; ++hit) {
            for (std::size_t end = 0; end < 48; ++end) {
                std::string s(64 + 16, 'a');
                s[shift + hit] = '<';
                const auto* b = reinterpret_cast<const std::uint8_t*>(s.data()) + shift;
                const std::uint8_t* want = hit < end ? b + hit : b + end;
                EXPECT_EQ(scan::find1(b, b + end, '<'), want);
                EXPECT_EQ(scan::find3(b, b + end, '>', '<', '"'), want);
            }
        }
    }
}

}  // namespace
}  // namespace tovrel
