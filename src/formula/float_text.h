// Whether an ASCII text is one that Python's float() accepts.
#pragma once

#include <string_view>

namespace tovrel {

// True when float(text) would succeed, for text made of ASCII characters only: surrounding
// whitespace, an optional sign, then "inf", "nan", "infinity" (any case) or a decimal number
// with an optional exponent, digit runs allowing single underscores between digits.
bool accepted_by_float(std::string_view text) noexcept;

}  // namespace tovrel
