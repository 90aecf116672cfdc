#include "xml/fast_attrs.h"

namespace tovrel {

TagScan fast_attrs(const std::uint8_t* buf, std::size_t length, std::size_t position,
                   AttrSlots& slots, AttrSelector selector) noexcept {
    return fast_attrs_with(buf, length, position, slots, selector);
}

}  // namespace tovrel
