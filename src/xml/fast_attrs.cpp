#include "xml/fast_attrs.h"

#include "xml/chars.h"

namespace tovrel {

FastResult fast_attrs(const std::uint8_t* buf, std::size_t length, std::size_t position,
                      FastSlots& slots, FastSelector selector) noexcept {
    constexpr FastResult refused{0, FastStatus::Refused};
    constexpr std::size_t kMaxAttrs = 8;
    std::string_view seen[kMaxAttrs];
    std::size_t count = 0;
    std::size_t p = position;
    for (;;) {
        if (p >= length) return refused;
        bool spaced = false;
        while (p < length && buf[p] == ' ') {
            ++p;
            spaced = true;
        }
        if (p >= length) return refused;
        std::uint8_t c = buf[p];
        if (c == '>') return {p + 1, FastStatus::Open};
        if (c == '/') {
            if (p + 1 < length && buf[p + 1] == '>') return {p + 2, FastStatus::SelfClosed};
            return refused;
        }
        if (!spaced) return refused;

        std::size_t name_start = p;
        while (p < length && is_letter(buf[p])) ++p;
        if (p == name_start || p + 1 >= length || buf[p] != '=' || buf[p + 1] != '"')
            return refused;
        std::string_view name(reinterpret_cast<const char*>(buf + name_start), p - name_start);
        if (name == "xmlns" || count == kMaxAttrs) return refused;
        for (std::size_t i = 0; i < count; ++i)
            if (seen[i] == name) return refused;
        seen[count++] = name;

        std::size_t value_start = p + 2;
        p = value_start;
        for (;; ++p) {
            if (p >= length) return refused;
            std::uint8_t v = buf[p];
            if (v == '"') break;
            if (v < 0x20 || v >= 0x80 || v == '&' || v == '<') return refused;
        }
        if (!selector(slots, name, value_start, p)) return refused;
        ++p;
    }
}

bool select_cell(FastSlots& slots, std::string_view name, std::size_t value_start,
                 std::size_t value_end) noexcept {
    if (name.size() == 1) {
        int slot = name[0] == 'r' ? 0 : name[0] == 's' ? 1 : name[0] == 't' ? 2 : -1;
        if (slot >= 0) slots[static_cast<std::size_t>(slot)] = Span{value_start, value_end};
    }
    return true;
}

bool select_formula(FastSlots& slots, std::string_view name, std::size_t value_start,
                    std::size_t value_end) noexcept {
    int slot = name == "t" ? 0 : name == "ref" ? 1 : name == "si" ? 2 : -1;
    if (slot < 0) return false;
    slots[static_cast<std::size_t>(slot)] = Span{value_start, value_end};
    return true;
}

}  // namespace tovrel
