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

// is_main with the length compared first: nearly every element of a sheet has a short name and
// lies in the main namespace, so the length rejects it with the fewest loads.
inline bool is_main_named(const Reader& reader, std::string_view local) noexcept {
    return reader.local_name().size() == local.size() && reader.is_main(local);
}

}  // namespace

std::optional<std::string> find_dimension(Reader& reader) {
    for (;;) {
        XmlEvent ev = reader.next();
        switch (ev) {
            case XmlEvent::Eof:
                return std::nullopt;
            case XmlEvent::End:
                if (is_main_named(reader, "sheetData")) return std::nullopt;
                break;
            case XmlEvent::Start:
            case XmlEvent::Empty:
                if (is_main_named(reader, "dimension")) {
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
