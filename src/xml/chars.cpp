#include "xml/chars.h"

#include <bit>

#include "utils/error.h"
#include "utils/scan.h"
#include "utils/utf8.h"

namespace tovrel {

namespace {

using namespace scan;

// The bytes scan_chars looks at one by one: control bytes, high bytes, '&' and '>'.
inline std::uint64_t notable(std::uint64_t w) noexcept {
    return below_bytes(w, 0x20) | (w & kHigh) | eq_bytes(w, '&') | eq_bytes(w, '>');
}

// Eight bytes from p + i, a short tail padded with spaces (which are not notable).
inline std::uint64_t word_at(const std::uint8_t* p, std::size_t n, std::size_t i) noexcept {
    return n - i >= 8 ? load(p + i) : load_short(p + i, n - i, ' ');
}

// The first notable byte at or after i, or n: sixteen bytes a step while a whole block fits,
// then a word at a time.
inline std::size_t next_notable(const std::uint8_t* p, std::size_t n, std::size_t i) noexcept {
    for (; n - i >= 16; i += 16) {
        const block::Block b = block::load16(p + i);
        if (const std::uint32_t m =
                block::bits(block::control_or_high(b) | block::eq(b, '&') | block::eq(b, '>')))
            return i + static_cast<std::size_t>(std::countr_zero(m));
    }
    for (; i < n; i += 8)
        if (const std::uint64_t m = notable(word_at(p, n, i))) return i + first(m);
    return n;
}

// scan_chars from the first notable byte, at i.
CharScan scan_chars_from(const std::uint8_t* p, std::size_t n, std::size_t i) noexcept {
    CharScan out;
    CharFlags& seen = out.seen;
    bool bad_utf8 = false, nonchar = false;
    while (i < n) {
        const std::uint8_t c = p[i];
        if (c < 0x80) {
            if (c < 0x20) {
                if (c == '\r') {
                    seen.cr = true;
                } else if (c != '\t' && c != '\n') {
                    out.fault = "invalid character";
                    return out;
                }
            } else if (c == '&') {
                seen.amp = true;
            } else if (c == '>') {
                seen.gt = true;
                if (i >= 2 && p[i - 1] == ']' && p[i - 2] == ']') seen.cdata_end = true;
            }
            ++i;
        } else if (const std::size_t len = utf8_sequence_length(p + i, n - i)) {
            if (len == 3 && is_fffe_or_ffff(p + i)) nonchar = true;
            out.continuations += len - 1;
            if (c > out.widest_lead) out.widest_lead = c;
            i += len;
        } else {
            bad_utf8 = true;
            ++i;
        }
        i = next_notable(p, n, i);  // on to the next notable byte
    }
    if (bad_utf8)
        out.fault = "invalid utf-8";
    else if (nonchar)
        out.fault = "invalid character";
    return out;
}

}  // namespace

CharScan scan_chars(const std::uint8_t* p, std::size_t n) noexcept {
    const std::size_t i = next_notable(p, n, 0);
    return i < n ? scan_chars_from(p, n, i) : CharScan{};
}

CharFlags check_chars(const std::uint8_t* p, std::size_t n) {
    const CharScan scanned = scan_chars(p, n);
    if (scanned.fault) throw Malformed(scanned.fault);
    return scanned.seen;
}

}  // namespace tovrel
