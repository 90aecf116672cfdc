#include "utils/cell_ref.h"

#include "utils/text.h"

namespace tovrel {

std::size_t format_a1(CellRef ref, char* out) noexcept {
    const std::size_t n = column_letters(ref.column, out);
    return n + decimal_digits(ref.row, out + n);
}

}  // namespace tovrel
