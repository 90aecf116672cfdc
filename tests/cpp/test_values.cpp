// Number texts of cell values: the integer fast parse, the float shape and the correctly
// rounded float parse.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sheet/values.h"

namespace tovrel {
namespace {

struct IntCase {
    const char* text;
    std::optional<std::int64_t> expected;
};

class FastIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(FastIntTest, ParsesOrRefuses) {
    const IntCase& c = GetParam();
    EXPECT_EQ(fast_int(c.text), c.expected) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, FastIntTest,
    ::testing::Values(IntCase{"0", 0}, IntCase{"7", 7}, IntCase{"007", 7}, IntCase{"-0", 0},
                      IntCase{"-15", -15}, IntCase{"123456789012345678", 123456789012345678},
                      IntCase{"999999999999999999", 999999999999999999},
                      IntCase{"-999999999999999999", -999999999999999999},
                      IntCase{"000000000000000001", 1},
                      // 19 digits go to the host even when they would fit
                      IntCase{"1000000000000000000", std::nullopt},
                      IntCase{"0000000000000000001", std::nullopt},
                      IntCase{"-1234567890123456789", std::nullopt}, IntCase{"", std::nullopt},
                      IntCase{"-", std::nullopt}, IntCase{"+1", std::nullopt},
                      IntCase{" 1", std::nullopt}, IntCase{"1 ", std::nullopt},
                      IntCase{"--1", std::nullopt}, IntCase{"1_000", std::nullopt},
                      IntCase{"1.0", std::nullopt}, IntCase{"1e3", std::nullopt},
                      IntCase{"0x10", std::nullopt}, IntCase{"\xd9\xa1", std::nullopt}));

struct ShapeCase {
    const char* text;
    bool accepted;
};

class FloatShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(FloatShapeTest, AcceptsOnlyTheDecimalShape) {
    const ShapeCase& c = GetParam();
    EXPECT_EQ(float_shape(c.text), c.accepted) << '"' << c.text << '"';
    EXPECT_EQ(parse_float(c.text).has_value(), c.accepted) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatShapeTest,
    ::testing::Values(ShapeCase{"1.5", true}, ShapeCase{"1.", true}, ShapeCase{".5", true},
                      ShapeCase{"+.5", true}, ShapeCase{"-0.0", true}, ShapeCase{"1e3", true},
                      ShapeCase{"1E+03", true}, ShapeCase{"-.5e-3", true},
                      ShapeCase{"5.e2", true}, ShapeCase{"12", true}, ShapeCase{".", false},
                      ShapeCase{"", false}, ShapeCase{"e5", false}, ShapeCase{".e5", false},
                      ShapeCase{"1e", false}, ShapeCase{"1e+", false}, ShapeCase{"1.2.3", false},
                      ShapeCase{" 1.0", false}, ShapeCase{"1.0 ", false},
                      ShapeCase{"1_0.5", false}, ShapeCase{"inf", false}, ShapeCase{"nan", false},
                      ShapeCase{"-inf", false}, ShapeCase{"0x1p3", false},
                      ShapeCase{"1.5e5x", false}, ShapeCase{"--1.0", false},
                      ShapeCase{"+-1.0", false}, ShapeCase{"1e5.0", false},
                      ShapeCase{"1,5", false}, ShapeCase{"1.5e+-3", false}));

struct FloatCase {
    const char* text;
    double expected;
};

class ParseFloatTest : public ::testing::TestWithParam<FloatCase> {};

// Bit-exact: the same double Python's float() gives, sign of zero included.
TEST_P(ParseFloatTest, RoundsCorrectly) {
    const FloatCase& c = GetParam();
    const std::optional<double> got = parse_float(c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(*got, c.expected) << c.text;
    EXPECT_EQ(std::signbit(*got), std::signbit(c.expected)) << c.text;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, ParseFloatTest,
    ::testing::Values(
        FloatCase{"1E3", 1000.0}, FloatCase{"0.1", 0x1.999999999999ap-4},
        FloatCase{"-0.0", -0.0}, FloatCase{"+1.25", 1.25}, FloatCase{"5.", 5.0},
        FloatCase{".5", 0.5},
        // ties to even at 2^53
        FloatCase{"9007199254740993.0", 0x1.0000000000000p+53},
        FloatCase{"9007199254740995.0", 0x1.0000000000002p+53},
        FloatCase{"1.7976931348623157e308", 0x1.fffffffffffffp+1023},
        FloatCase{"1.7976931348623158e308", 0x1.fffffffffffffp+1023},
        FloatCase{"1.7976931348623159e308", kInf}, FloatCase{"-1.7976931348623159e308", -kInf},
        FloatCase{"4.9406564584124654e-324", 0x0.0000000000001p-1022},
        FloatCase{"2.4703282292062328e-324", 0x0.0000000000001p-1022},
        FloatCase{"2.4703282292062327e-324", 0.0}, FloatCase{"3e-324", 0x0.0000000000001p-1022},
        FloatCase{"2.2250738585072011e-308", 0x0.fffffffffffffp-1022},
        FloatCase{"2.2250738585072012e-308", 0x1.0000000000000p-1022},
        FloatCase{"0.30000000000000004", 0x1.3333333333334p-2},
        FloatCase{"123456789012345678901234567890e-10", 0x1.56a95319d63e1p+63},
        FloatCase{"1e23", 0x1.52d02c7e14af6p+76}, FloatCase{"7.0e-10", 0x1.80d43de9cc603p-31},
        FloatCase{"1.00000000000000011102230246251565404236316680908203125", 1.0},
        FloatCase{"1.00000000000000011102230246251565404236316680908203126",
                  0x1.0000000000001p+0},
        FloatCase{"0.000000000000000000000000000000000000000000001e300", 0x1.10cb132c2ff63p+847},
        FloatCase{"100000000000000000000000000000000000000000000000000000000000e-400", 0.0},
        FloatCase{"1e400", kInf}, FloatCase{"-1e-400", -0.0},
        FloatCase{"1e-99999999999999999999", 0.0}, FloatCase{"1e99999999999999999999", kInf},
        FloatCase{"-1e99999999999999999999", -kInf}, FloatCase{"0e999999", 0.0}));

struct MarkCase {
    const char* text;
    bool marked;
};

TEST(HasFloatMark, FindsPointAndExponentLetters) {
    const MarkCase cases[] = {{"1.0", true}, {"1e3", true}, {"1E3", true}, {"123", false},
                              {"", false},   {"inf", false}, {"-7", false}, {"  .", true}};
    for (const MarkCase& c : cases) EXPECT_EQ(has_float_mark(c.text), c.marked) << c.text;
}

// The one-pass parse decides every text as the separate rules do.
TEST(ParseNumber, AgreesWithTheSeparateRules) {
    std::vector<std::string> texts = {"0", "-0", "007", "+1", "-", "", "1.5", "-2.5", "+.5", "1.",
                                      ".", "1e5", "1E-5", "-1.5e+22", "1e23", "9007199254740993",
                                      "9007199254740993.0", "123456789012345678", "1234567890123456789",
                                      "0.1234567890123456789", "1e0400", "1.5e", "1.5x", "1 5", "nan"};
    std::mt19937_64 rng(2026);
    // Bytes next to the digits ("/", ":", a digit with the high bit set) test the word checks.
    const std::string alphabet = "0123456789012345678901234567890123456789.eE+-/:\xb9\xff";
    for (int k = 0; k < 20000; ++k) {
        std::string t;
        for (std::size_t len = rng() % 24 + 1; len; --len) t += alphabet[rng() % alphabet.size()];
        texts.push_back(t);
    }
    for (const std::string& t : texts) {
        // A reader that meets the text inside markup scans it up to the first byte that cannot
        // continue a number, in a padded buffer or not, and decides what it scanned as
        // parse_number does.
        const std::string in_markup = t + "</v>" + std::string(16, '\0');
        const char* stop = nullptr;
        const CellNumber unpadded =
            scan_number<false>(in_markup.data(), in_markup.data() + t.size(), stop);
        const std::string_view scanned(in_markup.data(), static_cast<std::size_t>(stop - in_markup.data()));
        const CellNumber whole = parse_number(scanned);
        const char* padded_stop = nullptr;
        const CellNumber padded = scan_number<true>(in_markup.data(), in_markup.data() + t.size(), padded_stop);
        EXPECT_EQ(padded_stop, stop) << t;
        for (const CellNumber& n : {unpadded, padded}) {
            ASSERT_EQ(n.kind, whole.kind) << t;
            EXPECT_EQ(n.integer, whole.integer) << t;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(n.real), std::bit_cast<std::uint64_t>(whole.real)) << t;
        }
        const CellNumber got = parse_number(t);
        if (!has_float_mark(t)) {
            const std::optional<std::int64_t> i = fast_int(t);
            ASSERT_EQ(got.kind, i ? CellNumber::Kind::Int : CellNumber::Kind::HostInt) << t;
            if (i) {
                EXPECT_EQ(got.integer, *i) << t;
            }
            continue;
        }
        const std::optional<double> x = parse_float(t);
        ASSERT_EQ(got.kind, x ? CellNumber::Kind::Float : CellNumber::Kind::HostFloat) << t;
        if (x) {
            EXPECT_EQ(got.real, *x) << t;
            EXPECT_EQ(std::signbit(got.real), std::signbit(*x)) << t;
        }
    }
}

}  // namespace
}  // namespace tovrel
