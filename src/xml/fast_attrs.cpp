#include "xml/fast_attrs.h"

namespace tovrel {

namespace {

// Hands each attribute to the selector; refuses xmlns, a repeated name and a ninth attribute.
struct SelectorSink {
    static constexpr std::size_t kMaxAttrs = 8;
    const std::uint8_t* buf;
    AttrSlots& slots;
    AttrSelector selector;
    std::string_view seen[kMaxAttrs]{};
    std::size_t count = 0;

    bool take(const ScannedAttr& a) {
        const std::string_view name(reinterpret_cast<const char*>(buf + a.qname_start),
                                    a.qname_end - a.qname_start);
        if (name == "xmlns" || count == kMaxAttrs) return false;
        for (std::size_t i = 0; i < count; ++i)
            if (seen[i] == name) return false;
        seen[count++] = name;
        return selector(slots, name, a.value_start, a.value_end);
    }
};

}  // namespace

TagScan fast_attrs(const std::uint8_t* buf, std::size_t length, std::size_t position,
                   AttrSlots& slots, AttrSelector selector) noexcept {
    SelectorSink sink{buf, slots, selector};
    return scan_attrs<TightTagShape>(buf, position, length, sink);
}

bool select_cell(AttrSlots& slots, std::string_view name, std::size_t value_start,
                 std::size_t value_end) noexcept {
    if (name.size() == 1) {
        int slot = name[0] == 'r' ? 0 : name[0] == 's' ? 1 : name[0] == 't' ? 2 : -1;
        if (slot >= 0) slots[static_cast<std::size_t>(slot)] = Span{value_start, value_end};
    }
    return true;
}

bool select_formula(AttrSlots& slots, std::string_view name, std::size_t value_start,
                    std::size_t value_end) noexcept {
    int slot = name == "t" ? 0 : name == "ref" ? 1 : name == "si" ? 2 : -1;
    if (slot < 0) return false;
    slots[static_cast<std::size_t>(slot)] = Span{value_start, value_end};
    return true;
}

}  // namespace tovrel
