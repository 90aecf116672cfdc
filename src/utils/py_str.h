// Python str and bytes objects from the byte texts the reader hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "utils/py_ref.h"

namespace tovrel {

// The str of valid UTF-8 text, built in one counting pass and one filling pass straight into the
// string's storage (the general decoder widens and copies as it meets wider characters). Text
// that is not valid UTF-8 goes to the general decoder, which raises UnicodeDecodeError.
Ref str_of(std::string_view text);

// The str of text already known to be well-formed UTF-8 (checked by the reader's character
// check, or built from such text): one branch-free pass a word at a time counts the characters
// and finds the widest, then the characters are written straight into the string's storage.
// Text that is not well formed gives a wrong string, so nothing unchecked may come here.
Ref str_of_valid(std::string_view text);

// The bytes object holding `text`.
Ref bytes_of(std::string_view text);

}  // namespace tovrel
