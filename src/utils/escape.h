// XML escaping for the sheet writer, in the two output styles the host can produce: the
// standard-library ElementTree serializer and lxml's incremental writer. Both routines append
// to the output and never fail; input is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace tovrel {

// Appends the escaped form of an attribute value (without the surrounding quotes).
//   ElementTree: tab "&#09;", LF "&#10;", CR "&#13;", '"' "&quot;", & < > as entities,
//                non-ASCII copied as UTF-8.
//   lxml:        tab "&#9;", LF "&#10;", CR "&#13;", the same entities, and every character
//                at or above U+0080 as a decimal character reference.
void esc_attr(std::string& out, std::string_view text, bool lxml);

// Appends the escaped form of element text.
//   ElementTree: only & < > are replaced.
//   lxml:        CR "&#13;", & < > as entities, non-ASCII as decimal character references.
void esc_text(std::string& out, std::string_view text, bool lxml);

}  // namespace tovrel
