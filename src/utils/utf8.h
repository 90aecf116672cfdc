// UTF-8 primitives, each with one contract, shared by the reader, the text utilities, the
// formula tokenizer and the str builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "utils/scan.h"

namespace tovrel {

// Length of the well-formed UTF-8 sequence starting with p[0] (a byte of 0x80 or above) within
// n bytes, or 0 when the bytes there are not one (stray continuation byte, overlong form,
// surrogate, value past U+10FFFF, truncated sequence).
inline std::size_t utf8_sequence_length(const std::uint8_t* p, std::size_t n) noexcept {
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

// Byte length a lead byte announces, without looking further: 1 for ASCII and for bytes that
// cannot lead a sequence. For stepping over text already known to be well formed.
constexpr std::size_t utf8_lead_length(std::uint8_t lead) noexcept {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    return 1;
}

// Whether a byte continues a sequence (10xxxxxx) rather than starting a character.
constexpr bool is_utf8_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// Number of characters of well-formed text: the bytes that start one.
constexpr std::size_t utf8_char_count(std::string_view text) noexcept {
    std::size_t n = 0;
    for (char c : text) n += !is_utf8_continuation(static_cast<std::uint8_t>(c));
    return n;
}

// Whether the well-formed three-byte sequence at p is U+FFFE or U+FFFF (EF BF BE / EF BF BF).
constexpr bool is_fffe_or_ffff(const std::uint8_t* p) noexcept {
    return p[0] == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF);
}

// The code point of the well-formed sequence of `len` bytes at p (as utf8_sequence_length
// measured it).
constexpr std::uint32_t utf8_code_point(const std::uint8_t* p, std::size_t len) noexcept {
    switch (len) {
        case 1: return p[0];
        case 2: return ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        case 3: return ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        default:
            return ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
                   (p[3] & 0x3Fu);
    }
}

// Walks n bytes as UTF-8, ASCII a word at a time where it can: `on_ascii(count)` for each run of
// ASCII bytes it steps over, `on_sequence(p, len)` for each well-formed multi-byte sequence.
// Returns false, stopping there, at the first byte that does not start one.
template <class OnAscii, class OnSequence>
bool walk_utf8(const std::uint8_t* p, std::size_t n, OnAscii&& on_ascii,
               OnSequence&& on_sequence) {
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8 && !(scan::load(p + i) & scan::kHigh)) {
            on_ascii(std::size_t{8});
            i += 8;
            continue;
        }
        if (p[i] < 0x80) {
            on_ascii(std::size_t{1});
            ++i;
            continue;
        }
        const std::size_t len = utf8_sequence_length(p + i, n - i);
        if (!len) return false;
        on_sequence(p + i, len);
        i += len;
    }
    return true;
}

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool valid_utf8(const std::uint8_t* p, std::size_t n) noexcept;

// Lenient decoding for text that may be malformed: the character starting at text[i]
// (i < text.size()), its length stored in `len`. A byte that does not start a well-formed
// sequence decodes as itself with length 1, so callers always make progress and never read
// past the end.
std::uint32_t decode_utf8(std::string_view text, std::size_t i, std::size_t& len) noexcept;

// Appends the UTF-8 encoding of code point cp (at most U+10FFFF).
void append_utf8(std::string& out, std::uint32_t cp);

}  // namespace tovrel
