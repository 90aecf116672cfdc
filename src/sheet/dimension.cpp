#include "sheet/dimension.h"

#include "utils/error.h"

namespace tovrel {

namespace {

// Reads from the dimension's Start to its End, refusing elements the sheet dispatcher would
// handle itself.
void skip_dimension_content(Reader& reader) {
    const std::size_t depth = reader.depth();
    for (;;) {
        switch (reader.next()) {
            case XmlEvent::Start:
            case XmlEvent::Empty:
                if (reader.is_main("sheetData") || reader.is_main("dimension"))
                    throw Unsupported("nested element handled by dispatcher");
                break;
            case XmlEvent::End:
                if (reader.depth() < depth) return;
                break;
            case XmlEvent::Eof:
                throw Malformed("unexpected eof");
            case XmlEvent::Text:
                break;
        }
    }
}

}  // namespace

std::optional<std::string> find_dimension(Reader& reader) {
    for (;;) {
        XmlEvent ev = reader.next();
        switch (ev) {
            case XmlEvent::Eof:
                return std::nullopt;
            case XmlEvent::End:
                if (reader.is_main("sheetData")) return std::nullopt;
                break;
            case XmlEvent::Start:
            case XmlEvent::Empty:
                if (reader.is_main("dimension")) {
                    reader.begin_capture();
                    if (ev == XmlEvent::Empty)
                        reader.next();
                    else
                        skip_dimension_content(reader);
                    return reader.end_capture();
                }
                break;
            case XmlEvent::Text:
                break;
        }
    }
}

}  // namespace tovrel
