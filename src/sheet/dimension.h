// The dimension finder: locates a worksheet's <dimension> element without building a tree.
#pragma once

#include <optional>
#include <string>

#include "xml/reader.h"

namespace tovrel {

// Reads until the SpreadsheetML <dimension> element has been read in full and returns its exact
// markup, or nullopt when </sheetData> or the end of the document comes first. On success the
// reader stands right after the element, so its in-scope namespaces are the element's ancestors'.
std::optional<std::string> find_dimension(Reader& reader);

}  // namespace tovrel
