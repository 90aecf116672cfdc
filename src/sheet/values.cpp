#include "sheet/values.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <system_error>

#include "utils/text.h"

namespace tovrel {
namespace {


std::size_t digit_run(std::string_view s, std::size_t i) noexcept {
    std::size_t n = 0;
    while (i + n < s.size() && is_digit(s[i + n])) ++n;
    return n;
}

// The parts of a text of the float shape.
struct FloatParts {
    bool negative = false;
    std::string_view integer;   // digits before the point
    std::string_view fraction;  // digits after the point
    std::string_view mantissa;  // sign-less text up to the exponent, as from_chars reads it
    bool exp_negative = false;
    std::string_view exponent;  // exponent digits, empty without one
};

std::optional<FloatParts> split_float(std::string_view s) noexcept {
    FloatParts p;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        p.negative = s[i] == '-';
        ++i;
    }
    const std::size_t start = i;
    std::size_t n = digit_run(s, i);
    p.integer = s.substr(i, n);
    i += n;
    if (i < s.size() && s[i] == '.') {
        ++i;
        n = digit_run(s, i);
        p.fraction = s.substr(i, n);
        i += n;
    }
    if (p.integer.empty() && p.fraction.empty()) return std::nullopt;
    p.mantissa = s.substr(start, i - start);
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            p.exp_negative = s[i] == '-';
            ++i;
        }
        n = digit_run(s, i);
        if (n == 0) return std::nullopt;
        p.exponent = s.substr(i, n);
        i += n;
    }
    if (i != s.size()) return std::nullopt;
    return p;
}

// Decimal exponent of the first non-zero digit (the value lies in [10^k, 10^(k+1))), with the
// written exponent saturated far beyond any double's range. Only called for a text whose
// value does not round to a finite non-zero double, so it has a non-zero digit.
long long leading_exponent(const FloatParts& p) noexcept {
    long long e = 0;
    for (char c : p.exponent) {
        if (e < 1000000000LL) e = e * 10 + (c - '0');
    }
    if (p.exp_negative) e = -e;
    for (std::size_t k = 0; k < p.integer.size(); ++k) {
        if (p.integer[k] != '0') return static_cast<long long>(p.integer.size() - 1 - k) + e;
    }
    for (std::size_t j = 0; j < p.fraction.size(); ++j) {
        if (p.fraction[j] != '0') return e - static_cast<long long>(j + 1);
    }
    return -1;  // all zeros: from_chars never reports these out of range
}

// Powers of ten a double holds exactly.
constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

NumberText int_number(std::optional<std::int64_t> i) noexcept {
    return i ? NumberText{NumberText::Kind::Int, *i, 0.0} : NumberText{NumberText::Kind::HostInt};
}

// parse_number by the general rules.
[[gnu::noinline, gnu::cold]] NumberText number_by_rules(std::string_view text) noexcept {
    if (!has_float_mark(text)) return int_number(fast_int(text));
    if (std::optional<double> x = parse_float(text)) return {NumberText::Kind::Float, 0, *x};
    return {NumberText::Kind::HostFloat};
}

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

// The digits at p (up to end) appended to m; returns the first byte after them. No limit on the
// count: the caller checks the length before trusting m, which wraps past 19 digits. Runs of
// four are taken a word at a time.
inline const char* read_digits(const char* p, const char* end, std::uint64_t& m) noexcept {
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

}  // namespace

NumberText parse_number(std::string_view s) noexcept {
    const char* p = s.data();
    const char* const end = p + s.size();
    bool minus = false;
    bool plus = false;
    if (p != end) {
        minus = *p == '-';
        plus = *p == '+';
        p += minus || plus;
    }
    std::uint64_t m = 0;
    const char* const int_start = p;
    p = read_digits(p, end, m);
    const auto int_digits = static_cast<std::size_t>(p - int_start);
    if (p == end) {
        // No float mark: the integer fast parse (an optional "-", 1 to 18 digits).
        if (!plus && int_digits - 1 < 18) {
            const auto v = static_cast<std::int64_t>(m);
            return {NumberText::Kind::Int, minus ? -v : v, 0.0};
        }
        return {NumberText::Kind::HostInt};
    }
    std::size_t frac_digits = 0;
    if (*p == '.') {
        const char* const frac_start = ++p;
        p = read_digits(p, end, m);
        frac_digits = static_cast<std::size_t>(p - frac_start);
    }
    // Up to 19 digits always fit the 64-bit accumulator; more (or none) take the general rules.
    if (int_digits + frac_digits - 1 >= 19) return number_by_rules(s);
    int exponent = 0;
    if (p != end) {
        if ((*p | 0x20) != 'e') return number_by_rules(s);
        ++p;
        const bool exp_minus = p != end && *p == '-';
        if (p != end && (*p == '+' || *p == '-')) ++p;
        const char* const exp_start = p;
        while (p != end && is_digit(*p) && p - exp_start < 4)
            exponent = exponent * 10 + (*p++ - '0');
        if (p == exp_start || p != end) return number_by_rules(s);
        if (exp_minus) exponent = -exponent;
    }
    // Both the digits and the power of ten are exact doubles, so one multiplication or division
    // rounds correctly (Clinger's fast path); anything beyond takes the general parse.
    const int e10 = exponent - static_cast<int>(frac_digits);
    if (m > (std::uint64_t{1} << 53) || e10 < -22 || e10 > 22) return number_by_rules(s);
    double x = static_cast<double>(m);
    x = e10 < 0 ? x / kExactPow10[-e10] : x * kExactPow10[e10];
    return {NumberText::Kind::Float, 0, minus ? -x : x};
}

std::optional<std::int64_t> fast_int(std::string_view text) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p != end && *p == '-';
    p += negative;
    if (static_cast<std::size_t>(end - p) - 1 >= 18) return std::nullopt;
    std::uint64_t value = 0;
    if (read_digits(p, end, value) != end) return std::nullopt;
    const auto v = static_cast<std::int64_t>(value);
    return negative ? -v : v;
}

bool has_float_mark(std::string_view text) noexcept {
    for (char c : text) {
        if (c == '.' || c == 'e' || c == 'E') return true;
    }
    return false;
}

bool float_shape(std::string_view text) noexcept { return split_float(text).has_value(); }

std::optional<double> parse_float(std::string_view text) noexcept {
    const std::optional<FloatParts> parts = split_float(text);
    if (!parts) return std::nullopt;
    // from_chars takes neither a leading "+" nor a "-" we have already read: parse the
    // magnitude from the text after the sign and apply the sign afterwards.
    const std::size_t start = static_cast<std::size_t>(parts->mantissa.data() - text.data());
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    double value = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, value, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        value = leading_exponent(*parts) >= 0 ? HUGE_VAL : 0.0;
    } else if (r.ec != std::errc() || r.ptr != last) {
        return std::nullopt;
    }
    return parts->negative ? -value : value;
}

}  // namespace tovrel
