// The host parser's settings for one reading call, read once from the `parser` object.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sheet/dates.h"
#include "utils/py_compat.h"
#include "utils/py_ref.h"

namespace tovrel {

// A small set of style ids, kept sorted; the ids below 256 (most sheets have no others) are
// also kept as bits, so a cell's lookup is one test.
class IntSet {
public:
    void insert(std::int64_t v) {
        auto it = std::lower_bound(values_.begin(), values_.end(), v);
        if (it == values_.end() || *it != v) values_.insert(it, v);
        if (is_small(v)) small_[v >> 6] |= std::uint64_t{1} << (v & 63);
    }
    bool contains(std::int64_t v) const noexcept {
        if (is_small(v)) return (small_[v >> 6] >> (v & 63)) & 1;
        return std::binary_search(values_.begin(), values_.end(), v);
    }
    bool empty() const noexcept { return values_.empty(); }
    std::size_t size() const noexcept { return values_.size(); }
    // Ascending.
    const std::vector<std::int64_t>& values() const noexcept { return values_; }

private:
    static bool is_small(std::int64_t v) noexcept { return static_cast<std::uint64_t>(v) < 256; }

    std::vector<std::int64_t> values_;
    std::uint64_t small_[4] = {};
};

struct Settings {
    IntSet date_formats;       // style ids of date-formatted cells
    IntSet timedelta_formats;  // style ids of duration-formatted cells
    // len(shared_strings) when it is exactly a list, else 0 (every lookup then goes through
    // Python indexing).
    std::size_t shared_strings_len = 0;
    Ref shared_strings;
    Ref epoch;                         // handed to the host's from_excel helper
    std::optional<Epoch> native_epoch; // when `epoch` is an exact, naive datetime.datetime
    bool formula_and_value = false;
    bool data_only = false;
    bool rich_text = false;

    // Reads the parser's attributes in this order: epoch, formula_and_value, shared_strings
    // (twice), data_only, rich_text, epoch (again), date_formats, timedelta_formats. Exceptions
    // from the host propagate unchanged as PyErrorSet, except that a formula_and_value which
    // cannot be read counts as false. References taken before a failure are released.
    static Settings from_parser(PyObject* parser);
};

// The int-set rule for the format-id sets: iterate `obj`, keep the items whose type is an int
// subclass other than bool and whose value fits a signed 64-bit integer, silently skip the
// others. Failing to iterate, or an error from the iteration itself, throws PyErrorSet.
IntSet int_set(PyObject* obj);

}  // namespace tovrel
