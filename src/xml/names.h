// Qualified names and namespaces: splitting prefix from local name, the namespace URI table with
// its preset ids, and the stack of prefix bindings of the open elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tovrel {

inline constexpr std::uint32_t kNoNamespace = 0;
inline constexpr std::uint32_t kXmlNamespace = 1;
inline constexpr std::uint32_t kMainNamespace = 2;
// Namespace id of an xmlns declaration while its start tag is parsed (never a real id).
inline constexpr std::uint32_t kDeclarationMarker = 0xFFFFFFFFu;

inline constexpr std::string_view kXmlUri = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view kXmlnsUri = "http://www.w3.org/2000/xmlns/";
inline constexpr std::string_view kMainUri =
    "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

// Offset of the colon separating prefix and local name in `name`, or npos without a prefix.
// Throws Unsupported("bad qname") for a colon first or last or a second colon, and
// Malformed("bad qname") when the local name does not start with a letter or '_'.
std::size_t split_qname(std::string_view name);

// The URI table and the bindings in force. Every prefix ever bound gets a slot that points at its
// innermost binding, and every binding remembers the one it shadows, so lookups, pushes and pops
// cost O(1) whatever the number of bindings.
class Namespaces {
public:
    Namespaces();

    // The id of a URI, assigning the next id on first sight.
    std::uint32_t intern(std::string_view uri);
    std::string_view uri(std::uint32_t id) const noexcept { return uris_[id]; }
    std::size_t uri_count() const noexcept { return uris_.size(); }

    void push(std::string_view prefix, std::uint32_t id);
    // Drops the newest `count` bindings.
    void pop(std::size_t count) noexcept;

    // The id bound to `prefix`: `xml` always resolves to the XML namespace; an unbound empty
    // prefix to no namespace. Returns false for any other unbound prefix.
    bool lookup(std::string_view prefix, std::uint32_t& id) const noexcept;
    // The namespace of unprefixed element names.
    std::uint32_t default_id() const noexcept { return default_id_; }

    // The bindings in force, oldest first, one entry per prefix: at the position of the prefix's
    // first binding, with the id of its innermost one.
    std::vector<std::pair<std::string_view, std::uint32_t>> in_scope() const;
    // The same list, each entry also naming the innermost binding that supplies its id: its
    // index in the binding stack and its serial (unique among all bindings ever pushed).
    struct ScopeEntry {
        std::string_view prefix;
        std::uint32_t id;
        std::uint32_t binding;
        std::uint64_t serial;
    };
    std::vector<ScopeEntry> scope_entries() const;
    std::size_t binding_count() const noexcept { return bindings_.size(); }
    // Names the bindings in force: while it stays the same, so does in_scope(). Every push gets a
    // fresh value; a pop returns to the value from before the popped pushes.
    std::uint64_t scope_serial() const noexcept {
        return bindings_.empty() ? 0 : bindings_.back().serial;
    }

private:
    static constexpr std::uint32_t kUnbound = 0xFFFFFFFFu;

    struct Binding {
        std::uint32_t slot;      // the prefix's slot
        std::uint32_t id;
        std::uint32_t shadowed;  // index of the prefix's previous binding in force, or kUnbound
        std::uint64_t serial;
    };

    std::uint32_t slot_of(std::string_view prefix);
    // Keeps the slot of a short prefix for the next lookup of the same prefix, which documents
    // tend to repeat (one prefix on every row or cell).
    void remember(std::string_view prefix, std::uint32_t slot) const noexcept;

    std::deque<std::string> uris_;  // stable storage: the map's keys view into it
    std::unordered_map<std::string_view, std::uint32_t> ids_;

    std::deque<std::string> prefixes_;  // by slot; stable storage for slots_' keys
    std::unordered_map<std::string_view, std::uint32_t> slots_;
    std::vector<std::uint32_t> innermost_;  // by slot: index of the innermost binding, or kUnbound
    std::vector<Binding> bindings_;         // oldest first
    std::uint64_t serial_ = 0;
    std::uint32_t default_id_ = kNoNamespace;
    mutable char last_[16] = {};
    mutable std::size_t last_size_ = SIZE_MAX;  // no prefix remembered
    mutable std::uint32_t last_slot_ = 0;
};

}  // namespace tovrel
