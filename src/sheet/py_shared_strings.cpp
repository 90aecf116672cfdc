#include "sheet/py_shared_strings.h"

#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "sheet/py_helpers.h"
#include "text/element_text.h"
#include "text/item_scan.h"
#include "utils/py_ref.h"
#include "utils/py_str.h"
#include "xml/names.h"
#include "xml/py_reader.h"
#include "xml/refs.h"

namespace tovrel {

const char kReadStringTableDoc[] =
    "read_string_table(source, helpers)\n--\n\nread_string_table(source, helpers) -> list";

namespace {

// The strings gathered so far, owned, in fixed blocks: no block ever moves or grows, so a push
// copies nothing. The blocks come from the interpreter's allocator, which keeps freed memory at
// hand for the next call where the C heap would hand it back and fault it in again. They go into
// the list at the end, sized once (a growing list copies its whole array on every resize), or
// are released with the blocks.
class ItemList {
public:
    ItemList() = default;
    ItemList(const ItemList&) = delete;
    ItemList& operator=(const ItemList&) = delete;
    ~ItemList() {
        for (std::size_t b = 0; b < blocks_.size(); ++b)
            for (PyObject* item : std::span(blocks_[b].get(), filled(b))) Py_DECREF(item);
    }
    void push(Ref item) {
        if (at_ == end_) [[unlikely]] grow();
        *at_++ = item.release();
    }
    // A place for an item that comes later, None until then. It stays where it is until
    // into_list: blocks never move.
    PyObject** reserve() {
        push(Ref::borrow(Py_None));
        return at_ - 1;
    }
    Ref into_list() {
        const std::size_t count = full_ + static_cast<std::size_t>(at_ - last_start());
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(count)));
        Py_ssize_t i = 0;
        for (std::size_t b = 0; b < blocks_.size(); ++b)
            for (PyObject* item : std::span(blocks_[b].get(), filled(b)))
                PyList_SET_ITEM(list.get(), i++, item);
        blocks_.clear();
        at_ = end_ = nullptr;
        full_ = 0;
        return list;
    }

private:
    // 32 KiB a block.
    static constexpr std::size_t kBlock = 4096;

    struct Free {
        void operator()(PyObject** block) const noexcept { PyMem_Free(block); }
    };
    using Block = std::unique_ptr<PyObject*[], Free>;

    PyObject** last_start() const noexcept {
        return blocks_.empty() ? nullptr : blocks_.back().get();
    }
    std::size_t filled(std::size_t b) const noexcept {
        return b + 1 < blocks_.size() ? kBlock : static_cast<std::size_t>(at_ - last_start());
    }
    [[gnu::noinline]] void grow() {
        const std::size_t full = blocks_.empty() ? 0 : full_ + kBlock;
        Block block(static_cast<PyObject**>(PyMem_Malloc(kBlock * sizeof(PyObject*))));
        if (!block) throw std::bad_alloc();
        PyObject** const start = block.get();
        blocks_.push_back(std::move(block));
        at_ = start;
        end_ = start + kBlock;
        full_ = full;
    }

    std::vector<Block> blocks_;
    PyObject** at_ = nullptr;
    PyObject** end_ = nullptr;
    std::size_t full_ = 0;  // items in the blocks before the last
};

// The str of an item the fast path scanned whose text may hold "x005F_": decoded to UTF-8 first,
// the pattern removed, then sized. Out of line: such items are rare, and the sink's common path
// stays small.
[[gnu::noinline]] void push_rewrite(ItemList& items, const std::uint8_t* buf, const ItemScan& s,
                                    std::string& scratch, std::string& text) {
    text.clear();
    for (std::size_t i = 0; i < s.span_count; ++i) {
        const std::string_view raw(reinterpret_cast<const char*>(buf + s.spans[i].start),
                                   s.spans[i].end - s.spans[i].start);
        text += s.decode ? decode_text(raw, false, scratch) : raw;
    }
    remove_x005f(text);
    items.push(str_of_valid(text));
}

// The si_content calls for items handed over as markup, made in batches: the host's parser and
// the scan each run warm through a batch instead of taking turns item by item. The calls still
// come in document order, each before any later validate_rpr call, and an error met while calls
// wait is raised only after them, so the error the host sees is the one reading item by item
// would have raised.
class MarkupCalls {
public:
    explicit MarkupCalls(Ref callable) : callable_(std::move(callable)) {}

    // callable(markup) for the item at `slot`, made by the next run() at the latest.
    void add(PyObject** slot, PyMarkup markup) {
        bytes_ += static_cast<std::size_t>(PyBytes_GET_SIZE(markup.snippet.get()));
        pending_.push_back({slot, std::move(markup)});
        if (pending_.size() == kMaxCalls || bytes_ >= kMaxBytes) run();
    }

    // The waiting calls, in order; each result replaces its placeholder. The first to raise ends
    // the run and drops the rest.
    void run() {
        if (pending_.empty()) return;
        std::vector<Call> calls;
        calls.swap(pending_);
        bytes_ = 0;
        for (Call& call : calls) {
            PyObject* args[2] = {call.markup.snippet.get(), call.markup.namespaces.get()};
            Ref result = Ref::check(PyObject_Vectorcall(callable_.get(), args, 2, nullptr));
            Py_SETREF(*call.slot, result.release());
        }
    }

    // While an error is on its way out: the calls that come before it. One of them raising
    // replaces the error; otherwise a Python error set before is set again as it was.
    void run_before_error() {
        if (pending_.empty()) return;
        PyObject* const raised = PyErr_GetRaisedException();
        try {
            run();
        } catch (...) {
            Py_XDECREF(raised);
            throw;
        }
        if (raised) PyErr_SetRaisedException(raised);
    }

private:
    static constexpr std::size_t kMaxCalls = 256;
    static constexpr std::size_t kMaxBytes = std::size_t{1} << 20;

    struct Call {
        PyObject** slot;
        PyMarkup markup;
    };

    Ref callable_;
    std::vector<Call> pending_;
    std::size_t bytes_ = 0;
};

Ref read_items(PyObject* source, PyObject* helpers_dict) {
    Helpers helpers = Helpers::from_dict(helpers_dict);
    MarkupCalls si_content(lookup_helper(helpers_dict, "si_content"));
    Reader reader = make_py_reader(source);
    TextCtx ctx;
    ctx.text_dangerous = std::move(helpers.text_dangerous);
    ctx.rich_dangerous = std::move(helpers.rich_dangerous);
    ItemList items;
    std::string text, scratch;
    auto rpr_check = [&](std::string_view rpr) {
        si_content.run();
        return helpers.rpr_accepted(reader, rpr);
    };
    // Run properties the fast path may pass over: read by the general path in the root's scope
    // and accepted. The last markup accepted is compared first: a table's rich items mostly
    // share theirs.
    std::string last_accepted;
    auto rpr_verdict = [&](std::string_view rpr) {
        if (!last_accepted.empty() && rpr == last_accepted) return true;
        auto it = ctx.rpr_cache.find(rpr);
        if (it == ctx.rpr_cache.end() || !it->second.ok || !it->second.root_scope) return false;
        last_accepted = rpr;
        return true;
    };
    Input& in = reader.input();
    const ScanWidth width = best_scan_width();
    const CopyKind copy_kind = best_copy_kind();
    // Each item the fast path takes becomes a str of its final size and width, which the fast
    // path then fills; an item with phonetic runs is the host's, from its raw bytes, as the
    // general path would hand it over (the reader stands in the root's scope, the item's own).
    auto sink = [&](const ItemScan& s) -> void* {
        if (s.markup) [[unlikely]] {
            const std::string_view item(reinterpret_cast<const char*>(in.data()) + s.item_start,
                                        s.item_end - s.item_start);
            si_content.add(items.reserve(), py_markup(reader, item));
            return nullptr;
        }
        if (s.rewrite) [[unlikely]] {
            push_rewrite(items, in.data(), s, scratch, text);
            return nullptr;
        }
        Ref str = Ref::check(PyUnicode_New(static_cast<Py_ssize_t>(s.chars), s.maxchar));
        // PyUnicode_New gives a compact string whose kind follows from maxchar; its data follows
        // the header. Working both out here spares reading back the fresh object.
        void* data = s.maxchar < 0x80
                         ? static_cast<void*>(reinterpret_cast<PyASCIIObject*>(str.get()) + 1)
                         : static_cast<void*>(reinterpret_cast<PyCompactUnicodeObject*>(str.get()) + 1);
        items.push(std::move(str));
        return data;
    };
    try {
        for (;;) {
            // Items of the plain shape are taken straight from the buffer: unprefixed <si>
            // children of the root, where the default namespace is the main one.
            if (reader.depth() == 1 && reader.last_event() != XmlEvent::Empty &&
                reader.namespaces().default_id() == kMainNamespace) {
                ctx.root_scope = reader.namespaces().scope_serial();
                const TakenItems taken = take_si_items(in.data(), in.filled(), in.pos,
                                                       rpr_verdict, sink, width, copy_kind);
                if (taken.end != in.pos) reader.consume_tag(taken.last_start, taken.end);
            }
            XmlEvent ev = reader.next();
            if (ev == XmlEvent::Eof) {
                si_content.run();
                return items.into_list();
            }
            if (ev != XmlEvent::Start && ev != XmlEvent::Empty) continue;
            if (!reader.is_main("si")) continue;
            if (reader.depth() != 2) throw Unsupported("nested si");
            if (parse_text(reader, ctx, forbid_si, rpr_check, text) == TextKind::Plain) {
                // The reader has checked the text, and decoding keeps it well formed.
                remove_x005f(text);
                items.push(str_of_valid(text));
            } else {
                si_content.add(items.reserve(), py_markup(reader, text));
            }
        }
    } catch (...) {
        si_content.run_before_error();
        throw;
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
