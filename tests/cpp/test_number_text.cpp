// Number text of written cells against the C library's own "%.16g" (glibc rounds correctly, as
// Python's "%.16g" % x does): one property test over a million doubles of every magnitude.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "writer/number_text.h"

namespace tovrel {
namespace {

std::string printf_g16(double x) {
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.16g", x);
    return std::string(buf, static_cast<std::size_t>(n));
}

// Doubles from four sources: raw bit patterns (every exponent, subnormals included), integers
// near 2^53 and 2^63, 17-digit decimals that round at the 16th digit, and small whole numbers.
double sample(std::mt19937_64& rng, std::uint64_t i) {
    switch (i % 4) {
    case 0:
        for (;;) {
            double x = std::bit_cast<double>(rng());
            if (std::isfinite(x)) return x;
        }
    case 1: {
        const int shift = (rng() & 1) ? 53 : 63;
        const double base = std::ldexp(1.0, shift);
        const auto steps = static_cast<std::int64_t>(rng() % 4097) - 2048;
        const double near = base + static_cast<double>(steps) * std::ldexp(1.0, shift - 52);
        return rng() & 1 ? near : -near;
    }
    case 2: {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%llu5e%d",
                      static_cast<unsigned long long>(rng() % 10000000000000000ULL),
                      static_cast<int>(rng() % 80) - 40);
        return std::strtod(buf, nullptr);
    }
    default:
        return static_cast<double>(static_cast<std::int64_t>(rng() >> (rng() % 64))) *
               (rng() & 1 ? 1.0 : -0.5);
    }
}

TEST(NumberText, MatchesPrintfG16) {
    std::mt19937_64 rng(20261208);
    int mismatches = 0;
    for (std::uint64_t i = 0; i < 1000000 && mismatches < 5; ++i) {
        const double x = sample(rng, i);
        const std::string want = printf_g16(x);
        const std::string fmt(format_g16(x).view());
        const std::string g16(g16_float(x).view());
        if (fmt != want || g16 != want) {
            ++mismatches;
            ADD_FAILURE() << std::hexfloat << x << ": printf " << want << ", format_g16 " << fmt
                          << ", g16_float " << g16;
        }
        const auto n = static_cast<std::int64_t>(rng() >> (rng() % 64)) * (i & 1 ? 1 : -1);
        const std::string want_int = printf_g16(static_cast<double>(n));
        if (std::string(g16_int(n).view()) != want_int) {
            ++mismatches;
            ADD_FAILURE() << n << ": printf " << want_int << ", g16_int " << g16_int(n).view();
        }
    }
    EXPECT_EQ(std::string(format_g16(-0.0).view()), "-0");
    EXPECT_EQ(std::string(g16_float(-0.0).view()), "-0");
    EXPECT_TRUE(format_g16(NAN).empty());
}

}  // namespace
}  // namespace tovrel
