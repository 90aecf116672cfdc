// Formulas in cells: the formula value of an <f> child, and the table of shared-formula masters
// a worksheet parser keeps while it reads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formula/formula_error.h"
#include "formula/translator.h"
#include "sheet/py_values.h"
#include "utils/py_compat.h"
#include "utils/py_gc.h"
#include "utils/py_ref.h"

namespace tovrel {

// The engine's 64-bit hash of a byte-string key: its length as a word, then its bytes in
// little-endian 8-byte words (the last one zero-padded), then the finishing mix.
struct FxBytesHash {
    std::size_t operator()(std::string_view key) const noexcept;
};

// One registered master: a native translator, or the host's Translator instance.
struct SharedEntry {
    std::shared_ptr<const Translator> native;
    Ref py;
};

// Shared-formula masters in registration order. Entries are never removed: values already read
// refer to them by index.
class SharedFormulas {
public:
    std::size_t size() const noexcept { return entries_.size(); }
    const SharedEntry& entry(std::uint32_t index) const { return entries_.at(index); }

    // The entry for an `si` text, or for masters without `si` when `si` is null.
    std::optional<std::uint32_t> find(const std::string* si) const;
    // Appends an entry and maps `si` (or the no-`si` slot) to it, replacing an earlier mapping.
    std::uint32_t add(SharedEntry entry, const std::string* si);

    // The text of a native entry rendered for a destination that was checked when the value
    // was read; a failure here is an internal error.
    Ref render(const SharedRef& ref) const;

    // Visits the host translators of the entries (for the owner's GC traverse).
    friend int gc_visit(const GcVisitor& v, const SharedFormulas& table);

private:
    struct KeyEq {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
    };
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const noexcept { return FxBytesHash{}(key); }
    };

    std::vector<SharedEntry> entries_;
    std::unordered_map<std::string, std::uint32_t, KeyHash, KeyEq> by_si_;
    std::optional<std::uint32_t> no_si_;
};

// Raises the Python exception of a formula failure: the host's TokenizerError / TranslatorError
// instance with the message, IndexError for an unbalanced closer. Always throws PyErrorSet.
[[noreturn]] void raise_formula_error(const Helpers& helpers, const FormulaError& err);

// The formula value of a cell with an <f> child: an Str beginning with "=", a SharedRef, or a
// host object. `cell` is the cell's position when its `r` is present and non-empty.
Val formula_value(CellContext& ctx, const CellBufs& bufs, CellFlags flags, PyObject* f_attrs,
                  std::optional<Coord> cell);

}  // namespace tovrel
