// Number parsing for cell values: the integer and float texts the worksheet reader decides
// natively, and the rules that send every other text to the host's converters.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The value text of a numeric cell decided in one pass: an integer (the integer fast parse, when
// the text holds none of ".", "e", "E"), a double (the float shape, correctly rounded), or which
// of the host's converters must decide it (int() for a text without those marks, float() for
// one with). Short decimals are read directly; anything else takes the functions above.
struct NumberText {
    enum class Kind : std::uint8_t { Int, Float, HostInt, HostFloat };
    Kind kind = Kind::HostInt;
    std::int64_t integer = 0;
    double real = 0.0;
};
NumberText parse_number(std::string_view text) noexcept;

}  // namespace tovrel
