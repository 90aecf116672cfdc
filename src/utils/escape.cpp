#include "utils/escape.h"

#include <array>
#include <charconv>
#include <cstdint>

#include "utils/text.h"
#include "utils/utf8.h"

namespace tovrel {

namespace {

// Which bytes need attention, one table per routine and style. Bytes at or above 0x80 only
// matter in lxml style, where every non-ASCII character becomes a character reference.
using ByteSet = std::array<bool, 256>;

constexpr ByteSet make_set(std::string_view specials, bool high) {
    ByteSet set{};
    for (char c : specials) set[static_cast<unsigned char>(c)] = true;
    if (high)
        for (int b = 0x80; b < 0x100; ++b) set[b] = true;
    return set;
}

constexpr ByteSet kAttrEtree = make_set("\t\n\r\"&<>", false);
constexpr ByteSet kAttrLxml = make_set("\t\n\r\"&<>", true);
constexpr ByteSet kTextEtree = make_set("&<>", false);
constexpr ByteSet kTextLxml = make_set("\r&<>", true);

// Index of the first byte at or after `from` that is in `set`, or the text's size.
inline std::size_t scan(const ByteSet& set, std::string_view text, std::size_t from) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = from;
    while (i + 4 <= n) {
        if (set[p[i]]) return i;
        if (set[p[i + 1]]) return i + 1;
        if (set[p[i + 2]]) return i + 2;
        if (set[p[i + 3]]) return i + 3;
        i += 4;
    }
    while (i < n && !set[p[i]]) ++i;
    return i;
}

inline void append_char_ref(std::string& out, std::uint32_t cp) {
    char buf[16] = {'&', '#'};
    auto res = std::to_chars(buf + 2, buf + sizeof buf - 1, cp);
    *res.ptr++ = ';';
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

// Shared loop: copies runs of plain bytes in one piece and hands each special byte position to
// `escape`, which appends the replacement and returns how many input bytes it consumed.
template <class Escape>
inline void escape_into(std::string& out, std::string_view text, const ByteSet& set,
                        Escape&& escape) {
    std::size_t i = scan(set, text, 0);
    if (i == text.size()) {
        out.append(text);
        return;
    }
    out.reserve(out.size() + text.size() + text.size() / 4 + 8);
    std::size_t start = 0;
    while (i < text.size()) {
        out.append(text.data() + start, i - start);
        i += escape(i);
        start = i;
        i = scan(set, text, i);
    }
    out.append(text.data() + start, text.size() - start);
}

inline bool append_entity(std::string& out, char c) {
    switch (c) {
        case '&': out.append("&amp;", 5); return true;
        case '<': out.append("&lt;", 4); return true;
        case '>': out.append("&gt;", 4); return true;
        case '"': out.append("&quot;", 6); return true;
        case '\n': out.append("&#10;", 5); return true;
        case '\r': out.append("&#13;", 5); return true;
        default: return false;
    }
}

}  // namespace

void esc_attr(std::string& out, std::string_view text, bool lxml) {
    escape_into(out, text, lxml ? kAttrLxml : kAttrEtree, [&](std::size_t i) -> std::size_t {
        const char c = text[i];
        if (c == '\t') {
            if (lxml)
                out.append("&#9;", 4);
            else
                out.append("&#09;", 5);
            return 1;
        }
        if (append_entity(out, c)) return 1;
        std::size_t len;
        append_char_ref(out, decode_utf8(text, i, len));
        return len;
    });
}

void esc_text(std::string& out, std::string_view text, bool lxml) {
    escape_into(out, text, lxml ? kTextLxml : kTextEtree, [&](std::size_t i) -> std::size_t {
        // '"' and '\n' never reach here: neither table marks them.
        if (append_entity(out, text[i])) return 1;
        std::size_t len;
        append_char_ref(out, decode_utf8(text, i, len));
        return len;
    });
}

}  // namespace tovrel
