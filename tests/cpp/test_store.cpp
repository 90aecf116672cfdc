// The store's compact cell table and formula templates, as seen through their operations.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/cell_table.h"
#include "store/template.h"

namespace tovrel {
namespace {

Rec rec(std::uint32_t row, std::uint32_t col, Kind kind, std::uint64_t payload,
        std::uint32_t style = 0, std::uint8_t dtype = 0) {
    return Rec{cell_key(row, col), payload, style, kind, dtype};
}

std::vector<CellKey> keys(const CellTable& t) {
    std::vector<CellKey> out;
    for (const Loc& l : t.locs()) out.push_back(t.entry(l).key);
    return out;
}

TEST(CellTable, ValuesAndStylesReadBackExactly) {
    struct Case {
        Kind kind;
        std::uint64_t payload;
        std::uint32_t style;
        std::uint64_t wide_slots;  // wide payloads used by this cell alone
    };
    const auto i64 = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
    const Case cases[] = {
        {Kind::Int, i64(2147483647), 0, 0},
        {Kind::Int, i64(-2147483648LL), 1, 0},
        {Kind::Int, i64(2147483648LL), 2, 1},
        {Kind::Int, i64(-2147483649LL), 0xFFFE, 1},
        {Kind::Int, i64(INT64_MIN), 0xFFFF, 1},
        {Kind::Float, 0x400921FB54442D18ULL, 70000, 1},
        {Kind::DateInt, 60, 0xFFFFFFFE, 1},
        {Kind::Bool, 1, 5, 0},
        {Kind::Templated, 7, 5, 0},
        {Kind::Empty, 0, 0xFFFFFFFF, 0},
    };
    CellTable t;
    t.begin_loading();
    std::uint32_t col = 1;
    for (const Case& c : cases) t.load(rec(3, col++, c.kind, c.payload, c.style, 4));
    t.finish_loading();
    ASSERT_EQ(t.size(), std::size(cases));
    col = 1;
    for (const Case& c : cases) {
        const Loc loc = t.find_key(cell_key(3, col));
        ASSERT_EQ(loc.tag, Loc::Base);
        const Rec r = t.entry(loc);
        EXPECT_EQ(r.key, cell_key(3, col));
        EXPECT_EQ(r.kind, c.kind) << col;
        EXPECT_EQ(r.payload, c.payload) << col;
        EXPECT_EQ(r.style, c.style) << col;
        EXPECT_EQ(r.dtype, 4);
        ++col;
    }
}

TEST(CellTable, BytesPerCell) {
    // 10 bytes per record, plus 8 per wide payload; one text shares one wide slot. Measured on
    // a whole chunk.
    struct Case {
        Kind kind;
        std::int64_t value;
        std::size_t per_cell;
    };
    for (const Case c : {Case{Kind::Int, 2147483647, 10}, Case{Kind::Int, -2147483648LL, 10},
                         Case{Kind::Int, 2147483648LL, 18}, Case{Kind::Int, -2147483649LL, 18},
                         Case{Kind::ArenaText, 0, 10}, Case{Kind::Templated, 0, 10}}) {
        CellTable t;
        const std::size_t empty = t.bytes();
        t.begin_loading();
        std::uint64_t payload = static_cast<std::uint64_t>(c.value);
        if (c.kind == Kind::ArenaText) payload = *t.store_text("shared text");
        for (std::uint32_t i = 0; i < 65536; ++i)
            t.load(rec(i / 100 + 1, i % 100 + 1, c.kind, payload));
        t.finish_loading();
        const std::size_t per = (t.bytes() - empty) / 65536;
        EXPECT_EQ(per, c.per_cell) << c.value;  // rows and row starts round down to 0
    }
}

TEST(CellTable, ArenaSharesEqualTextsWhileLoading) {
    CellTable t;
    t.begin_loading();
    const std::string big(TextArena::kMaxText, 'x');
    const std::string almost(TextArena::kMaxText - 1, 'y');
    struct Case {
        std::string text;
        bool in_arena;
        std::size_t arena_after;
    };
    const Case cases[] = {
        {"abc", true, 3},
        {"abc", true, 3},     // shared
        {"abd", true, 6},
        {"", true, 6},
        {big, false, 6},      // 2^24 bytes: kept as an object
        {almost, true, 6 + almost.size()},
        {"abd", true, 6 + almost.size()},
    };
    std::vector<std::uint64_t> refs;
    for (const Case& c : cases) {
        std::optional<std::uint64_t> ref = t.store_text(c.text);
        EXPECT_EQ(ref.has_value(), c.in_arena);
        EXPECT_EQ(t.text_bytes(), c.arena_after);
        if (ref) {
            EXPECT_EQ(t.text(*ref), c.text);
            refs.push_back(*ref);
        }
    }
    EXPECT_EQ(refs[0], refs[1]);
    EXPECT_EQ(refs[2], refs[5]);
    t.finish_loading();
    EXPECT_NE(t.store_text("abc"), refs[0]);  // no sharing after loading
}

TEST(CellTable, RemovalAndOverlayCompaction) {
    CellTable t;
    t.begin_loading();
    for (std::uint32_t c = 1; c <= 3; ++c) t.load(rec(1, c, Kind::Bool, 0));
    t.finish_loading();
    const std::uint64_t gen = t.generation();
    t.remove(t.find_key(cell_key(1, 2)));
    EXPECT_FALSE(t.find_key(cell_key(1, 2)).found());  // its slot remains, the cell is gone
    EXPECT_GT(t.generation(), gen);

    // 3000 overlay cells, then remove all but every third: compaction runs once dead
    // records pass 1,023 and outnumber the live ones.
    std::vector<CellKey> want = {cell_key(1, 1), cell_key(1, 3)};
    for (std::uint32_t i = 0; i < 3000; ++i) t.insert_new(rec(10 + i, 1, Kind::Empty, 0));
    struct Step {
        std::uint32_t removed;
        std::uint64_t slots_after;
    };
    std::uint32_t removed = 0;
    std::vector<Step> seen;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        if (i % 3 == 2) continue;
        t.remove(t.find_key(cell_key(10 + i, 1)));
        ++removed;
        if (removed == 1024 || removed == 1500 || removed == 2000)
            seen.push_back({removed, t.overlay_slots()});
    }
    for (std::uint32_t i = 2; i < 3000; i += 3) want.push_back(cell_key(10 + i, 1));
    // 1,024 dead against 1,976 live: no compaction yet; at 1,500 dead against 1,500 live it
    // compacts to the live cells; the next 500 removals stay below 1,024 dead.
    EXPECT_EQ(seen[0].slots_after, 3000u);
    EXPECT_EQ(seen[1].slots_after, 1500u);
    EXPECT_EQ(seen[2].slots_after, 1500u);
    EXPECT_EQ(keys(t), want);
    for (CellKey k : want) EXPECT_TRUE(t.find_key(k).found());
    EXPECT_EQ(t.size(), want.size());
}

// --- templates --------------------------------------------------------------------------------

TEST(Templates, ScannerFindsReferencesOnly) {
    struct Case {
        const char* text;
        std::vector<std::string> refs;
    };
    const Case cases[] = {
        {"=A1+$B$7*XFD1048576-ZZZ9999999", {"A1", "$B$7", "XFD1048576", "ZZZ9999999"}},
        {"=A01+AAAA1+LOG10(1)+a1+A1.5", {}},
        {"=Sheet1!B2", {"B2"}},
        {"=\"A1\"&B1&'C1''D1'!E1", {"B1", "E1"}},
        {"=SUM(A1:B2)_C3", {"A1", "B2"}},
        {"=A12345678+$A$1", {"$A$1"}},
        {"=\"open A1", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        const std::string_view t = c.text;
        for (const ScannedRef& r : scan_refs(t)) got.emplace_back(t.substr(r.start, r.end - r.start));
        EXPECT_EQ(got, c.refs) << c.text;
    }
}

TEST(Templates, SharingAndRendering) {
    struct Cell {
        const char* text;
        std::int64_t row, col;
        std::optional<std::uint32_t> want;
    };
    const Cell cells[] = {
        {"=A1*2", 1, 2, std::nullopt},   // first of its shape: stays text
        {"=A2*2", 2, 2, 0},              // becomes template 0
        {"=A7*2", 7, 2, 0},
        {"=A3*3", 3, 2, std::nullopt},   // other literal text: another shape
        {"=$A$1+B1", 1, 3, std::nullopt},
        {"=$A$1+B5", 5, 3, 1},           // absolute part unchanged
        {"=A1", 1, 1, std::nullopt},     // too short
        {"=A2", 2, 1, std::nullopt},
        {"=\"A1\"&B1", 1, 3, std::nullopt},
        {"=\"A1\"&B2", 2, 3, 2},         // the quoted A1 is literal
        {"=ZZZ1+1", 1, 1, std::nullopt},
        {"=ZZZ2+1", 2, 1, 3},
        {"=XFD1*2", 1, 1, std::nullopt},  // template 0's shape only off the sheet's left edge
    };
    Templates ts;
    for (const Cell& c : cells) EXPECT_EQ(ts.template_for(c.text, c.row, c.col), c.want) << c.text;
    ASSERT_EQ(ts.size(), 4u);
    struct Render {
        std::uint32_t index;
        std::int64_t row, col;
        const char* want;  // nullptr: fails
    };
    const Render renders[] = {
        {0, 2, 2, "=A2*2"},   {0, 10, 5, "=D10*2"},  {0, 1, 1, nullptr},
        {1, 9, 4, "=$A$1+C9"}, {2, 4, 3, "=\"A1\"&B4"}, {3, 5, 1, "=ZZZ5+1"}, {3, 5, 2, nullptr},
    };
    for (const Render& r : renders) {
        std::string out;
        const bool ok = ts[r.index].render_into(r.row, r.col, out);
        EXPECT_EQ(ok, r.want != nullptr) << r.index << " " << out;
        if (r.want) {
            EXPECT_EQ(out, r.want);
            EXPECT_TRUE(ts[r.index].matches(out, r.row, r.col));
        }
    }
    EXPECT_FALSE(ts[0].matches("=A2*2 ", 2, 2));
    EXPECT_FALSE(ts[0].matches("=A2*", 2, 2));
}

}  // namespace
}  // namespace tovrel
