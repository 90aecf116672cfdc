// Word-at-a-time byte searches: eight bytes per step while a whole word fits in the range, then
// byte by byte, so any range is safe to search (padded or not).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Character data up to the next '<': returns the '<' (or end) and sets `special` when a byte
// before it needs a closer look (control bytes, bytes >= 0x80, '&', ']').
inline const std::uint8_t* scan_text(const std::uint8_t* p, const std::uint8_t* end,
                                     bool& special) noexcept {
    std::uint64_t acc = 0;
    for (; end - p >= 8; p += 8) {
        std::uint64_t w = load(p);
        std::uint64_t sp = below_bytes(w, 0x20) | (w & kHigh) | eq_bytes(w, '&') | eq_bytes(w, ']');
        if (std::uint64_t lt = eq_bytes(w, '<')) {
            std::size_t i = first(lt);
            if (i) acc |= sp & low_bytes(i);
            special = special || acc != 0;
            return p + i;
        }
        acc |= sp;
    }
    for (; p < end && *p != '<'; ++p)
        acc |= *p < 0x20 || *p >= 0x80 || *p == '&' || *p == ']';
    special = special || acc != 0;
    return p;
}

}  // namespace tovrel::scan
