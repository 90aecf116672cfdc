#include "sheet/py_shared_strings.h"

#include <string>
#include <vector>

#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "sheet/py_helpers.h"
#include "text/element_text.h"
#include "utils/py_ref.h"
#include "utils/py_str.h"
#include "xml/names.h"
#include "xml/py_reader.h"

namespace tovrel {

const char kReadStringTableDoc[] =
    "read_string_table(source, helpers)\n--\n\nread_string_table(source, helpers) -> list";

namespace {

Ref list_of(std::vector<Ref>& items) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
}

Ref read_items(PyObject* source, PyObject* helpers_dict) {
    Helpers helpers = Helpers::from_dict(helpers_dict);
    Ref si_content = lookup_helper(helpers_dict, "si_content");
    Reader reader = make_py_reader(source);
    TextCtx ctx{std::move(helpers.text_dangerous), std::move(helpers.rich_dangerous), {}, {}};
    // Items are gathered here and moved into the list at the end: a growing list copies its
    // whole array on every resize.
    std::vector<Ref> items;
    std::string text, scratch;
    auto rpr_check = [&](std::string_view rpr) { return helpers.rpr_accepted(reader, rpr); };
    for (;;) {
        // Items of the plain shape are taken straight from the buffer.
        if (reader.depth() == 1 && reader.last_event() != XmlEvent::Empty &&
            reader.namespaces().default_id() == kMainNamespace) {
            if (auto plain = fast_plain_item(reader, "si", scratch)) {
                std::string_view plain_text = plain->text;
                if (plain_text.find("x005F_") != std::string_view::npos) {
                    // Only ASCII is removed: the sizes stay as they are.
                    text.assign(plain_text);
                    remove_x005f(text);
                    plain_text = text;
                }
                Ref item = plain->sized ? str_of_valid(plain_text, plain->continuations,
                                                       plain->widest_lead)
                                        : str_of_valid(plain_text);
                items.push_back(std::move(item));
                continue;
            }
        }
        XmlEvent ev = reader.next();
        if (ev == XmlEvent::Eof) return list_of(items);
        if (ev != XmlEvent::Start && ev != XmlEvent::Empty) continue;
        if (!reader.is_main("si")) continue;
        if (reader.depth() != 2) throw Unsupported("nested si");
        Ref item;
        if (parse_text(reader, ctx, forbid_si, rpr_check, text) == TextKind::Plain) {
            remove_x005f(text);
            item = str_of(text);
        } else {
            item = call_with_markup(si_content.get(), reader, text);
        }
        items.push_back(std::move(item));
    }
}

}  // namespace

PyObject* py_read_string_table(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guard_obj([&] {
        static const char* const names[] = {"source", "helpers"};
        static const Signature sig{"read_string_table", names, 2, 2};
        PyObject* bound[2];
        bind_args(sig, args, nargs, kwnames, bound);
        if (!PyDict_Check(bound[1])) raise_arg_type("read_string_table", "helpers", "dict", bound[1]);
        return read_items(bound[0], bound[1]).release();
    });
}

}  // namespace tovrel
