// The attribute grammar of a start tag, written once: the reader's general parse and the
// buffer-level fast_attrs instantiate scan_attrs with a shape and a sink. The reader's fused scan
// of plain start tags and the cell path's scan of <c>/<f> are hand-written forms of the same
// grammar, checked against the general parse by the differential and fuzz tests.
//
// A shape says which syntax the variant takes: whitespace bytes, names, spaces around '=',
// single quotes, the value bytes it takes as they stand; and whether anything outside that shape
// throws the reader's error (the general parse) or refuses the tag, so that a more general
// variant reads it. A sink says what happens to each attribute found: records kept, a selector
// called, declarations handled, duplicates rejected.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/error.h"
#include "xml/chars.h"

namespace tovrel {

enum class TagStatus : std::uint8_t {
    Open = 0,        // the tag ended with '>'
    SelfClosed = 1,  // the tag ended with "/>"
    Refused = 2,     // the tag is not of the variant's shape; nothing was consumed
};

struct TagScan {
    std::size_t end;  // offset after the tag's '>' (Open and SelfClosed only)
    TagStatus status;
};

// One attribute as scanned, offsets into the buffer.
struct ScannedAttr {
    std::size_t qname_start, qname_end;
    std::size_t value_start, value_end;  // the raw bytes between the quotes
    std::uint8_t value_classes;          // chars::kVal* classes of the value bytes
    bool has_colon;                      // the name holds a colon
};

// Shapes. Members: kRefuses; kWhite (class of whitespace bytes); kNameStart, kNameChar (classes
// of name bytes); kSpacedEquals (whitespace allowed around '='); kSingleQuotes; kValueClasses (the
// value byte classes taken without refusing; the general shape takes all and checks them).

// The whole grammar; errors are thrown.
struct FullTagShape {
    static constexpr bool kRefuses = false;
    static constexpr std::uint8_t kWhite = chars::kWhite;
    static constexpr std::uint8_t kNameStart = chars::kNameStart;
    static constexpr std::uint8_t kNameChar = chars::kNameChar;
    static constexpr bool kSpacedEquals = true;
    static constexpr bool kSingleQuotes = true;
    static constexpr std::uint8_t kValueClasses = 0xFF;
};

// What spreadsheet programs write for their hot tags: space-separated name="value" with names of
// ASCII letters and values that read as they stand.
struct TightTagShape {
    static constexpr bool kRefuses = true;
    static constexpr std::uint8_t kWhite = chars::kSpace;
    static constexpr std::uint8_t kNameStart = chars::kLetter;
    static constexpr std::uint8_t kNameChar = chars::kLetter;
    static constexpr bool kSpacedEquals = false;
    static constexpr bool kSingleQuotes = false;
    static constexpr std::uint8_t kValueClasses = 0;
};

namespace attr_scan {

inline constexpr TagScan kRefused{0, TagStatus::Refused};

// A breach of the grammar: thrown by the general shape, a refusal for the others.
template <class Shape, class Error>
inline TagScan breach(const char* message) {
    if constexpr (Shape::kRefuses)
        return kRefused;
    else
        throw Error(message);
}

inline bool is(std::uint8_t c, std::uint8_t cls) noexcept { return chars::kClass[c] & cls; }

// End of the name starting at p (before limit), or 0 when the shape refuses it. Sets has_colon
// when the name holds a colon.
template <class Shape>
inline std::size_t scan_name(const std::uint8_t* b, std::size_t p, std::size_t limit,
                             bool& has_colon) {
    if (!is(b[p], Shape::kNameStart))
        return b[p] >= 0x80 ? breach<Shape, Unsupported>("non-ascii name").end
                            : breach<Shape, Malformed>("bad name").end;
    constexpr bool kColons = chars::kClass[':'] & Shape::kNameChar;
    bool colon = kColons && b[p] == ':';
    ++p;
    while (p < limit && is(b[p], Shape::kNameChar)) {
        if constexpr (kColons) colon |= b[p] == ':';
        ++p;
    }
    if (p < limit && b[p] >= 0x80) return breach<Shape, Unsupported>("non-ascii name").end;
    has_colon = colon;
    return p;
}

}  // namespace attr_scan

// Scans the attributes of a start tag from p (right after the element name) to the tag's end,
// handing each to sink.take(const ScannedAttr&), which returns false to refuse the tag (or throws).
// `limit` bounds the scan: the end of the bytes at hand. Every error and refusal of the grammar
// is decided here, in this order: missing whitespace, name, '=', quote, unterminated value, value
// bytes outside the shape; then the sink's own checks. Always inlined, so that each variant
// compiles to its own loop with the shape's tests folded in.
template <class Shape, class Sink>
[[gnu::always_inline]] inline TagScan scan_attrs(const std::uint8_t* b, std::size_t p,
                                                 std::size_t limit, Sink& sink) {
    using namespace attr_scan;
    for (;;) {
        const std::size_t before = p;
        while (p < limit && is(b[p], Shape::kWhite)) ++p;
        if (p >= limit) return breach<Shape, Malformed>("unclosed tag");
        if (b[p] == '>') return {p + 1, TagStatus::Open};
        if (b[p] == '/' && p + 1 < limit && b[p + 1] == '>') return {p + 2, TagStatus::SelfClosed};
        if (p == before) return breach<Shape, Malformed>("missing whitespace between attributes");

        ScannedAttr a;
        a.qname_start = p;
        p = scan_name<Shape>(b, p, limit, a.has_colon);
        if (!p) return kRefused;
        a.qname_end = p;
        if constexpr (Shape::kSpacedEquals)
            while (p < limit && is(b[p], Shape::kWhite)) ++p;
        if (p >= limit || b[p] != '=') return breach<Shape, Malformed>("expected =");
        ++p;
        if constexpr (Shape::kSpacedEquals)
            while (p < limit && is(b[p], Shape::kWhite)) ++p;
        if (p >= limit || !(b[p] == '"' || (Shape::kSingleQuotes && b[p] == '\'')))
            return breach<Shape, Malformed>("expected quote");
        const std::uint8_t quote = b[p++];
        a.value_start = p;
        std::uint8_t classes = 0;
        while (p < limit && b[p] != quote) classes |= chars::kValueClass[b[p++]];
        if (p >= limit) return breach<Shape, Malformed>("unterminated attribute");
        if (classes & ~Shape::kValueClasses) return kRefused;
        a.value_end = p++;
        a.value_classes = classes;
        if (!sink.take(a)) return kRefused;
    }
}

}  // namespace tovrel
