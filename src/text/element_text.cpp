#include "text/element_text.h"

#include <cstring>

#include "utils/error.h"
#include "xml/content_walk.h"
#include "xml/names.h"

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
                    const bool root_scope = reader.namespaces().scope_serial() == ctx.root_scope;
                    skip_checked(reader, forbid);
                    if (needs_markup) continue;
                    std::string_view rpr(reinterpret_cast<const char*>(in.data()) + (start - in.base),
                                         reader.tag_end() - (start - in.base));
                    auto it = ctx.rpr_cache.find(rpr);
                    bool ok;
                    if (it != ctx.rpr_cache.end()) {
                        ok = it->second.ok;
                        it->second.root_scope = it->second.root_scope || root_scope;
                    } else {
                        ok = rpr_check(rpr);
                        ctx.rpr_cache.emplace(std::string(rpr), TextCtx::RprEntry{ok, root_scope});
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
