#include "formula/float_text.h"

#include <cstddef>

#include "utils/text.h"

namespace tovrel {
namespace {

bool is_ascii_space(char c) noexcept {
    // What float() strips from ASCII text: tab, LF, VT, FF, CR and space. Unlike str.strip(),
    // it keeps the separators 0x1C-0x1F, and float("\x1c1") fails.
    return (c >= '\t' && c <= '\r') || c == ' ';
}


// Consumes a run of digits in which single underscores may stand between two digits.
// Returns the number of digits read; `i` is left after the run. A stray underscore (leading,
// trailing or doubled) ends the run before it, so the caller sees it as trailing garbage.
std::size_t digit_run(std::string_view s, std::size_t& i) noexcept {
    std::size_t digits = 0;
    while (i < s.size()) {
        if (is_digit(s[i])) {
            ++digits;
            ++i;
        } else if (s[i] == '_' && digits > 0 && i + 1 < s.size() && is_digit(s[i + 1])) {
            ++i;
        } else {
            break;
        }
    }
    return digits;
}

bool equals_lower(std::string_view s, std::string_view lower) noexcept {
    if (s.size() != lower.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

}  // namespace

bool accepted_by_float(std::string_view text) noexcept {
    std::size_t b = 0, e = text.size();
    while (b < e && is_ascii_space(text[b])) ++b;
    while (e > b && is_ascii_space(text[e - 1])) --e;
    std::string_view s = text.substr(b, e - b);
    if (s.empty()) return false;
    if (s[0] == '+' || s[0] == '-') s.remove_prefix(1);
    if (s.empty()) return false;
    if (equals_lower(s, "inf") || equals_lower(s, "nan") || equals_lower(s, "infinity")) return true;

    std::size_t i = 0;
    std::size_t digits = digit_run(s, i);
    if (i < s.size() && s[i] == '.') {
        ++i;
        digits += digit_run(s, i);
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (digit_run(s, i) == 0) return false;
    }
    return i == s.size();
}

}  // namespace tovrel
