// Byte classes and the character rules of the reader: XML whitespace, ASCII name characters,
// and the check of character data, attribute values, comments and processing instructions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tovrel {

namespace chars {

enum : std::uint8_t {
    kNameStart = 1,    // ASCII letter, '_', ':'
    kNameChar = 2,     // kNameStart plus digits, '-', '.'
    kWhite = 4,        // space, tab, LF, CR
    kHighByte = 8,     // 0x80 and above
    kLetter = 16,      // ASCII letter
    kPlainStart = 32,  // ASCII letter, '_': starts a name without a prefix
    kPlainChar = 64,   // kPlainStart plus digits, '-', '.': name characters other than ':'
    kSpace = 128,      // space only
};

constexpr std::uint8_t class_of(int c) {
    std::uint8_t k = 0;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (letter) k |= kLetter;
    if (letter || c == '_' || c == ':') k |= kNameStart | kNameChar;
    if (letter || c == '_') k |= kPlainStart | kPlainChar;
    if ((c >= '0' && c <= '9') || c == '-' || c == '.') k |= kNameChar | kPlainChar;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') k |= kWhite;
    if (c == ' ') k |= kSpace;
    if (c >= 0x80) k |= kHighByte;
    return k;
}

// Classes of the bytes of an attribute value, accumulated over a value to pick the checks and
// the decoding it needs.
enum : std::uint8_t {
    kValLt = 1,       // '<'
    kValControl = 2,  // below 0x20, not tab/LF/CR
    kValHigh = 4,     // 0x80 and above
    kValAmp = 8,      // '&'
    kValWhite = 16,   // tab, LF, CR: normalised to spaces
};

constexpr std::uint8_t value_class_of(int c) {
    if (c == '\t' || c == '\n' || c == '\r') return kValWhite;
    if (c < 0x20) return kValControl;
    if (c == '<') return kValLt;
    if (c == '&') return kValAmp;
    return c >= 0x80 ? kValHigh : 0;
}

template <std::uint8_t (*Of)(int)>
constexpr std::array<std::uint8_t, 256> table() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = Of(c);
    return t;
}

inline constexpr std::array<std::uint8_t, 256> kClass = table<class_of>();
inline constexpr std::array<std::uint8_t, 256> kValueClass = table<value_class_of>();

}  // namespace chars

inline bool is_ws(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kWhite; }
inline bool is_name_start(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kNameStart; }
inline bool is_name_char(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kNameChar; }
inline bool is_letter(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kLetter; }
inline bool is_plain_start(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kPlainStart; }
inline bool is_plain_char(std::uint8_t c) noexcept { return chars::kClass[c] & chars::kPlainChar; }

// What a span of character data holds besides valid characters.
struct CharFlags {
    bool amp = false;        // '&'
    bool cr = false;         // CR
    bool gt = false;         // '>'
    bool cdata_end = false;  // "]]>"
};

// The character check of one span, reported rather than thrown: `fault` is the message of the
// first rule the span breaks ("invalid character" for a byte below 0x20 other than tab, LF and
// CR, or for U+FFFE / U+FFFF; "invalid utf-8" when bytes of 0x80 and above do not form valid
// UTF-8), or null. A control byte wins over bad UTF-8, which wins over U+FFFE / U+FFFF, wherever
// they stand. ASCII runs free of '&', '>' and control bytes are skipped a word at a time;
// multi-byte characters are checked where they stand, so pure-ASCII spans skip the UTF-8 check.
// For well-formed spans it also sizes the characters: `continuations` counts the bytes that
// continue a multi-byte character (characters = bytes - continuations) and `widest_lead` is the
// largest lead byte of one (0 for pure ASCII), which tells the widest character's range.
struct CharScan {
    CharFlags seen;
    const char* fault = nullptr;
    std::size_t continuations = 0;
    std::uint8_t widest_lead = 0;
};
CharScan scan_chars(const std::uint8_t* p, std::size_t n) noexcept;

// scan_chars for the reader: throws Malformed(fault), else returns what the span holds.
CharFlags check_chars(const std::uint8_t* p, std::size_t n);
inline void validate_chars(const std::uint8_t* p, std::size_t n) { check_chars(p, n); }

}  // namespace tovrel
