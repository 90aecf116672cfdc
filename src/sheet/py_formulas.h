// Formulas in cells: the formula value of an <f> child, and the table of shared-formula masters
// a worksheet parser keeps while it reads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "utils/error.h"
#include "formula/translator.h"
#include "sheet/py_values.h"
#include "utils/fx_hash.h"
#include "utils/py_compat.h"
#include "utils/py_gc.h"
#include "utils/py_ref.h"

namespace tovrel {

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
    std::optional<std::uint32_t> find(const std::string_view* si);
    // Appends an entry and maps `si` (or the no-`si` slot) to it, replacing an earlier mapping.
    std::uint32_t add(SharedEntry entry, const std::string_view* si);

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
    std::vector<SharedEntry> entries_;
    std::unordered_map<std::string, std::uint32_t, FxBytesHash, KeyEq> by_si_;
    std::optional<std::uint32_t> no_si_;
    // The last `si` found and its entry: the cells of a shared block usually follow each other.
    std::string last_si_;
    std::uint32_t last_index_ = 0;
    bool last_valid_ = false;
};

// The one conversion of a FormulaError into a Python exception: the host's TokenizerError /
// TranslatorError instance with the message, IndexError("pop from empty list") for an
// unbalanced closer. Always throws PyErrorSet (InternalError for NeedPython, which callers
// answer with the host's translator instead).
[[noreturn]] void raise_formula_error(const Helpers& helpers, const FormulaError& err);

// Makes a T of `args` in `value` and returns it. A value that holds nothing (as in a new record,
// where every cell's value starts) is made in place without the variant's generic reset, which
// is an out-of-line visit.
template <class T, class... Args>
T& emplace_val(Val& value, Args&&... args) {
    if (value.index() == 0) {
        std::construct_at(&value, std::in_place_type<T>, std::forward<Args>(args)...);
        return *std::get_if<T>(&value);
    }
    return value.emplace<T>(std::forward<Args>(args)...);
}

// The formula value of a cell with an <f> child, into `out` (a value that holds nothing): an Str
// beginning with "=", a SharedRef, or a host object. `cell` is the cell's position when its `r`
// is present and non-empty, else null.
void formula_value_into(Val& out, CellContext& ctx, const CellText& raw, CellFlags flags,
                        PyObject* f_attrs, const CellRef* cell);

}  // namespace tovrel
