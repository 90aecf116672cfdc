#include "utils/py_str.h"

#include <algorithm>
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

template <class Unit>
void fill(Unit* out, const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8 && !(scan::load(p + i) & scan::kHigh)) {
            for (std::size_t k = 0; k < 8; ++k) out[k] = p[i + k];
            out += 8;
            i += 8;
            continue;
        }
        const std::size_t len = utf8_lead_length(p[i]);
        *out++ = static_cast<Unit>(utf8_code_point(p + i, len));
        i += len;
    }
}

}  // namespace

Ref bytes_of(std::string_view text) {
    return Ref::check(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref str_of(std::string_view text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
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
    const Py_UCS4 maxchar = widest == 0 ? 0x7F : widest;
    Ref str = Ref::check(PyUnicode_New(static_cast<Py_ssize_t>(chars), maxchar));
    if (widest == 0) {
        std::memcpy(PyUnicode_1BYTE_DATA(str.get()), p, n);
    } else if (widest <= 0xFF) {
        fill(PyUnicode_1BYTE_DATA(str.get()), p, n);
    } else if (widest <= 0xFFFF) {
        fill(PyUnicode_2BYTE_DATA(str.get()), p, n);
    } else {
        fill(PyUnicode_4BYTE_DATA(str.get()), p, n);
    }
    return str;
}

}  // namespace tovrel
