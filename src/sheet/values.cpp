#include "sheet/values.h"

#include <charconv>
#include <cmath>
#include <cstddef>
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
NumberText number_by_rules(std::string_view text) noexcept {
    if (!has_float_mark(text)) return int_number(fast_int(text));
    if (std::optional<double> x = parse_float(text)) return {NumberText::Kind::Float, 0, *x};
    return {NumberText::Kind::HostFloat};
}

}  // namespace

NumberText parse_number(std::string_view s) noexcept {
    const std::size_t n = s.size();
    const bool minus = n != 0 && s[0] == '-';
    const bool plus = n != 0 && s[0] == '+';
    std::size_t i = minus || plus ? 1 : 0;
    // Up to 19 digits always fit the 64-bit accumulator; a longer run takes the general rules.
    std::uint64_t m = 0;
    const std::size_t int_digits = digit_run(s.data() + i, n - i, 19, m);
    i += int_digits;
    if (i == n) {
        // No float mark: the integer fast parse (an optional "-", 1 to 18 digits).
        if (!plus && int_digits >= 1 && int_digits <= 18) {
            const auto v = static_cast<std::int64_t>(m);
            return {NumberText::Kind::Int, minus ? -v : v, 0.0};
        }
        return {NumberText::Kind::HostInt};
    }
    if (s[i] != '.' && s[i] != 'e' && s[i] != 'E') return number_by_rules(s);
    std::size_t frac_digits = 0;
    if (s[i] == '.') {
        ++i;
        frac_digits = digit_run(s.data() + i, n - i, 19 - int_digits, m);
        i += frac_digits;
    }
    if (int_digits + frac_digits == 0) return number_by_rules(s);
    int exponent = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        const bool exp_minus = i < n && s[i] == '-';
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        const std::size_t exp_start = i;
        while (i < n && is_digit(s[i]) && i - exp_start < 4)
            exponent = exponent * 10 + (s[i++] - '0');
        if (i == exp_start) return number_by_rules(s);
        if (exp_minus) exponent = -exponent;
    }
    if (i != n) return number_by_rules(s);
    // Both the digits and the power of ten are exact doubles, so one multiplication or division
    // rounds correctly (Clinger's fast path); anything beyond takes the general parse.
    const int e10 = exponent - static_cast<int>(frac_digits);
    if (m > (std::uint64_t{1} << 53) || e10 < -22 || e10 > 22) return number_by_rules(s);
    double x = static_cast<double>(m);
    x = e10 < 0 ? x / kExactPow10[-e10] : x * kExactPow10[e10];
    return {NumberText::Kind::Float, 0, minus ? -x : x};
}

std::optional<std::int64_t> fast_int(std::string_view text) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        i = 1;
    }
    const std::size_t digits = text.size() - i;
    if (digits == 0 || digits > 18) return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (!is_digit(text[i])) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
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
