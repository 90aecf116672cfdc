// The compact cell table of a CellStore: cells read from a worksheet in 10-byte records grouped
// by row (the base), cells added later in an insertion-ordered overlay, and the texts of both in
// one byte arena. Python objects live in the store's object table (store/py_store.h); here a
// payload only names their slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/cell_ref.h"
#include "store/chunk_vec.h"
#include "store/template.h"
#include "utils/fx_hash.h"

namespace tovrel {

// What a record's payload holds.
enum class Kind : std::uint8_t {
    Deleted = 0,       // a removed cell's slot; never visible
    CellObject = 1,    // object-table index of a materialised cell object
    Empty = 2,         // None
    Int = 3,           // signed 64-bit integer
    Float = 4,         // bits of a double
    Bool = 5,          // 0 / 1
    SharedString = 6,  // index into the shared-strings list
    ArenaText = 7,     // text reference into the arena
    SharedAt = 8,      // shared formula rendered at the cell
    SharedOwn = 9,     // shared formula rendered without a destination
    DateInt = 10,      // integer date serial
    DateFloat = 11,    // bits of a double date serial
    Object = 12,       // object-table index of any Python value
    Templated = 13,    // template index
    SmallInt = 100,    // signed 32-bit integer held inline in a base record; reads as Int
};

inline constexpr std::uint32_t kNoStyle = 0xFFFFFFFF;

// A cell read in full.
struct Rec {
    CellKey key = 0;
    std::uint64_t payload = 0;
    std::uint32_t style = kNoStyle;
    Kind kind = Kind::Deleted;
    std::uint8_t dtype = 0;
};

// A base record: column, kind, dtype, style (0xFFFF: see the style side map) and a 32-bit
// payload that is either the value itself or an index into the wide payloads.
#pragma pack(push, 1)
struct CompactRec {
    std::uint16_t column;
    std::uint8_t kind;
    std::uint8_t dtype;
    std::uint16_t style;
    std::uint32_t payload;
};
#pragma pack(pop)
static_assert(sizeof(CompactRec) == 10);

// Where a cell lives.
struct Loc {
    enum Tag : std::uint32_t { Base = 0, Overlay = 1, Absent = 2 };
    std::uint32_t tag = Absent;
    std::uint32_t row = 0;     // Base: the row number
    std::uint64_t index = 0;   // Base: global record index; Overlay: overlay index
    bool found() const noexcept { return tag != Absent; }
};

// Texts back to back; a reference is offset << 24 | length.
class TextArena {
public:
    static constexpr std::uint64_t kMaxText = std::uint64_t{1} << 24;
    static constexpr std::uint64_t kMaxArena = std::uint64_t{1} << 40;

    // The reference of `text`, stored now or (while sharing) found among the texts stored with
    // the same hash; nothing when the text is too long or the arena full.
    std::optional<std::uint64_t> store(std::string_view text, bool share);
    std::string_view text(std::uint64_t ref) const noexcept {
        return std::string_view(bytes_.data() + (ref >> 24), ref & (kMaxText - 1));
    }
    std::size_t size() const noexcept { return bytes_.size(); }
    void end_sharing();
    void clear();
    std::size_t bytes() const noexcept;

private:
    std::string bytes_;
    std::unordered_map<std::uint64_t, std::uint64_t, FxU64Hash> by_hash_;  // while loading
};

// Hash of the style side map: keyed per table, a new key at every reset.
struct KeyedHash {
    std::uint64_t key = 0;
    std::size_t operator()(std::uint32_t x) const noexcept {
        FxHasher h;
        h.add(key);
        h.add(x);
        return static_cast<std::size_t>(h.finish());
    }
};

struct Base {
    static constexpr std::uint64_t kWideMask = 0xC98;  // kinds 3, 4, 7, 10, 11

    Base();

    std::vector<std::uint32_t> rows;    // strictly ascending
    std::vector<std::uint32_t> starts;  // rows.size() + 1 entries; starts[0] = 0
    ChunkVec<CompactRec> records;
    ChunkVec<std::uint64_t> wide;
    std::unordered_map<std::uint32_t, std::uint32_t, KeyedHash> styles;
    std::unordered_map<std::uint64_t, std::uint32_t, FxU64Hash> text_slots;  // while loading
    std::uint64_t live = 0;

    // The compact (kind, payload) of a value; pushes wide payloads as needed.
    void encode(Kind kind, std::uint64_t value, std::uint8_t& out_kind, std::uint32_t& out_payload);
    void set_style(std::uint64_t index, std::uint32_t style);
    std::uint32_t style_of(std::uint64_t index, const CompactRec& r) const;
    std::size_t bytes() const noexcept;
};

class CellTable {
public:
    Loc find_key(CellKey key) const;
    Rec entry(const Loc& loc) const;

    // A new overlay record; the end of the iteration order.
    Loc insert_new(const Rec& rec);
    // Marks the cell removed and returns its record, whose payload the caller releases.
    Rec remove(const Loc& loc);
    // Rewrites the kind and payload of a cell in place; style and dtype stay.
    void rewrite(const Loc& loc, Kind kind, std::uint64_t payload);
    // Rewrites a whole cell in place (a repeated cell while loading).
    void rewrite_full(const Loc& loc, const Rec& rec);

    // Loading: starts with sharing maps, adds cells in document order, ends sharing.
    void begin_loading();
    // A cell already present is rewritten in place and its old record returned, for the caller
    // to release its payload.
    std::optional<Rec> load(const Rec& rec);
    void finish_loading();

    // Every live cell, base in storage order, then overlay in insertion order.
    std::vector<Loc> locs() const;
    void reset();

    // Text references: the arena while it takes the text (shared with equal texts while
    // loading), else nothing and the caller keeps the text as an object.
    std::optional<std::uint64_t> store_text(std::string_view text) { return arena_.store(text, loading_); }
    std::string_view text(std::uint64_t ref) const noexcept { return arena_.text(ref); }

    std::uint64_t size() const noexcept { return base_.live + overlay_live_; }
    std::uint64_t generation() const noexcept { return generation_; }
    std::uint64_t base_slots() const noexcept { return base_.records.size(); }
    std::uint64_t overlay_slots() const noexcept { return overlay_.size(); }
    // Slot `i` of the iteration walk (base slots, then overlay slots): its location, or
    // Absent for a removed cell.
    Loc slot(std::uint64_t i) const;
    std::size_t text_bytes() const noexcept { return arena_.size(); }
    // The last live cell in iteration order, or Absent.
    Loc last() const;

    Templates& templates() noexcept { return templates_; }
    const Templates& templates() const noexcept { return templates_; }

    // Bytes of every native structure, reserved room included.
    std::size_t bytes() const noexcept;

private:
    void compact_overlay();
    std::uint32_t row_of(std::uint64_t index) const;

    Base base_;
    std::vector<Rec> overlay_;
    std::unordered_map<CellKey, std::uint32_t, FxU64Hash> overlay_map_;
    std::uint64_t overlay_live_ = 0;
    TextArena arena_;
    Templates templates_;
    std::uint64_t generation_ = 0;
    bool loading_ = false;
    bool overlay_touched_ = false;  // this load sent a cell to the overlay
    // Walk slots from here to the end are all removed cells (a hint for last()).
    mutable std::uint64_t tail_ = 0;
};

}  // namespace tovrel
