#include "writer/number_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tovrel {

namespace {

constexpr std::int64_t kExactLimit = std::int64_t{1} << 53;

std::uint8_t plain_decimal(std::int64_t value, char* out) noexcept {
    auto res = std::to_chars(out, out + NumberText::kCapacity, value);
    return static_cast<std::uint8_t>(res.ptr - out);
}

}  // namespace

NumberText NumberText::of(std::string_view text) noexcept {
    NumberText t;
    t.len_ = static_cast<std::uint8_t>(text.size() < kCapacity ? text.size() : kCapacity);
    std::memcpy(t.buf_, text.data(), t.len_);
    return t;
}

NumberText g16_int(std::int64_t value) noexcept {
    if (value >= -kExactLimit && value <= kExactLimit) {
        NumberText t;
        t.len_ = plain_decimal(value, t.buf_);
        return t;
    }
    return format_g16(static_cast<double>(value));
}

NumberText g16_float(double value) noexcept {
    const bool negative_zero = value == 0.0 && std::signbit(value);
    if (std::fabs(value) < 1e16 && value == std::trunc(value) && !negative_zero) {
        NumberText t;
        t.len_ = plain_decimal(static_cast<std::int64_t>(value), t.buf_);
        return t;
    }
    return format_g16(value);
}

NumberText format_g16(double value) noexcept {
    NumberText t;
    if (!std::isfinite(value)) return t;
    char* out = t.buf_;
    if (value == 0.0) {
        if (std::signbit(value)) *out++ = '-';
        *out++ = '0';
        t.len_ = static_cast<std::uint8_t>(out - t.buf_);
        return t;
    }
    // One correctly rounded conversion to 16 significant digits: "-d.ddddddddddddddde±XX".
    char sci[40];
    const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific, 15);
    const char* p = sci;
    if (*p == '-') *out++ = *p++;
    char digits[16];
    digits[0] = p[0];
    std::memcpy(digits + 1, p + 2, 15);
    const char* e = p + 17;  // 'e'
    int exponent = 0;
    std::from_chars(e + 2, res.ptr, exponent);
    if (e[1] == '-') exponent = -exponent;
    int ndigits = 16;
    while (ndigits > 1 && digits[ndigits - 1] == '0') --ndigits;
    if (exponent < -4 || exponent >= 16) {
        *out++ = digits[0];
        if (ndigits > 1) {
            *out++ = '.';
            std::memcpy(out, digits + 1, static_cast<std::size_t>(ndigits - 1));
            out += ndigits - 1;
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        const int mag = exponent < 0 ? -exponent : exponent;
        if (mag < 10) *out++ = '0';
        out = std::to_chars(out, out + 4, mag).ptr;
    } else if (exponent < 0) {
        // 0.000ddd: -exponent - 1 zeros after the point, then the digits.
        *out++ = '0';
        *out++ = '.';
        for (int i = 1; i < -exponent; ++i) *out++ = '0';
        std::memcpy(out, digits, static_cast<std::size_t>(ndigits));
        out += ndigits;
    } else {
        // exponent + 1 digits before the point (all 16 are available since exponent < 16).
        const int whole = exponent + 1;
        std::memcpy(out, digits, static_cast<std::size_t>(whole));
        out += whole;
        if (ndigits > whole) {
            *out++ = '.';
            std::memcpy(out, digits + whole, static_cast<std::size_t>(ndigits - whole));
            out += ndigits - whole;
        }
    }
    t.len_ = static_cast<std::uint8_t>(out - t.buf_);
    return t;
}

}  // namespace tovrel
