// The one loop over an element's content: every reader that takes an element apart (element
// text, string items, rows, cells, captured elements) walks it with a ContentWalk.
#pragma once

#include <cstddef>

#include "utils/error.h"
#include "xml/reader.h"

namespace tovrel {

// Walks the content of the element whose Start or Empty the reader has just returned, up to and
// including that element's End:
//
//     ContentWalk content(reader, "eof in cell");
//     for (XmlEvent ev; content.next(ev);) { ... }
//
// `next` yields the Start, Empty and Text events inside the element. The caller may read a
// nested element whole (skip it, collect its text) before asking for the next event, or let the
// walk pass through it event by event; the walk ends at the End that closes the element itself.
class ContentWalk {
public:
    ContentWalk(Reader& reader, const char* eof_message) noexcept
        : reader_(reader), depth_(reader.depth()), eof_message_(eof_message) {}

    // The next Start, Empty or Text event inside the element; false once the element's End has
    // been read. The document ending first throws Malformed(eof_message).
    bool next(XmlEvent& ev) {
        for (;;) {
            ev = reader_.next();
            switch (ev) {
                case XmlEvent::End:
                    if (reader_.depth() < depth_) return false;
                    continue;
                case XmlEvent::Eof:
                    throw Malformed(eof_message_);
                default:
                    return true;
            }
        }
    }

    // Reads everything left up to the element's End.
    void finish() {
        for (XmlEvent ev; next(ev);) {
        }
    }

private:
    Reader& reader_;
    std::size_t depth_;  // includes the element walked
    const char* eof_message_;
};

}  // namespace tovrel
