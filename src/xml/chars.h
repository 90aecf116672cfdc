// Byte classes and the character rules of the reader: XML whitespace, ASCII name characters,
// and the check of character data, attribute values, comments and processing instructions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tovrel {

namespace chars {

enum : std::uint8_t {
    kNameStart = 1,  // ASCII letter, '_', ':'
    kNameChar = 2,   // kNameStart plus digits, '-', '.'
    kWhite = 4,      // space, tab, LF, CR
    kHighByte = 8,   // 0x80 and above
    kLetter = 16,    // ASCII letter
    kPlainStart = 32,  // ASCII letter, '_': starts a name without a prefix
    kPlainChar = 64,   // kPlainStart plus digits, '-', '.': name characters other than ':'
};

extern const std::array<std::uint8_t, 256> kClass;

}  // namespace chars

inline bool is_ws(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kWhite; }
inline bool is_name_start(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kNameStart; }
inline bool is_name_char(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kNameChar; }
inline bool is_letter(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kLetter; }
inline bool is_plain_start(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kPlainStart; }
inline bool is_plain_char(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kPlainChar; }

// Throws Malformed("invalid character") for a byte below 0x20 other than tab, LF and CR, or for
// U+FFFE / U+FFFF; Malformed("invalid utf-8") when bytes of 0x80 and above do not form valid
// UTF-8. Pure-ASCII spans skip the UTF-8 check.
void validate_chars(const std::uint8_t* p, std::size_t n);

// What check_chars saw besides valid characters.
struct CharFlags {
    bool amp = false;        // '&'
    bool cr = false;         // CR
    bool cdata_end = false;  // "]]>"
};

// validate_chars, reporting in the same pass which of '&', CR and "]]>" occur. ASCII runs free
// of those are skipped a word at a time; multi-byte characters are checked where they stand.
CharFlags check_chars(const std::uint8_t* p, std::size_t n);

// Length of the valid UTF-8 sequence starting with p[0] (a byte of 0x80 or above) within n
// bytes, or 0 when the bytes there are not one.
inline std::size_t utf8_length(const std::uint8_t* p, std::size_t n) noexcept {
    const std::uint8_t c = p[0];
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if ((p[k] & 0xC0) != 0x80) return 0;
    return len;
}

// Whether the bytes are valid UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool valid_utf8(const std::uint8_t* p, std::size_t n) noexcept;

}  // namespace tovrel
