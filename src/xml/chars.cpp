#include "xml/chars.h"

#include "utils/error.h"
#include "utils/scan.h"
#include "utils/utf8.h"

namespace tovrel {

namespace chars {

namespace {

constexpr std::uint8_t class_of(int c) {
    std::uint8_t k = 0;
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (letter) k |= kLetter;
    if (letter || c == '_' || c == ':') k |= kNameStart | kNameChar;
    if (letter || c == '_') k |= kPlainStart | kPlainChar;
    if ((c >= '0' && c <= '9') || c == '-' || c == '.') k |= kNameChar | kPlainChar;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') k |= kWhite;
    if (c >= 0x80) k |= kHighByte;
    return k;
}

constexpr std::array<std::uint8_t, 256> make_table() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = class_of(c);
    return t;
}

}  // namespace

const std::array<std::uint8_t, 256> kClass = make_table();

}  // namespace chars

CharFlags scan_chars(const std::uint8_t* p, std::size_t n) noexcept {
    using namespace scan;
    CharFlags flags;
    // A control byte wins over bad UTF-8, which wins over U+FFFE/U+FFFF, wherever they stand.
    bool bad_utf8 = false, nonchar = false;
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            std::uint64_t w = load(p + i);
            std::uint64_t m = below_bytes(w, 0x20) | (w & kHigh) | eq_bytes(w, '&') | eq_bytes(w, ']');
            if (!m) {
                i += 8;
                continue;
            }
            i += first(m);
        }
        std::uint8_t c = p[i];
        if (c < 0x80) {
            if (c < 0x20) {
                if (c == '\r')
                    flags.cr = true;
                else if (c != '\t' && c != '\n') {
                    flags.error = "invalid character";
                    return flags;
                }
            } else if (c == '&') {
                flags.amp = true;
            } else if (c == ']' && n - i >= 3 && p[i + 1] == ']' && p[i + 2] == '>') {
                flags.cdata_end = true;
            }
            ++i;
            continue;
        }
        std::size_t len = utf8_sequence_length(p + i, n - i);
        if (!len) {
            bad_utf8 = true;
            ++i;
            continue;
        }
        // U+FFFE and U+FFFF: EF BF BE / EF BF BF.
        if (len == 3 && is_fffe_or_ffff(p + i)) nonchar = true;
        i += len;
    }
    if (bad_utf8)
        flags.error = "invalid utf-8";
    else if (nonchar)
        flags.error = "invalid character";
    return flags;
}

CharFlags check_chars(const std::uint8_t* p, std::size_t n) {
    const CharFlags flags = scan_chars(p, n);
    if (flags.error) throw Malformed(flags.error);
    return flags;
}

void validate_chars(const std::uint8_t* p, std::size_t n) { check_chars(p, n); }

}  // namespace tovrel
