// Test helper: runs a reader over an in-memory document and renders its events as one string.
#pragma once

#include <memory>
#include <string>

#include "xml/reader.h"

namespace tovrel::testing {

inline Reader memory_reader(const std::string& doc, std::size_t chunk) {
    return Reader(std::make_unique<MemorySource>(doc, chunk));
}

// "<{ns}local a=v {1}b=w>" for Start ("/>" for Empty), "</{ns}local>", "'text'" (decoded), and
// "$" for Eof. Namespace ids other than 0 are shown in braces; values are decoded.
inline std::string render(Reader& r, XmlEvent ev) {
    std::string out, scratch;
    auto ns = [&](std::uint32_t id) {
        if (id == 0) return;
        out += '{';
        out += std::to_string(id);
        out += '}';
    };
    auto name = [&] {
        ns(r.ns());
        out += r.local_name();
    };
    switch (ev) {
        case XmlEvent::Start:
        case XmlEvent::Empty:
            out += "<";
            name();
            for (const Attr& a : r.attrs()) {
                out += " ";
                ns(a.ns);
                out += r.attr_local(a);
                out += "=";
                out += r.attr_value(a, scratch);
            }
            out += ev == XmlEvent::Empty ? "/>" : ">";
            break;
        case XmlEvent::End:
            out += "</";
            name();
            out += ">";
            break;
        case XmlEvent::Text:
            out += "'";
            out += r.text(scratch);
            out += "'";
            break;
        case XmlEvent::Eof:
            out += "$";
            break;
    }
    return out;
}

struct Trace {
    std::string events;  // rendered events
    std::string error;   // "M:message" / "U:message", empty when Eof was reached
};

inline Trace run(const std::string& doc, std::size_t chunk) {
    Reader r = memory_reader(doc, chunk);
    Trace t;
    try {
        for (;;) {
            XmlEvent ev = r.next();
            t.events += render(r, ev);
            if (ev == XmlEvent::Eof) return t;
        }
    } catch (const XmlError& e) {
        t.error = std::string(e.kind() == XmlError::Kind::Malformed ? "M:" : "U:") + e.what();
    }
    return t;
}

// The rendered events, followed by " !" and the error if one ended the document.
inline std::string trace(const std::string& doc, std::size_t chunk) {
    Trace t = run(doc, chunk);
    return t.error.empty() ? t.events : t.events + " !" + t.error;
}

}  // namespace tovrel::testing
