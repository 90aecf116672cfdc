// Cell references: A1 parse and format against an independent column-name computation, and the
// cell key.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "utils/cell_ref.h"

namespace tovrel {
namespace {

// Column name by repeated division (the bijective base-26 digits, last first).
std::string model_letters(std::int64_t column) {
    std::string name;
    for (; column > 0; column = (column - 1) / 26)
        name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
    return name;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return static_cast<char>(c | 0x20); });
    return s;
}

// Every column, against the model, with rows of every digit count and the row limit.
TEST(CellRef, EveryColumnParsesAndFormatsBack) {
    const std::int64_t rows[] = {1, 9, 10, 4321, 1048576, 999999999};
    for (std::int64_t column = 1; column <= kMaxColumn; ++column) {
        const std::string name = model_letters(column);
        char buf[kMaxA1Length];
        ASSERT_EQ(std::string(buf, column_letters(column, buf)), name);
        ASSERT_EQ(column_number(name), column);
        ASSERT_EQ(column_number(lower(name)), column);
        for (std::int64_t row : rows) {
            const std::string a1 = name + std::to_string(row);
            ASSERT_EQ(fast_coordinate(a1), (CellRef{row, column})) << a1;
            ASSERT_EQ(std::string(buf, format_a1(CellRef{row, column}, buf)), a1);
        }
    }
    EXPECT_EQ(model_letters(kMaxColumn), "ZZZ");
}

TEST(CellRef, FastCoordinateRefuses) {
    for (const char* text : {"a1", "$A$1", "A$1", "aB1", "A01", "A0", "AAAA1", "A", "1", "",
                             "A1B", "A1234567890", " A1", "A1 ", "A 1", "A-1", "A+1", "A1:B2",
                             "@1", "[1"})
        EXPECT_EQ(fast_coordinate(text), std::nullopt) << text;
}

TEST(CellRef, KeyRoundTripAndOrder) {
    const CellRef refs[] = {{0, 0}, {1, 1}, {1, 2}, {2, 1}, {1048576, 16384}, {0xFFFFFFFF, 0xFFFFFFFF}};
    for (std::size_t i = 0; i < std::size(refs); ++i) {
        ASSERT_TRUE(refs[i].key());
        EXPECT_EQ(CellRef::of_key(*refs[i].key()), refs[i]);
        if (i > 0) {
            EXPECT_LT(*refs[i - 1].key(), *refs[i].key());  // rows first, then columns
        }
    }
    for (CellRef outside : {CellRef{-1, 1}, CellRef{1, -1}, CellRef{0x100000000, 1},
                            CellRef{1, 0x100000000}})
        EXPECT_EQ(outside.key(), std::nullopt);
}

}  // namespace
}  // namespace tovrel
