// Python str and bytes objects from the byte texts the reader hands out.
#pragma once

#include <string_view>

#include "utils/py_ref.h"

namespace tovrel {

// The str of valid UTF-8 text, built in one counting pass and one filling pass straight into the
// string's storage (the general decoder widens and copies as it meets wider characters). Text
// that is not valid UTF-8 goes to the general decoder, which raises UnicodeDecodeError.
Ref str_of(std::string_view text);

// The bytes object holding `text`.
Ref bytes_of(std::string_view text);

}  // namespace tovrel
