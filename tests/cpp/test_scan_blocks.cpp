// The sixteen-byte block tests against a byte-by-byte model, for both implementations.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "utils/scan.h"

namespace tovrel {
namespace {

template <class Impl>
struct Model {
    static void check(const std::uint8_t* a, const std::uint8_t* b) {
        const auto x = Impl::load16(a), y = Impl::load16(b);
        for (std::uint8_t c : {std::uint8_t{'<'}, std::uint8_t{0}, std::uint8_t{0x80},
                               std::uint8_t{0xFF}, a[3]}) {
            std::uint32_t want = 0;
            for (int i = 0; i < 16; ++i) want |= std::uint32_t{a[i] == c} << i;
            ASSERT_EQ(Impl::bits(Impl::eq(x, c)), want);
        }
        std::uint32_t same = 0, control = 0;
        for (int i = 0; i < 16; ++i) {
            same |= std::uint32_t{a[i] == b[i]} << i;
            control |= std::uint32_t{a[i] < 0x20 || a[i] >= 0x80} << i;
        }
        ASSERT_EQ(Impl::bits(Impl::eq(x, y)), same);
        ASSERT_EQ(Impl::bits(Impl::control_or_high(x)), control);
        ASSERT_EQ(Impl::bits(Impl::eq(x, '<') | Impl::control_or_high(x)),
                  Impl::bits(Impl::eq(x, '<')) | control);
        ASSERT_EQ(Impl::bits(Impl::eq(x, y) & Impl::control_or_high(x)), same & control);
    }
};

struct Swar {
    using Block = scan::swar::Block;
    static Block load16(const std::uint8_t* p) { return scan::swar::load16(p); }
    static auto eq(Block b, std::uint8_t c) { return scan::swar::eq(b, c); }
    static auto eq(Block a, Block b) { return scan::swar::eq(a, b); }
    static auto control_or_high(Block b) { return scan::swar::control_or_high(b); }
    template <class L>
    static std::uint32_t bits(L l) { return scan::swar::bits(l); }
};

struct InUse {
    using Block = scan::block::Block;
    static Block load16(const std::uint8_t* p) { return scan::block::load16(p); }
    static auto eq(Block b, std::uint8_t c) { return scan::block::eq(b, c); }
    static auto eq(Block a, Block b) { return scan::block::eq(a, b); }
    static auto control_or_high(Block b) { return scan::block::control_or_high(b); }
    template <class L>
    static std::uint32_t bits(L l) { return scan::block::bits(l); }
};

TEST(ScanBlocks, MatchTheByteModel) {
    std::mt19937 rng(7);
    // Bytes drawn mostly from the edges of the classes: 0x1F/0x20, 0x7F/0x80, equal pairs.
    const std::uint8_t pool[] = {0,   1,    0x09, 0x1F, 0x20, 0x21, '<',
                                 '&', 0x7F, 0x80, 0x81, 0xFE, 0xFF};
    std::uint8_t a[16], b[16];
    for (int round = 0; round < 20000; ++round) {
        for (int i = 0; i < 16; ++i) {
            a[i] = round % 2 ? pool[rng() % sizeof pool] : static_cast<std::uint8_t>(rng());
            b[i] = rng() % 3 ? a[i] : static_cast<std::uint8_t>(rng());
        }
        Model<Swar>::check(a, b);
        Model<InUse>::check(a, b);
        // Names of up to two blocks, each followed by the sixteen readable bytes same16 needs.
        std::uint8_t pa[48] = {}, pb[48] = {};
        std::copy(a, a + 16, pa);
        std::copy(a, a + 16, pa + 16);
        std::copy(b, b + 16, pb);
        std::copy(a, a + 16, pb + 16);
        if (rng() % 2) pb[16 + rng() % 16] ^= 1;
        const std::size_t n = rng() % 33;
        bool want = true;
        for (std::size_t i = 0; i < n; ++i) want &= pa[i] == pb[i];
        ASSERT_EQ(scan::same16(pa, pb, n), want) << n;
    }
}

}  // namespace
}  // namespace tovrel
