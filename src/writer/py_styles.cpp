#include "writer/py_styles.h"

#include <functional>
#include <random>

namespace tovrel {

namespace {

// The integers of a style array's buffer, when it exposes one of 32-bit signed integers.
class IntBuffer {
public:
    explicit IntBuffer(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=') ++f;
        ok_ = view_.itemsize == 4 && (f[0] == 'i' || f[0] == 'l') && f[1] == '\0';
    }
    ~IntBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    IntBuffer(const IntBuffer&) = delete;
    IntBuffer& operator=(const IntBuffer&) = delete;

    bool ok() const noexcept { return ok_; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len) / 4; }
    const void* data() const noexcept { return view_.buf; }

    bool any_non_zero() const noexcept {
        const auto* p = static_cast<const unsigned char*>(view_.buf);
        for (Py_ssize_t i = 0; i < view_.len; ++i)
            if (p[i]) return true;
        return false;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool ok_ = false;
};

// A per-process seed, so that the cache's hashing differs from run to run.
std::size_t hash_seed() {
    static const std::size_t seed = std::random_device{}();
    return seed;
}

}  // namespace

std::size_t StyleCache::KeyHash::operator()(const Key& k) const noexcept {
    const std::string_view bytes(reinterpret_cast<const char*>(k.data()), sizeof(Key));
    return std::hash<std::string_view>{}(bytes) ^ hash_seed();
}

StyleCache::StyleCache(Ref style_array, Ref cell_styles)
    : style_array_(std::move(style_array)),
      cell_styles_(std::move(cell_styles)),
      any_(Ref::check(PyImport_ImportModuleAttrString("builtins", "any"))),
      add_name_(Ref::check(PyUnicode_InternFromString("add"))) {
    hash_seed();
}

StyleCache::Look StyleCache::look(PyObject* style) {
    Look result;
    if (style == Py_None) return result;
    if (Py_TYPE(style) == reinterpret_cast<PyTypeObject*>(style_array_.get())) {
        IntBuffer buf(style);
        if (buf.ok()) {
            result.styled = buf.any_non_zero();
            if (buf.size() == result.key.size()) {
                result.keyed = true;
                std::memcpy(result.key.data(), buf.data(), sizeof result.key);
            }
            return result;
        }
    }
    Ref any = Ref::check(PyObject_CallOneArg(any_.get(), style));
    result.styled = check_rc(PyObject_IsTrue(any.get())) != 0;
    return result;
}

// The key part of `look`, without the styled test.
StyleCache::Look StyleCache::look_key(PyObject* style) {
    Look result;
    if (Py_TYPE(style) != reinterpret_cast<PyTypeObject*>(style_array_.get())) return result;
    IntBuffer buf(style);
    if (buf.ok() && buf.size() == result.key.size()) {
        result.keyed = true;
        std::memcpy(result.key.data(), buf.data(), sizeof result.key);
    }
    return result;
}

Ref StyleCache::add(PyObject* style) {
    return Ref::check(PyObject_CallMethodOneArg(cell_styles_.get(), add_name_.get(), style));
}

StyleCache::Entry& StyleCache::cached(PyObject* style, const Look& look) {
    if (auto it = cache_.find(look.key); it != cache_.end()) return it->second;
    Entry entry{add(style), {}};
    Ref text = Ref::check(PyObject_Str(entry.id.get()));
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!utf8) throw PyErrorSet();
    entry.text.assign(utf8, static_cast<std::size_t>(len));
    return cache_.emplace(look.key, std::move(entry)).first->second;
}

Ref StyleCache::style_id(PyObject* style, const Look& look) {
    if (!look.keyed) return add(style);
    return cached(style, look).id.dup();
}

std::string_view StyleCache::style_text(PyObject* style, const Look& look, std::string& scratch) {
    if (look.keyed) return cached(style, look).text;
    Ref id = add(style);
    Ref text = Ref::check(PyObject_Str(id.get()));
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!utf8) throw PyErrorSet();
    scratch.assign(utf8, static_cast<std::size_t>(len));
    return scratch;
}

int StyleCache::traverse(visitproc visit, void* arg) const {
    Py_VISIT(style_array_.get());
    Py_VISIT(cell_styles_.get());
    for (const auto& [key, entry] : cache_) Py_VISIT(entry.id.get());
    return 0;
}

}  // namespace tovrel
