#include "xml/reader.h"

#include <bit>
#include <cstring>

#include "utils/error.h"
#include "xml/attr_scan.h"
#include "xml/chars.h"
#include "xml/refs.h"
#include "utils/scan.h"

namespace tovrel {

namespace {

// Byte equality for the short names of tags, without a library call.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// Offset of the prefix colon of a name whose scan saw a colon, else npos.
inline std::size_t qname_colon(std::string_view name, bool has_colon) {
    return has_colon ? split_qname(name) : std::string_view::npos;
}

bool equal_ascii_nocase(std::string_view a, std::string_view lower) noexcept {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

}  // namespace

Reader::Reader(std::unique_ptr<ByteSource> source) : in_(std::move(source)) {
    grow_names(256);
    attrs_.reserve(16);
}

void Reader::grow_names(std::size_t needed) {
    std::size_t cap = names_cap_ ? 2 * names_cap_ : 256;
    if (cap < needed) cap = needed;
    auto grown = std::make_unique<std::uint8_t[]>(cap + 16);
    if (names_size_) std::memcpy(grown.get(), names_.get(), names_size_);
    names_ = std::move(grown);
    names_cap_ = cap;
}

const Attr* Reader::find_attr(std::uint32_t ns, std::string_view local) const noexcept {
    for (const Attr& a : attrs_)
        if (a.ns == ns && attr_local(a) == local) return &a;
    return nullptr;
}

std::string_view Reader::attr_value(const Attr& a, std::string& scratch) const {
    std::string_view raw = attr_raw(a);
    return a.needs_decoding ? decode_attr(raw, scratch) : raw;
}

std::string_view Reader::text(std::string& scratch) const {
    std::string_view raw = text_raw();
    return text_needs_ ? decode_text(raw, text_cdata_, scratch) : raw;
}

std::string Reader::end_capture() {
    if (in_.capture == Input::kNoCapture) throw InternalError("capture not started");
    std::size_t start = in_.capture;
    in_.capture = Input::kNoCapture;
    return std::string(view(start, in_.tag_end));
}

// Makes at least n bytes available from pos; false if the input ends first.
bool Reader::fill(std::size_t n) {
    while (in_.available() < n)
        if (!in_.more()) return false;
    return true;
}

// Absolute offset of the first occurrence of `pattern` at or after pos + from, reading more as
// needed; Malformed(unclosed) if the input ends first.
std::size_t Reader::find_seq(std::size_t from, std::string_view pattern, const char* unclosed) {
    const auto first = static_cast<std::uint8_t>(pattern[0]);
    for (;;) {
        const std::uint8_t* b = in_.data();
        const std::uint8_t* end = b + in_.filled();
        const std::uint8_t* p = b + in_.pos + from;
        for (;;) {
            p = scan::find1(p, end, first);
            if (static_cast<std::size_t>(end - p) < pattern.size()) break;
            if (std::memcmp(p, pattern.data(), pattern.size()) == 0)
                return static_cast<std::size_t>(p - b);
            ++p;
        }
        from = static_cast<std::size_t>(p - b) - in_.pos;
        if (!in_.more()) throw Malformed(unclosed);
    }
}

void Reader::start_document() {
    started_ = true;
    fill(4);
    const std::uint8_t* b = in_.data() + in_.pos;
    std::size_t n = in_.available();
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        in_.pos += 3;
    } else if ((n >= 2 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE))) ||
               (n >= 1 && b[0] == 0) || (n >= 2 && b[1] == 0)) {
        throw Unsupported("utf-16");
    }
    fill(6);
    b = in_.data() + in_.pos;
    if (in_.available() >= 6 && std::memcmp(b, "<?xml", 5) == 0 && (is_ws(b[5]) || b[5] == '?')) {
        std::size_t close = find_seq(5, "?>", "unclosed decl");
        check_decl(in_.pos + 5, close);
        in_.pos = close + 2;
    }
}

// The pseudo-attributes of the XML declaration: version, then optionally encoding, then
// optionally standalone, each after whitespace.
void Reader::check_decl(std::size_t start, std::size_t end) {
    enum { kNone, kVersion, kEncoding, kStandalone } prev = kNone;
    const std::uint8_t* b = in_.data();
    std::size_t p = start;
    for (;;) {
        std::size_t ws = p;
        while (p < end && is_ws(b[p])) ++p;
        if (p == end) break;
        if (p == ws) throw Malformed("bad decl");
        std::size_t name_start = p;
        while (p < end && is_letter(b[p])) ++p;
        std::string_view name = view(name_start, p);
        while (p < end && is_ws(b[p])) ++p;
        if (p == end || b[p] != '=') throw Malformed("bad decl");
        ++p;
        while (p < end && is_ws(b[p])) ++p;
        if (p == end || (b[p] != '"' && b[p] != '\'')) throw Malformed("bad decl");
        std::uint8_t quote = b[p++];
        std::size_t value_start = p;
        while (p < end && b[p] != quote) ++p;
        if (p == end) throw Malformed("bad decl");
        std::string_view value = view(value_start, p);
        ++p;
        if (name == "version" && prev == kNone) {
            if (value != "1.0") throw Unsupported("xml version");
            prev = kVersion;
        } else if (name == "encoding" && prev == kVersion) {
            if (!equal_ascii_nocase(value, "utf-8")) throw Unsupported("encoding");
            prev = kEncoding;
        } else if (name == "standalone" && (prev == kVersion || prev == kEncoding)) {
            if (value != "yes" && value != "no") throw Malformed("bad standalone");
            prev = kStandalone;
        } else {
            throw Malformed("bad decl");
        }
    }
    if (prev == kNone) throw Malformed("bad decl");
}

// "</name>" right after the innermost open element's name, byte for byte, whole in the window:
// the end tag of nearly every element, taken without scanning its name again (the start tag has
// checked it, split it and resolved it, with the same bindings in force). Anything else is left
// to end_tag, which also reports the errors.
[[gnu::always_inline]] inline bool Reader::matching_end_tag() {
    if (stack_.empty()) return false;
    const OpenElem& top = stack_.back();
    const std::size_t lt = in_.pos, name = lt + 2, gt = name + top.name_length;
    const std::uint8_t* b = in_.data();
    if (gt >= in_.filled() || b[gt] != '>' ||
        !scan::same16(names_.get() + top.name_offset, b + name, top.name_length))
        return false;
    elem_ns_ = top.ns;
    local_start_ = name + top.local_offset;
    local_end_ = gt;
    in_.tag_start = lt;
    in_.tag_end = in_.pos = gt + 1;
    pop_element();
    return true;
}

[[gnu::always_inline]] inline void Reader::pop_element() {
    const OpenElem& top = stack_.back();
    names_size_ = top.name_offset;
    const std::uint32_t bindings = top.bindings;
    stack_.pop_back();
    if (bindings) ns_.pop(bindings);
    if (stack_.empty()) root_closed_ = true;
}

// Nearly every event takes one of the quick paths, which read only what is whole in the window:
// the owed end of an empty element, an end tag that matches its start tag, a start tag of the
// plain shape, a text run that ends before the window does. Everything else goes through
// next_general. Every reader error leaves through here or through check_plain_text, stamped with
// the absolute offset of the construct being read when it was found (no throw site passes a
// position: nothing moves the position past a construct until it has been checked).
XmlEvent Reader::next() try {
    if (pending_end_) {
        pending_end_ = false;
        pop_element();
        return last_ = XmlEvent::End;
    }
    if (in_.pos < in_.filled() && started_) {
        const std::uint8_t* b = in_.data() + in_.pos;
        if (b[0] == '<') {
            if (b[1] == '/') {
                if (matching_end_tag()) return last_ = XmlEvent::End;
            } else if (is_plain_start(b[1]) && !root_closed_) {
                const XmlEvent ev = plain_start_tag();
                if (ev != XmlEvent::Eof) return last_ = ev;
            }
        } else if (!stack_.empty() && quick_text()) {
            return last_ = XmlEvent::Text;
        }
    }
    return last_ = next_general();
} catch (XmlError& e) {
    e.stamp(in_.offset());
    throw;
}

bool Reader::row_start_tag(std::size_t& digits) {
    if (pending_end_ || !started_ || root_closed_ || in_.pos >= in_.filled()) return false;
    const std::uint8_t* const b = in_.data();
    const std::size_t lt = in_.pos;
    // Eight bytes a word: "<row r=\"" and " spans=\"". The window's padding is zeros, which end
    // every run below.
    constexpr std::uint64_t kRow = 0x223D7220776F723CULL;    // <row r="
    constexpr std::uint64_t kSpans = 0x223D736E61707320ULL;  // ' spans="'
    if (scan::load(b + lt) != kRow) return false;
    std::size_t p = lt + 8;
    while (static_cast<unsigned>(b[p] - '0') < 10) ++p;
    if (p == lt + 8 || p - (lt + 8) > 18 || b[p] != '"') return false;
    const std::size_t r_end = p++;
    std::size_t spans = 0, spans_end = 0;
    if (b[p] == ' ') {
        if (scan::load(b + p) != kSpans) return false;
        spans = p += 8;
        while (static_cast<unsigned>(b[p] - '0') < 10 || b[p] == ':') ++p;
        if (b[p] != '"') return false;
        spans_end = p++;
    }
    if (b[p] != '>' || p >= in_.filled()) return false;
    // What plain_start_tag makes of these bytes.
    elem_ns_ = ns_.default_id();
    local_start_ = lt + 1;
    local_end_ = lt + 4;
    attrs_.clear();
    attrs_.push_back(Attr{lt + 5, lt + 6, lt + 5, lt + 6, lt + 8, r_end, kNoNamespace, false});
    if (spans) {
        const std::size_t name = r_end + 2;
        attrs_.push_back(Attr{name, name + 5, name, name + 5, spans, spans_end, kNoNamespace, false});
    }
    open_element(lt, p, local_end_, false, 0);
    last_ = XmlEvent::Start;
    digits = lt + 8;
    return true;
}

// A text run that ends before the window does, read sixteen bytes a step, then checked. Out of
// line, like plain_start_tag, so that next itself keeps a one-register stack frame.
[[gnu::noinline]] bool Reader::quick_text() {
    using namespace scan::block;
    const std::uint8_t* b = in_.data();
    const std::size_t pos = in_.pos;
    std::uint32_t amp = 0, bracket = 0;
    for (std::size_t p = pos;; p += 16) {
        const Block blk = load16(b + p);
        const std::uint32_t lt = bits(eq(blk, '<'));  // never in the padding, which is zeros
        const std::uint32_t keep = lt ? scan::lanes_below(std::countr_zero(lt)) : 0xFFFF;
        // Control bytes include the padding: a run that reaches the window's end stops here.
        if (bits(control_or_high(blk)) & keep) return false;
        amp |= bits(eq(blk, '&')) & keep;
        bracket |= bits(eq(blk, ']')) & keep;
        if (lt) {
            take_text(pos, p + static_cast<std::size_t>(std::countr_zero(lt)), amp, bracket);
            return true;
        }
    }
}

// Makes [start, end) the current text, a run of character data with no control or high byte;
// `amp` and `bracket` tell whether it holds '&' and ']'.
[[gnu::always_inline]] inline void Reader::take_text(std::size_t start, std::size_t end,
                                                     std::uint32_t amp, std::uint32_t bracket) {
    text_start_ = start;
    text_end_ = end;
    text_cdata_ = false;
    text_needs_ = amp != 0;
    if (amp | bracket) check_plain_text(start, end, amp, bracket);
    in_.pos = end;
}

// The general path of next: every construct, at any place in the window, reading more input as
// needed.
XmlEvent Reader::next_general() {
    if (!started_) start_document();
    for (;;) {
        if (in_.pos >= in_.filled() && !in_.more()) {
            if (!stack_.empty()) throw Malformed("unclosed element");
            if (!root_seen_) throw Malformed("no element found");
            return XmlEvent::Eof;
        }
        if (in_.data()[in_.pos] != '<') {
            if (stack_.empty()) {
                skip_outside_whitespace();
                continue;
            }
            return text_run();
        }
        if (in_.available() < 2 && !fill(2)) throw Malformed("unclosed token");
        switch (in_.data()[in_.pos + 1]) {
            case '/':
                return end_tag();
            case '?':
                processing_instruction();
                continue;
            case '!':
                if (markup_declaration()) return XmlEvent::Text;
                continue;
            default:
                if (root_closed_) throw Malformed("junk after document element");
                return start_tag();
        }
    }
}

void Reader::skip_outside_whitespace() {
    const std::uint8_t* b = in_.data();
    std::size_t p = in_.pos, end = in_.filled();
    while (p < end && is_ws(b[p])) ++p;
    if (p < end && b[p] != '<') throw Malformed("junk outside root");
    in_.pos = p;
}

// Character data up to the next '<', sixteen bytes a step over the padded window, noting the
// bytes that call for a closer look: control and high bytes, '&', ']'.
XmlEvent Reader::text_run() {
    using namespace scan::block;
    std::size_t rel = 0;
    std::uint32_t control = 0, amp = 0, bracket = 0;  // nonzero when some block held such bytes
    for (bool found = false; !found;) {
        const std::uint8_t* b = in_.data();
        const std::size_t filled = in_.filled();
        for (std::size_t p = in_.pos + rel; p < filled; p += 16) {
            const Block blk = load16(b + p);
            // The lanes of the run: not past the window's end, not from the '<' on.
            std::uint32_t keep = filled - p < 16 ? scan::lanes_below(filled - p) : 0xFFFF;
            const std::uint32_t lt = bits(eq(blk, '<')) & keep;
            const auto i = static_cast<std::size_t>(std::countr_zero(lt));
            if (lt) keep = scan::lanes_below(i);
            control |= bits(control_or_high(blk)) & keep;
            amp |= bits(eq(blk, '&')) & keep;
            bracket |= bits(eq(blk, ']')) & keep;
            if (lt) {
                rel = p + i - in_.pos;
                found = true;
                break;
            }
        }
        if (!found) {
            rel = filled - in_.pos;
            if (!in_.more()) break;
        }
    }
    const std::size_t start = in_.pos, end = start + rel;
    if (control) {
        text_start_ = start;
        text_end_ = end;
        text_cdata_ = false;
        check_text(start, end);
        in_.pos = end;
    } else {
        take_text(start, end, amp, bracket);
    }
    return XmlEvent::Text;
}

namespace {

// Whether the reference at p (an '&' before end) is one of the predefined entities that
// documents mostly use.
inline bool common_ref(const std::uint8_t* p) noexcept {
    const std::uint64_t w = scan::load(p);  // the window's padding makes eight bytes readable
    return (w & 0xFFFFFFFFFFULL) == 0x3B706D6126ULL ||  // "&amp;"
           (w & 0xFFFFFFFFULL) == 0x3B746C26ULL ||       // "&lt;"
           (w & 0xFFFFFFFFULL) == 0x3B746726ULL;         // "&gt;"
}

}  // namespace

// The checks of a text run without control or high bytes that holds '&' or ']': references,
// then "]]>". References that are all "&amp;", "&lt;" or "&gt;" need no further look (such a
// match lies inside the run, which ends at '<' or at the window's end, past which are zeros).
void Reader::check_plain_text(std::size_t start, std::size_t end, std::uint32_t amp,
                              std::uint32_t bracket) try {
    const std::uint8_t* b = in_.data();
    if (amp) {
        const std::uint8_t* p = b + start;
        const std::uint8_t* stop = b + end;
        while ((p = scan::find1(p, stop, '&')) < stop && common_ref(p)) ++p;
        if (p < stop) validate_refs(b + start, end - start);
    }
    if (bracket && text_raw().find("]]>") != std::string_view::npos)
        throw Malformed("]]> in text");
} catch (XmlError& e) {
    e.stamp(in_.offset());  // reached from next's quick path too, before the position moves
    throw;
}

// The closer look at a text run that holds control or high bytes, '&' or ']': characters, then
// references, then "]]>"; sets the needs-processing flag for '&' and CR.
void Reader::check_text(std::size_t start, std::size_t end) {
    const std::uint8_t* b = in_.data();
    CharFlags seen = check_chars(b + start, end - start);
    if (seen.amp) validate_refs(b + start, end - start);
    if (seen.cdata_end) throw Malformed("]]> in text");
    text_needs_ = seen.amp || seen.cr;
}

// "<!": a comment (skipped, false), a CDATA section (the current text, true), or an error.
bool Reader::markup_declaration() {
    fill(9);
    const std::uint8_t* b = in_.data() + in_.pos;
    std::size_t n = in_.available();
    if (n >= 4 && std::memcmp(b, "<!--", 4) == 0) {
        std::size_t close = find_seq(4, "-->", "unclosed comment");
        std::size_t start = in_.pos + 4;
        std::string_view body = view(start, close);
        if (body.find("--") != std::string_view::npos || (!body.empty() && body.back() == '-'))
            throw Malformed("-- in comment");
        validate_chars(in_.data() + start, body.size());
        in_.pos = close + 3;
        return false;
    }
    if (n >= 9 && std::memcmp(b, "<![CDATA[", 9) == 0) {
        if (stack_.empty()) throw Malformed("cdata outside root");
        std::size_t close = find_seq(9, "]]>", "unclosed cdata");
        std::size_t start = in_.pos + 9;
        validate_chars(in_.data() + start, close - start);
        text_start_ = start;
        text_end_ = close;
        text_cdata_ = true;
        text_needs_ = text_raw().find('\r') != std::string_view::npos;
        in_.pos = close + 3;
        return true;
    }
    if (n >= 9 && std::memcmp(b, "<!DOCTYPE", 9) == 0) throw Unsupported("doctype");
    throw Malformed("bad markup declaration");
}

void Reader::processing_instruction() {
    std::size_t close = find_seq(2, "?>", "unclosed pi");
    const std::uint8_t* b = in_.data();
    std::size_t start = in_.pos + 2;
    if (start == close || !is_name_start(b[start])) throw Malformed("bad pi");
    std::size_t t = start;
    while (t < close && is_name_char(b[t])) ++t;
    std::string_view target = view(start, t);
    if (equal_ascii_nocase(target, "xml")) throw Malformed("misplaced xml declaration");
    if (target.find(':') != std::string_view::npos) throw Malformed("colon in pi target");
    if (t < close && !is_ws(b[t])) throw Malformed("bad pi");
    validate_chars(b + start, close - start);
    in_.pos = close + 2;
}

void Reader::check_attr_value(std::size_t start, std::size_t end, std::uint8_t classes) const {
    using namespace chars;
    if (classes & kValLt) throw Malformed("< in attribute");
    const std::uint8_t* b = in_.data();
    if (classes & (kValControl | kValHigh)) validate_chars(b + start, end - start);
    if (classes & kValAmp) validate_refs(b + start, end - start);
}

void Reader::declare(std::string_view prefix, const Attr& a) {
    std::string_view value = attr_value(a, decl_scratch_);
    if (prefix == "xmlns") throw Malformed("xmlns prefix");
    if (prefix == "xml") {
        if (value != kXmlUri) throw Malformed("xml prefix");
    } else {
        if (value == kXmlUri || value == kXmlnsUri) throw Malformed("reserved namespace");
        if (!prefix.empty() && value.empty()) throw Malformed("empty prefixed namespace");
    }
    ns_.push(prefix, ns_.intern(value));
}

// Whether an attribute already read in this tag has this qualified name. Tags with many
// attributes are checked through a hash set, so a hostile tag cannot make the check quadratic.
inline bool Reader::repeated_qname(std::string_view qname) {
    if (attrs_.size() < kLinearAttrs) {
        for (const Attr& other : attrs_)
            if (same_bytes(attr_qname(other), qname)) return true;
        return false;
    }
    if (attrs_.size() == kLinearAttrs) {
        seen_names_.clear();
        for (const Attr& other : attrs_) seen_names_.insert(attr_qname(other));
    }
    return !seen_names_.insert(qname).second;
}

// The reader's attribute records of a tag read by the general parse (scan_attrs with the full
// shape): values checked, namespace declarations applied, a repeated name an error.
struct Reader::AttrSink {
    Reader& reader;
    std::uint32_t bindings = 0;  // declarations applied
    bool any_colon = false;      // some attribute name holds a colon

    bool take(const ScannedAttr& s) {
        if (s.value_classes) reader.check_attr_value(s.value_start, s.value_end, s.value_classes);
        const std::string_view qname = reader.view(s.qname_start, s.qname_end);
        if (reader.repeated_qname(qname)) throw Malformed("duplicate attribute");
        Attr a;
        a.qname_start = a.local_start = s.qname_start;
        a.qname_end = a.local_end = s.qname_end;
        a.value_start = s.value_start;
        a.value_end = s.value_end;
        a.ns = kNoNamespace;
        a.needs_decoding = s.value_classes & (chars::kValAmp | chars::kValWhite);
        if (qname.size() >= 5 && qname.starts_with("xmlns") &&
            (qname.size() == 5 || qname[5] == ':')) {
            std::string_view prefix;
            if (qname.size() > 5) prefix = qname.substr(split_qname(qname) + 1);
            reader.declare(prefix, a);
            ++bindings;
            a.ns = kDeclarationMarker;
        }
        any_colon |= s.has_colon;
        reader.attrs_.push_back(a);
        return true;
    }
};

XmlEvent Reader::start_tag() {
    // Find the '>' that ends the tag, skipping quoted values.
    std::size_t rel = 1;
    std::uint8_t quote = 0;
    std::size_t gt;
    for (;;) {
        const std::uint8_t* b = in_.data();
        const std::uint8_t* end = b + in_.filled();
        const std::uint8_t* p = b + in_.pos + rel;
        const std::uint8_t* hit = quote ? scan::find1(p, end, quote)
                                        : scan::find3(p, end, '>', '"', '\'');
        if (hit < end) {
            rel = static_cast<std::size_t>(hit - b) - in_.pos + 1;
            if (quote) {
                quote = 0;
            } else if (*hit == '>') {
                gt = static_cast<std::size_t>(hit - b);
                break;
            } else {
                quote = *hit;
            }
            continue;
        }
        rel = in_.available();
        if (!in_.more()) throw Malformed("unclosed tag");
    }

    const std::uint8_t* b = in_.data();
    const std::size_t lt = in_.pos;
    if (gt == lt + 1) throw Malformed("expected name");
    bool elem_colon;
    const std::size_t elem_name_end =
        attr_scan::scan_name<FullTagShape>(b, lt + 1, gt + 1, elem_colon);
    attrs_.clear();
    AttrSink sink{*this};
    const bool empty = scan_attrs<FullTagShape>(b, elem_name_end, gt + 1, sink).status ==
                       TagStatus::SelfClosed;
    const std::uint32_t bindings = sink.bindings;

    // Resolve the element's name, then the attributes', with this tag's declarations in force.
    std::string_view elem_qname = view(lt + 1, elem_name_end);
    std::size_t colon = qname_colon(elem_qname, elem_colon);
    std::uint32_t elem_ns;
    if (colon == std::string_view::npos) {
        elem_ns = ns_.default_id();
        local_start_ = lt + 1;
    } else {
        if (!ns_.lookup(elem_qname.substr(0, colon), elem_ns)) throw Malformed("unbound prefix");
        local_start_ = lt + 2 + colon;
    }
    local_end_ = elem_name_end;

    if (bindings) {
        std::size_t kept = 0;
        for (const Attr& a : attrs_)
            if (a.ns != kDeclarationMarker) attrs_[kept++] = a;
        attrs_.resize(kept);
    }
    bool prefixed = false;
    for (std::size_t i = 0; sink.any_colon && i < attrs_.size(); ++i) {
        Attr& a = attrs_[i];
        std::string_view qname = attr_qname(a);
        std::size_t c = split_qname(qname);
        if (c == std::string_view::npos) continue;
        std::uint32_t id;
        if (!ns_.lookup(qname.substr(0, c), id) || id == kNoNamespace)
            throw Malformed("unbound prefix");
        a.ns = id;
        a.local_start = a.qname_start + c + 1;
        prefixed = true;
    }
    if (prefixed && repeated_expanded_name()) throw Malformed("duplicate attribute");

    elem_ns_ = elem_ns;
    return open_element(lt, gt, elem_name_end, empty, bindings);
}

// Whether two attributes share namespace and local name.
bool Reader::repeated_expanded_name() {
    if (attrs_.size() <= kLinearAttrs) {
        for (std::size_t i = 0; i < attrs_.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (attrs_[i].ns == attrs_[j].ns &&
                    same_bytes(attr_local(attrs_[i]), attr_local(attrs_[j])))
                    return true;
        return false;
    }
    std::unordered_set<std::string> keys;
    for (const Attr& a : attrs_) {
        std::string key(reinterpret_cast<const char*>(&a.ns), sizeof a.ns);
        key += attr_local(a);
        if (!keys.insert(std::move(key)).second) return true;
    }
    return false;
}

// Commits a parsed start tag (its namespace and local name already set as the current element's):
// the tag offsets, the element stack and name buffer, the position.
[[gnu::always_inline]] inline XmlEvent Reader::open_element(std::size_t lt, std::size_t gt,
                                                            std::size_t name_end, bool empty,
                                                            std::uint32_t bindings) {
    const std::size_t len = name_end - lt - 1, at = names_size_;
    if (names_cap_ - at < len) grow_names(at + len);
    // Sixteen bytes a step (names are never empty): the window and the name buffer both have
    // the slack.
    const std::uint8_t* src = in_.data() + lt + 1;
    std::uint8_t* dst = names_.get() + at;
    std::size_t i = 0;
    do std::memcpy(dst + i, src + i, 16);
    while ((i += 16) < len);
    names_size_ = at + len;
    stack_.push_back(OpenElem{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(len),
                              bindings, elem_ns_,
                              static_cast<std::uint32_t>(local_start_ - lt - 1)});
    in_.tag_start = lt;
    in_.tag_end = gt + 1;
    root_seen_ = true;
    in_.pos = gt + 1;
    if (empty) {
        pending_end_ = true;
        return XmlEvent::Empty;
    }
    return XmlEvent::Start;
}

namespace {

// The end of a plain attribute value from p: its closing quote, or null at a byte the plain shape
// does not take ('<', '&', a control or non-ASCII byte, the window's zero padding). Tab, LF and
// CR are taken, byte by byte, and set `white`.
template <std::uint8_t Quote>
[[gnu::always_inline]] inline const std::uint8_t* plain_value_end(const std::uint8_t* p,
                                                                  bool& white) noexcept {
    using namespace scan::block;
    for (;; p += 16) {
        const Block blk = load16(p);
        if (const std::uint32_t stop =
                bits(eq(blk, Quote) | control_or_high(blk) | eq(blk, '&') | eq(blk, '<'))) {
            p += std::countr_zero(stop);
            break;
        }
    }
    for (; *p != Quote; ++p) {
        if (chars::kValueClass[*p] != chars::kValWhite) return nullptr;
        white = true;
    }
    return p;
}

}  // namespace

// Start tags of the plain shape, read in one pass when the whole tag is already in the window:
// names with at most one prefix, bound to a namespace; no namespace declaration, no repeated
// attribute; values free of '<', '&', control and non-ASCII bytes (tab, LF and CR aside, which
// only call for decoding). Returns Start or Empty; anything else returns Eof before any state
// that outlives the tag has changed, and the general parse reads the tag (and reports its
// errors). Kept out of next, so the events that need no start tag do without its stack frame.
// The window's padding is zero bytes, which no test below takes for a name, a space, '=', a quote
// or the end of a tag, so every loop stops inside the window or refuses at its end.
[[gnu::noinline]] XmlEvent Reader::plain_start_tag() {
    const std::uint8_t* const b = in_.data();
    const std::size_t lt = in_.pos;
    const std::uint8_t* p = b + lt + 1;  // the caller saw a name start here
    while (is_plain_char(*++p)) {
    }
    if (*p == ':') {
        p = plain_prefixed_name(p);
        if (!p) return XmlEvent::Eof;
    } else {
        elem_ns_ = ns_.default_id();
        local_start_ = lt + 1;
    }
    const std::uint8_t* const name_end = p;
    attrs_.clear();
    std::size_t count = 0;
    bool prefixed = false;
    for (;;) {
        if (*p != ' ') {
            if (*p == '>') break;
            if (*p == '/') {
                if (*++p != '>') return XmlEvent::Eof;
                break;
            }
            if (!is_ws(*p)) return XmlEvent::Eof;
        }
        while (is_ws(*++p)) {
        }
        if (!is_plain_start(*p)) {
            if (*p == '>' || *p == '/') continue;
            return XmlEvent::Eof;
        }
        const std::uint8_t* const name = p;
        while (is_plain_char(*++p)) {
        }
        const std::uint8_t* local = name;
        std::uint32_t ns = kNoNamespace;
        if (*p == ':') [[unlikely]] {
            std::uint32_t id;  // its own variable, so that ns can stay in a register
            local = plain_prefixed_attr(name, p, id);
            if (!local) return XmlEvent::Eof;
            ns = id;
            prefixed = true;
            while (is_plain_char(*++p)) {
            }
        }
        const auto len = static_cast<std::size_t>(p - name);
        if (*p != '=') {
            while (is_ws(*p)) ++p;
            if (*p != '=') return XmlEvent::Eof;
        }
        while (is_ws(*++p)) {
        }
        bool white = false;
        const std::uint8_t* close;
        if (*p == '"')
            close = plain_value_end<'"'>(p + 1, white);
        else if (*p == '\'')
            close = plain_value_end<'\''>(p + 1, white);
        else
            return XmlEvent::Eof;
        if (!close) return XmlEvent::Eof;
        // No namespace declaration, no repeated name; a tag with many attributes goes to the
        // general parse, whose check does not grow quadratically.
        if ((len == 5 && std::memcmp(name, "xmlns", 5) == 0) || count == kLinearAttrs)
            return XmlEvent::Eof;
        for (std::size_t i = 0; i < count; ++i) {
            const Attr& other = attrs_[i];
            if (other.qname_end - other.qname_start == len &&
                scan::same16(b + other.qname_start, name, len))
                return XmlEvent::Eof;
        }
        ++count;
        const auto qname_start = static_cast<std::size_t>(name - b);
        attrs_.push_back(Attr{qname_start, qname_start + len,
                              static_cast<std::size_t>(local - b), qname_start + len,
                              static_cast<std::size_t>(p + 1 - b),
                              static_cast<std::size_t>(close - b), ns, white});
        p = close + 1;
    }
    if (prefixed && repeated_expanded_name()) return XmlEvent::Eof;
    local_end_ = static_cast<std::size_t>(name_end - b);
    const bool empty = p[-1] == '/';  // only the "/>" exit leaves a slash before the '>'
    return open_element(lt, static_cast<std::size_t>(p - b), local_end_, empty, 0);
}

// The prefix of an attribute name from `name` to its colon, for plain_start_tag: returns where the
// local name starts, with `ns` set, or null where the general parse must judge (a local name that
// does not start as one or holds another colon, a namespace declaration, a prefix that is unbound
// or bound to no namespace).
[[gnu::noinline]] const std::uint8_t* Reader::plain_prefixed_attr(const std::uint8_t* name,
                                                                 const std::uint8_t* colon,
                                                                 std::uint32_t& ns) {
    const std::uint8_t* p = colon + 1;
    if (!is_plain_start(*p)) return nullptr;
    while (is_plain_char(*++p)) {
    }
    if (*p == ':') return nullptr;
    const std::string_view prefix(reinterpret_cast<const char*>(name),
                                  static_cast<std::size_t>(colon - name));
    if (prefix == "xmlns" || !ns_.lookup(prefix, ns) || ns == kNoNamespace) return nullptr;
    return colon + 1;
}

// The rest of a start tag's element name from its colon, for plain_start_tag: the name's end with
// the current element's namespace and local name set, or null where the general parse must judge
// (a second colon, a local name that does not start as one, an unbound prefix).
const std::uint8_t* Reader::plain_prefixed_name(const std::uint8_t* colon) {
    const std::uint8_t* p = colon + 1;
    if (!is_plain_start(*p)) return nullptr;
    while (is_plain_char(*++p)) {
    }
    if (*p == ':') return nullptr;
    const std::uint8_t* b = in_.data();
    const std::size_t lt = in_.pos;
    if (!ns_.lookup(view(lt + 1, static_cast<std::size_t>(colon - b)), elem_ns_)) return nullptr;
    local_start_ = static_cast<std::size_t>(colon + 1 - b);
    return p;
}

XmlEvent Reader::end_tag() {
    std::size_t rel = 2;
    for (;;) {
        const std::uint8_t* b = in_.data();
        const std::uint8_t* end = b + in_.filled();
        const std::uint8_t* hit = scan::find1(b + in_.pos + rel, end, '>');
        rel = static_cast<std::size_t>(hit - b) - in_.pos;
        if (hit < end) break;
        if (!in_.more()) throw Malformed("unclosed end tag");
    }
    const std::uint8_t* b = in_.data();
    const std::size_t lt = in_.pos;
    const std::size_t gt = lt + rel;
    std::size_t p = lt + 2;
    if (p == gt) throw Malformed("expected name");
    bool has_colon;
    const std::size_t n = attr_scan::scan_name<FullTagShape>(b, p, gt, has_colon);
    for (p = n; p < gt; ++p)
        if (!is_ws(b[p])) throw Malformed("bad end tag");
    std::string_view qname = view(lt + 2, n);
    std::size_t colon = qname_colon(qname, has_colon);
    if (stack_.empty()) throw Malformed("mismatched tag");
    const OpenElem& top = stack_.back();
    if (qname.size() != top.name_length ||
        !scan::same16(names_.get() + top.name_offset, b + lt + 2, top.name_length))
        throw Malformed("mismatched tag");
    if (colon == std::string_view::npos) {
        elem_ns_ = ns_.default_id();
        local_start_ = lt + 2;
    } else {
        if (!ns_.lookup(qname.substr(0, colon), elem_ns_)) elem_ns_ = kNoNamespace;
        local_start_ = lt + 3 + colon;
    }
    local_end_ = n;
    in_.tag_start = lt;
    in_.tag_end = gt + 1;
    in_.pos = gt + 1;
    pop_element();
    return XmlEvent::End;
}

}  // namespace tovrel
