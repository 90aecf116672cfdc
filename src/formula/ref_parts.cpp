#include "formula/ref_parts.h"

#include "utils/text.h"

namespace tovrel {
namespace {

bool is_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

bool match_row_part(std::string_view text) noexcept {
    if (!text.empty() && text[0] == '$') text.remove_prefix(1);
    if (text.empty() || text.size() > 7 || text[0] < '1' || text[0] > '9') return false;
    for (char c : text)
        if (!is_digit(c)) return false;
    return true;
}

bool match_col_part(std::string_view text) noexcept {
    if (!text.empty() && text[0] == '$') text.remove_prefix(1);
    if (text.empty() || text.size() > 3) return false;
    for (char c : text)
        if (!is_letter(c)) return false;
    return true;
}

std::size_t split_cell_ref(std::string_view text) noexcept {
    std::size_t i = (!text.empty() && text[0] == '$') ? 1 : 0;
    while (i < text.size() && is_letter(text[i])) ++i;
    if (!match_col_part(text.substr(0, i))) return 0;
    return match_row_part(text.substr(i)) ? i : 0;
}

bool match_range(std::string_view text, bool (*part)(std::string_view) noexcept) noexcept {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    return part(text.substr(0, colon)) && part(text.substr(colon + 1));
}

}  // namespace tovrel
