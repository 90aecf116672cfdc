#include "store/py_bind.h"

#include <variant>

#include "sheet/py_sheet_parser.h"
#include "store/py_store.h"
#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "utils/py_ref.h"

namespace tovrel {

const char kBindCellsDoc[] =
    "bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)\n--\n\n"
    "Read all cells of a worksheet in full / editable mode into store.\n"
    "Mirrors the worksheet reader's cell binding plus its worksheet parser's parse, keeping the\n"
    "cells in compact form in the CellStore until they are accessed, and appends the other\n"
    "elements and the warnings to actions for the caller to replay in document order.";

PyObject* py_bind_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"source", "parser", "ws", "store",
                                            "cell_styles", "cell_cls", "helpers", "actions"};
        static const Signature sig{"bind_cells", names, 8, 8};
        PyObject* a[8];
        bind_args(sig, args, nargs, kwnames, a);
        PyObject* const source = a[0];
        PyObject* const parser = a[1];
        PyObject* const store = a[3];
        PyObject* const cell_cls = a[5];
        PyObject* const helpers = a[6];
        PyObject* const actions = a[7];
        if (!is_cell_store(store)) raise_arg_type("bind_cells", "store", "CellStore", store);
        if (!PyType_Check(cell_cls)) raise_arg_type("bind_cells", "cell_cls", "type", cell_cls);
        if (!PyDict_Check(helpers)) raise_arg_type("bind_cells", "helpers", "dict", helpers);
        if (!PyList_Check(actions)) raise_arg_type("bind_cells", "actions", "list", actions);

        Helpers bundle = Helpers::from_dict(helpers);
        Settings settings = Settings::from_parser(parser);
        Ref row_dims = Ref::check(PyObject_GetAttrString(parser, "row_dimensions"));
        if (!PyDict_Check(row_dims.get()))
            raise_arg_type("bind_cells", "parser.row_dimensions", "dict", row_dims.get());
        Ref strings = settings.shared_strings.dup();
        const std::optional<Epoch> epoch = settings.native_epoch;
        // Warnings go straight into `actions`: the parser reads nothing ahead of the item it
        // returns, so they land between the elements in document order.
        SheetParser sheet(source, std::move(bundle), std::move(settings), actions, row_dims.get());
        StoreLoader loader(store, StoreLoader::Host{a[2], a[4], cell_cls, strings.get(), epoch},
                           sheet.shared());
        for (;;) {
            Item item = sheet.next_item();
            if (auto* row = std::get_if<RowItem>(&item)) {
                for (CellRec& cell : row->cells) loader.add(cell);
            } else if (auto* el = std::get_if<ElementItem>(&item)) {
                Ref entry = Ref::check(
                    Py_BuildValue("(sOO)", "element", el->xml.get(), el->namespaces.get()));
                check_rc(PyList_Append(actions, entry.get()));
            } else {
                loader.finish();
                Py_RETURN_NONE;
            }
        }
    });
}

}  // namespace tovrel
