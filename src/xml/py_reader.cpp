#include "xml/py_reader.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "utils/error.h"
#include "utils/fx_hash.h"
#include "utils/py_ref.h"
#include "utils/py_str.h"
#include "xml/py_file_source.h"

namespace tovrel {

namespace {

PyObject* utf8_str(std::string_view s, const char* errors = nullptr) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), errors);
}

}  // namespace

Reader make_py_reader(PyObject* file) { return Reader(std::make_unique<PyFileSource>(file)); }

int traverse_py_reader(Reader& reader, visitproc visit, void* arg) {
    return static_cast<const PyFileSource&>(reader.input().source()).traverse(visit, arg);
}

PyObject* attr_key(const Reader& reader, const Attr& attr) {
    std::string_view local = reader.attr_local(attr);
    if (attr.ns == kNoNamespace) return Ref::check(utf8_str(local)).release();
    std::string_view uri = reader.namespaces().uri(attr.ns);
    std::string key;
    key.reserve(uri.size() + local.size() + 2);
    key += '{';
    key += uri;
    key += '}';
    key += local;
    return Ref::check(utf8_str(key)).release();
}

namespace {

// The namespace lists of one document. Every list handed out is a fresh copy of one cached list
// of cached tuples, rebuilt only when the bindings in force have changed. A document can still
// ask for many long lists (thousands of prefixes and as many small captured elements): the
// entries handed out are bounded by a multiple of the bytes read, beyond which the document is
// declined, so time and memory stay linear in the input.
class ScopeLists {
public:
    PyObject* get(const Reader& reader);

private:
    static constexpr std::uint64_t kEntriesPerByte = 2;
    static constexpr std::uint64_t kEntriesSlack = 1 << 16;

    void spend(const Reader& reader, std::size_t entries) {
        spent_ += entries;
        if (spent_ > kEntriesPerByte * reader.offset() + kEntriesSlack)
            throw Unsupported("namespace lists");
    }
    void rebuild(const Namespaces& ns);

    struct Tuple {
        std::uint64_t serial;  // of the binding the tuple was made for
        Ref tuple;
    };

    Ref list_;  // never handed out, so never changed by the host
    std::uint64_t serial_ = 0;
    std::vector<Tuple> tuples_;  // by binding stack index; stale where the serial differs
    std::uint64_t spent_ = 0;
};

void ScopeLists::rebuild(const Namespaces& ns) {
    auto entries = ns.scope_entries();
    if (tuples_.size() < ns.binding_count()) tuples_.resize(ns.binding_count());
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    Py_ssize_t i = 0;
    for (const Namespaces::ScopeEntry& e : entries) {
        Tuple& cached = tuples_[e.binding];
        if (!cached.tuple || cached.serial != e.serial) {
            Ref p = Ref::check(utf8_str(e.prefix, "replace"));
            Ref u = Ref::check(utf8_str(ns.uri(e.id)));
            cached.tuple = Ref::check(PyTuple_Pack(2, p.get(), u.get()));
            cached.serial = e.serial;
        }
        PyList_SET_ITEM(list.get(), i++, cached.tuple.dup().release());
    }
    list_ = std::move(list);
    serial_ = ns.scope_serial();
}

PyObject* ScopeLists::get(const Reader& reader) {
    const Namespaces& ns = reader.namespaces();
    if (!list_ || serial_ != ns.scope_serial()) {
        spend(reader, ns.binding_count());
        rebuild(ns);
    }
    spend(reader, static_cast<std::size_t>(PyList_GET_SIZE(list_.get())));
    return Ref::check(PyList_GetSlice(list_.get(), 0, PY_SSIZE_T_MAX)).release();
}

// The attribute names and short values of one document as str objects, made once each: rows of
// a sheet tend to repeat the same attributes with the same few values (ht="15",
// customHeight="false", ...), and every one of them would otherwise be a new str per row. The
// tag before usually has the same attributes in the same order, so each position first
// remembers its last name and value; other texts are looked up in tables that stop growing at a
// fixed size, so a document of ever new names or values costs little more than one without.
class AttrStrings {
public:
    // The key (attr_key) of attribute `a` at position `i` of the current tag.
    Ref key(const Reader& reader, const Attr& a, std::size_t i) {
        lookup_.assign(reader.attr_local(a));
        lookup_.append(reinterpret_cast<const char*>(&a.ns), sizeof a.ns);
        Last* last = i < kPositions ? &last_keys_[i] : nullptr;
        if (last && last->str && last->text == lookup_) return last->str.dup();
        Ref found;
        if (auto it = keys_.find(std::string_view(lookup_)); it != keys_.end()) {
            found = it->second.dup();
        } else {
            found = Ref::steal(attr_key(reader, a));
            if (keys_.size() < kMaxEntries) keys_.emplace(lookup_, found.dup());
        }
        if (last) remember(*last, lookup_, found);
        return found;
    }

    // The str of a decoded attribute value at position `i` of the current tag.
    Ref value(std::string_view text, std::size_t i) {
        if (text.size() > kMaxValueBytes) return Ref::check(utf8_str(text));
        Last* last = i < kPositions ? &last_values_[i] : nullptr;
        if (last && last->str && last->text == text) return last->str.dup();
        Ref found;
        if (auto it = values_.find(text); it != values_.end()) {
            found = it->second.dup();
        } else {
            found = Ref::check(utf8_str(text));
            if (values_.size() < kMaxEntries) values_.emplace(std::string(text), found.dup());
        }
        if (last) remember(*last, text, found);
        return found;
    }

private:
    static constexpr std::size_t kPositions = 16;
    static constexpr std::size_t kMaxEntries = 512;
    static constexpr std::size_t kMaxValueBytes = 32;
    using Table = std::unordered_map<std::string, Ref, FxBytesHash, std::equal_to<>>;

    struct Last {
        std::string text;
        Ref str;
    };
    static void remember(Last& last, std::string_view text, const Ref& str) {
        last.text.assign(text);
        last.str = str.dup();
    }

    Table keys_;    // by local name followed by the namespace id's bytes
    Table values_;  // by decoded text
    Last last_keys_[kPositions];
    Last last_values_[kPositions];
    std::string lookup_;
};

// Attribute dicts of one document. Consecutive tags of a sheet (rows) mostly have the same
// attribute names in the same order; the dict of such a tag is a copy of a private dict of the
// first tag of that shape, with the values that differ set again: one copy of the table instead
// of growing a fresh one insertion by insertion. The result is the same dict, same order.
class AttrDicts {
public:
    Ref make(const Reader& reader, AttrStrings& strings) {
        const std::vector<Attr>& attrs = reader.attrs();
        keys_.clear();
        values_.clear();
        std::string scratch;
        for (std::size_t i = 0; i < attrs.size(); ++i) {
            keys_.push_back(strings.key(reader, attrs[i], i));
            values_.push_back(strings.value(reader.attr_value(attrs[i], scratch), i));
        }
        if (shape_ && same_keys()) {
            Ref dict = Ref::check(PyDict_Copy(shape_.get()));
            for (std::size_t i = 0; i < keys_.size(); ++i)
                if (values_[i].get() != shape_values_[i].get())
                    check_rc(PyDict_SetItem(dict.get(), keys_[i].get(), values_[i].get()));
            return dict;
        }
        Ref dict = Ref::check(PyDict_New());
        for (std::size_t i = 0; i < keys_.size(); ++i)
            check_rc(PyDict_SetItem(dict.get(), keys_[i].get(), values_[i].get()));
        shape_ = Ref::check(PyDict_Copy(dict.get()));
        std::swap(shape_keys_, keys_);
        std::swap(shape_values_, values_);
        return dict;
    }

private:
    bool same_keys() const noexcept {
        if (keys_.size() != shape_keys_.size()) return false;
        for (std::size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i].get() != shape_keys_[i].get()) return false;
        return true;
    }

    Ref shape_;  // never handed out, so never changed by the host
    std::vector<Ref> shape_keys_, shape_values_;
    std::vector<Ref> keys_, values_;  // of the current tag; storage kept between calls
};

// What the Python glue keeps per document beside the reader.
struct DocumentCache final : ReaderExtension {
    ScopeLists scopes;
    AttrStrings attrs;
    AttrDicts dicts;
};

DocumentCache& cache_of(const Reader& reader) {
    auto* cache = dynamic_cast<DocumentCache*>(reader.extension());
    if (!cache) {
        auto fresh = std::make_unique<DocumentCache>();
        cache = fresh.get();
        reader.attach(std::move(fresh));
    }
    return *cache;
}

}  // namespace

PyObject* in_scope_namespaces(const Reader& reader) {
    return cache_of(reader).scopes.get(reader);
}

Ref attribute_dict(const Reader& reader) {
    DocumentCache& cache = cache_of(reader);
    return cache.dicts.make(reader, cache.attrs);
}

PyMarkup py_markup(const Reader& reader, std::string_view snippet) {
    PyMarkup markup;
    markup.snippet = bytes_of(snippet);
    markup.namespaces = Ref::steal(in_scope_namespaces(reader));
    return markup;
}

Ref call_with_markup(PyObject* callable, const Reader& reader, std::string_view snippet) {
    PyMarkup markup = py_markup(reader, snippet);
    PyObject* args[2] = {markup.snippet.get(), markup.namespaces.get()};
    return Ref::check(PyObject_Vectorcall(callable, args, 2, nullptr));
}

PyObject* text_str(const Reader& reader) {
    std::string scratch;
    return Ref::check(utf8_str(reader.text(scratch))).release();
}

PyObject* attr_value_str(const Reader& reader, const Attr& attr) {
    std::string scratch;
    return Ref::check(utf8_str(reader.attr_value(attr, scratch))).release();
}

}  // namespace tovrel
