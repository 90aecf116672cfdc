// Number parsing for cell values: the integer and float texts the worksheet reader decides
// natively, and the rules that send every other text to the host's converters.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace tovrel {

// The run of ASCII digits at p, at most `max` of them (at most 19) and within the n bytes there;
// their value is appended to `acc` (acc * 10^k + value). Returns the run's length.
inline std::size_t digit_run(const char* p, std::size_t n, std::size_t max,
                             std::uint64_t& acc) noexcept {
    const std::size_t limit = n < max ? n : max;
    std::size_t k = 0;
    for (; k < limit && static_cast<unsigned char>(p[k] - '0') < 10; ++k)
        acc = acc * 10 + static_cast<unsigned>(p[k] - '0');
    return k;
}

// The integer fast parse: an optional "-" then 1 to 18 ASCII digits and nothing else. Eighteen
// digits always fit a signed 64-bit integer, so the value never overflows. Anything else ("+1",
// " 1", "", 19 digits or more, "1_000") gives nothing and is left to the host's int().
std::optional<std::int64_t> fast_int(std::string_view text) noexcept;

// Whether a number text holds one of ".", "e", "E" (and so is a float candidate).
bool has_float_mark(std::string_view text) noexcept;

// The decimal float shape: an optional sign, a run of digits, optionally "." and a second run
// of digits (at least one digit in the two runs together), then optionally "e" or "E", an
// optional sign and at least one digit. Nothing else, no spaces.
bool float_shape(std::string_view text) noexcept;

// The correctly rounded double of a text of the float shape, as Python's float() gives it:
// overflow yields an infinity and underflow a zero, both with the text's sign. Nothing for a
// text outside the shape.
std::optional<double> parse_float(std::string_view text) noexcept;

// A cell's `t` attribute, classified: the seven data types the reader recognises, in the order
// of their data-type index ("n" is also what a cell without `t` has), then "str", then any other
// text.
enum class CellType : std::uint8_t { N, S, F, B, E, D, InlineStr, Str, Other };

inline CellType classify_type(std::string_view t) noexcept {
    if (t.size() == 1) {
        switch (t[0]) {
            case 'n': return CellType::N;
            case 's': return CellType::S;
            case 'f': return CellType::F;
            case 'b': return CellType::B;
            case 'e': return CellType::E;
            case 'd': return CellType::D;
            default: return CellType::Other;
        }
    }
    if (t == "str") return CellType::Str;
    return t == "inlineStr" ? CellType::InlineStr : CellType::Other;
}

// The types whose value text is a number: "n" (and no `t`), and the integers of "s" and "b".
inline bool numeric_type(CellType type) noexcept {
    return type == CellType::N || type == CellType::S || type == CellType::B;
}

// The value text of a numeric cell decided in one pass: an integer (the integer fast parse, when
// the text holds none of ".", "e", "E"), a double (the float shape, correctly rounded), or which
// of the host's converters must decide it (int() for a text without those marks, float() for
// one with). Short decimals are read directly; anything else takes the functions above.
struct CellNumber {
    enum class Kind : std::uint8_t { Int, Float, HostInt, HostFloat };
    Kind kind = Kind::HostInt;
    std::int64_t integer = 0;
    double real = 0.0;
};
CellNumber parse_number(std::string_view text) noexcept;

// parse_number by the general rules (the fast reading below hands every other text to them).
[[gnu::cold]] CellNumber number_by_rules(std::string_view text) noexcept;

namespace number_detail {

// 10^n for the digit counts of one word.
inline constexpr std::uint64_t kPow10u[] = {1, 10, 100, 1000, 10000, 100000, 1000000,
                                            10000000, 100000000};
// Powers of ten a double holds exactly.
inline constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Whether the four bytes of x (in memory order) are all ASCII digits.
constexpr bool four_digits(std::uint32_t x) noexcept {
    return ((x & 0xF0F0F0F0u) | (((x + 0x06060606u) & 0xF0F0F0F0u) >> 4)) == 0x33333333u;
}

// The value of four ASCII digits loaded little-endian (the first digit in the low byte).
constexpr std::uint32_t four_digit_value(std::uint32_t x) noexcept {
    x -= 0x30303030u;
    x = (x * 10 + (x >> 8)) & 0x00FF00FFu;   // two-digit pairs in bytes 0 and 2
    return (x * 100 + (x >> 16)) & 0xFFFFu;  // the pair in the low half times 100 plus the other
}

// The digits at p appended to m; returns the first byte after them. No limit on the count: the
// caller checks the length before trusting m, which wraps past 19 digits. `Padded`: the bytes
// run on past `end` with zeros, sixteen of them readable at least, so words are loaded without
// looking at `end` (the zeros end any run); otherwise runs of four are taken a word at a time
// while they fit.
template <bool Padded>
[[gnu::always_inline]] inline const char* read_digits(const char* p, const char* end,
                                                      std::uint64_t& m) noexcept {
    if constexpr (Padded) {
        (void)end;
        for (;;) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            // Each byte's digit value, and a mark in every byte that is not a digit: a high
            // nibble other than 3, or a low one above 9 (tested without carries between bytes).
            const std::uint64_t d = w ^ 0x3030303030303030ULL;
            const std::uint64_t other = (d & 0xF0F0F0F0F0F0F0F0ULL) |
                                        (((d & 0x0F0F0F0F0F0F0F0FULL) + 0x0606060606060606ULL) &
                                         0x1010101010101010ULL);
            const unsigned n = other ? static_cast<unsigned>(std::countr_zero(other)) >> 3 : 8;
            if (n == 0) return p;
            // The n digits moved to the top bytes (zeros below them lead), then combined in
            // pairs, fours and eights.
            std::uint64_t v = d << (8 * (8 - n));
            v = v * 10 + (v >> 8);
            v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
                 (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
                32;
            m = m * kPow10u[n] + (v & 0xFFFFFFFFu);
            p += n;
            if (n < 8) return p;
        }
    } else {
        while (end - p >= 4) {
            std::uint32_t w;
            std::memcpy(&w, p, 4);
            if (!four_digits(w)) break;
            m = m * 10000 + four_digit_value(w);
            p += 4;
        }
        for (; p != end; ++p) {
            const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
            if (d > 9) break;
            m = m * 10 + d;
        }
        return p;
    }
}

}  // namespace number_detail

// parse_number of the number text at p: the longest run from p that the number shape can
// continue (a sign, digits, ".", digits, "e" or "E", a sign, digits, each part optional, in this
// order), up to `end`. `stop` is set to the byte after it; the result is parse_number of
// [p, stop). A reader that finds the text's end at `stop` has read and decided it in one pass.
// `Padded`: zero bytes follow `end` as read_digits<true> needs them.
template <bool Padded>
[[gnu::always_inline]] inline CellNumber scan_number(const char* const begin,
                                                     const char* const end,
                                                     const char*& stop) noexcept {
    using namespace number_detail;
    // Past `end` a padded buffer holds zeros, which continue no part of a number.
    auto at = [end](const char* p, char c) { return (Padded || p != end) && *p == c; };
    auto at_e = [end](const char* p) { return (Padded || p != end) && (*p | 0x20) == 'e'; };
    const char* p = begin;
    const bool minus = at(p, '-');
    const bool plus = at(p, '+');
    p += minus || plus;
    std::uint64_t m = 0;
    const char* const int_start = p;
    p = read_digits<Padded>(p, end, m);
    const auto int_digits = static_cast<std::size_t>(p - int_start);
    if (!at(p, '.') && !at_e(p)) {
        // No float mark: the integer fast parse (an optional "-", 1 to 18 digits).
        stop = p;
        if (!plus && int_digits - 1 < 18) {
            const auto v = static_cast<std::int64_t>(m);
            return {CellNumber::Kind::Int, minus ? -v : v, 0.0};
        }
        return {CellNumber::Kind::HostInt};
    }
    std::size_t frac_digits = 0;
    if (*p == '.') {
        const char* const frac_start = ++p;
        p = read_digits<Padded>(p, end, m);
        frac_digits = static_cast<std::size_t>(p - frac_start);
    }
    int exponent = 0;
    std::size_t exp_digits = 1;  // none written: as good as a short one
    if (at_e(p)) {
        ++p;
        const bool exp_minus = at(p, '-');
        p += exp_minus || at(p, '+');
        const char* const exp_start = p;
        for (; (Padded || p != end) && static_cast<unsigned char>(*p - '0') < 10; ++p)
            if (p - exp_start < 4) exponent = exponent * 10 + (*p - '0');
        exp_digits = static_cast<std::size_t>(p - exp_start);
        if (exp_minus) exponent = -exponent;
    }
    stop = p;
    const std::string_view text(begin, static_cast<std::size_t>(p - begin));
    // Up to 19 digits always fit the 64-bit accumulator, and up to four exponent digits the int;
    // more (or none) take the general rules.
    if (int_digits + frac_digits - 1 >= 19 || exp_digits - 1 >= 4) return number_by_rules(text);
    // Both the digits and the power of ten are exact doubles, so one multiplication or division
    // rounds correctly (Clinger's fast path); anything beyond takes the general parse.
    const int e10 = exponent - static_cast<int>(frac_digits);
    if (m > (std::uint64_t{1} << 53) || e10 < -22 || e10 > 22) return number_by_rules(text);
    double x = static_cast<double>(m);
    x = e10 < 0 ? x / kExactPow10[-e10] : x * kExactPow10[e10];
    return {CellNumber::Kind::Float, 0, minus ? -x : x};
}

}  // namespace tovrel
