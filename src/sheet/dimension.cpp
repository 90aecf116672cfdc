#include "sheet/dimension.h"

#include "text/element_text.h"
#include "utils/error.h"
#include "xml/names.h"

namespace tovrel {

namespace {

// Elements the sheet dispatcher would handle itself, inside the dimension.
bool forbid_in_dimension(std::uint32_t ns, std::string_view local) noexcept {
    return ns == kMainNamespace && (local == "sheetData" || local == "dimension");
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
                    skip_checked(reader, forbid_in_dimension);
                    return reader.end_capture();
                }
                break;
            case XmlEvent::Text:
                break;
        }
    }
}

}  // namespace tovrel
