// Style ids of written cells: whether a cell's style counts as styled, and its index in the
// workbook's list of distinct styles, with a cache keyed by the nine integers of a StyleArray so
// that a sheet sharing a handful of styles calls the host once per distinct style.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "utils/py_compat.h"
#include "utils/py_ref.h"

namespace tovrel {

class StyleCache {
public:
    // `style_array`: the host's StyleArray class; `cell_styles`: the workbook's indexed list of
    // styles (its `add` appends a new style and returns the index of any style).
    StyleCache(Ref style_array, Ref cell_styles);

    // What one look at a cell's style tells: whether it counts as styled and, for an exact
    // StyleArray of nine integers, the integers (the cache key).
    struct Look {
        bool styled = false;
        bool keyed = false;
        std::array<std::int32_t, 9> key{};
    };

    // None: unstyled. An exact StyleArray: styled when any of its integers is non-zero, read
    // through the buffer protocol. Anything else: builtins.any(style); its errors propagate.
    Look look(PyObject* style);
    bool has_style(PyObject* style) { return look(style).styled; }

    // cell_styles.add(style), cached for an exact StyleArray of nine integers.
    Ref style_id(PyObject* style) { return style_id(style, look_key(style)); }
    Ref style_id(PyObject* style, const Look& look);

    // str() of the style id, as the s attribute's text; cached with the id. `scratch` holds the
    // text of an uncached style.
    std::string_view style_text(PyObject* style, const Look& look, std::string& scratch);

    int traverse(visitproc visit, void* arg) const;

private:
    using Key = std::array<std::int32_t, 9>;
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept;
    };

    struct Entry {
        Ref id;
        std::string text;
    };

    Ref add(PyObject* style);
    Look look_key(PyObject* style);
    Entry& cached(PyObject* style, const Look& look);

    Ref style_array_;
    Ref cell_styles_;
    Ref any_;
    Ref add_name_;
    std::unordered_map<Key, Entry, KeyHash> cache_;
};

}  // namespace tovrel
