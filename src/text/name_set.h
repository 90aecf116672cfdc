// A small set of element local names (UTF-8 bytes), as the host hands them in for rich-text
// decisions. The sets hold a handful of names, so a flat vector beats hashing.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace tovrel {

class NameSet {
public:
    void insert(std::string_view name) {
        if (!contains(name)) names_.emplace_back(name);
    }
    bool contains(std::string_view name) const noexcept {
        return std::any_of(names_.begin(), names_.end(),
                           [name](const std::string& n) { return n == name; });
    }
    std::size_t size() const noexcept { return names_.size(); }
    bool empty() const noexcept { return names_.empty(); }

private:
    std::vector<std::string> names_;
};

}  // namespace tovrel
