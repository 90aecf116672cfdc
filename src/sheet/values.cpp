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

CellNumber int_number(std::optional<std::int64_t> i) noexcept {
    return i ? CellNumber{CellNumber::Kind::Int, *i, 0.0} : CellNumber{CellNumber::Kind::HostInt};
}

}  // namespace

CellNumber number_by_rules(std::string_view text) noexcept {
    if (!has_float_mark(text)) return int_number(fast_int(text));
    if (std::optional<double> x = parse_float(text)) return {CellNumber::Kind::Float, 0, *x};
    return {CellNumber::Kind::HostFloat};
}

CellNumber parse_number(std::string_view s) noexcept {
    const char* const end = s.data() + s.size();
    const char* stop = nullptr;
    const CellNumber number = scan_number<false>(s.data(), end, stop);
    return stop == end ? number : number_by_rules(s);
}

std::optional<std::int64_t> fast_int(std::string_view text) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p != end && *p == '-';
    p += negative;
    if (static_cast<std::size_t>(end - p) - 1 >= 18) return std::nullopt;
    std::uint64_t value = 0;
    if (number_detail::read_digits<false>(p, end, value) != end) return std::nullopt;
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
