// The pieces of A1-style references that the translator recognises and moves.
#pragma once

#include <cstddef>
#include <string_view>

namespace tovrel {

// An optional "$", a digit 1-9, then at most 6 digits: "7", "$12", "1048576".
bool match_row_part(std::string_view text) noexcept;

// An optional "$", then 1 to 3 ASCII letters of either case: "a", "$XFD".
bool match_col_part(std::string_view text) noexcept;

// Length of the column part that starts `text` when the rest is a row part (a cell reference
// such as "B$7" or "$a1"); 0 when `text` is not a cell reference.
std::size_t split_cell_ref(std::string_view text) noexcept;

// `text` split at its first ":" with both sides matching `part`; false without a ":".
bool match_range(std::string_view text, bool (*part)(std::string_view) noexcept) noexcept;

}  // namespace tovrel
