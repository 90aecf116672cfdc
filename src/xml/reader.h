// The XML pull reader: a strict, namespace-aware parser over the input window. Each call to
// `next` yields one event; element names come out split and namespace-resolved, attribute values
// and text stay raw spans of the buffer (validated, not decoded) until the caller decodes them.
// Errors are thrown (Malformed / Unsupported, or whatever the byte source throws); after an error
// the reader must not be used again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "xml/byte_source.h"
#include "xml/input.h"
#include "xml/names.h"

namespace tovrel {

enum class XmlEvent : std::uint8_t { Start = 0, Empty = 1, End = 2, Text = 3, Eof = 4 };

// One attribute of the current start tag, in document order. Offsets index the reader's buffer.
struct Attr {
    std::size_t qname_start, qname_end;
    std::size_t local_start, local_end;
    std::size_t value_start, value_end;  // the raw bytes between the quotes
    std::uint32_t ns;                    // kNoNamespace for unprefixed attributes
    bool needs_decoding;                 // the raw value holds '&', tab, LF or CR
};

// State that a caller keeps per document beside the reader (the Python glue's cached namespace
// lists); the reader owns it and destroys it with itself.
struct ReaderExtension {
    virtual ~ReaderExtension() = default;
};

class Reader {
public:
    explicit Reader(std::unique_ptr<ByteSource> source);

    // Errors thrown carry offset() as the position of the construct being read (XmlError::offset).
    XmlEvent next();
    // The start tag of a row as spreadsheet programs write it, `<row r="7">` or
    // `<row r="7" spans="1:10">` (r of 1 to 18 digits, spans of digits and colons), when it is
    // next and whole in the window: read as next() reads it, a Start event, with `digits` set to
    // the offset of r's value. False, with nothing read, for anything else.
    bool row_start_tag(std::size_t& digits);

    // Absolute input offset of the next unread byte: bytes from the start of the document.
    std::uint64_t offset() const noexcept { return in_.offset(); }

    // Open elements; after Start/Empty this includes the new element, after End it does not.
    std::size_t depth() const noexcept { return stack_.size(); }
    XmlEvent last_event() const noexcept { return last_; }

    // The current element (after Start, Empty and End).
    std::uint32_t ns() const noexcept { return elem_ns_; }
    std::string_view local_name() const noexcept { return view(local_start_, local_end_); }
    bool is_main(std::string_view local) const noexcept {
        return elem_ns_ == kMainNamespace && local_name() == local;
    }
    std::size_t tag_start() const noexcept { return in_.tag_start; }
    std::size_t tag_end() const noexcept { return in_.tag_end; }
    // Attributes of the current start tag (after Start and Empty).
    const std::vector<Attr>& attrs() const noexcept { return attrs_; }
    const Attr* find_attr(std::uint32_t ns, std::string_view local) const noexcept;
    std::string_view attr_qname(const Attr& a) const noexcept {
        return view(a.qname_start, a.qname_end);
    }
    std::string_view attr_local(const Attr& a) const noexcept {
        return view(a.local_start, a.local_end);
    }
    std::string_view attr_raw(const Attr& a) const noexcept {
        return view(a.value_start, a.value_end);
    }
    // The normalised value: the raw bytes, or a view of `scratch`.
    std::string_view attr_value(const Attr& a, std::string& scratch) const;

    // The current text (after Text).
    std::string_view text_raw() const noexcept { return view(text_start_, text_end_); }
    // The decoded text: the raw bytes, or a view of `scratch`.
    std::string_view text(std::string& scratch) const;

    const Namespaces& namespaces() const noexcept { return ns_; }

    // The attached extension, or null; attaching replaces (and destroys) the previous one. Cached
    // state is not part of the reader's observable state, hence const.
    ReaderExtension* extension() const noexcept { return extension_.get(); }
    void attach(std::unique_ptr<ReaderExtension> extension) const noexcept {
        extension_ = std::move(extension);
    }

    // Raw capture: start at the current tag's '<'; end_capture returns the bytes from there to
    // the current tag end and clears the capture. The window keeps the bytes meanwhile.
    void begin_capture() noexcept { in_.capture = in_.tag_start; }
    std::string end_capture();

    // Direct access to the window for callers that consume a whole construct themselves; they
    // then move past it with consume_tag.
    Input& input() noexcept { return in_; }
    void consume_tag(std::size_t start, std::size_t end) noexcept {
        in_.tag_start = start;
        in_.tag_end = end;
        in_.pos = end;
    }

private:
    struct OpenElem {
        std::uint32_t name_offset;
        std::uint32_t name_length;
        std::uint32_t bindings;
        std::uint32_t ns;            // the element's namespace id, as its start tag resolved it
        std::uint32_t local_offset;  // where the local name starts in the qualified name
    };

    std::string_view view(std::size_t start, std::size_t end) const noexcept {
        return std::string_view(reinterpret_cast<const char*>(in_.data()) + start, end - start);
    }

    bool fill(std::size_t n);
    std::size_t find_seq(std::size_t from, std::string_view pattern, const char* unclosed);
    void start_document();
    void check_decl(std::size_t start, std::size_t end);
    void skip_outside_whitespace();
    XmlEvent next_general();
    bool quick_text();
    void take_text(std::size_t start, std::size_t end, std::uint32_t amp, std::uint32_t bracket);
    void check_plain_text(std::size_t start, std::size_t end, std::uint32_t amp,
                          std::uint32_t bracket);
    XmlEvent text_run();
    void check_text(std::size_t start, std::size_t end);
    bool markup_declaration();
    void processing_instruction();
    struct AttrSink;
    XmlEvent start_tag();
    XmlEvent plain_start_tag();
    const std::uint8_t* plain_prefixed_name(const std::uint8_t* colon);
    const std::uint8_t* plain_prefixed_attr(const std::uint8_t* name, const std::uint8_t* colon,
                                            std::uint32_t& ns);
    bool repeated_qname(std::string_view qname);
    bool repeated_expanded_name();
    XmlEvent open_element(std::size_t lt, std::size_t gt, std::size_t name_end, bool empty,
                          std::uint32_t bindings);
    XmlEvent end_tag();
    bool matching_end_tag();
    void grow_names(std::size_t needed);
    void check_attr_value(std::size_t start, std::size_t end, std::uint8_t classes) const;
    void declare(std::string_view prefix, const Attr& a);
    void pop_element();

    Input in_;
    // Qualified names of the open elements, concatenated; names_cap_ bytes plus 16 of slack, so
    // names are copied and compared sixteen bytes at a time.
    std::unique_ptr<std::uint8_t[]> names_;
    std::size_t names_size_ = 0, names_cap_ = 0;
    std::vector<OpenElem> stack_;
    Namespaces ns_;
    std::string decl_scratch_;

    std::uint32_t elem_ns_ = kNoNamespace;
    std::size_t local_start_ = 0, local_end_ = 0;
    std::vector<Attr> attrs_;
    // Duplicate checks compare pairwise up to this many attributes, then through seen_names_.
    static constexpr std::size_t kLinearAttrs = 16;
    std::unordered_set<std::string_view> seen_names_;

    std::size_t text_start_ = 0, text_end_ = 0;
    bool text_cdata_ = false, text_needs_ = false;

    mutable std::unique_ptr<ReaderExtension> extension_;

    bool started_ = false, root_seen_ = false, root_closed_ = false, pending_end_ = false;
    XmlEvent last_ = XmlEvent::Eof;
};

}  // namespace tovrel
