// Number text of written cells: the host writes numbers with C's "%.16g" rule. These routines
// produce exactly that text without going through printf: plain integers directly, everything
// else from one correctly rounded 16-significant-digit conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tovrel {

// Fixed-capacity text of one number; "%.16g" never needs more than 24 characters.
class NumberText {
public:
    static constexpr std::size_t kCapacity = 32;

    std::string_view view() const noexcept { return {buf_, len_}; }
    bool empty() const noexcept { return len_ == 0; }

    static NumberText of(std::string_view text) noexcept;

private:
    friend NumberText g16_int(std::int64_t value) noexcept;
    friend NumberText g16_float(double value) noexcept;
    friend NumberText format_g16(double value) noexcept;
    char buf_[kCapacity];
    std::uint8_t len_ = 0;
};

// The text of an integer: its plain decimal form when |value| <= 2^53, else format_g16 of the
// value as a double (so 2^53 + 1 gives "9007199254740992", 10^17 gives "1e+17").
NumberText g16_int(std::int64_t value) noexcept;

// The text of a finite double: a whole number below 1e16 in magnitude (not -0.0) in plain
// decimal, anything else through format_g16.
NumberText g16_float(double value) noexcept;

// "%.16g" of a finite double: 16 significant digits, trailing zeros dropped, scientific form
// ("1.5e-05", "1e+16") when the decimal exponent is below -4 or at least 16.
NumberText format_g16(double value) noexcept;

}  // namespace tovrel
