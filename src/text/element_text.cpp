#include "text/element_text.h"

#include <cstring>

#include "utils/error.h"
#include "xml/chars.h"
#include "xml/content_walk.h"
#include "xml/names.h"
#include "xml/refs.h"

namespace tovrel {

namespace {

[[noreturn]] void nested_forbidden() { throw Unsupported("nested element handled by dispatcher"); }

bool has_plain_attribute(const Reader& reader) noexcept {
    for (const Attr& a : reader.attrs())
        if (a.ns == kNoNamespace) return true;
    return false;
}

constexpr const char* kUnexpectedEof = "unexpected eof";

// The common walk over an element's content. `on_text` sees the decoded Text events that come
// before the first nested element; nested elements are checked against `forbid` and passed over.
template <class OnText>
void walk(Reader& reader, Forbid forbid, OnText&& on_text) {
    ContentWalk content(reader, kUnexpectedEof);
    bool nested = false;
    std::string scratch;
    for (XmlEvent ev; content.next(ev);) {
        if (ev == XmlEvent::Text) {
            if (!nested) on_text(reader.text(scratch));
            continue;
        }
        if (forbid(reader.ns(), reader.local_name())) nested_forbidden();
        nested = true;
    }
}

// The next direct child of the element `content` walks (text is passed over), checked against
// `forbid`; false at the element's end. The caller reads each child whole.
bool next_child(ContentWalk& content, const Reader& reader, Forbid forbid) {
    for (XmlEvent ev; content.next(ev);) {
        if (ev == XmlEvent::Text) continue;
        if (forbid(reader.ns(), reader.local_name())) nested_forbidden();
        return true;
    }
    return false;
}

}  // namespace

bool forbid_si(std::uint32_t ns, std::string_view local) noexcept {
    return ns == kMainNamespace && local == "si";
}

void skip_checked(Reader& reader, Forbid forbid) {
    walk(reader, forbid, [](std::string_view) {});
}

void element_text_into(Reader& reader, std::string& out, Forbid forbid) {
    walk(reader, forbid, [&out](std::string_view text) { out.append(text); });
}

std::optional<std::string> element_text_checked(Reader& reader, Forbid forbid) {
    std::optional<std::string> out;
    walk(reader, forbid, [&out](std::string_view text) {
        if (out)
            out->append(text);
        else
            out.emplace(text);
    });
    return out;
}

TextKind parse_text(Reader& reader, TextCtx& ctx, Forbid forbid, RprCheck rpr_check,
                    std::string& out) {
    Input& in = reader.input();
    reader.begin_capture();
    bool needs_markup = has_plain_attribute(reader);
    out.clear();
    ctx.runs.clear();

    ContentWalk item(reader, kUnexpectedEof);
    while (next_child(item, reader, forbid)) {
        std::string_view name = reader.local_name();
        if (name == "t") {
            out.clear();
            element_text_into(reader, out, forbid);
        } else if (name == "r") {
            if (has_plain_attribute(reader)) needs_markup = true;
            const std::size_t run_mark = ctx.runs.size();
            ContentWalk run(reader, kUnexpectedEof);
            while (next_child(run, reader, forbid)) {
                std::string_view child = reader.local_name();
                if (child == "rPr") {
                    // The item's capture keeps these bytes in the window.
                    const std::uint64_t start = in.base + reader.tag_start();
                    skip_checked(reader, forbid);
                    if (needs_markup) continue;
                    std::string_view rpr(reinterpret_cast<const char*>(in.data()) + (start - in.base),
                                         reader.tag_end() - (start - in.base));
                    auto it = ctx.rpr_cache.find(rpr);
                    bool ok;
                    if (it != ctx.rpr_cache.end()) {
                        ok = it->second;
                    } else {
                        ok = rpr_check(rpr);
                        ctx.rpr_cache.emplace(std::string(rpr), ok);
                    }
                    if (!ok) needs_markup = true;
                } else if (child == "t") {
                    ctx.runs.resize(run_mark);
                    element_text_into(reader, ctx.runs, forbid);
                } else {
                    const bool dangerous = ctx.rich_dangerous.contains(child);
                    skip_checked(reader, forbid);
                    if (dangerous) needs_markup = true;
                }
            }
        } else if (name == "rPh" || name == "phoneticPr") {
            skip_checked(reader, forbid);
            needs_markup = true;
        } else {
            const bool dangerous = ctx.text_dangerous.contains(name);
            skip_checked(reader, forbid);
            if (dangerous) needs_markup = true;
        }
    }

    if (needs_markup) {
        out = reader.end_capture();
        return TextKind::Markup;
    }
    in.capture = Input::kNoCapture;
    out.append(ctx.runs);
    return TextKind::Plain;
}

std::optional<PlainItem> fast_plain_item(Reader& reader, std::string_view name,
                                         std::string& scratch) {
    Input& in = reader.input();
    const std::uint8_t* b = in.data();
    const std::size_t n = in.filled();
    const std::size_t p = in.pos;
    auto at = [&](std::size_t pos, std::string_view lit) {
        return pos <= n && n - pos >= lit.size() && std::memcmp(b + pos, lit.data(), lit.size()) == 0;
    };
    if (!at(p, "<") || !at(p + 1, name) || !at(p + 1 + name.size(), ">")) return std::nullopt;
    std::size_t q = p + name.size() + 2;
    if (at(q, "<t>"))
        q += 3;
    else if (at(q, "<t xml:space=\"preserve\">"))
        q += 24;
    else
        return std::nullopt;
    const void* lt = std::memchr(b + q, '<', n - q);
    if (!lt) return std::nullopt;
    const std::size_t text_end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lt) - b);
    if (!at(text_end, "</t></") || !at(text_end + 6, name) || !at(text_end + 6 + name.size(), ">"))
        return std::nullopt;
    const std::size_t end = text_end + 7 + name.size();
    // Invalid text is left to the general reader, which reports it.
    const CharScan scanned = scan_chars(b + q, text_end - q);
    if (scanned.fault || scanned.seen.cdata_end) return std::nullopt;
    if (scanned.seen.amp && refs_error(b + q, text_end - q)) return std::nullopt;
    PlainItem item;
    item.text = std::string_view(reinterpret_cast<const char*>(b + q), text_end - q);
    // Line ends and entity references decode to ASCII, which leaves the sizes as they are;
    // character references may not.
    item.sized = !scanned.seen.amp || item.text.find("&#") == std::string_view::npos;
    item.continuations = scanned.continuations;
    item.widest_lead = scanned.widest_lead;
    if (scanned.seen.amp || scanned.seen.cr) item.text = decode_text(item.text, false, scratch);
    reader.consume_tag(p, end);
    return item;
}

bool remove_x005f(std::string& text) {
    static constexpr std::string_view kPattern = "x005F_";
    std::size_t hit = text.find(kPattern);
    if (hit == std::string::npos) return false;
    std::size_t write = hit;
    std::size_t read = hit + kPattern.size();
    for (;;) {
        std::size_t next = text.find(kPattern, read);
        std::size_t stop = next == std::string::npos ? text.size() : next;
        std::memmove(text.data() + write, text.data() + read, stop - read);
        write += stop - read;
        if (next == std::string::npos) break;
        read = next + kPattern.size();
    }
    text.resize(write);
    return true;
}

}  // namespace tovrel
