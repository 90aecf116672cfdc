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
}

std::uint32_t Namespaces::intern(std::string_view uri) {
    auto found = ids_.find(uri);
    if (found != ids_.end()) return found->second;
    auto id = static_cast<std::uint32_t>(uris_.size());
    uris_.emplace_back(uri);
    ids_.emplace(uris_.back(), id);
    return id;
}

void Namespaces::push(std::string_view prefix, std::uint32_t id) {
    bindings_.push_back(Binding{std::string(prefix), id});
    if (prefix.empty()) default_id_ = id;
}

void Namespaces::pop(std::size_t count) {
    if (count == 0) return;
    bindings_.resize(bindings_.size() - count);
    refresh_default();
}

void Namespaces::refresh_default() noexcept {
    default_id_ = kNoNamespace;
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
        if (it->prefix.empty()) {
            default_id_ = it->id;
            return;
        }
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
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
        if (it->prefix == prefix) {
            id = it->id;
            return true;
        }
    }
    return false;
}

std::vector<std::pair<std::string_view, std::uint32_t>> Namespaces::in_scope() const {
    std::vector<std::pair<std::string_view, std::uint32_t>> out;
    std::unordered_map<std::string_view, std::size_t> position;  // prefix -> index in out
    for (const Binding& b : bindings_) {
        auto [it, fresh] = position.try_emplace(b.prefix, out.size());
        if (fresh)
            out.emplace_back(b.prefix, b.id);
        else
            out[it->second].second = b.id;
    }
    return out;
}

}  // namespace tovrel
