// Word-at-a-time byte searches: eight bytes per step while a whole word fits in the range, then
// byte by byte, so any range is safe to search (padded or not). Block searches: sixteen bytes per
// step, for scanners of a padded buffer (one that may be loaded sixteen bytes past any position
// before its end).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tovrel::scan {

static_assert(std::endian::native == std::endian::little,
              "the byte searches assume little-endian word loads");

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

inline std::uint64_t load(const std::uint8_t* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The n bytes at p (n < 8) as the low bytes of a word whose other bytes are `fill`, loaded
// without touching memory past p + n.
inline std::uint64_t load_short(const std::uint8_t* p, std::size_t n, std::uint8_t fill) noexcept {
    std::uint64_t w = 0;
    if (n >= 4) {
        std::uint32_t lo, hi;  // overlapping halves: bytes 0-3 and n-4 to n-1
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        w = lo | (static_cast<std::uint64_t>(hi) << (8 * (n - 4)));
    } else if (n) {
        w = p[0] | (static_cast<std::uint64_t>(p[n >> 1]) << (8 * (n >> 1))) |
            (static_cast<std::uint64_t>(p[n - 1]) << (8 * (n - 1)));
    }
    return w | ((kOnes * fill) & ~((1ULL << (8 * n)) - 1));
}

// High bit set in the lowest byte that is zero (bits above the first hit may be spurious).
inline std::uint64_t zero_bytes(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHigh; }

inline std::uint64_t eq_bytes(std::uint64_t w, std::uint8_t c) noexcept {
    return zero_bytes(w ^ (kOnes * c));
}

// High bit set in the lowest byte below n (n <= 0x80); bits above the first hit may be spurious.
inline std::uint64_t below_bytes(std::uint64_t w, std::uint8_t n) noexcept {
    return (w - kOnes * n) & ~w & kHigh;
}

inline std::size_t first(std::uint64_t mask) noexcept {
    return static_cast<std::size_t>(std::countr_zero(mask)) >> 3;
}

// Mask keeping the bytes below byte n (0 < n < 8).
inline std::uint64_t low_bytes(std::size_t n) noexcept { return (1ULL << (8 * n)) - 1; }

// First byte equal to c in [p, end), or end.
inline const std::uint8_t* find1(const std::uint8_t* p, const std::uint8_t* end,
                                 std::uint8_t c) noexcept {
    for (; end - p >= 8; p += 8)
        if (std::uint64_t m = eq_bytes(load(p), c)) return p + first(m);
    while (p < end && *p != c) ++p;
    return p;
}

// First byte equal to a, b or c in [p, end), or end.
inline const std::uint8_t* find3(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t a,
                                 std::uint8_t b, std::uint8_t c) noexcept {
    for (; end - p >= 8; p += 8) {
        std::uint64_t w = load(p);
        if (std::uint64_t m = eq_bytes(w, a) | eq_bytes(w, b) | eq_bytes(w, c))
            return p + first(m);
    }
    while (p < end && *p != a && *p != b && *p != c) ++p;
    return p;
}

// Sixteen-byte blocks. A byte test over a block gives lanes (combined with | and &); bits() turns
// lanes into an int whose bit i is set when byte i passed. Every test is exact in every lane.
// `swar` works on two 64-bit words anywhere; `sse2` uses the vector unit every x86-64 has;
// `block` names the one in use.
namespace swar {

struct Lanes {
    std::uint64_t lo, hi;  // the high bit of each byte that passed
};
inline Lanes operator|(Lanes a, Lanes b) noexcept { return {a.lo | b.lo, a.hi | b.hi}; }
inline Lanes operator&(Lanes a, Lanes b) noexcept { return {a.lo & b.lo, a.hi & b.hi}; }

struct Block {
    std::uint64_t lo, hi;
};
inline Block load16(const std::uint8_t* p) noexcept { return {load(p), load(p + 8)}; }

inline std::uint64_t zero_exact(std::uint64_t w) noexcept {
    constexpr std::uint64_t kLow7 = ~kHigh;
    return ~(((w & kLow7) + kLow7) | w) & kHigh;
}
inline std::uint64_t below_exact(std::uint64_t w, std::uint8_t n) noexcept {
    return ~(((w & ~kHigh) + kOnes * (0x80 - n)) | w) & kHigh;
}
// Bytes equal to c.
inline Lanes eq(Block b, std::uint8_t c) noexcept {
    return {zero_exact(b.lo ^ (kOnes * c)), zero_exact(b.hi ^ (kOnes * c))};
}
// Bytes equal in both blocks.
inline Lanes eq(Block a, Block b) noexcept {
    return {zero_exact(a.lo ^ b.lo), zero_exact(a.hi ^ b.hi)};
}
// Bytes below 0x20 or from 0x80 up: control and non-ASCII bytes.
inline Lanes control_or_high(Block b) noexcept {
    return {below_exact(b.lo, 0x20) | (b.lo & kHigh), below_exact(b.hi, 0x20) | (b.hi & kHigh)};
}
inline std::uint32_t gather(std::uint64_t high) noexcept {
    return static_cast<std::uint32_t>(((high >> 7) * 0x0102040810204080ULL) >> 56);
}
inline std::uint32_t bits(Lanes l) noexcept { return gather(l.lo) | gather(l.hi) << 8; }

}  // namespace swar

#if defined(__SSE2__)
namespace sse2 {

struct Lanes {
    __m128i v;
};
inline Lanes operator|(Lanes a, Lanes b) noexcept { return {_mm_or_si128(a.v, b.v)}; }
inline Lanes operator&(Lanes a, Lanes b) noexcept { return {_mm_and_si128(a.v, b.v)}; }

struct Block {
    __m128i v;
};
inline Block load16(const std::uint8_t* p) noexcept {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
}
inline Lanes eq(Block b, std::uint8_t c) noexcept {
    return {_mm_cmpeq_epi8(b.v, _mm_set1_epi8(static_cast<char>(c)))};
}
inline Lanes eq(Block a, Block b) noexcept { return {_mm_cmpeq_epi8(a.v, b.v)}; }
// Signed bytes: 0x80 and up are negative, so one comparison catches both kinds.
inline Lanes control_or_high(Block b) noexcept {
    return {_mm_cmplt_epi8(b.v, _mm_set1_epi8(0x20))};
}
inline std::uint32_t bits(Lanes l) noexcept {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(l.v));
}

}  // namespace sse2
namespace block = sse2;
#else
namespace block = swar;
#endif

// Bits of the lanes below lane n (n <= 16).
inline std::uint32_t lanes_below(std::size_t n) noexcept { return (1u << n) - 1; }

// Whether the n bytes at a and at b are equal; both must be readable sixteen bytes past any
// position before a + n and b + n.
inline bool same16(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; n - i > 16; i += 16)
        if (block::bits(block::eq(block::load16(a + i), block::load16(b + i))) != 0xFFFF)
            return false;
    const std::uint32_t differ =
        ~block::bits(block::eq(block::load16(a + i), block::load16(b + i)));
    return (differ & lanes_below(n - i)) == 0;
}

}  // namespace tovrel::scan
