// The shared-strings fast path: an item of one of the two common shapes read straight from the
// input window, <si><t>text</t></si>, or runs <si><r><rPr>…</rPr><t>text</t></r>…</si> whose
// run properties are known to be harmless (each <t> may carry xml:space="preserve", each <rPr> is
// optional). One pass checks the texts with the reader's character and reference rules and
// measures them (characters after decoding and the widest character); a second pass writes the
// characters at their final width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "utils/function_ref.h"

// 32-byte text checks: x86-64 with GCC or Clang, used where the processor has AVX2.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOVREL_SCAN32 1
#else
#define TOVREL_SCAN32 0
#endif

namespace tovrel {

// The block the text checks step by: 16 bytes (SSE2, or two machine words) anywhere, 32 bytes
// (AVX2) where the processor has it. Both take and refuse exactly the same items.
enum class ScanWidth : std::uint8_t { Block16, Block32 };

// The widest block this processor runs, found once.
ScanWidth best_scan_width() noexcept;

struct ItemScan {
    // The texts of the item in order: buffer offsets of the raw bytes, characters once decoded.
    struct Span {
        std::size_t start, end, chars;
    };
    static constexpr std::size_t kMaxSpans = 8;
    Span spans[kMaxSpans];
    std::size_t span_count = 0;
    std::size_t item_end = 0;                  // offset just past "</si>"
    std::size_t chars = 0;                     // characters of the decoded texts together
    std::uint32_t maxchar = 0x7F;              // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: widest class
    bool decode = false;   // references or CR: fill_text must decode, not just convert
    bool rewrite = false;  // "x005F_" may stand in the decoded texts together
};

// Whether an <rPr> element, given by its raw bytes from "<rPr>" to the first "</rPr>", is one the
// general reader has read in the same namespace scope and whose properties the plain text may
// ignore. False leaves the item to the general reader.
using RprVerdict = FunctionRef<bool(std::string_view rpr)>;

// Scans the item starting at buf[pos] (buf holds `filled` bytes and stays readable for 16 bytes
// past them). True when the whole item is there, has one of the shapes and its texts break no
// rule of the reader; false, for any other shape or for anything the general reader would have
// to report, and then nothing is to be consumed.
bool scan_si_item(const std::uint8_t* buf, std::size_t filled, std::size_t pos, ItemScan& out,
                  RprVerdict rpr_verdict, ScanWidth width = best_scan_width());

// How copy_text moves bytes: overlapping word copies anywhere, or masked 64-byte loads and
// stores (AVX-512BW) where the processor has them, with no branch on the length.
enum class CopyKind : std::uint8_t { Words, Masked64 };

// The best copy this processor runs, found once.
CopyKind best_copy_kind() noexcept;

// Copies n bytes from p to out, reading nothing past p + n and writing nothing past out + n:
// ASCII text that needs no decoding, or decoded units out of a scratch.
void copy_text(const std::uint8_t* p, std::uint8_t* out, std::size_t n,
               CopyKind kind = best_copy_kind()) noexcept;

// Units fill_text may store past the characters it writes.
inline constexpr std::size_t kFillSlack = 16;

// Writes the scanned text [p, end) decoded (references, CR LF and lone CR to LF) as code units
// of type Unit (std::uint8_t, std::uint16_t or std::uint32_t, wide enough for the scanned
// maxchar) from out on, and returns the end of them: the span's `chars` units. The units up to
// kFillSlack past that end may be overwritten. Reads at most 16 bytes past `end`. Every width
// writes the same units; Block32 widens and decodes with AVX2.
template <class Unit>
Unit* fill_text(const std::uint8_t* p, const std::uint8_t* end, Unit* out,
                ScanWidth width = best_scan_width()) noexcept;

}  // namespace tovrel
