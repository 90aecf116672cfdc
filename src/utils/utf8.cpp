#include "utils/utf8.h"

namespace tovrel {

bool valid_utf8(const std::uint8_t* p, std::size_t n) noexcept {
    return walk_utf8(p, n, [](std::size_t) {}, [](const std::uint8_t*, std::size_t) {});
}

std::uint32_t decode_utf8(std::string_view text, std::size_t i, std::size_t& len) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const std::uint32_t b0 = p[i];
    len = 1;
    std::size_t need;
    std::uint32_t cp;
    std::uint32_t min;
    if (b0 < 0x80) {
        return b0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        return b0;
    }
    if (need > n - 1 - i) return b0;
    for (std::size_t k = 1; k <= need; ++k) {
        const std::uint32_t b = p[i + k];
        if (!is_utf8_continuation(static_cast<std::uint8_t>(b))) return b0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF) return b0;
    len = need + 1;
    return cp;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace tovrel
