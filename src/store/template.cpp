#include "store/template.h"

namespace tovrel {

namespace {

bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
bool is_letter(char c) noexcept { return is_upper(c) || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Bytes after which no reference may start.
bool blocks_start(char c) noexcept { return is_letter(c) || is_digit(c) || c == '$' || c == '.' || c == '_'; }
// Bytes that may not follow a reference.
bool blocks_end(char c) noexcept {
    return is_letter(c) || is_digit(c) || c == '!' || c == '$' || c == '(' || c == '.' || c == '_';
}

// A reference starting at `i`, or nothing.
std::optional<ScannedRef> ref_at(std::string_view t, std::size_t i) {
    const std::size_t n = t.size();
    ScannedRef r{i, 0, false, 0, false, 0};
    if (i < n && t[i] == '$') {
        r.col_abs = true;
        ++i;
    }
    std::size_t letters = 0;
    while (i < n && is_upper(t[i])) {
        if (++letters > 3) return std::nullopt;
        r.col = r.col * 26 + (t[i] - 'A' + 1);
        ++i;
    }
    if (letters == 0) return std::nullopt;
    if (i < n && t[i] == '$') {
        r.row_abs = true;
        ++i;
    }
    if (i >= n || t[i] < '1' || t[i] > '9') return std::nullopt;
    std::size_t digits = 0;
    while (i < n && is_digit(t[i])) {
        if (++digits > 7) return std::nullopt;
        r.row = r.row * 10 + (t[i] - '0');
        ++i;
    }
    if (i < n && blocks_end(t[i])) return std::nullopt;
    r.end = i;
    return r;
}

}  // namespace

void scan_refs(std::string_view t, std::vector<ScannedRef>& refs) {
    refs.clear();
    const std::size_t n = t.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = t[i];
        if (c == '\'' || c == '"') {
            std::size_t j = i + 1;
            for (;;) {
                while (j < n && t[j] != c) ++j;
                if (j >= n) break;                         // unclosed: runs to the end
                if (j + 1 < n && t[j + 1] == c) {          // doubled quote: still inside
                    j += 2;
                    continue;
                }
                ++j;
                break;
            }
            i = j;
            continue;
        }
        if ((c == '$' || is_upper(c)) && (i == 0 || !blocks_start(t[i - 1]))) {
            if (std::optional<ScannedRef> r = ref_at(t, i)) {
                refs.push_back(*r);
                i = r->end;
                continue;
            }
        }
        ++i;
    }
}

std::uint64_t shape_hash(std::string_view text, const std::vector<ScannedRef>& refs,
                         std::int64_t row, std::int64_t col) noexcept {
    FxHasher h;
    auto literal = [&](std::size_t from, std::size_t to) {
        if (to > from) {
            h.add_bytes(text.data() + from, to - from);
            h.add(to - from);
        }
    };
    std::size_t at = 0;
    for (const ScannedRef& r : refs) {
        literal(at, r.start);
        h.add(r.col_abs ? 2 : 1);
        h.add(static_cast<std::uint64_t>(r.col) - (r.col_abs ? 0 : static_cast<std::uint64_t>(col)));
        h.add(r.row_abs ? 4 : 3);
        h.add(static_cast<std::uint64_t>(r.row) - (r.row_abs ? 0 : static_cast<std::uint64_t>(row)));
        at = r.end;
    }
    literal(at, text.size());
    return h.finish();
}

Template Template::build(std::string_view text, const std::vector<ScannedRef>& refs,
                         std::int64_t row, std::int64_t col) {
    Template t;
    auto literal = [&](std::size_t from, std::size_t to) {
        if (to > from) {
            t.parts_.push_back(Part{Part::Lit, false, 0, static_cast<std::uint32_t>(t.lits_.size()),
                                    static_cast<std::uint32_t>(to - from)});
            t.lits_.append(text.data() + from, to - from);
        }
    };
    std::size_t at = 0;
    for (const ScannedRef& r : refs) {
        literal(at, r.start);
        t.parts_.push_back(Part{Part::Col, r.col_abs, r.col_abs ? r.col : r.col - col, 0, 0});
        t.parts_.push_back(Part{Part::Row, r.row_abs, r.row_abs ? r.row : r.row - row, 0, 0});
        at = r.end;
    }
    literal(at, text.size());
    t.parts_.shrink_to_fit();
    t.lits_.shrink_to_fit();
    return t;
}

bool Template::matches(std::string_view text, std::int64_t row, std::int64_t col) const noexcept {
    // Renders piecewise and compares as it goes; no allocation.
    struct Cmp {
        std::string_view text;
        std::size_t at = 0;
        bool same = true;
        void append(const char* p, std::size_t n) noexcept {
            if (!same) return;
            if (text.size() - at < n || text.compare(at, n, std::string_view(p, n)) != 0) {
                same = false;
                return;
            }
            at += n;
        }
    } cmp{text};
    return render_into(row, col, cmp) && cmp.same && cmp.at == text.size();
}

std::optional<std::uint32_t> Templates::template_for(std::string_view text, std::int64_t row,
                                                     std::int64_t col) {
    if (text.size() < 4) return std::nullopt;
    scan_refs(text, refs_);
    const std::vector<ScannedRef>& refs = refs_;
    const std::uint64_t shape = shape_hash(text, refs, row, col);
    auto [it, fresh] = shapes_.try_emplace(shape, kSeenOnce);
    if (fresh) return std::nullopt;
    if (it->second != kSeenOnce) {
        if (list_[it->second].matches(text, row, col)) return it->second;
        return std::nullopt;
    }
    if (list_.size() >= kSeenOnce) return std::nullopt;
    Template t = Template::build(text, refs, row, col);
    if (!t.matches(text, row, col)) return std::nullopt;
    const auto index = static_cast<std::uint32_t>(list_.size());
    list_.push_back(std::move(t));
    it->second = index;
    return index;
}

void Templates::finish_loading() {
    std::unordered_map<std::uint64_t, std::uint32_t, FxU64Hash>().swap(shapes_);
    std::vector<ScannedRef>().swap(refs_);
    list_.shrink_to_fit();
}

std::size_t Templates::bytes() const noexcept {
    std::size_t n = (list_.capacity() - list_.size()) * sizeof(Template);
    for (const Template& t : list_) n += t.bytes();
    n += shapes_.bucket_count() * sizeof(void*) + shapes_.size() * 32;
    return n;
}

}  // namespace tovrel
