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
    auto found = slots_.find(prefix);
    if (found != slots_.end()) return found->second;
    auto slot = static_cast<std::uint32_t>(prefixes_.size());
    prefixes_.emplace_back(prefix);
    slots_.emplace(prefixes_.back(), slot);
    innermost_.push_back(kUnbound);
    return slot;
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
    auto found = slots_.find(prefix);
    if (found == slots_.end() || innermost_[found->second] == kUnbound) return false;
    id = bindings_[innermost_[found->second]].id;
    return true;
}

std::vector<std::pair<std::string_view, std::uint32_t>> Namespaces::in_scope() const {
    // A binding that shadows nothing is its prefix's oldest one in force: it fixes the position.
    std::vector<std::pair<std::string_view, std::uint32_t>> out;
    for (const Binding& b : bindings_)
        if (b.shadowed == kUnbound)
            out.emplace_back(prefixes_[b.slot], bindings_[innermost_[b.slot]].id);
    return out;
}

}  // namespace tovrel
