#include "store/cell_table.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>

namespace tovrel {

namespace {

// A fresh key for a style side map: a process-wide counter mixed with the clock.
std::uint64_t new_style_key() noexcept {
    static std::atomic<std::uint64_t> counter{0};
    FxHasher h;
    h.add(counter.fetch_add(1, std::memory_order_relaxed));
    h.add(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return h.finish();
}

[[noreturn]] void internal(const char* what) { throw std::logic_error(what); }

template <class Map>
std::size_t map_bytes(const Map& m) noexcept {
    // buckets plus one node (two pointers of overhead around the pair) per entry
    return m.bucket_count() * sizeof(void*) +
           m.size() * (sizeof(typename Map::value_type) + 2 * sizeof(void*));
}

}  // namespace

// --- text arena --------------------------------------------------------------------------------

std::optional<std::uint64_t> TextArena::store(std::string_view text, bool share) {
    if (text.size() >= kMaxText || bytes_.size() >= kMaxArena) return std::nullopt;
    std::uint64_t hash = 0;
    if (share) {
        hash = FxHasher::of_text(text);
        auto it = by_hash_.find(hash);
        if (it != by_hash_.end() && this->text(it->second) == text) return it->second;
    }
    const std::uint64_t ref = static_cast<std::uint64_t>(bytes_.size()) << 24 | text.size();
    bytes_.append(text);
    if (share) by_hash_.insert_or_assign(hash, ref);
    return ref;
}

void TextArena::end_sharing() {
    std::unordered_map<std::uint64_t, std::uint64_t, FxU64Hash>().swap(by_hash_);
    bytes_.shrink_to_fit();
}

void TextArena::clear() {
    std::string().swap(bytes_);
    std::unordered_map<std::uint64_t, std::uint64_t, FxU64Hash>().swap(by_hash_);
}

std::size_t TextArena::bytes() const noexcept { return bytes_.capacity() + map_bytes(by_hash_); }

// --- base --------------------------------------------------------------------------------------

Base::Base() : starts{0}, styles(0, KeyedHash{new_style_key()}) {}

void Base::encode(Kind kind, std::uint64_t value, std::uint8_t& out_kind,
                  std::uint32_t& out_payload) {
    const auto k = static_cast<std::uint8_t>(kind);
    if (kind == Kind::Int) {
        const auto v = static_cast<std::int64_t>(value);
        if (v >= INT32_MIN && v <= INT32_MAX) {
            out_kind = static_cast<std::uint8_t>(Kind::SmallInt);
            out_payload = static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
            return;
        }
    }
    if (k < 64 && (kWideMask >> k & 1)) {
        if (kind == Kind::ArenaText) {
            auto it = text_slots.find(value);
            if (it != text_slots.end()) {
                out_kind = k;
                out_payload = it->second;
                return;
            }
        }
        if (wide.size() > UINT32_MAX) internal("wide payloads full");
        const auto index = static_cast<std::uint32_t>(wide.size());
        wide.push_back(value);
        if (kind == Kind::ArenaText) text_slots.emplace(value, index);
        out_kind = k;
        out_payload = index;
        return;
    }
    out_kind = k;
    out_payload = static_cast<std::uint32_t>(value);
}

void Base::set_style(std::uint64_t index, std::uint32_t style) {
    CompactRec& r = records[index];
    if (style < 0xFFFF) {
        if (r.style == 0xFFFF) styles.erase(static_cast<std::uint32_t>(index));
        r.style = static_cast<std::uint16_t>(style);
    } else {
        r.style = 0xFFFF;
        styles.insert_or_assign(static_cast<std::uint32_t>(index), style);
    }
}

std::uint32_t Base::style_of(std::uint64_t index, const CompactRec& r) const {
    if (r.style != 0xFFFF) return r.style;
    auto it = styles.find(static_cast<std::uint32_t>(index));
    if (it == styles.end()) internal("no entry found for key");
    return it->second;
}

std::size_t Base::bytes() const noexcept {
    return rows.capacity() * 4 + starts.capacity() * 4 + records.bytes() + wide.bytes() +
           map_bytes(styles) + map_bytes(text_slots);
}

// --- lookup ------------------------------------------------------------------------------------

Loc CellTable::find_key(CellKey key) const {
    const std::uint32_t row = key_row(key);
    const std::uint32_t col = key_column(key);
    if (col < 0x10000 && !base_.rows.empty()) {
        auto it = std::lower_bound(base_.rows.begin(), base_.rows.end(), row);
        if (it != base_.rows.end() && *it == row) {
            const std::size_t j = static_cast<std::size_t>(it - base_.rows.begin());
            std::uint64_t lo = base_.starts[j], hi = base_.starts[j + 1];
            while (lo < hi) {
                const std::uint64_t mid = lo + (hi - lo) / 2;
                const CompactRec& r = base_.records[mid];
                if (r.column < col) {
                    lo = mid + 1;
                } else if (r.column > col) {
                    hi = mid;
                } else {
                    if (r.kind != 0) return Loc{Loc::Base, row, mid};
                    break;
                }
            }
        }
    }
    if (!overlay_map_.empty()) {
        auto it = overlay_map_.find(key);
        if (it != overlay_map_.end()) return Loc{Loc::Overlay, 0, it->second};
    }
    return Loc{};
}

Rec CellTable::entry(const Loc& loc) const {
    if (loc.tag == Loc::Overlay) {
        if (loc.index >= overlay_.size()) internal("overlay index out of range");
        return overlay_[loc.index];
    }
    if (loc.tag != Loc::Base || loc.index >= base_.records.size()) internal("no such cell");
    const CompactRec& r = base_.records[loc.index];
    Rec out;
    out.key = cell_key(loc.row, r.column);
    out.dtype = r.dtype;
    out.style = base_.style_of(loc.index, r);
    if (r.kind == static_cast<std::uint8_t>(Kind::SmallInt)) {
        out.kind = Kind::Int;
        out.payload = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(r.payload)));
    } else {
        out.kind = static_cast<Kind>(r.kind);
        out.payload = (r.kind < 64 && (Base::kWideMask >> r.kind & 1)) ? base_.wide[r.payload] : r.payload;
    }
    return out;
}

std::uint32_t CellTable::row_of(std::uint64_t index) const {
    auto it = std::upper_bound(base_.starts.begin(), base_.starts.end(), index);
    return base_.rows[static_cast<std::size_t>(it - base_.starts.begin()) - 1];
}

Loc CellTable::slot(std::uint64_t i) const {
    const std::uint64_t nb = base_.records.size();
    if (i < nb) {
        if (base_.records[i].kind == 0) return Loc{};
        return Loc{Loc::Base, row_of(i), i};
    }
    i -= nb;
    if (i >= overlay_.size() || overlay_[i].kind == Kind::Deleted) return Loc{};
    return Loc{Loc::Overlay, 0, i};
}

std::vector<Loc> CellTable::locs() const {
    std::vector<Loc> out;
    out.reserve(size());
    for (std::size_t j = 0; j < base_.rows.size(); ++j) {
        for (std::uint64_t i = base_.starts[j]; i < base_.starts[j + 1]; ++i)
            if (base_.records[i].kind != 0) out.push_back(Loc{Loc::Base, base_.rows[j], i});
    }
    for (std::uint64_t i = 0; i < overlay_.size(); ++i)
        if (overlay_[i].kind != Kind::Deleted) out.push_back(Loc{Loc::Overlay, 0, i});
    return out;
}

// --- mutation ----------------------------------------------------------------------------------

Loc CellTable::insert_new(const Rec& rec) {
    if (overlay_.size() >= UINT32_MAX) internal("overlay full");
    const auto index = static_cast<std::uint32_t>(overlay_.size());
    overlay_.push_back(rec);
    overlay_map_.insert_or_assign(rec.key, index);
    ++overlay_live_;
    ++generation_;
    tail_ = base_.records.size() + overlay_.size();
    return Loc{Loc::Overlay, 0, index};
}

Rec CellTable::remove(const Loc& loc) {
    Rec old = entry(loc);
    if (loc.tag == Loc::Overlay) {
        overlay_[loc.index].kind = Kind::Deleted;
        overlay_map_.erase(old.key);
        --overlay_live_;
    } else {
        base_.records[loc.index].kind = 0;
        --base_.live;
    }
    ++generation_;
    compact_overlay();
    return old;
}

void CellTable::compact_overlay() {
    const std::uint64_t dead = overlay_.size() - overlay_live_;
    if (dead <= 1023 || dead < overlay_live_) return;
    std::vector<Rec> kept;
    kept.reserve(overlay_live_);
    std::unordered_map<CellKey, std::uint32_t, FxU64Hash> map;
    map.reserve(overlay_live_);
    for (const Rec& r : overlay_) {
        if (r.kind == Kind::Deleted) continue;
        map.emplace(r.key, static_cast<std::uint32_t>(kept.size()));
        kept.push_back(r);
    }
    overlay_.swap(kept);
    overlay_map_.swap(map);
    tail_ = base_.records.size() + overlay_.size();
}

void CellTable::rewrite(const Loc& loc, Kind kind, std::uint64_t payload) {
    if (loc.tag == Loc::Overlay) {
        Rec& r = overlay_[loc.index];
        r.kind = kind;
        r.payload = payload;
        return;
    }
    CompactRec& r = base_.records[loc.index];
    std::uint8_t k;
    std::uint32_t p;
    base_.encode(kind, payload, k, p);
    r.kind = k;
    r.payload = p;
}

void CellTable::rewrite_full(const Loc& loc, const Rec& rec) {
    if (loc.tag == Loc::Overlay) {
        overlay_[loc.index] = rec;
        return;
    }
    rewrite(loc, rec.kind, rec.payload);
    base_.records[loc.index].dtype = rec.dtype;
    base_.set_style(loc.index, rec.style);
}

// --- loading -----------------------------------------------------------------------------------

void CellTable::begin_loading() {
    loading_ = true;
    overlay_touched_ = false;
}

std::optional<Rec> CellTable::load(const Rec& rec) {
    const std::uint32_t row = key_row(rec.key);
    const std::uint32_t col = key_column(rec.key);
    if (!overlay_touched_ && col < 0x10000 && base_.wide.size() <= 0xFFFFFFFE) {
        const bool new_row = base_.rows.empty() || row > base_.rows.back();
        const bool same_row = !new_row && row == base_.rows.back() && col > base_.records.back().column;
        if (new_row || same_row) {
            if (base_.records.size() >= UINT32_MAX) internal("base full");
            std::uint8_t kind;
            std::uint32_t payload;
            base_.encode(rec.kind, rec.payload, kind, payload);
            const CompactRec r{static_cast<std::uint16_t>(col), kind, rec.dtype, 0, payload};
            if (new_row) {
                base_.rows.push_back(row);
                base_.starts.push_back(base_.starts.back());
            }
            base_.records.push_back(r);
            base_.set_style(base_.records.size() - 1, rec.style);
            base_.starts.back() = static_cast<std::uint32_t>(base_.records.size());
            ++base_.live;
            ++generation_;
            tail_ = base_.records.size() + overlay_.size();
            return std::nullopt;
        }
    }
    const Loc loc = find_key(rec.key);
    if (loc.found()) {
        Rec old = entry(loc);
        rewrite_full(loc, rec);
        return old;
    }
    overlay_touched_ = true;
    insert_new(rec);
    return std::nullopt;
}

Loc CellTable::last() const {
    while (tail_ > 0) {
        const Loc loc = slot(tail_ - 1);
        if (loc.found()) return loc;
        --tail_;
    }
    return Loc{};
}

void CellTable::finish_loading() {
    loading_ = false;
    base_.rows.shrink_to_fit();
    base_.starts.shrink_to_fit();
    base_.records.shrink_to_fit();
    base_.wide.shrink_to_fit();
    std::unordered_map<std::uint64_t, std::uint32_t, FxU64Hash>().swap(base_.text_slots);
    arena_.end_sharing();
    templates_.finish_loading();
}

void CellTable::reset() {
    base_ = Base();
    std::vector<Rec>().swap(overlay_);
    std::unordered_map<CellKey, std::uint32_t, FxU64Hash>().swap(overlay_map_);
    overlay_live_ = 0;
    arena_.clear();
    loading_ = false;
    overlay_touched_ = false;
    tail_ = 0;
    ++generation_;
}

std::size_t CellTable::bytes() const noexcept {
    return sizeof(CellTable) + base_.bytes() + overlay_.capacity() * sizeof(Rec) +
           map_bytes(overlay_map_) + arena_.bytes() + templates_.bytes();
}

}  // namespace tovrel
