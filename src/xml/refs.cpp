#include "xml/refs.h"

#include "utils/error.h"
#include "utils/scan.h"
#include "utils/utf8.h"

namespace tovrel {

namespace {

int digit_value(char c, bool hex) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (!hex) return -1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool legal_char(std::uint32_t cp) noexcept {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// The code point of a character reference's digits into `cp`; else the error message.
const char* char_ref(std::string_view digits, bool hex, std::uint32_t& cp) noexcept {
    if (digits.empty() || digits.size() > 10) return "bad char ref";
    std::uint64_t value = 0;
    for (char c : digits) {
        int d = digit_value(c, hex);
        if (d < 0) return "bad char ref";
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (value > 0xFFFFFFFFULL) return "bad char ref";
    }
    cp = static_cast<std::uint32_t>(value);
    if (!legal_char(cp)) return "invalid char ref";
    return nullptr;
}

// The character of one of the five predefined entities, or 0 for any other name.
char predefined(std::string_view name) noexcept {
    switch (name.size()) {
        case 2:
            if (name[1] != 't') return 0;
            return name[0] == 'l' ? '<' : name[0] == 'g' ? '>' : 0;
        case 3: return name == "amp" ? '&' : 0;
        case 4: return name == "quot" ? '"' : name == "apos" ? '\'' : 0;
        default: return 0;
    }
}

}  // namespace

const char* ref_error(std::string_view name, std::uint32_t& cp) noexcept {
    if (const char named = predefined(name)) {
        cp = static_cast<std::uint8_t>(named);
        return nullptr;
    }
    if (name.size() >= 2 && name[0] == '#') {
        if (name[1] == 'x') return char_ref(name.substr(2), true, cp);
        return char_ref(name.substr(1), false, cp);
    }
    return "undefined entity";
}

std::uint32_t resolve_ref(std::string_view name) {
    std::uint32_t cp = 0;
    if (const char* error = ref_error(name, cp)) throw Malformed(error);
    return cp;
}

const char* refs_error(const std::uint8_t* p, std::size_t n) noexcept {
    const std::uint8_t* end = p + n;
    for (;;) {
        const std::uint8_t* amp = scan::find1(p, end, '&');
        if (amp == end) return nullptr;
        const std::uint8_t* semi = scan::find1(amp + 1, end, ';');
        if (semi == end) return "bad reference";
        std::uint32_t cp;
        if (const char* error = ref_error(
                std::string_view(reinterpret_cast<const char*>(amp + 1),
                                 static_cast<std::size_t>(semi - amp - 1)),
                cp))
            return error;
        p = semi + 1;
    }
}

void validate_refs(const std::uint8_t* p, std::size_t n) {
    if (const char* error = refs_error(p, n)) throw Malformed(error);
}

namespace {

// The shared decoding loop. In attribute values tab, LF and CR each become a space (CR LF one
// space); in text CR LF and a lone CR become LF and tab/LF stay. `refs` replaces references.
std::string_view decode(std::string_view raw, bool attr, bool refs, std::string& out) {
    const std::size_t n = raw.size();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw.data());
    auto special = [&](char c) {
        return (c == '&' && refs) || c == '\r' || (attr && (c == '\t' || c == '\n'));
    };
    // Offset of the next byte that needs handling at or after i, a word at a time.
    auto next_special = [&](std::size_t i) {
        for (; n - i >= 8; i += 8) {
            std::uint64_t w = scan::load(bytes + i);
            std::uint64_t m = scan::eq_bytes(w, '\r');
            if (refs) m |= scan::eq_bytes(w, '&');
            if (attr) m |= scan::eq_bytes(w, '\t') | scan::eq_bytes(w, '\n');
            if (m) return i + scan::first(m);
        }
        while (i < n && !special(raw[i])) ++i;
        return i;
    };
    std::size_t i = next_special(0);
    if (i == n) return raw;
    out.assign(raw.data(), i);
    while (i < n) {
        char c = raw[i];
        if (!special(c)) {
            std::size_t run = i;
            i = next_special(i);
            out.append(raw.data() + run, i - run);
            continue;
        }
        if (c == '&') {
            std::size_t semi = raw.find(';', i + 1);
            // Callers validate first; an unterminated reference must still not wrap around.
            if (semi == std::string_view::npos) throw Malformed("bad reference");
            const std::string_view name = raw.substr(i + 1, semi - i - 1);
            if (const char named = predefined(name))
                out += named;
            else
                append_utf8(out, resolve_ref(name));
            i = semi + 1;
        } else if (c == '\r') {
            out += attr ? ' ' : '\n';
            i += (i + 1 < n && raw[i + 1] == '\n') ? 2 : 1;
        } else {
            out += ' ';
            ++i;
        }
    }
    return out;
}

}  // namespace

std::string_view decode_attr(std::string_view raw, std::string& scratch) {
    return decode(raw, true, true, scratch);
}

std::string_view decode_text(std::string_view raw, bool cdata, std::string& scratch) {
    return decode(raw, false, !cdata, scratch);
}

}  // namespace tovrel
