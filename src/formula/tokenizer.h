// Splits a cell formula ("=SUM(A1:B2)*2") into the flat token list of the host library's
// formula tokenizer: the same boundaries, kinds, subkinds and error messages.
#pragma once

#include <string_view>
#include <vector>

#include "utils/error.h"
#include "formula/token.h"

namespace tovrel {

// Tokenizes UTF-8 `formula`. Throws FormulaError: Tokenizer (with the host's message, positions
// counted in code points from the leading "=" at 0), PopEmpty (a closer with nothing open), or
// NeedPython (an operand with non-ASCII text whose kind this code does not decide).
std::vector<Token> tokenize(std::string_view formula);

// The operand token for `text`, its subkind decided as the host does. Throws NeedPython.
Token make_operand(std::string_view text);

}  // namespace tovrel
