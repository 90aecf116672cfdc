// A set of element local names (UTF-8 bytes), as the host hands them in for rich-text
// decisions. The host's sets hold a handful of names, searched in a flat vector; a larger set
// moves into a hash set, so building and searching stay linear whatever the host passes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tovrel {

class NameSet {
public:
    void insert(std::string_view name) {
        if (contains(name)) return;
        if (hashed_.empty() && small_.size() < kSmall) {
            small_.emplace_back(name);
            return;
        }
        if (hashed_.empty()) {
            Hashed all(small_.begin(), small_.end());
            all.emplace(name);
            hashed_.swap(all);
            small_.clear();
            return;
        }
        hashed_.emplace(name);
    }
    bool contains(std::string_view name) const noexcept {
        if (hashed_.empty())
            return std::any_of(small_.begin(), small_.end(),
                               [name](const std::string& n) { return n == name; });
        return hashed_.find(name) != hashed_.end();
    }
    std::size_t size() const noexcept { return small_.size() + hashed_.size(); }
    bool empty() const noexcept { return size() == 0; }

private:
    static constexpr std::size_t kSmall = 8;

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };

    using Hashed = std::unordered_set<std::string, Hash, std::equal_to<>>;

    std::vector<std::string> small_;  // used while the set is small; then empty
    Hashed hashed_;
};

}  // namespace tovrel
