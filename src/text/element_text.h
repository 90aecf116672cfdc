// Element text and string items, collected from the reader's events: the text of simple
// elements such as <v> and <t>, and the decision for <si>/<is> items whether the plain string
// can be built natively or the item's raw markup must go to the host.
//
// Every operation is called right after the reader returned Start or Empty for the element and
// returns after consuming that element's End.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "text/name_set.h"
#include "utils/function_ref.h"
#include "xml/reader.h"

namespace tovrel {

// True for a nested element the caller's dispatcher would handle differently: reading stops with
// Unsupported("nested element handled by dispatcher").
using Forbid = bool (*)(std::uint32_t ns, std::string_view local);

// A SpreadsheetML <si>.
bool forbid_si(std::uint32_t ns, std::string_view local) noexcept;

// Decides whether an <rPr> element (its raw bytes) may be ignored by the plain text.
using RprCheck = FunctionRef<bool(std::string_view rpr)>;

struct TextCtx {
    NameSet text_dangerous;
    NameSet rich_dangerous;

    // Verdicts on <rPr> markup seen so far, keyed by its raw bytes.
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    struct RprEntry {
        bool ok;          // the plain text may ignore these properties
        bool root_scope;  // read well formed with the bindings of the root's content in force
    };
    std::unordered_map<std::string, RprEntry, Hash, std::equal_to<>> rpr_cache;
    std::string runs;  // scratch: run texts of the current item
    // Namespaces::scope_serial() inside the root element (between items), once the caller knows
    // it; entries read in that scope record it.
    std::uint64_t root_scope = UINT64_MAX;
};

// Skips the element, checking nested elements against `forbid`.
void skip_checked(Reader& reader, Forbid forbid);

// Appends the element's text (its Text events before the first nested element) to `out`.
void element_text_into(Reader& reader, std::string& out, Forbid forbid);

// The element's text, or nothing when it has no Text event before its first nested element.
std::optional<std::string> element_text_checked(Reader& reader, Forbid forbid);

enum class TextKind : std::uint8_t { Plain, Markup };

// Reads a whole string item. Plain: `out` holds the string (direct <t> text, then the texts of
// the runs in document order). Markup: `out` holds the raw bytes of the whole item element; the
// namespaces for them are the reader's in-scope namespaces right after the call.
TextKind parse_text(Reader& reader, TextCtx& ctx, Forbid forbid, RprCheck rpr_check,
                    std::string& out);

// Removes every "x005F_" (left to right, non-overlapping) in place. Returns whether any was found.
bool remove_x005f(std::string& text);

}  // namespace tovrel
