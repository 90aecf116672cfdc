// Word-at-a-time byte searches over the reader's buffer. Every search loads eight bytes per step;
// callers pass ranges inside a ByteBuffer, whose zero padding makes a load at any position before
// the end safe. Results past the end of the range are clamped to it.
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

// Mask keeping the high bits of the first n bytes (0 < n < 8).
inline std::uint64_t low_bytes(std::size_t n) noexcept { return (1ULL << (8 * n)) - 1; }

// First byte equal to c in [p, end), or end.
inline const std::uint8_t* find1(const std::uint8_t* p, const std::uint8_t* end,
                                 std::uint8_t c) noexcept {
    for (; p < end; p += 8) {
        std::uint64_t m = eq_bytes(load(p), c);
        if (m) {
            const std::uint8_t* hit = p + first(m);
            return hit < end ? hit : end;
        }
    }
    return end;
}

// First byte equal to a, b or c in [p, end), or end.
inline const std::uint8_t* find3(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t a,
                                 std::uint8_t b, std::uint8_t c) noexcept {
    for (; p < end; p += 8) {
        std::uint64_t w = load(p);
        std::uint64_t m = eq_bytes(w, a) | eq_bytes(w, b) | eq_bytes(w, c);
        if (m) {
            const std::uint8_t* hit = p + first(m);
            return hit < end ? hit : end;
        }
    }
    return end;
}

// Character data up to the next '<': returns the '<' (or end) and sets `special` when a byte
// before it needs a closer look (control bytes, bytes >= 0x80, '&', ']').
inline const std::uint8_t* scan_text(const std::uint8_t* p, const std::uint8_t* end,
                                     bool& special) noexcept {
    std::uint64_t acc = 0;
    for (; p < end; p += 8) {
        std::uint64_t w = load(p);
        std::uint64_t lt = eq_bytes(w, '<');
        std::uint64_t sp = below_bytes(w, 0x20) | (w & kHigh) | eq_bytes(w, '&') | eq_bytes(w, ']');
        std::size_t left = static_cast<std::size_t>(end - p);
        if (lt) {
            std::size_t i = first(lt);
            if (i < left) {
                if (i) acc |= sp & low_bytes(i);
                special = special || acc != 0;
                return p + i;
            }
        }
        if (left < 8) sp &= low_bytes(left);
        acc |= sp;
    }
    special = special || acc != 0;
    return end;
}

}  // namespace tovrel::scan
