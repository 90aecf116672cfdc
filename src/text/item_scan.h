// The shared-strings fast path: an item of the plain shape <si><t>text</t></si> (or with
// <t xml:space="preserve">) read straight from the input window. One pass checks the text with
// the reader's character and reference rules and measures it (characters after decoding and the
// widest character); a second pass writes the characters at their final width.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovrel {

struct ItemScan {
    std::size_t text_start = 0, text_end = 0;  // buffer offsets of the raw text
    std::size_t item_end = 0;                  // offset just past "</si>"
    std::size_t chars = 0;                     // characters of the decoded text
    std::uint32_t maxchar = 0x7F;              // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: widest class
    bool decode = false;   // references or CR: fill_text must decode, not just convert
    bool rewrite = false;  // "x005F_" may stand in the decoded text
};

// Scans the item starting at buf[pos] (buf holds `filled` bytes and stays readable for 16 bytes
// past them). True when the whole item is there, has the plain shape and its text breaks no rule
// of the reader; false, for any other shape or for anything the general reader would have to
// report, and then nothing is to be consumed.
bool scan_si_item(const std::uint8_t* buf, std::size_t filled, std::size_t pos,
                  ItemScan& out) noexcept;

// Writes the scanned text [p, end) decoded (references, CR LF and lone CR to LF) as `chars`
// code units of type Unit (std::uint8_t, std::uint16_t or std::uint32_t, wide enough for the
// scanned maxchar) to out. Reads at most 16 bytes past `end`.
template <class Unit>
void fill_text(const std::uint8_t* p, const std::uint8_t* end, Unit* out,
               std::size_t chars) noexcept;

}  // namespace tovrel
