// Garbage-collector traversal of the C++ state an extension object owns.
//
// A tp_traverse must visit every Python reference the object owns: a cycle through one it misses
// is never collected. Instead of a hand-kept list of Py_VISIT calls, each type that holds state
// names all of its members once, through TOVREL_GC_MEMBERS:
//   - the structured binding there stops compiling when the names do not cover every member, so
//     adding a member to the type without deciding how it is visited is a build error;
//   - every member's type needs a gc_visit overload: a Ref is visited, containers visit their
//     elements, plain (trivially copyable) data visits nothing, and any other type without an
//     overload is a build error too.
// Types of the pure core (compiled without Python headers) cannot hold Python objects; their
// owners declare that with a gc_visit overload that visits nothing.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "utils/py_compat.h"
#include "utils/py_ref.h"

namespace tovrel {

struct GcVisitor {
    visitproc visit;
    void* arg;
};

inline int gc_visit(const GcVisitor& v, const Ref& r) { return r ? v.visit(r.get(), v.arg) : 0; }

// Plain data holds no Python references: every owned reference is a Ref, and a type with a Ref
// in it is not trivially copyable. Numbers, enums, and small records of them (a cell position, a
// date serial) need no rule of their own.
template <class T>
    requires std::is_trivially_copyable_v<T>
int gc_visit(const GcVisitor&, const T&) {
    return 0;
}
inline int gc_visit(const GcVisitor&, const std::string&) { return 0; }

// Visits each argument in turn; stops at the first non-zero result and returns it.
template <class... Ts>
int gc_visit_all(const GcVisitor& v, const Ts&... members) {
    int rc = 0;
    (void)((rc = gc_visit(v, members)) || ...);
    return rc;
}

template <class T>
int gc_visit(const GcVisitor& v, const std::optional<T>& o) {
    return o ? gc_visit(v, *o) : 0;
}

template <class... Ts>
int gc_visit(const GcVisitor& v, const std::variant<Ts...>& var) {
    return std::visit([&v](const auto& alt) { return gc_visit(v, alt); }, var);
}

template <class A, class B>
int gc_visit(const GcVisitor& v, const std::pair<A, B>& p) {
    return gc_visit_all(v, p.first, p.second);
}

template <class T>
int gc_visit(const GcVisitor& v, const std::shared_ptr<T>& p) {
    return p ? gc_visit(v, *p) : 0;
}

template <class Range>
int gc_visit_range(const GcVisitor& v, const Range& range) {
    for (const auto& item : range)
        if (int rc = gc_visit(v, item)) return rc;
    return 0;
}

template <class T, class A>
int gc_visit(const GcVisitor& v, const std::vector<T, A>& c) {
    return gc_visit_range(v, c);
}
template <class T, class A>
int gc_visit(const GcVisitor& v, const std::deque<T, A>& c) {
    return gc_visit_range(v, c);
}
template <class T, std::size_t N>
int gc_visit(const GcVisitor& v, const std::array<T, N>& c) {
    return gc_visit_range(v, c);
}
template <class K, class T, class H, class E, class A>
int gc_visit(const GcVisitor& v, const std::unordered_map<K, T, H, E, A>& c) {
    return gc_visit_range(v, c);
}

}  // namespace tovrel

// Visits every member of `object`, named in declaration order; an expression giving the first
// non-zero visit result, else 0. Used inside the type's own gc_visit (or a member function or
// friend, which may name private members).
#define TOVREL_GC_MEMBERS(visitor, object, ...)                       \
    [&]() -> int {                                                    \
        const auto& [__VA_ARGS__] = (object);                         \
        return ::tovrel::gc_visit_all((visitor), __VA_ARGS__);        \
    }()
