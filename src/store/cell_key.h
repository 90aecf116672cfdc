// The 64-bit cell key: row << 32 | column. Ordered as unsigned numbers, keys order cells by row,
// then by column. Everything in the store that builds or takes apart a key goes through here.
#pragma once

#include <cstdint>

namespace tovrel {

using CellKey = std::uint64_t;

constexpr CellKey cell_key(std::uint32_t row, std::uint32_t column) noexcept {
    return static_cast<CellKey>(row) << 32 | column;
}
constexpr std::uint32_t key_row(CellKey key) noexcept { return static_cast<std::uint32_t>(key >> 32); }
constexpr std::uint32_t key_column(CellKey key) noexcept { return static_cast<std::uint32_t>(key); }

}  // namespace tovrel
