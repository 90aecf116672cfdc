#include "text/item_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string_view>

#include "utils/scan.h"
#include "utils/utf8.h"
#include "xml/refs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if TOVREL_SCAN32
// GCC 12's AVX-512 intrinsics fill their unused pass-through operands from deliberately
// uninitialised variables, which -Wmaybe-uninitialized reports wherever they are inlined; the
// reports point into the header, so they are silenced for its text only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace tovrel {

namespace {

constexpr std::size_t kBlock = 16;

// Units a step of the text decoding may store past the characters it writes.
constexpr std::size_t kFillSlack = 16;

// Index of the first byte among the 16 at p that the fill pass decodes (0x80 and above, '&',
// CR), or 16.
inline std::size_t next_to_decode(const std::uint8_t* p) noexcept {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('&')),
                                   _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(v) | _mm_movemask_epi8(m));
    return static_cast<std::size_t>(std::countr_zero(bits | 0x10000u));
#else
    for (std::size_t half = 0; half < kBlock; half += 8) {
        const std::uint64_t w = scan::load(p + half);
        const std::uint64_t m =
            (w & scan::kHigh) | scan::eq_bytes(w, '&') | scan::eq_bytes(w, '\r');
        if (m) return half + scan::first(m);
    }
    return kBlock;
#endif
}

// The 16 bytes at p, each widened to one code unit, stored at out.
template <class Unit>
inline void widen_block(Unit* out, const std::uint8_t* p) noexcept {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    auto* o = reinterpret_cast<__m128i*>(out);
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(o, v);
    } else {
        const __m128i zero = _mm_setzero_si128();
        const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        if constexpr (sizeof(Unit) == 2) {
            _mm_storeu_si128(o, lo);
            _mm_storeu_si128(o + 1, hi);
        } else {
            _mm_storeu_si128(o, _mm_unpacklo_epi16(lo, zero));
            _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(lo, zero));
            _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(hi, zero));
            _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(hi, zero));
        }
    }
#else
    for (std::size_t k = 0; k < kBlock; ++k) out[k] = p[k];
#endif
}

// The str width class of a code point, without branches: 0x7F, 0xFF, 0xFFFF or 0x10FFFF.
constexpr std::uint32_t width_class(std::uint32_t cp) noexcept {
    return 0x7Fu | (cp >= 0x80) * 0x80u | (cp > 0xFF) * 0xFF00u | (cp > 0xFFFF) * 0x100000u;
}

// The width class of the texts whose widest UTF-8 lead byte is the index (0: all ASCII).
constexpr std::array<std::uint32_t, 256> kLeadClass = [] {
    std::array<std::uint32_t, 256> t{};
    for (unsigned lead = 0; lead < 256; ++lead)
        t[lead] = 0x7Fu | (lead != 0) * 0x80u | (lead > 0xC3) * 0xFF00u | (lead >= 0xF0) * 0x100000u;
    return t;
}();

// Whether the code point is one of the characters of "x005F_".
constexpr bool in_x005f(std::uint32_t cp) noexcept {
    return cp == 'x' || cp == '0' || cp == '5' || cp == 'F' || cp == '_';
}

// A literal of up to eight bytes as the low bytes of the word a load at its first byte gives.
constexpr std::uint64_t word_of(std::string_view text) noexcept {
    std::uint64_t w = 0;
    for (std::size_t i = text.size(); i-- > 0;)
        w = (w << 8) | static_cast<std::uint8_t>(text[i]);
    return w;
}

// The length of the predefined entity reference at p ('&' to ';'), its character in `cp`; 0 for
// anything else. Reads eight bytes at p.
inline std::size_t named_ref(const std::uint8_t* p, std::uint32_t& cp) noexcept {
    const std::uint64_t w = scan::load(p);
    const std::uint64_t w4 = w & 0xFFFFFFFFULL, w5 = w & 0xFFFFFFFFFFULL,
                        w6 = w & 0xFFFFFFFFFFFFULL;
    if (w4 == word_of("&lt;")) return cp = '<', 4;
    if (w4 == word_of("&gt;")) return cp = '>', 4;
    if (w5 == word_of("&amp;")) return cp = '&', 5;
    if (w6 == word_of("&quot;")) return cp = '"', 6;
    if (w6 == word_of("&apos;")) return cp = '\'', 6;
    return 0;
}

// The character of the checked multi-byte sequence at p (four bytes readable), its length in
// `len`. The sequence's bytes, first one highest, are shifted down to their number and their
// six-bit payloads gathered; the lead's own payload is then cut to its width.
inline std::uint32_t decode_checked(const std::uint8_t* p, std::size_t& len) noexcept {
    const std::uint8_t lead = p[0];
    len = 2u + (lead >= 0xE0) + (lead >= 0xF0);
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    const std::uint32_t v = __builtin_bswap32(w) >> (8 * (4 - len));
    const std::uint32_t cp = (v & 0x3F) | ((v >> 2) & 0xFC0) | ((v >> 4) & 0x3F000) |
                             ((v >> 6) & 0x1C0000);
    static constexpr std::uint32_t kWidth[5] = {0, 0, 0x7FF, 0xFFFF, 0x1FFFFF};
    return cp & kWidth[len];
}

// The longest reference name the rules accept: "#x" and ten hexadecimal digits.
constexpr std::size_t kLongestRef = 12;

}  // namespace

namespace {

// The check pass over one text, accumulating into the item's totals.
struct TextTotals {
    std::size_t shrink = 0;  // bytes that yield no character of their own
    std::uint8_t widest_lead = 0;
    std::uint32_t widest_ref = 0;
    bool decode = false, rewrite = false;
};

// The reference at p ('&'): the position after its ';', or null when the rules reject it.
inline const std::uint8_t* check_ref(const std::uint8_t* p, const std::uint8_t* limit,
                                     TextTotals& t) noexcept {
    t.decode = true;
    std::uint32_t cp = 0;
    if (const std::size_t len = named_ref(p, cp)) {
        t.shrink += len - 1;
        return p + len;
    }
    const std::uint8_t* stop =
        limit - p > static_cast<std::ptrdiff_t>(kLongestRef + 2) ? p + kLongestRef + 2 : limit;
    const std::uint8_t* semi = p + 1;
    while (semi < stop && *semi != ';') ++semi;
    if (semi == stop) return nullptr;
    const std::string_view name(reinterpret_cast<const char*>(p + 1),
                                static_cast<std::size_t>(semi - p - 1));
    if (ref_error(name, cp)) return nullptr;
    if (name[0] == '#') {
        t.widest_ref = std::max(t.widest_ref, cp);
        t.rewrite = t.rewrite || in_x005f(cp);
    }
    t.shrink += static_cast<std::size_t>(semi - p);
    return semi + 1;
}

// The ASCII byte to check at p (not '<'): the position after what it starts, or null when that
// breaks a rule. `start` is where the text began.
inline const std::uint8_t* check_ascii(const std::uint8_t* p, const std::uint8_t* limit,
                                       const std::uint8_t* start, TextTotals& t) noexcept {
    switch (*p) {
        case '&':
            return check_ref(p, limit, t);
        case '\r':
            t.decode = true;
            if (p[1] == '\n') ++t.shrink;
            return p + 1;
        case '\t':
        case '\n':
            return p + 1;
        case ']':
            return p[1] == ']' && p[2] == '>' ? nullptr : p + 1;
        case '_':
            if (p - start >= 5 && std::memcmp(p - 5, "x005F", 5) == 0) t.rewrite = true;
            return p + 1;
        default:
            return nullptr;  // a control byte
    }
}

#if defined(__SSE2__)

// Unsigned x >= n for each byte, through a signed compare with the top bits flipped.
inline __m128i at_least(__m128i x, int n) noexcept {
    return _mm_cmpgt_epi8(_mm_xor_si128(x, _mm_set1_epi8(static_cast<char>(0x80))),
                          _mm_set1_epi8(static_cast<char>(n - 0x80 - 1)));
}

inline __m128i bytes_eq(__m128i x, int c) noexcept {
    return _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(c)));
}

// Bit i set when byte i of v breaks the UTF-8 rules, given the 16 bytes before v in prev: a
// missing or stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF, or
// U+FFFE / U+FFFF (which the character rules reject).
inline unsigned utf8_faults(__m128i v, __m128i prev) noexcept {
    const __m128i p1 = _mm_or_si128(_mm_slli_si128(v, 1), _mm_srli_si128(prev, 15));
    const __m128i p2 = _mm_or_si128(_mm_slli_si128(v, 2), _mm_srli_si128(prev, 14));
    const __m128i p3 = _mm_or_si128(_mm_slli_si128(v, 3), _mm_srli_si128(prev, 13));
    const __m128i cont = bytes_eq(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))), 0x80);
    const __m128i need = _mm_or_si128(at_least(p1, 0xC0),
                                      _mm_or_si128(at_least(p2, 0xE0), at_least(p3, 0xF0)));
    const __m128i from_a0 = at_least(v, 0xA0), from_90 = at_least(v, 0x90);
    __m128i bad = _mm_xor_si128(cont, need);
    bad = _mm_or_si128(bad, bytes_eq(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xFE))), 0xC0));
    bad = _mm_or_si128(bad, at_least(v, 0xF5));
    bad = _mm_or_si128(bad, _mm_andnot_si128(from_a0, bytes_eq(p1, 0xE0)));
    bad = _mm_or_si128(bad, _mm_and_si128(from_a0, bytes_eq(p1, 0xED)));
    bad = _mm_or_si128(bad, _mm_andnot_si128(from_90, bytes_eq(p1, 0xF0)));
    bad = _mm_or_si128(bad, _mm_and_si128(from_90, bytes_eq(p1, 0xF4)));
    const __m128i fffe = _mm_and_si128(_mm_and_si128(bytes_eq(p2, 0xEF), bytes_eq(p1, 0xBF)),
                                       bytes_eq(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xFE))), 0xBE));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(bad, fffe)));
}

// Checks the text at p up to the next '<', which it returns; null when the text breaks a rule or
// runs to `limit`. Sixteen bytes per step: multi-byte characters are checked and counted for
// the whole block at once; only ASCII bytes that need a rule of their own stop the step.
const std::uint8_t* check_text(const std::uint8_t* p, const std::uint8_t* limit,
                               TextTotals& t) noexcept {
    const std::uint8_t* const start = p;
    const __m128i zero = _mm_setzero_si128();
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i prev = zero, widest = zero;
    unsigned pending = 0;  // the previous block ended in a multi-byte character
    for (;;) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // '<', '&', ']', '_' and bytes below 0x20 stop the step.
        const __m128i control = _mm_andnot_si128(_mm_cmplt_epi8(v, zero),
                                                 _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
        const __m128i stop = _mm_or_si128(_mm_or_si128(bytes_eq(v, '<'), bytes_eq(v, '&')),
                                          _mm_or_si128(_mm_or_si128(bytes_eq(v, ']'), bytes_eq(v, '_')),
                                                       control));
        const unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(stop));
        const unsigned k = static_cast<unsigned>(std::countr_zero(stops | 0x10000u));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
        const unsigned through_k = (2u << k) - 1;  // bytes before the stop and the stop itself
        if ((high | pending) & through_k) {
            if (utf8_faults(v, prev) & through_k) return nullptr;
            const __m128i before = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(k)), index);
            widest = _mm_max_epu8(widest, _mm_and_si128(v, before));
            const __m128i cont = bytes_eq(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))), 0x80);
            const __m128i sums =
                _mm_sad_epu8(_mm_and_si128(_mm_and_si128(cont, before), _mm_set1_epi8(1)), zero);
            t.shrink += static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
        }
        if (k == kBlock) {
            // No stop: the block lies wholly before `limit` (the zero pad would stop it).
            prev = v;
            pending = high >> 15;
            p += kBlock;
            continue;
        }
        p += k;
        if (p >= limit) return nullptr;
        if (*p == '<') break;
        p = check_ascii(p, limit, start, t);
        if (!p) return nullptr;
        // What follows an ASCII byte starts a character.
        prev = zero;
        pending = 0;
    }
    widest = _mm_max_epu8(widest, _mm_srli_si128(widest, 8));
    widest = _mm_max_epu8(widest, _mm_srli_si128(widest, 4));
    widest = _mm_max_epu8(widest, _mm_srli_si128(widest, 2));
    widest = _mm_max_epu8(widest, _mm_srli_si128(widest, 1));
    // With any multi-byte character the largest byte is the largest lead.
    t.widest_lead = std::max(t.widest_lead, static_cast<std::uint8_t>(_mm_cvtsi128_si32(widest)));
    return p;
}

#else

// Index of the first byte among the 16 at p that the check pass looks at one by one (below 0x20,
// 0x80 and above, '<', '&', ']', '_'), or 16.
inline std::size_t next_to_check(const std::uint8_t* p) noexcept {
    for (std::size_t half = 0; half < kBlock; half += 8) {
        const std::uint64_t w = scan::load(p + half);
        const std::uint64_t m = scan::below_bytes(w, 0x20) | (w & scan::kHigh) |
                                scan::eq_bytes(w, '<') | scan::eq_bytes(w, '&') |
                                scan::eq_bytes(w, ']') | scan::eq_bytes(w, '_');
        if (m) return half + scan::first(m);
    }
    return kBlock;
}

// Checks the text at p up to the next '<', which it returns; null when the text breaks a rule or
// runs to `limit`.
const std::uint8_t* check_text(const std::uint8_t* p, const std::uint8_t* limit,
                               TextTotals& t) noexcept {
    const std::uint8_t* const start = p;
    for (;;) {
        const std::size_t k = next_to_check(p);
        p += k;
        // A block without a byte to check lies wholly before `limit`: the zero pad would count.
        if (k == kBlock) continue;
        if (p >= limit) return nullptr;
        std::uint8_t c = *p;
        if (c == '<') return p;
        if (c >= 0x80) {
            do {
                const std::size_t len = utf8_sequence_length(p, static_cast<std::size_t>(limit - p));
                if (!len || (len == 3 && is_fffe_or_ffff(p))) return nullptr;
                t.shrink += len - 1;
                t.widest_lead = std::max(t.widest_lead, c);
                p += len;
                c = *p;
            } while (c >= 0x80 && p < limit);
            continue;
        }
        p = check_ascii(p, limit, start, t);
        if (!p) return nullptr;
    }
}

#endif

#if TOVREL_SCAN32

#define TOVREL_AVX2 __attribute__((target("avx2,bmi,popcnt")))

// The vector constants of the loops below, as aligned bytes built at compile time: N bytes,
// byte i being f(i).
template <std::size_t N>
struct alignas(N) VecBytes {
    std::uint8_t b[N];
};
template <std::size_t N, class F>
constexpr VecBytes<N> each_byte(F f) noexcept {
    VecBytes<N> r{};
    for (std::size_t i = 0; i < N; ++i) r.b[i] = static_cast<std::uint8_t>(f(static_cast<int>(i)));
    return r;
}
template <std::size_t N>
constexpr VecBytes<N> splat(std::uint8_t c) noexcept {
    return each_byte<N>([c](int) { return c; });
}
// A 16-entry table for the byte shuffles, repeated in every 16-byte lane.
template <std::size_t N>
constexpr VecBytes<N> lanes(const std::uint8_t (&t)[16]) noexcept {
    return each_byte<N>([&t](int i) { return t[i % 16]; });
}

// Constants through a pointer the compiler cannot see through: it then loads them as operands
// where the loops use them, instead of building each afresh from an immediate (a move and a
// broadcast) every time round. Every item calls out of the loops, which costs all vector
// registers, so that would be item after item.
template <class T>
inline const T& opaque(const T& c) noexcept {
    const T* p = &c;
    asm("" : "+r"(p));
    return *p;
}

namespace wide {

using Bytes32 = VecBytes<32>;
constexpr Bytes32 all(std::uint8_t c) noexcept { return splat<32>(c); }
constexpr Bytes32 table(const std::uint8_t (&t)[16]) noexcept { return lanes<32>(t); }
constexpr Bytes32 indices() noexcept { return each_byte<32>([](int i) { return i; }); }

// UTF-8 faults found from the high nibble and low nibble of a byte and the high nibble of the
// byte after it: each table gives the faults that nibble allows, and a fault is one all three
// allow. A bit per kind of fault.
constexpr std::uint8_t kTooShort = 1 << 0;   // lead, then no continuation
constexpr std::uint8_t kTooLong = 1 << 1;    // ASCII, then continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0, then 80-9F
constexpr std::uint8_t kTooLarge = 1 << 3;   // F4 and 90 up, or F5 and up
constexpr std::uint8_t kSurrogate = 1 << 4;  // ED, then A0-BF
constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0 or C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5 and up, then 80-8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0, then 80-8F
constexpr std::uint8_t kTwoConts = 1 << 7;      // continuation, then continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

constexpr std::uint8_t kLead1High[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
constexpr std::uint8_t kLead1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};
constexpr std::uint8_t kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};

struct Consts {
    Bytes32 lt = all('<'), bracket = all(']'), underscore = all('_'), control = all(0x1F),
            amp = all('&'), cont = all(0xC0), index = indices(), nibble = all(0x0F),
            lead1_high = table(kLead1High), lead1_low = table(kLead1Low),
            byte2_high = table(kByte2High), third = all(0xE0 - 0x80), fourth = all(0xF0 - 0x80),
            top = all(0x80), ef = all(0xEF), bf = all(0xBF), be = all(0xBE);
};
constexpr Consts kC{};

TOVREL_AVX2 inline __m256i get(const Bytes32& c) noexcept {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(c.b));
}

TOVREL_AVX2 inline __m256i eq(__m256i x, const Bytes32& c) noexcept {
    return _mm256_cmpeq_epi8(x, get(c));
}
TOVREL_AVX2 inline __m256i either(__m256i a, __m256i b) noexcept { return _mm256_or_si256(a, b); }
TOVREL_AVX2 inline __m256i both(__m256i a, __m256i b) noexcept { return _mm256_and_si256(a, b); }
TOVREL_AVX2 inline std::uint32_t bits(__m256i x) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(x));
}
// Each byte of v replaced by the one N places before it, the first N taken from the end of prev.
template <int N>
TOVREL_AVX2 inline __m256i back(__m256i v, __m256i prev) noexcept {
    return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(prev, v, 0x21), 16 - N);
}

// Bit i set when byte i of v breaks the UTF-8 rules, given the 32 bytes before v in prev: a
// missing or stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF, or
// U+FFFE / U+FFFF (which the character rules reject).
TOVREL_AVX2 inline std::uint32_t utf8_faults(__m256i v, __m256i prev, const Consts& u) noexcept {
    const __m256i p1 = back<1>(v, prev), p2 = back<2>(v, prev), p3 = back<3>(v, prev);
    const __m256i nibble = get(u.nibble);
    const __m256i lead1_high = _mm256_shuffle_epi8(
        get(kC.lead1_high), both(_mm256_srli_epi16(p1, 4), nibble));
    const __m256i lead1_low = _mm256_shuffle_epi8(get(kC.lead1_low), both(p1, nibble));
    const __m256i byte2_high =
        _mm256_shuffle_epi8(get(kC.byte2_high), both(_mm256_srli_epi16(v, 4), nibble));
    const __m256i special = both(both(lead1_high, lead1_low), byte2_high);
    // The third and fourth bytes of a sequence must continue it: the tables saw them only as
    // the second continuation in a row.
    const __m256i must = both(either(_mm256_subs_epu8(p2, get(u.third)),
                                     _mm256_subs_epu8(p3, get(u.fourth))),
                              get(u.top));
    const __m256i nonchar = both(both(eq(p2, u.ef), eq(p1, u.bf)),
                                 _mm256_cmpeq_epi8(_mm256_max_epu8(v, get(u.be)), v));
    const __m256i fault = either(_mm256_xor_si256(must, special), nonchar);
    return ~bits(_mm256_cmpeq_epi8(fault, _mm256_setzero_si256()));
}

// check_text over 32-byte blocks. References do not end a block: each '&' before the block's
// stop is checked where it stands (a reference holds only ASCII letters, digits, '#' and ';',
// none of which stops or needs the UTF-8 state), so a text with references keeps its blocks.
TOVREL_AVX2 const std::uint8_t* check_text(const std::uint8_t* p, const std::uint8_t* limit,
                                           TextTotals& t) noexcept {
    const std::uint8_t* const start = p;
    const Consts& u = opaque(kC);
    const __m256i zero = _mm256_setzero_si256();
    __m256i prev = zero, widest = zero;
    std::uint32_t pending = 0;  // the previous block ended in a multi-byte character
    for (;;) {
        __m256i v;
        if (limit - p >= 16) {
            v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        } else {
            // Only sixteen bytes past `limit` are readable: the block comes from a copy, zero
            // past them as the pad is.
            std::uint8_t tail[32] = {};
            std::memcpy(tail, p, static_cast<std::size_t>(limit - p) + 16);
            v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tail));
        }
        // '<', ']', '_' and bytes below 0x20 stop the step.
        const __m256i control = _mm256_cmpeq_epi8(_mm256_min_epu8(v, get(u.control)), v);
        const std::uint32_t stops = bits(either(either(eq(v, u.lt), eq(v, u.bracket)),
                                                either(eq(v, u.underscore), control)));
        const unsigned k = static_cast<unsigned>(std::countr_zero(stops | (1ULL << 32)));
        const std::uint32_t before = static_cast<std::uint32_t>((1ULL << k) - 1);
        const std::uint32_t through = static_cast<std::uint32_t>((2ULL << k) - 1);
        const std::uint32_t high = bits(v);
        if ((high | pending) & through) {
            if (utf8_faults(v, prev, u) & through) return nullptr;
            // Continuation bytes are those below 0xC0 as signed bytes.
            const std::uint32_t cont = bits(_mm256_cmpgt_epi8(get(u.cont), v));
            t.shrink += static_cast<std::size_t>(std::popcount(cont & before));
            const __m256i kept = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(k)),
                                                   get(kC.index));
            widest = _mm256_max_epu8(widest, both(v, kept));
        }
        for (std::uint32_t amps = bits(eq(v, u.amp)) & before; amps; amps &= amps - 1)
            if (!check_ref(p + std::countr_zero(amps), limit, t)) return nullptr;
        if (k == 32) {
            // No stop: the block lies wholly before `limit` (the zero pad would stop it).
            prev = v;
            pending = high >> 31;
            p += 32;
            continue;
        }
        p += k;
        if (p >= limit) return nullptr;
        if (*p == '<') break;
        p = check_ascii(p, limit, start, t);
        if (!p) return nullptr;
        // What follows an ASCII byte starts a character.
        prev = zero;
        pending = 0;
    }
    if (_mm256_testz_si256(widest, widest)) return p;  // ASCII only
    // With any multi-byte character the largest byte is the largest lead.
    __m128i w = _mm_max_epu8(_mm256_castsi256_si128(widest), _mm256_extracti128_si256(widest, 1));
    w = _mm_max_epu8(w, _mm_srli_si128(w, 8));
    w = _mm_max_epu8(w, _mm_srli_si128(w, 4));
    w = _mm_max_epu8(w, _mm_srli_si128(w, 2));
    w = _mm_max_epu8(w, _mm_srli_si128(w, 1));
    t.widest_lead = std::max(t.widest_lead, static_cast<std::uint8_t>(_mm_cvtsi128_si32(w)));
    return p;
}

}  // namespace wide

#define TOVREL_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

namespace zmm {

using Bytes64 = VecBytes<64>;
constexpr Bytes64 all64(std::uint8_t c) noexcept { return splat<64>(c); }
constexpr Bytes64 table64(const std::uint8_t (&t)[16]) noexcept { return lanes<64>(t); }

// The kind of each ASCII byte from `from` on: 1 for those that stop a step of the check ('<',
// ']', '_' and those below 0x20), 2 for '&'.
constexpr Bytes64 kind_table(int from) noexcept {
    return each_byte<64>([from](int i) {
        const int c = from + i;
        return c < 0x20 || c == '<' || c == ']' || c == '_' ? 1 : c == '&' ? 2 : 0;
    });
}

struct CheckConsts {
    Bytes64 kind_low = kind_table(0), kind_high = kind_table(64), stop_kind = all64(1),
            amp_kind = all64(2), cont_end = all64(0xC0), past_latin1 = all64(0xC4),
            astral = all64(0xF0), nibble = all64(0x0F), lead1_high = table64(wide::kLead1High),
            lead1_low = table64(wide::kLead1Low), byte2_high = table64(wide::kByte2High),
            third = all64(0xE0 - 0x80), fourth = all64(0xF0 - 0x80), top = all64(0x80),
            ef = all64(0xEF), bf = all64(0xBF), be = all64(0xBE), lt = all64('<');
};
constexpr CheckConsts kCheck{};

TOVREL_AVX512 inline __m512i get(const Bytes64& c) noexcept {
    return _mm512_load_si512(c.b);
}
TOVREL_AVX512 inline std::uint64_t eq(__m512i x, const Bytes64& c) noexcept {
    return _mm512_cmpeq_epi8_mask(x, get(c));
}
// The bytes at p before `n` (at most 64), zero past them: nothing past p + n is read.
TOVREL_AVX512 inline __m512i load_upto(const std::uint8_t* p, std::size_t n) noexcept {
    return _mm512_maskz_loadu_epi8(_bzhi_u64(~0ULL, static_cast<unsigned>(n)), p);
}
// Each byte of v replaced by the one N places before it, the first N taken from the end of prev;
// `shifted` is v moved up a lane with prev's last lane below it.
template <int N>
TOVREL_AVX512 inline __m512i back(__m512i v, __m512i shifted) noexcept {
    return _mm512_alignr_epi8(v, shifted, 16 - N);
}

// Bit i set when byte i of v breaks the UTF-8 rules, given the 64 bytes before v in prev: the
// same nibble tables as the 32-byte check, four lanes at a time.
TOVREL_AVX512 inline std::uint64_t utf8_faults(__m512i v, __m512i prev,
                                               const CheckConsts& c) noexcept {
    const __m512i shifted = _mm512_alignr_epi32(v, prev, 12);
    const __m512i p1 = back<1>(v, shifted), p2 = back<2>(v, shifted), p3 = back<3>(v, shifted);
    const __m512i nibble = get(c.nibble);
    const __m512i lead1_high = _mm512_shuffle_epi8(
        get(c.lead1_high), _mm512_and_si512(_mm512_srli_epi16(p1, 4), nibble));
    const __m512i lead1_low = _mm512_shuffle_epi8(get(c.lead1_low), _mm512_and_si512(p1, nibble));
    const __m512i byte2_high = _mm512_shuffle_epi8(
        get(c.byte2_high), _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble));
    // 0x80: all three.
    const __m512i special = _mm512_ternarylogic_epi32(lead1_high, lead1_low, byte2_high, 0x80);
    const __m512i must = _mm512_and_si512(
        _mm512_or_si512(_mm512_subs_epu8(p2, get(c.third)), _mm512_subs_epu8(p3, get(c.fourth))),
        get(c.top));
    const std::uint64_t nonchar = _mm512_cmpeq_epi8_mask(p2, get(c.ef)) &
                                  _mm512_cmpeq_epi8_mask(p1, get(c.bf)) &
                                  _mm512_cmpge_epu8_mask(v, get(c.be));
    const __m512i fault = _mm512_xor_si512(must, special);
    return _mm512_test_epi8_mask(fault, fault) | nonchar;
}

struct NameConsts {
    Bytes64 l = all64('l'), t = all64('t'), g = all64('g'), semi = all64(';'), a = all64('a'),
            m = all64('m'), p = all64('p'), q = all64('q'), u = all64('u'), o = all64('o'),
            s = all64('s');
};
constexpr NameConsts kNames{};

// The references to the predefined entities among the '&' bytes `amps` of the block v, at their
// '&' bytes by their character: each letter of the names and ';' found by a compare of its own,
// and moved back to the '&' by its place in the name. Those running past the block are not
// found; neither are character references or refused ones.
struct NamedRefs {
    std::uint64_t lt, gt, amp, quot, apos;
};
TOVREL_AVX512 inline NamedRefs named_refs(__m512i v, std::uint64_t amps) noexcept {
    const NameConsts& n = opaque(kNames);
    const std::uint64_t l = eq(v, n.l), t = eq(v, n.t), g = eq(v, n.g), semi = eq(v, n.semi),
                        a = eq(v, n.a), m = eq(v, n.m), p = eq(v, n.p), q = eq(v, n.q),
                        u = eq(v, n.u), o = eq(v, n.o), s = eq(v, n.s);
    const std::uint64_t t_semi = t >> 2 & semi >> 3;
    return {amps & l >> 1 & t_semi, amps & g >> 1 & t_semi,
            amps & a >> 1 & m >> 2 & p >> 3 & semi >> 4,
            amps & q >> 1 & u >> 2 & o >> 3 & t >> 4 & semi >> 5,
            amps & a >> 1 & p >> 2 & o >> 3 & s >> 4 & semi >> 5};
}

struct alignas(64) Qwords8 {
    std::uint64_t q[8];
};
constexpr Qwords8 all8(std::uint64_t x) noexcept {
    Qwords8 r{};
    for (std::uint64_t& q : r.q) q = x;
    return r;
}

struct RefConsts {
    // Byte 8j + b of lane_of: j, to spread the position of the j-th '&' over lane j; of
    // after_amp: b + 1.
    Bytes64 iota = each_byte<64>([](int i) { return i; }),
            lane_of = each_byte<64>([](int i) { return i / 8; }),
            after_amp = each_byte<64>([](int i) { return i % 8 + 1; });
    Qwords8 low3 = all8(0xFFFFFF), low4 = all8(0xFFFFFFFF), low5 = all8(0xFFFFFFFFFF),
            lt = all8(word_of("lt;")), gt = all8(word_of("gt;")), amp = all8(word_of("amp;")),
            quot = all8(word_of("quot;")), apos = all8(word_of("apos;"));
};
constexpr RefConsts kRefs{};

// The same as lanes, those running past the block found as well (its next bytes in `next`):
// lane j holds the j-th '&', eight of them at most. The eight bytes after each '&' are gathered
// into a 64-bit lane and compared whole. The check uses this: less work than the compares by
// letter, and nothing it does next waits on the result; the fill, whose next steps do wait on
// the references' places, uses the compares.
struct NamedLanes {
    __mmask8 lt, gt, amp, quot, apos;
    __mmask8 all() const noexcept { return static_cast<__mmask8>(lt | gt | amp | quot | apos); }
    // Bytes the references take beyond one character each.
    std::size_t shrink() const noexcept {
        return static_cast<std::size_t>(3 * std::popcount(static_cast<unsigned>(lt | gt)) +
                                        4 * std::popcount(static_cast<unsigned>(amp)) +
                                        5 * std::popcount(static_cast<unsigned>(quot | apos)));
    }
};
// The positions of the '&' bytes whose lanes are set.
TOVREL_AVX512 inline std::uint64_t where(unsigned lanes, std::uint64_t amps) noexcept {
    return _pdep_u64(lanes, amps);
}
TOVREL_AVX512 inline NamedLanes named_lanes(__m512i v, __m512i next, std::uint64_t amps) noexcept {
    const RefConsts& r = opaque(kRefs);
    const __m512i at = _mm512_maskz_compress_epi8(amps, get(r.iota));
    // Byte 8j + b of the index: the position of the j-th '&' plus b + 1.
    const __m512i index =
        _mm512_add_epi8(_mm512_permutexvar_epi8(get(r.lane_of), at), get(r.after_amp));
    const __m512i window = _mm512_permutex2var_epi8(v, index, next);
    const __m512i w3 = _mm512_and_si512(window, _mm512_load_si512(r.low3.q));
    const __m512i w4 = _mm512_and_si512(window, _mm512_load_si512(r.low4.q));
    const __m512i w5 = _mm512_and_si512(window, _mm512_load_si512(r.low5.q));
    // Lanes past the last '&' compare bytes from the block's start: cut off.
    const auto lanes =
        static_cast<__mmask8>(_bzhi_u32(0xFF, static_cast<unsigned>(std::popcount(amps))));
    return {_mm512_mask_cmpeq_epi64_mask(lanes, w3, _mm512_load_si512(r.lt.q)),
            _mm512_mask_cmpeq_epi64_mask(lanes, w3, _mm512_load_si512(r.gt.q)),
            _mm512_mask_cmpeq_epi64_mask(lanes, w4, _mm512_load_si512(r.amp.q)),
            _mm512_mask_cmpeq_epi64_mask(lanes, w5, _mm512_load_si512(r.quot.q)),
            _mm512_mask_cmpeq_epi64_mask(lanes, w5, _mm512_load_si512(r.apos.q))};
}

// check_text over 64-byte blocks, each loaded only up to `limit` (zero past it, as the pad is).
// References do not end a block, as in the 32-byte check; those to the predefined entities are
// matched for the whole block at once. The widest class is kept as masks.
// `first`, when given, is the first block, loaded already.
TOVREL_AVX512 const std::uint8_t* check_text(const std::uint8_t* p, const std::uint8_t* limit,
                                             TextTotals& t,
                                             const __m512i* first = nullptr) noexcept {
    const CheckConsts& c = opaque(kCheck);
    const std::uint8_t* const start = p;
    __m512i prev = _mm512_setzero_si512();
    std::uint64_t high_seen = 0, past_latin1 = 0, astral = 0;
    std::uint64_t pending = 0;  // the previous block ended in a multi-byte character
    for (;;) {
        const std::size_t left = static_cast<std::size_t>(limit - p);
        const __m512i v = first ? *first : load_upto(p, left < 64 ? left : 64);
        first = nullptr;
        // '<', ']', '_' and bytes below 0x20 stop the step: looked up by the low seven bits of
        // each byte, which is ASCII if its top bit is clear.
        const std::uint64_t high = _mm512_movepi8_mask(v);
        const __m512i kind = _mm512_permutex2var_epi8(get(c.kind_low), v, get(c.kind_high));
        const std::uint64_t stops = _mm512_mask_test_epi8_mask(~high, kind, get(c.stop_kind));
        const unsigned k = static_cast<unsigned>(_tzcnt_u64(stops));  // 64 when none
        const std::uint64_t before = _bzhi_u64(~0ULL, k);
        if (const std::uint64_t through = _bzhi_u64(~0ULL, k + 1); (high | pending) & through) {
            if (utf8_faults(v, prev, c) & through) return nullptr;
            // Continuation bytes are those below 0xC0 as signed bytes.
            t.shrink += static_cast<std::size_t>(
                std::popcount(_mm512_mask_cmplt_epi8_mask(before, v, get(c.cont_end))));
            high_seen |= high & before;
            past_latin1 |= _mm512_mask_cmpge_epu8_mask(before, v, get(c.past_latin1));
            astral |= _mm512_mask_cmpge_epu8_mask(before, v, get(c.astral));
        }
        if (std::uint64_t amps =
                _mm512_mask_test_epi8_mask(~high & before, kind, get(c.amp_kind))) {
            t.decode = true;
            const __m512i next = load_upto(p + 64, left < 64 ? 0 : left - 64 < 64 ? left - 64 : 64);
            const NamedLanes refs = named_lanes(v, next, amps);
            t.shrink += refs.shrink();
            for (amps &= ~where(refs.all(), amps); amps; amps &= amps - 1)
                if (!check_ref(p + std::countr_zero(amps), limit, t)) return nullptr;
        }
        if (k == 64) {
            // No stop: the block lies wholly before `limit` (the zeros past it would stop it).
            prev = v;
            pending = high >> 63;
            p += 64;
            continue;
        }
        p += k;
        if (p >= limit) return nullptr;
        if (*p == '<') break;
        p = check_ascii(p, limit, start, t);
        if (!p) return nullptr;
        // What follows an ASCII byte starts a character.
        prev = _mm512_setzero_si512();
        pending = 0;
    }
    // A lead byte standing for its class: 0xC2 Latin-1, 0xC4 the rest of the BMP, 0xF0 beyond.
    const std::uint8_t lead = astral ? 0xF0 : past_latin1 ? 0xC4 : high_seen ? 0xC2 : 0;
    t.widest_lead = std::max(t.widest_lead, lead);
    return p;
}

}  // namespace zmm

#endif

// Whether the bytes at p (p <= limit, 16 bytes readable past `limit`) start with `lit`. Up to
// eight bytes take one masked word compare: the zero pad past `limit` never matches a literal.
inline bool at(const std::uint8_t* p, const std::uint8_t* limit, std::string_view lit) noexcept {
    if (lit.size() <= 8) {
        const std::uint64_t mask = lit.size() == 8 ? ~0ULL : (1ULL << (8 * lit.size())) - 1;
        return ((scan::load(p) ^ word_of(lit)) & mask) == 0;
    }
    return static_cast<std::size_t>(limit - p) >= lit.size() &&
           std::memcmp(p, lit.data(), lit.size()) == 0;
}

constexpr std::string_view kPreserveT = "<t xml:space=\"preserve\">";

// "<t>" or "<t xml:space="preserve">" at p: the position after it, or null.
inline const std::uint8_t* open_t(const std::uint8_t* p, const std::uint8_t* limit) noexcept {
    if (at(p, limit, "<t>")) return p + 3;
    if (at(p, limit, kPreserveT)) return p + kPreserveT.size();
    return nullptr;
}

// The commonest openings, "<si><t>" and "<si><t xml:space="preserve">", at p: the position after
// them, where the item's text starts, or null.
inline const std::uint8_t* single_text(const std::uint8_t* p, const std::uint8_t* limit) noexcept {
    if (at(p, limit, "<si><t>")) return p + 7;
    if (at(p, limit, "<si>") && at(p + 4, limit, kPreserveT)) return p + 4 + kPreserveT.size();
    return nullptr;
}

// Whether "x005F_" could run across the join of two texts: a character of it ending the one and
// the next character of it starting the other.
inline bool x005f_join(std::uint8_t last, std::uint8_t first) noexcept {
    const bool ends = last == 'x' || last == '0' || last == '5' || last == 'F';
    const bool starts = first == '0' || first == '5' || first == 'F' || first == '_';
    return ends && starts;
}

}  // namespace

ScanWidth best_scan_width() noexcept {
#if TOVREL_SCAN32
    static const ScanWidth best = [] {
        __builtin_cpu_init();
        const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                          __builtin_cpu_supports("popcnt");
        const bool avx512 = avx2 && __builtin_cpu_supports("bmi2") &&
                            __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512vbmi") &&
                            __builtin_cpu_supports("avx512vbmi2");
        return avx512 ? ScanWidth::Block64 : avx2 ? ScanWidth::Block32 : ScanWidth::Block16;
    }();
    return best;
#else
    return ScanWidth::Block16;
#endif
}

namespace {

// The item's totals into `out`, the item ending at item_end.
inline bool finish_item(const std::uint8_t* buf, const std::uint8_t* item_end,
                        const TextTotals& totals, ItemScan& out) noexcept {
    out.item_end = static_cast<std::size_t>(item_end - buf);
    // A character reference widens the class only when it lies past it (classes end where
    // widths do).
    out.maxchar = kLeadClass[totals.widest_lead];
    if (totals.widest_ref > out.maxchar) out.maxchar = width_class(totals.widest_ref);
    out.decode = totals.decode;
    out.rewrite = totals.rewrite;
    out.markup = false;
    return true;
}

// check_text at block width W. `first` (64-byte blocks only) is the text's first block when
// loaded already.
template <ScanWidth W>
inline const std::uint8_t* check_at(const std::uint8_t* start, const std::uint8_t* limit,
                                    TextTotals& t,
                                    [[maybe_unused]] const void* first = nullptr) noexcept {
#if TOVREL_SCAN32
    if constexpr (W == ScanWidth::Block32) return wide::check_text(start, limit, t);
    if constexpr (W == ScanWidth::Block64)
        return zmm::check_text(start, limit, t, static_cast<const __m512i*>(first));
#endif
    return check_text(start, limit, t);
}

// Past the decimal digits at p and `lit` after them; null without a digit or without `lit`.
inline const std::uint8_t* digits_then(const std::uint8_t* p, const std::uint8_t* limit,
                                       std::string_view lit) noexcept {
    const std::uint8_t* const start = p;
    while (p < limit && static_cast<unsigned>(*p - '0') < 10) ++p;
    return p != start && at(p, limit, lit) ? p + lit.size() : nullptr;
}

// The phonetic runs and properties Excel writes after an item's text, from p on, in any order
// and number (one at least), then "</si>": <rPh> or <rPh sb="N" eb="N">, one <t>, </rPh>; and
// <phoneticPr fontId="N"/> or <phoneticPr fontId="N" type="name"/>. The position past "</si>",
// or null for anything else. Their texts are checked by the reader's rules like any other.
template <ScanWidth W>
inline const std::uint8_t* phonetic_tail(const std::uint8_t* p,
                                         const std::uint8_t* limit) noexcept {
    static constexpr std::string_view kRph = "<rPh sb=\"", kPr = "<phoneticPr fontId=\"";
    for (bool any = false;; any = true) {
        if (at(p, limit, "</si>")) return any ? p + 5 : nullptr;
        if (at(p, limit, kRph)) {
            p = digits_then(p + kRph.size(), limit, "\" eb=\"");
            if (p) p = digits_then(p, limit, "\">");
        } else if (at(p, limit, "<rPh>")) {
            p += 5;
        } else if (at(p, limit, kPr)) {
            p = digits_then(p + kPr.size(), limit, "\"");
            if (p && at(p, limit, " type=\"")) {
                const std::uint8_t* const name = p += 7;
                while (p < limit && static_cast<unsigned>((*p | 0x20) - 'a') < 26) ++p;
                if (p == name || !at(p, limit, "\"")) return nullptr;
                ++p;
            }
            if (!p || !at(p, limit, "/>")) return nullptr;
            p += 2;
            continue;
        } else {
            return nullptr;
        }
        if (p) p = open_t(p, limit);
        if (!p) return nullptr;
        TextTotals unused;
        p = check_at<W>(p, limit, unused);
        if (!p || !at(p, limit, "</t></rPh>")) return nullptr;
        p += 10;
    }
}

// The commonest shapes, <si><t>text</t></si> and the same with <t xml:space="preserve">, in one
// go from the text's start on: one text, nothing to join. The same text followed by phonetic runs
// is taken as markup. `first` (64-byte blocks only) is the text's first block when loaded already.
template <ScanWidth W>
inline bool scan_single(const std::uint8_t* buf, std::size_t filled, const std::uint8_t* start,
                        ItemScan& out, const void* first = nullptr) {
    const std::uint8_t* const limit = buf + filled;
    TextTotals totals;
    const std::uint8_t* const end = check_at<W>(start, limit, totals, first);
    if (!end) return false;
    if (!at(end, limit, "</t></si") || end[8] != '>') {
        const std::uint8_t* const item_end =
            at(end, limit, "</t>") ? phonetic_tail<W>(end + 4, limit) : nullptr;
        if (!item_end) return false;
        out.markup = true;
        out.item_end = static_cast<std::size_t>(item_end - buf);
        return true;
    }
    out.span_count = 1;
    out.spans[0] = {static_cast<std::size_t>(start - buf), static_cast<std::size_t>(end - buf),
                    static_cast<std::size_t>(end - start) - totals.shrink};
    out.chars = out.spans[0].chars;
    return finish_item(buf, end + 9, totals, out);
}

template <ScanWidth W>
inline bool scan_item(const std::uint8_t* buf, std::size_t filled, std::size_t pos, ItemScan& out,
                      RprVerdict rpr_verdict) {
    const std::uint8_t* const limit = buf + filled;
    const std::uint8_t* p = buf + pos;
    TextTotals totals;
    if (const std::uint8_t* const text = single_text(p, limit))
        return scan_single<W>(buf, filled, text, out);
    if (!at(p, limit, "<si>")) return false;
    p += 4;
    out.span_count = 0;
    auto add_text = [&](const std::uint8_t* start) -> const std::uint8_t* {
        const std::size_t shrink_before = totals.shrink;
        const std::uint8_t* end = check_at<W>(start, limit, totals);
        if (!end || out.span_count == ItemScan::kMaxSpans || !at(end, limit, "</t>"))
            return nullptr;
        ItemScan::Span& span = out.spans[out.span_count++];
        span.start = static_cast<std::size_t>(start - buf);
        span.end = static_cast<std::size_t>(end - buf);
        span.chars = span.end - span.start - (totals.shrink - shrink_before);
        return end + 4;
    };
    // Runs: <r>, optional <rPr>…</rPr> known to be harmless, one <t>, </r>.
    while (at(p, limit, "<r>")) {
        p += 3;
        if (at(p, limit, "<rPr>")) {
            static constexpr std::string_view kRprEnd = "</rPr>";
            const std::uint8_t* q = p;
            for (;;) {
                q = scan::find1(q + 1, limit, '<');
                if (q == limit) return false;
                if (at(q, limit, kRprEnd)) break;
            }
            q += kRprEnd.size();
            const std::string_view rpr(reinterpret_cast<const char*>(p),
                                       static_cast<std::size_t>(q - p));
            if (!rpr_verdict(rpr)) return false;
            p = q;
        }
        const std::uint8_t* text = open_t(p, limit);
        if (!text) return false;
        p = add_text(text);
        if (!p || !at(p, limit, "</r>")) return false;
        p += 4;
    }
    if (out.span_count == 0) return false;
    if (!at(p, limit, "</si>")) return false;
    // The pattern across two texts (empty ones aside) counts as well.
    std::uint8_t last = 0;
    out.chars = 0;
    for (std::size_t i = 0; i < out.span_count; ++i) {
        const ItemScan::Span& span = out.spans[i];
        out.chars += span.chars;
        if (span.start == span.end) continue;
        if (last && x005f_join(last, buf[span.start])) totals.rewrite = true;
        last = buf[span.end - 1];
    }
    return finish_item(buf, p + 5, totals, out);
}

}  // namespace

namespace {

#if TOVREL_SCAN32
// Up to 64 bytes per masked load and store: no branch on the length below that.
__attribute__((target("avx512f,avx512bw,bmi2"))) void copy_masked(
    const std::uint8_t* p, std::uint8_t* out, std::size_t n) noexcept {
    for (; n > 64; n -= 64, p += 64, out += 64)
        _mm512_storeu_si512(out, _mm512_loadu_si512(p));
    const __mmask64 keep = _bzhi_u64(~0ULL, static_cast<unsigned>(n));
    _mm512_mask_storeu_epi8(out, keep, _mm512_maskz_loadu_epi8(keep, p));
}
#endif

void copy_words(const std::uint8_t* p, std::uint8_t* out, std::size_t n) noexcept {
    // Short texts are the rule: overlapping word copies instead of a library call.
    if (n >= 16) {
        std::size_t i = 0;
        for (; n - i > 16; i += 16) std::memcpy(out + i, p + i, 16);
        std::memcpy(out + n - 16, p + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(out, p, 8);
        std::memcpy(out + n - 8, p + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(out, p, 4);
        std::memcpy(out + n - 4, p + n - 4, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) out[i] = p[i];
    }
}

}  // namespace

CopyKind best_copy_kind() noexcept {
#if TOVREL_SCAN32
    static const CopyKind best =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                __builtin_cpu_supports("bmi2")
            ? CopyKind::Masked64
            : CopyKind::Words;
    return best;
#else
    return CopyKind::Words;
#endif
}

void copy_text(const std::uint8_t* p, std::uint8_t* out, std::size_t n, CopyKind kind) noexcept {
#if TOVREL_SCAN32
    if (kind == CopyKind::Masked64) return copy_masked(p, out, n);
#endif
    (void)kind;
    copy_words(p, out, n);
}

namespace {

#if TOVREL_SCAN32
// The 16 bytes at p, each zero-extended to one code unit in one or two conversions (AVX2).
template <class Unit>
TOVREL_AVX2 inline void widen_block_wide(Unit* out, const std::uint8_t* p) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    } else if constexpr (sizeof(Unit) == 2) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepu8_epi16(v));
    } else {
        auto* o = reinterpret_cast<__m256i*>(out);
        _mm256_storeu_si256(o, _mm256_cvtepu8_epi32(v));
        _mm256_storeu_si256(o + 1, _mm256_cvtepu8_epi32(_mm_srli_si128(v, 8)));
    }
}
#endif

// The ASCII byte to decode at p, a CR or a reference the scan has checked, written as one unit.
template <class Unit>
inline void fill_special(const std::uint8_t*& p, Unit*& out) noexcept {
    if (*p == '\r') {
        *out++ = '\n';
        p += p[1] == '\n' ? 2 : 1;
    } else if (std::uint32_t cp = 0; const std::size_t len = named_ref(p, cp)) {
        *out++ = static_cast<Unit>(cp);
        p += len;
    } else {
        // A character reference the scan has resolved once already.
        const std::uint8_t* semi = p + 1;
        while (*semi != ';') ++semi;
        ref_error(std::string_view(reinterpret_cast<const char*>(p + 1),
                                   static_cast<std::size_t>(semi - p - 1)),
                  cp);
        *out++ = static_cast<Unit>(cp);
        p = semi + 1;
    }
}

// Writes the scanned text [p, end) decoded (references, CR LF and lone CR to LF) as code units
// from out on, wide enough for the scanned maxchar, and returns the end of them. A step stores
// up to kFillSlack units from where it starts, the units past its characters to be overwritten;
// the loop also stops before a step that would start at or past `out_stop`, and `p` is left at
// the first byte not decoded, the start of a character. Reads at most 16 bytes past `end`.
template <class Unit>
Unit* fill_blocks(const std::uint8_t*& p, const std::uint8_t* end, Unit* out,
                  const Unit* out_stop) noexcept {
    while (p < end && out < out_stop) {
        // A whole block widened and stored, those before the first byte to decode kept. The
        // block may reach past `end` (those units land in the slack) while a character remains.
        const std::size_t k = next_to_decode(p);
        widen_block(out, p);
        p += k;
        out += k;
        if (k == kBlock || p >= end) continue;
        const std::uint8_t c = *p;
        if (c >= 0x80) {
            // A run of multi-byte characters (most of a CJK text) is decoded in one go.
            do {
                std::size_t len;
                *out++ = static_cast<Unit>(decode_checked(p, len));
                p += len;
            } while (p < end && *p >= 0x80);
        } else {
            fill_special(p, out);
        }
    }
    // A last block that ran past `end` stored its bytes one unit each.
    if (p > end) {
        out -= p - end;
        p = end;
    }
    return out;
}

#if TOVREL_SCAN32
namespace wide {

// For each set of character ends among eight bytes (bit i: byte i ends a character): byte 0 is
// -1, byte 1 + j the position of the j-th end. Character j then spans the bytes after byte j up
// to byte 1 + j.
struct alignas(16) Ends {
    std::uint8_t b[16];
};
constexpr std::array<Ends, 256> ends_table() noexcept {
    std::array<Ends, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        for (std::uint8_t& x : t[m].b) x = 0xFF;
        unsigned j = 1;
        for (unsigned i = 0; i < 8; ++i)
            if (m >> i & 1) t[m].b[j++] = static_cast<std::uint8_t>(i);
    }
    return t;
}
constexpr std::array<Ends, 256> kEnds = ends_table();

// The payload bits a byte keeps, by its high nibble: ASCII seven, continuation six, the lead of
// a two-, three- or four-byte sequence five, four or three.
constexpr std::uint8_t kPayload[16] = {0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F,
                                       0x3F, 0x3F, 0x3F, 0x3F, 0x1F, 0x1F, 0x0F, 0x07};

constexpr Bytes32 repeat4(int plus) noexcept {
    return each_byte<32>([plus](int i) { return i / 4 + plus; });
}
constexpr Bytes32 pattern4(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                           std::uint8_t d) noexcept {
    const std::array<std::uint8_t, 4> four = {a, b, c, d};
    return each_byte<32>([four](int i) { return four[i % 4]; });
}

struct FillConsts {
    Bytes32 this_end = repeat4(1), prev_end = repeat4(0), back = pattern4(0, 1, 2, 3),
            top = all(0x80), nibble = all(0x0F), payload = table(kPayload),
            by64 = pattern4(1, 64, 1, 64), by4096 = pattern4(1, 0, 0, 16), amp = all('&'),
            cr = all('\r'), before_lead = all(0xBF), eight = all(8),
            first_lead = all(0xC0), one = all(1);
};
constexpr FillConsts kF{};


TOVREL_AVX2 inline __m128i get16(const Bytes32& c) noexcept {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(c.b));
}

// Decodes up to eight characters of the block v (in both lanes) whose ends an entry like those
// of kEnds gives, its byte 0 the end of the character before them, and stores them as eight
// units at out (those past the characters are slack). Each character lands in a 32-bit lane
// with its bytes last first: lane byte k is byte e - k of v, e the character's last byte, as
// long as that lies after the previous character's last byte; the rest of the lane is zero.
// The payload bits of each byte are then summed at their weight.
template <class Unit>
TOVREL_AVX2 inline void decode_lanes(__m256i v, __m128i ends_entry, Unit* out,
                                      const FillConsts& f) noexcept {
    const __m256i entry = _mm256_broadcastsi128_si256(ends_entry);
    const __m256i last = _mm256_shuffle_epi8(entry, get(f.this_end));
    const __m256i prev = _mm256_shuffle_epi8(entry, get(f.prev_end));
    const __m256i at = _mm256_sub_epi8(last, get(f.back));
    const __m256i pick =
        _mm256_or_si256(at, _mm256_andnot_si256(_mm256_cmpgt_epi8(at, prev), get(f.top)));
    const __m256i bytes = _mm256_shuffle_epi8(v, pick);
    const __m256i keep = _mm256_shuffle_epi8(
        get(f.payload), both(_mm256_srli_epi16(bytes, 4), get(f.nibble)));
    // Bytes 0 + 64 * byte 1, bytes 2 + 64 * byte 3, then the first + 4096 * the second.
    const __m256i cp = _mm256_madd_epi16(_mm256_maddubs_epi16(both(bytes, keep), get(f.by64)),
                                         get(f.by4096));
    if constexpr (sizeof(Unit) == 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), cp);
    } else {
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(cp, cp), 0x08);
        const __m128i units = _mm256_castsi256_si128(packed);
        if constexpr (sizeof(Unit) == 2)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), units);
        else
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
    }
}

// fill_text over 16-byte blocks: ASCII is widened a block at a time, and a block with a
// multi-byte character decodes the whole characters of up to fifteen bytes at once (sixteen for
// one-byte units), so mixed text never goes a character at a time. References and CR are
// decoded where they stand.
template <class Unit>
TOVREL_AVX2 __attribute__((flatten)) Unit* fill_text(const std::uint8_t*& p, const std::uint8_t* end,
                                                     Unit* out, const Unit* out_stop) noexcept {
    const FillConsts& f = opaque(kF);
    while (p < end && out < out_stop) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i special =
            _mm_or_si128(_mm_cmpeq_epi8(v, get16(f.amp)), _mm_cmpeq_epi8(v, get16(f.cr)));
        const unsigned k = static_cast<unsigned>(
            std::countr_zero(static_cast<unsigned>(_mm_movemask_epi8(special)) | 0x10000u));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v)) & ((1u << k) - 1);
        const unsigned ascii = high ? static_cast<unsigned>(std::countr_zero(high)) : k;
        if (ascii >= 8 || !high) {
            // ASCII up to the first multi-byte character or byte to decode. The block may reach
            // past `end` (those units land in the slack) while a character remains.
            widen_block_wide(out, p);
            p += ascii;
            out += ascii;
            if (ascii == kBlock || high || p >= end) continue;
            fill_special(p, out);
            continue;
        }
        if constexpr (sizeof(Unit) == 1) {
            // One-byte units: every multi-byte character is two bytes, a lead C2 or C3 and a
            // continuation byte, which becomes the unit with the lead's low bit as bit 6. Such
            // blocks go sixteen bytes at a time: units computed in place, then the leads taken out.
            const unsigned leads = high & static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpgt_epi8(v, get16(f.before_lead))));
            unsigned upto = std::min<std::size_t>(k, static_cast<std::size_t>(end - p));
            upto -= (leads >> (upto - 1)) & 1;  // a lead whose continuation is not in the block
            const unsigned keep = ~leads & ((1u << upto) - 1);
            const __m128i cont = _mm_cmpgt_epi8(get16(f.first_lead), v);
            const __m128i low_bit = _mm_and_si128(_mm_slli_si128(v, 1), get16(f.one));
            const __m128i units = _mm_or_si128(v, _mm_and_si128(cont, _mm_slli_epi16(low_bit, 6)));
            const unsigned first = keep & 0xFF;
            const __m128i pick = _mm_unpacklo_epi64(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kEnds[first].b + 1)),
                _mm_add_epi8(
                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kEnds[keep >> 8].b + 1)),
                    get16(f.eight)));
            const __m128i packed = _mm_shuffle_epi8(units, pick);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + std::popcount(first)),
                             _mm_srli_si128(packed, 8));
            out += std::popcount(keep);
            p += upto;
            continue;
        }
        // Whole characters ending in the first fifteen bytes (the end of byte 15 shows only in
        // the byte after the block), before the next byte to decode and the end of the text: a
        // byte ends one when the byte after it is no continuation byte. The character at p, at
        // most four bytes, always ends in the first eight.
        const unsigned starts = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpgt_epi8(v, get16(f.before_lead))));
        std::uint32_t ends = (starts >> 1) & ((1u << std::min(k, 15u)) - 1);
        if (const std::size_t left = static_cast<std::size_t>(end - p); left < 15)
            ends &= (1u << left) - 1;
        const std::uint32_t first = ends & 0xFF, second = ends >> 8;
        const __m256i both_lanes = _mm256_broadcastsi128_si256(v);
        decode_lanes(both_lanes, _mm_load_si128(reinterpret_cast<const __m128i*>(kEnds[first].b)),
                     out, f);
        out += std::popcount(first);
        if (second) {
            // Those ending in bytes 8 to 14: their entry moved on by eight, after the last
            // character of the first eight bytes.
            const __m128i moved =
                _mm_add_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(kEnds[second].b)),
                             get16(f.eight));
            decode_lanes(both_lanes, _mm_insert_epi8(moved, 31 - std::countl_zero(first), 0), out,
                         f);
            out += std::popcount(second);
        }
        p += 32 - std::countl_zero(ends);
    }
    // A last block that ran past `end` stored its bytes one unit each.
    if (p > end) {
        out -= p - end;
        p = end;
    }
    return out;
}

}  // namespace wide

namespace zmm {

struct FillConsts {
    Bytes64 amp = all64('&'), cr = all64('\r'), lf = all64('\n'), cont_end = all64(0xC0),
            bit6 = all64(0x40),
            // Byte i: i - 1, i - 2, i - 3, to see the bytes before each.
            back1 = each_byte<64>([](int i) { return (i + 63) % 64; }),
            back2 = each_byte<64>([](int i) { return (i + 62) % 64; }),
            back3 = each_byte<64>([](int i) { return (i + 61) % 64; }),
            // By the high nibble of a byte: the payload bits it keeps, seven for ASCII, six for a
            // continuation byte, five, four or three for the lead of two, three or four bytes.
            payload = table64(wide::kPayload), nibble = all64(0x0F);
};
constexpr FillConsts kFill{};

// The first n bytes of v stored one unit each at out, nothing past them.
template <class Unit>
TOVREL_AVX512 inline void store_widened(Unit* out, __m512i v, std::size_t n) noexcept {
    const std::uint64_t keep = _bzhi_u64(~0ULL, static_cast<unsigned>(n));
    if constexpr (sizeof(Unit) == 1) {
        _mm512_mask_storeu_epi8(out, keep, v);
    } else if constexpr (sizeof(Unit) == 2) {
        _mm512_mask_storeu_epi16(out, static_cast<__mmask32>(keep),
                                 _mm512_cvtepu8_epi16(_mm512_castsi512_si256(v)));
        _mm512_mask_storeu_epi16(out + 32, static_cast<__mmask32>(keep >> 32),
                                 _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(v, 1)));
    } else {
        _mm512_mask_storeu_epi32(out, static_cast<__mmask16>(keep),
                                 _mm512_cvtepu8_epi32(_mm512_castsi512_si128(v)));
        _mm512_mask_storeu_epi32(out + 16, static_cast<__mmask16>(keep >> 16),
                                 _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(v, 1)));
        _mm512_mask_storeu_epi32(out + 32, static_cast<__mmask16>(keep >> 32),
                                 _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(v, 2)));
        _mm512_mask_storeu_epi32(out + 48, static_cast<__mmask16>(keep >> 48),
                                 _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(v, 3)));
    }
}

// The bytes of half H or quarter Q of x, each widened to a 16- or 32-bit lane.
template <int H>
TOVREL_AVX512 inline __m512i half(__m512i x) noexcept {
    return _mm512_cvtepu8_epi16(H ? _mm512_extracti64x4_epi64(x, 1) : _mm512_castsi512_si256(x));
}
template <int Q>
TOVREL_AVX512 inline __m512i quarter(__m512i x) noexcept {
    return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(x, Q));
}

// Two-byte units for the 32 bytes of half H of the block: the payload of each byte, and of the
// one and two before it where the character runs back to them, at their weights; the units
// where characters end (bits of `ends`) packed and stored, nothing past them.
template <int H>
TOVREL_AVX512 inline std::uint16_t* pack_ends(std::uint16_t* out, std::uint64_t ends, __m512i by0,
                                              __m512i by1, __m512i by2) noexcept {
    // 0xFE: any of the three.
    const __m512i units = _mm512_ternarylogic_epi32(
        half<H>(by0), _mm512_slli_epi16(half<H>(by1), 6), _mm512_slli_epi16(half<H>(by2), 12),
        0xFE);
    const auto at = static_cast<__mmask32>(ends >> (32 * H));
    const unsigned count = static_cast<unsigned>(std::popcount(at));
    _mm512_mask_storeu_epi16(out, _bzhi_u32(~0u, count), _mm512_maskz_compress_epi16(at, units));
    return out + count;
}

// The same with four-byte units for the 16 bytes of quarter Q, up to three bytes back.
template <int Q>
TOVREL_AVX512 inline std::uint32_t* pack_ends(std::uint32_t* out, std::uint64_t ends, __m512i by0,
                                              __m512i by1, __m512i by2, __m512i by3) noexcept {
    const __m512i units = _mm512_or_si512(
        _mm512_ternarylogic_epi32(quarter<Q>(by0), _mm512_slli_epi32(quarter<Q>(by1), 6),
                                  _mm512_slli_epi32(quarter<Q>(by2), 12), 0xFE),
        _mm512_slli_epi32(quarter<Q>(by3), 18));
    const auto at = static_cast<__mmask16>(ends >> (16 * Q));
    const unsigned count = static_cast<unsigned>(std::popcount(static_cast<unsigned>(at)));
    _mm512_mask_storeu_epi32(out, static_cast<__mmask16>(_bzhi_u32(0xFFFF, count)),
                             _mm512_maskz_compress_epi32(at, units));
    return out + count;
}

// Writes the characters of the block v within `in_step` as units from out on, and returns the
// end of them; nothing is stored past them. References and CR are already replaced by their
// characters where they stand, and `starts` (within `in_step`) leaves out the bytes after them
// that go; it marks the bytes that start characters, continuation bytes marked or not. Each
// character's unit is built at its last byte and the units packed, with no branch on how many
// the block holds.
template <class Unit>
TOVREL_AVX512 inline Unit* decode_step(Unit* out, __m512i v, std::uint64_t high,
                                       std::uint64_t starts, std::uint64_t in_step,
                                       const FillConsts& f) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        // Every multi-byte character is two bytes, a lead C2 or C3 and a continuation byte,
        // which becomes the unit with the lead's low bit as bit 6; the leads are dropped.
        const std::uint64_t leads = _mm512_cmpge_epu8_mask(v, get(f.cont_end));
        const __m512i low_bit = _mm512_and_si512(
            _mm512_slli_epi16(_mm512_permutexvar_epi8(get(f.back1), v), 6), get(f.bit6));
        const __m512i units = _mm512_or_si512(v, _mm512_maskz_mov_epi8(high & ~leads, low_bit));
        const std::uint64_t keep = (starts & ~leads) | (high & ~leads & in_step);
        const std::size_t count = static_cast<std::size_t>(std::popcount(keep));
        _mm512_mask_storeu_epi8(out, _bzhi_u64(~0ULL, static_cast<unsigned>(count)),
                                _mm512_maskz_compress_epi8(keep, units));
        out += count;
    } else {
        // Each character's code point is put together where its last byte stands, from the
        // payload bits of that byte and of the continued bytes before it, and the units at
        // the characters' last bytes are packed.
        const std::uint64_t cont = high & ~_mm512_cmpge_epu8_mask(v, get(f.cont_end));
        const std::uint64_t ends = (starts | cont) & ~(cont >> 1) & in_step;
        const __m512i payload = _mm512_and_si512(
            v, _mm512_shuffle_epi8(get(f.payload),
                                   _mm512_and_si512(_mm512_srli_epi16(v, 4), get(f.nibble))));
        const std::uint64_t two = cont & cont << 1;
        const __m512i by1 = _mm512_maskz_permutexvar_epi8(cont, get(f.back1), payload);
        const __m512i by2 = _mm512_maskz_permutexvar_epi8(two, get(f.back2), payload);
        if constexpr (sizeof(Unit) == 2) {
            out = pack_ends<0>(out, ends, payload, by1, by2);
            out = pack_ends<1>(out, ends, payload, by1, by2);
        } else {
            const __m512i by3 =
                _mm512_maskz_permutexvar_epi8(two & cont << 2, get(f.back3), payload);
            out = pack_ends<0>(out, ends, payload, by1, by2, by3);
            out = pack_ends<1>(out, ends, payload, by1, by2, by3);
            out = pack_ends<2>(out, ends, payload, by1, by2, by3);
            out = pack_ends<3>(out, ends, payload, by1, by2, by3);
        }
    }
    return out;
}

// Writes the scanned text [p, end) decoded (references, CR LF and lone CR to LF) as code units
// from out on and returns the end of them; nothing is stored past them. A step takes the whole
// characters of a 64-byte block: references to the predefined entities and CR are decoded where
// they stand (the '&' or CR byte replaced by the character, the rest of the reference or the LF
// after the CR dropped); a character reference ends the step before it and is decoded on its
// own. Each character's unit is built at its last byte and the units packed, with no branch on
// how many characters the block holds. Reads nothing past `end` but at a character reference.
template <class Unit>
TOVREL_AVX512 Unit* fill_text(const std::uint8_t*& p, const std::uint8_t* end, Unit* out) noexcept {
    const FillConsts& f = opaque(kFill);
    while (p < end) {
        const std::size_t left = static_cast<std::size_t>(end - p);
        const std::size_t n = left < 64 ? left : 64;
        __m512i v = load_upto(p, n);
        const std::uint64_t high = _mm512_movepi8_mask(v);
        const std::uint64_t amps = eq(v, f.amp);
        const std::uint64_t crs = eq(v, f.cr);
        if (!(high | amps | crs)) {
            store_widened(out, v, n);
            out += n;
            p += n;
            continue;
        }
        // Bytes that start a character: all but continuation bytes (below 0xC0 as signed bytes).
        std::uint64_t starts = _mm512_mask_cmpge_epi8_mask(
            _bzhi_u64(~0ULL, static_cast<unsigned>(n)), v, get(f.cont_end));
        // The step decodes the characters that start before `cut`. With more text past the block
        // the one starting last may run past it, and a CR just before it may be a CR LF.
        std::size_t cut = n;
        if (left > 64) {
            cut = static_cast<std::size_t>(63 - std::countl_zero(starts));
            cut -= (crs >> (cut - 1)) & 1;
        }
        if (const std::uint64_t amps_in = amps & _bzhi_u64(~0ULL, static_cast<unsigned>(cut))) {
            const auto [lt, gt, amp, quot, apos] = named_refs(v, amps_in);
            // The step ends before any other reference (one running past the block among them),
            // and before one running past its end.
            const std::uint64_t four = lt | gt, six = quot | apos;
            const std::uint64_t stop =
                (amps_in & ~(four | amp | six)) |
                (four & ~_bzhi_u64(~0ULL, static_cast<unsigned>(cut - 3))) |
                (amp & ~_bzhi_u64(~0ULL, static_cast<unsigned>(cut - 4))) |
                (six & ~_bzhi_u64(~0ULL, static_cast<unsigned>(cut - 5)));
            if (stop) cut = std::min<std::size_t>(cut, std::countr_zero(stop));
            // Each reference becomes its character where its '&' stands; the rest of it goes.
            const std::uint64_t from4 = four | amp | six, from5 = amp | six;
            starts &= ~(from4 << 1 | from4 << 2 | from4 << 3 | from5 << 4 | six << 5);
            v = _mm512_mask_set1_epi8(v, lt, '<');
            v = _mm512_mask_set1_epi8(v, gt, '>');
            v = _mm512_mask_set1_epi8(v, quot, '"');
            v = _mm512_mask_set1_epi8(v, apos, '\'');
        }
        if (cut == 0) {
            // A character reference first.
            fill_special(p, out);
            continue;
        }
        const std::uint64_t in_step = _bzhi_u64(~0ULL, static_cast<unsigned>(cut));
        if (const std::uint64_t cr = crs & in_step) {
            starts &= ~((cr << 1) & eq(v, f.lf));
            v = _mm512_mask_set1_epi8(v, cr, '\n');
        }
        out = decode_step(out, v, high, starts & in_step, in_step, f);
        p += cut;
    }
    return out;
}

// What take_short did with an item.
struct Short {
    std::size_t end;           // took it: where it ends; else 0
    const std::uint8_t* text;  // else, an item of the shape: its text, for the general check
    __m512i first;             // the text's first block, as the general check loads it
};

// The commonest item, <si><t>text</t></si> or the same with <t xml:space="preserve">, whose text
// and "</t></si>" start within one 64-byte load and whose text holds no more than ASCII,
// multi-byte characters and references to the predefined entities: checked, counted and written
// from that one register, then handed to `sink` as take_items would. Where the next item starts
// waits only on the load and the first '<' of the text; the rest of the check is branches the
// processor goes past on their likely way.
TOVREL_AVX512 inline Short take_short(const std::uint8_t* buf, std::size_t filled,
                                      std::size_t pos, ItemScan& s, ItemSink sink) {
    const std::uint8_t* const limit = buf + filled;
    const std::uint8_t* const text = single_text(buf + pos, limit);
    if (!text) return {0, nullptr, _mm512_setzero_si512()};
    const CheckConsts& c = opaque(kCheck);
    const std::size_t left = static_cast<std::size_t>(limit - text);
    // Zeros past `limit`, as the pad is, when the block would reach past it.
    __m512i v = left >= 64 ? _mm512_loadu_si512(text) : load_upto(text, left);
    const std::size_t k = _tzcnt_u64(eq(v, c.lt));  // 64 when none
    // The text runs to that '<', within the block and before `limit`, with nothing before it
    // that stops a step of the check (']', '_' and bytes below 0x20).
    const std::uint64_t high = _mm512_movepi8_mask(v);
    const std::uint64_t before = _bzhi_u64(~0ULL, static_cast<unsigned>(k));
    const __m512i kind = _mm512_permutex2var_epi8(get(c.kind_low), v, get(c.kind_high));
    // Any other text is left to the general check, from the block as loaded.
    const Short other = {0, text, v};
    if (k == 64 || k >= left ||
        _mm512_mask_test_epi8_mask(~high & before, kind, get(c.stop_kind)) ||
        !at(text + k, limit, "</t></si") || text[k + 8] != '>')
        return other;
    const std::size_t start = static_cast<std::size_t>(text - buf);
    s.span_count = 1;
    s.item_end = start + k + 9;
    s.rewrite = false;  // '_' stops a step: the text holds none
    s.markup = false;
    const std::uint64_t amps = _mm512_mask_test_epi8_mask(~high & before, kind, get(c.amp_kind));
    if (!((high & before) | amps)) {
        // ASCII as it stands.
        s.spans[0] = {start, start + k, k};
        s.chars = k;
        s.maxchar = 0x7F;
        s.decode = false;
        if (void* const data = sink(s)) _mm512_mask_storeu_epi8(data, before, v);
        return {start + k + 9, nullptr, v};
    }
    // Multi-byte characters, references or both: worked out the same way whichever they are.
    // References are to the predefined entities only, each becoming its character where its '&'
    // stands: they end before the '<', as none of their bytes stops a step.
    const auto [lt, gt, amp, quot, apos] = named_refs(v, amps);
    const std::uint64_t through = _bzhi_u64(~0ULL, static_cast<unsigned>(k + 1));
    if ((utf8_faults(v, _mm512_setzero_si512(), c) & through) |
        (amps & ~(lt | gt | amp | quot | apos)))
        return other;
    const std::uint64_t four = lt | gt, six = quot | apos, from4 = four | amp | six,
                        from5 = amp | six;
    // Continuation bytes are those below 0xC0 as signed bytes.
    const std::size_t shrink = static_cast<std::size_t>(
        std::popcount(_mm512_mask_cmplt_epi8_mask(before, v, get(c.cont_end))) +
        3 * std::popcount(four) + 4 * std::popcount(amp) + 5 * std::popcount(six));
    const std::uint64_t starts =
        before & ~(from4 << 1 | from4 << 2 | from4 << 3 | from5 << 4 | six << 5);
    // The widest class from the lead bytes, as the general check gives it.
    s.maxchar = 0x7Fu | ((high & before) != 0) * 0x80u |
                (_mm512_mask_cmpge_epu8_mask(before, v, get(c.past_latin1)) != 0) * 0xFF00u |
                (_mm512_mask_cmpge_epu8_mask(before, v, get(c.astral)) != 0) * 0x100000u;
    s.spans[0] = {start, start + k, k - shrink};
    s.chars = k - shrink;
    s.decode = amps != 0;
    v = _mm512_mask_set1_epi8(v, lt, '<');
    v = _mm512_mask_set1_epi8(v, gt, '>');
    v = _mm512_mask_set1_epi8(v, quot, '"');
    v = _mm512_mask_set1_epi8(v, apos, '\'');
    if (void* const data = sink(s)) {
        const FillConsts& f = opaque(kFill);
        if (s.maxchar <= 0xFF)
            decode_step(static_cast<std::uint8_t*>(data), v, high, starts, before, f);
        else if (s.maxchar <= 0xFFFF)
            decode_step(static_cast<std::uint16_t*>(data), v, high, starts, before, f);
        else
            decode_step(static_cast<std::uint32_t*>(data), v, high, starts, before, f);
    }
    return {start + k + 9, nullptr, v};
}

}  // namespace zmm
#endif

}  // namespace

namespace {

// The text of a scanned item written as `chars` units from out on, nothing stored past them:
// steps go straight into `out` while a whole step's stores fit, the last characters (at most
// kFillSlack) through a scratch with room for the slack.
template <ScanWidth W, class Unit>
inline void write_units(const std::uint8_t* buf, const ItemScan& s, Unit* out,
                        CopyKind copy_kind) noexcept {
#if TOVREL_SCAN32
    if constexpr (W == ScanWidth::Block64) {
        // The 64-byte steps store nothing past the characters: each text straight into `out`.
        (void)copy_kind;
        for (std::size_t i = 0; i < s.span_count; ++i) {
            const std::uint8_t* p = buf + s.spans[i].start;
            out = zmm::fill_text(p, buf + s.spans[i].end, out);
        }
        return;
    }
#endif
    auto fill = [](const std::uint8_t*& p, const std::uint8_t* end, Unit* to, const Unit* stop) {
#if TOVREL_SCAN32
        if constexpr (W == ScanWidth::Block32) return wide::fill_text(p, end, to, stop);
#endif
        return fill_blocks(p, end, to, stop);
    };
    Unit* const out_end = out + s.chars;
    const Unit* const direct_stop = s.chars > kFillSlack ? out_end - kFillSlack : out;
    std::size_t i = 0;
    const std::uint8_t* p = nullptr;
    for (; i < s.span_count; ++i) {
        p = buf + s.spans[i].start;
        out = fill(p, buf + s.spans[i].end, out, direct_stop);
        if (p < buf + s.spans[i].end) break;
    }
    if (out == out_end) return;
    // At most kFillSlack units are left: while one is still to come, a step starts before
    // tail + kFillSlack and stores within the scratch. The text resumes at p, in span i.
    Unit tail[2 * kFillSlack];
    Unit* at = tail;
    for (const std::size_t resume = i; i < s.span_count; ++i) {
        if (i != resume) p = buf + s.spans[i].start;
        at = fill(p, buf + s.spans[i].end, at, tail + kFillSlack);
    }
    copy_text(reinterpret_cast<const std::uint8_t*>(tail), reinterpret_cast<std::uint8_t*>(out),
              static_cast<std::size_t>(out_end - out) * sizeof(Unit), copy_kind);
}

template <ScanWidth W>
inline TakenItems take_items(const std::uint8_t* buf, std::size_t filled, std::size_t pos,
                             RprVerdict rpr_verdict, ItemSink sink, CopyKind copy_kind) {
    TakenItems taken{pos, pos};
    ItemScan s;
    for (;;) {
#if TOVREL_SCAN32
        if constexpr (W == ScanWidth::Block64) {
            const zmm::Short got = zmm::take_short(buf, filled, taken.end, s, sink);
            if (got.end) {
                taken.last_start = taken.end;
                taken.end = got.end;
                continue;
            }
            if (got.text ? !scan_single<W>(buf, filled, got.text, s, &got.first)
                         : !scan_item<W>(buf, filled, taken.end, s, rpr_verdict))
                break;
        } else
#endif
        if (!scan_item<W>(buf, filled, taken.end, s, rpr_verdict)) break;
        s.item_start = taken.end;
        if (s.markup) {
            sink(s);
        } else if (void* const data = sink(s)) {
            if (s.maxchar < 0x80 && !s.decode) {
                // ASCII without references or CR: the bytes as they stand.
                auto* out = static_cast<std::uint8_t*>(data);
                for (std::size_t i = 0; i < s.span_count; ++i) {
                    const std::size_t n = s.spans[i].end - s.spans[i].start;
                    copy_text(buf + s.spans[i].start, out, n, copy_kind);
                    out += n;
                }
            } else if (s.maxchar <= 0xFF) {
                write_units<W>(buf, s, static_cast<std::uint8_t*>(data), copy_kind);
            } else if (s.maxchar <= 0xFFFF) {
                write_units<W>(buf, s, static_cast<std::uint16_t*>(data), copy_kind);
            } else {
                write_units<W>(buf, s, static_cast<std::uint32_t*>(data), copy_kind);
            }
        }
        taken.last_start = taken.end;
        taken.end = s.item_end;
    }
    return taken;
}

#if TOVREL_SCAN32
// With the 32-byte check and fill folded in, so their constants and frames are set up once per
// run of items.
TOVREL_AVX2 __attribute__((flatten)) TakenItems take_items_wide(const std::uint8_t* buf,
                                                                std::size_t filled,
                                                                std::size_t pos,
                                                                RprVerdict rpr_verdict,
                                                                ItemSink sink,
                                                                CopyKind copy_kind) {
    return take_items<ScanWidth::Block32>(buf, filled, pos, rpr_verdict, sink, copy_kind);
}

// The same with the 64-byte check and fill.
TOVREL_AVX512 __attribute__((flatten)) TakenItems take_items_zmm(const std::uint8_t* buf,
                                                                 std::size_t filled,
                                                                 std::size_t pos,
                                                                 RprVerdict rpr_verdict,
                                                                 ItemSink sink,
                                                                 CopyKind copy_kind) {
    return take_items<ScanWidth::Block64>(buf, filled, pos, rpr_verdict, sink, copy_kind);
}
#endif

}  // namespace

TakenItems take_si_items(const std::uint8_t* buf, std::size_t filled, std::size_t pos,
                         RprVerdict rpr_verdict, ItemSink sink, ScanWidth width,
                         CopyKind copy_kind) {
#if TOVREL_SCAN32
    if (width == ScanWidth::Block32)
        return take_items_wide(buf, filled, pos, rpr_verdict, sink, copy_kind);
    if (width == ScanWidth::Block64)
        return take_items_zmm(buf, filled, pos, rpr_verdict, sink, copy_kind);
#endif
    (void)width;
    return take_items<ScanWidth::Block16>(buf, filled, pos, rpr_verdict, sink, copy_kind);
}

}  // namespace tovrel
