#include "utils/py_str.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "utils/scan.h"
#include "utils/utf8.h"

namespace tovrel {

namespace {

Ref decode_general(std::string_view text) {
    return Ref::check(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// Writes the characters of the well-formed UTF-8 at p. ASCII goes a word at a time up to the
// next multi-byte character, which is decoded where it stands.
template <class Unit>
void fill(Unit* out, const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            const std::uint64_t high = scan::load(p + i) & scan::kHigh;
            const std::size_t ascii = high ? scan::first(high) : 8;
            for (std::size_t k = 0; k < ascii; ++k) out[k] = p[i + k];
            out += ascii;
            i += ascii;
            if (!high) continue;
        } else if (p[i] < 0x80) {
            *out++ = p[i++];
            continue;
        }
        const std::uint8_t c = p[i];
        if (c < 0xE0) {
            *out++ = static_cast<Unit>(((c & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu));
            i += 2;
        } else if (c < 0xF0) {
            *out++ = static_cast<Unit>(((c & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) |
                                       (p[i + 2] & 0x3Fu));
            i += 3;
        } else {
            *out++ = static_cast<Unit>(((c & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) |
                                       ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3Fu));
            i += 4;
        }
    }
}

// Per-byte tests on a word of well-formed UTF-8, high bit of each byte that passes. Adding to
// the low seven bits of a byte never carries into the next byte.
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
// 10xxxxxx: a continuation byte.
inline std::uint64_t continuation_bytes(std::uint64_t w) noexcept {
    return w & scan::kHigh & ~(w << 1);
}
// 0xC4 and above: the lead of a character past U+00FF.
inline std::uint64_t lead_past_latin1(std::uint64_t w) noexcept {
    return ((w & kLow7) + scan::kOnes * 0x3C) & w & scan::kHigh;
}
// 0xF0 and above: the lead of a character past U+FFFF.
inline std::uint64_t lead_past_bmp(std::uint64_t w) noexcept {
    return ((w & kLow7) + scan::kOnes * 0x10) & w & scan::kHigh;
}

// The str of `chars` characters, none above `maxchar`, from the well-formed UTF-8 at p.
Ref new_str(const std::uint8_t* p, std::size_t n, std::size_t chars, Py_UCS4 maxchar) {
    Ref str = Ref::check(PyUnicode_New(static_cast<Py_ssize_t>(chars), maxchar));
    if (maxchar < 0x80) {
        std::memcpy(PyUnicode_1BYTE_DATA(str.get()), p, n);
    } else if (maxchar <= 0xFF) {
        fill(PyUnicode_1BYTE_DATA(str.get()), p, n);
    } else if (maxchar <= 0xFFFF) {
        fill(PyUnicode_2BYTE_DATA(str.get()), p, n);
    } else {
        fill(PyUnicode_4BYTE_DATA(str.get()), p, n);
    }
    return str;
}

}  // namespace

Ref str_of_valid(std::string_view text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
    std::uint64_t high = 0, past_latin1 = 0, past_bmp = 0;
    std::size_t continuations = 0;
    auto take = [&](std::uint64_t w) {
        const std::uint64_t h = w & scan::kHigh;
        high |= h;
        continuations += static_cast<std::size_t>(std::popcount(continuation_bytes(w)));
        past_latin1 |= lead_past_latin1(w);
        past_bmp |= lead_past_bmp(w);
    };
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) take(scan::load(p + i));
    if (i < n) take(scan::load_short(p + i, n - i, 0));
    const Py_UCS4 maxchar = !high ? 0x7F : past_bmp ? 0x10FFFF : past_latin1 ? 0xFFFF : 0xFF;
    return new_str(p, n, n - continuations, maxchar);
}

Ref bytes_of(std::string_view text) {
    return Ref::check(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref str_of(std::string_view text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
    {
        // ASCII (always valid) is copied as it stands: one pass over the words first.
        std::uint64_t seen = 0;
        std::size_t i = 0;
        for (; n - i >= 8; i += 8) seen |= scan::load(p + i);
        if (i < n) seen |= scan::load_short(p + i, n - i, 0);
        if (!(seen & scan::kHigh)) return new_str(p, n, n, 0x7F);
    }
    // Count characters and find the widest.
    std::size_t chars = 0;
    std::uint32_t widest = 0;
    const bool valid = walk_utf8(
        p, n, [&](std::size_t ascii) { chars += ascii; },
        [&](const std::uint8_t* seq, std::size_t len) {
            ++chars;
            if (len == 2)
                widest = std::max<std::uint32_t>(widest, seq[0] <= 0xC3 ? 0xFF : 0x7FF);
            else if (len == 3)
                widest = std::max<std::uint32_t>(widest, 0xFFFF);
            else
                widest = 0x10FFFF;
        });
    if (!valid) return decode_general(text);
    return new_str(p, n, chars, widest == 0 ? 0x7F : widest);
}

}  // namespace tovrel
