#include "utils/text.h"

#include "utils/utf8.h"

namespace tovrel {

namespace {

// Whitespace test for the character at text[i]; a malformed byte (which decodes as itself) is
// never whitespace, even when its value is that of U+0085 or U+00A0.
bool space_at(std::string_view text, std::size_t i, std::size_t& len) noexcept {
    const std::uint32_t cp = decode_utf8(text, i, len);
    return is_py_space(cp) && (cp < 0x80 || len > 1);
}

}  // namespace

std::string_view py_strip(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end) {
        std::size_t len;
        if (!space_at(text, begin, len)) break;
        begin += len;
    }
    while (end > begin) {
        // Back up to the first byte of the last character (at most 3 continuation bytes).
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 && is_utf8_continuation(p[start])) --start;
        std::size_t len;
        if (!space_at(text, start, len) || start + len != end) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace tovrel
