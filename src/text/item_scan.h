// The shared-strings fast path: items of one of the two common shapes read straight from the
// input window, <si><t>text</t></si>, or runs <si><r><rPr>…</rPr><t>text</t></r>…</si> whose
// run properties are known to be harmless (each <t> may carry xml:space="preserve", each <rPr> is
// optional). A run of such items is taken in one call: for each, one pass checks the texts with
// the reader's character and reference rules and measures them (characters after decoding and
// the widest character); a second pass writes the characters at their final width straight into
// the room the caller gives. An item of the first shape with phonetic runs after its text, which
// the reader would hand over as markup, is checked the same way and handed over as its raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "utils/function_ref.h"

// 32- and 64-byte text checks: x86-64 with GCC or Clang, used where the processor has AVX2 or
// AVX-512.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOVREL_SCAN32 1
#else
#define TOVREL_SCAN32 0
#endif

namespace tovrel {

// The block the text checks step by: 16 bytes (SSE2, or two machine words) anywhere, 32 bytes
// (AVX2) or 64 bytes (AVX-512 F/BW/VL/VBMI/VBMI2) where the processor has them. All take and
// refuse exactly the same items.
enum class ScanWidth : std::uint8_t { Block16, Block32, Block64 };

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
    std::size_t item_start = 0;                // markup items: offset of the item's "<si>"
    std::size_t item_end = 0;                  // offset just past "</si>"
    std::size_t chars = 0;                     // characters of the decoded texts together
    std::uint32_t maxchar = 0x7F;              // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: widest class
    bool decode = false;   // references or CR: the text must be decoded, not just converted
    bool rewrite = false;  // "x005F_" may stand in the decoded texts together
    bool markup = false;   // phonetic runs: the item is the caller's to read from its raw bytes
};

// Whether an <rPr> element, given by its raw bytes from "<rPr>" to the first "</rPr>", is one the
// general reader has read in the same namespace scope and whose properties the plain text may
// ignore. False leaves the item to the general reader.
using RprVerdict = FunctionRef<bool(std::string_view rpr)>;

// How copy_text moves bytes: overlapping word copies anywhere, or masked 64-byte loads and
// stores (AVX-512BW) where the processor has them, with no branch on the length.
enum class CopyKind : std::uint8_t { Words, Masked64 };

// The best copy this processor runs, found once.
CopyKind best_copy_kind() noexcept;

// Copies n bytes from p to out, reading nothing past p + n and writing nothing past out + n:
// ASCII text that needs no decoding, or decoded units out of a scratch.
void copy_text(const std::uint8_t* p, std::uint8_t* out, std::size_t n,
               CopyKind kind = best_copy_kind()) noexcept;

// Where take_si_items writes an item it has scanned: room for exactly scan.chars code units of
// the width scan.maxchar asks for (one byte up to 0xFF, two up to 0xFFFF, else four), or null
// when the caller has built the item itself from the scan's spans (as it must when scan.rewrite
// is set: "x005F_" is to go). For a markup item nothing is written and the result is ignored.
using ItemSink = FunctionRef<void*(const ItemScan& scan)>;

// Where the items take_si_items took lie in the buffer.
struct TakenItems {
    std::size_t last_start;  // where the last item taken begins
    std::size_t end;         // just past it; the position asked for when none was taken
};

// Takes the items from buf[pos] on (buf holds `filled` bytes and stays readable for 16 bytes
// past them) while each is whole there, has one of the shapes and its texts break no rule of the
// reader, handing each to `sink` and writing its text (references, CR LF and lone CR decoded)
// where the sink says, nothing past the room. It stops before the first item of any other shape
// or with anything the general reader would have to report. Every width takes the same items and
// writes the same units; Block32 checks and decodes with AVX2, Block64 with AVX-512.
TakenItems take_si_items(const std::uint8_t* buf, std::size_t filled, std::size_t pos,
                         RprVerdict rpr_verdict, ItemSink sink,
                         ScanWidth width = best_scan_width(),
                         CopyKind copy_kind = best_copy_kind());

}  // namespace tovrel
