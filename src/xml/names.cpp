#include "xml/names.h"

#include "utils/error.h"
#include "xml/chars.h"

namespace tovrel {

std::size_t split_qname(std::string_view name) {
    std::size_t colon = name.find(':');
    if (colon == std::string_view::npos) return colon;
    if (colon == 0 || colon + 1 == name.size() ||
        name.find(':', colon + 1) != std::string_view::npos)
        throw Unsupported("bad qname");
    auto next = static_cast<std::uint8_t>(name[colon + 1]);
    if (!is_letter(next) && next != '_') throw Malformed("bad qname");
    return colon;
}

Namespaces::Namespaces() {
    intern("");
    intern(kXmlUri);
    intern(kMainUri);
    slot_of("");  // slot 0: the default namespace
}

std::uint32_t Namespaces::intern(std::string_view uri) {
    auto found = ids_.find(uri);
    if (found != ids_.end()) return found->second;
    auto id = static_cast<std::uint32_t>(uris_.size());
    uris_.emplace_back(uri);
    ids_.emplace(uris_.back(), id);
    return id;
}

std::uint32_t Namespaces::slot_of(std::string_view prefix) {
    if (prefix.size() == last_size_ && prefix == std::string_view(last_, last_size_))
        return last_slot_;
    // Store the prefix first, so that one probe both finds and inserts; drop it if it was known.
    // Growth happens before anything changes, so a failed allocation leaves the tables in step.
    if (innermost_.size() == innermost_.capacity()) innermost_.reserve(2 * innermost_.size() + 8);
    const auto fresh_slot = static_cast<std::uint32_t>(prefixes_.size());
    prefixes_.emplace_back(prefix);
    std::pair<decltype(slots_)::iterator, bool> probe;
    try {
        probe = slots_.try_emplace(prefixes_.back(), fresh_slot);
    } catch (...) {
        prefixes_.pop_back();
        throw;
    }
    auto [it, fresh] = probe;
    if (fresh)
        innermost_.push_back(kUnbound);
    else
        prefixes_.pop_back();
    remember(prefix, it->second);
    return it->second;
}

void Namespaces::remember(std::string_view prefix, std::uint32_t slot) const noexcept {
    if (prefix.size() > sizeof last_) return;
    prefix.copy(last_, prefix.size());
    last_size_ = prefix.size();
    last_slot_ = slot;
}

void Namespaces::push(std::string_view prefix, std::uint32_t id) {
    const std::uint32_t slot = slot_of(prefix);
    bindings_.push_back(Binding{slot, id, innermost_[slot], ++serial_});
    innermost_[slot] = static_cast<std::uint32_t>(bindings_.size() - 1);
    if (slot == 0) default_id_ = id;
}

void Namespaces::pop(std::size_t count) noexcept {
    for (; count; --count) {
        const Binding& b = bindings_.back();
        innermost_[b.slot] = b.shadowed;
        if (b.slot == 0)
            default_id_ = b.shadowed == kUnbound ? kNoNamespace : bindings_[b.shadowed].id;
        bindings_.pop_back();
    }
}

bool Namespaces::lookup(std::string_view prefix, std::uint32_t& id) const noexcept {
    if (prefix.empty()) {
        id = default_id_;
        return true;
    }
    if (prefix == "xml") {
        id = kXmlNamespace;
        return true;
    }
    std::uint32_t slot;
    if (prefix.size() == last_size_ && prefix == std::string_view(last_, last_size_)) {
        slot = last_slot_;
    } else {
        auto found = slots_.find(prefix);
        if (found == slots_.end()) return false;
        slot = found->second;
        remember(prefix, slot);
    }
    if (innermost_[slot] == kUnbound) return false;
    id = bindings_[innermost_[slot]].id;
    return true;
}

std::vector<Namespaces::ScopeEntry> Namespaces::scope_entries() const {
    // A binding that shadows nothing is its prefix's oldest one in force: it fixes the position.
    std::vector<ScopeEntry> out;
    for (const Binding& b : bindings_) {
        if (b.shadowed != kUnbound) continue;
        const std::uint32_t inner = innermost_[b.slot];
        out.push_back(ScopeEntry{prefixes_[b.slot], bindings_[inner].id, inner,
                                 bindings_[inner].serial});
    }
    return out;
}

std::vector<std::pair<std::string_view, std::uint32_t>> Namespaces::in_scope() const {
    std::vector<std::pair<std::string_view, std::uint32_t>> out;
    for (const ScopeEntry& e : scope_entries()) out.emplace_back(e.prefix, e.id);
    return out;
}

}  // namespace tovrel
