#include "xml/chars.h"

#include "utils/error.h"

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

bool valid_utf8(const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        std::uint8_t c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
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
            return false;
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

void validate_chars(const std::uint8_t* p, std::size_t n) {
    bool high = false;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t c = p[i];
        if (c < 0x20 && !(chars::kClass[c] & chars::kWhite)) throw Malformed("invalid character");
        high |= c >= 0x80;
    }
    if (!high) return;
    if (!valid_utf8(p, n)) throw Malformed("invalid utf-8");
    // U+FFFE and U+FFFF: EF BF BE / EF BF BF. Valid UTF-8 cannot hold EF BF as trailing bytes of
    // another character, so a byte match is a character match.
    for (std::size_t i = 0; i + 2 < n; ++i)
        if (p[i] == 0xEF && p[i + 1] == 0xBF && (p[i + 2] == 0xBE || p[i + 2] == 0xBF))
            throw Malformed("invalid character");
}

}  // namespace tovrel
