// Character checks, references and the namespace binding stack. Namespace ids, qualified names,
// value and text decoding are checked through the reader's events and errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "utils/error.h"
#include "xml/chars.h"
#include "xml/names.h"
#include "xml/refs.h"

namespace tovrel {
namespace {

using namespace std::literals;

// "ok", or "M:message" / "U:message".
template <class F>
std::string outcome(F&& f) {
    try {
        f();
        return "ok";
    } catch (const XmlError& e) {
        return std::string(e.kind() == XmlError::Kind::Malformed ? "M:" : "U:") + e.what();
    }
}

const std::uint8_t* bytes(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

TEST(ResolveRef, NamesAndNumbers) {
    struct Case {
        const char* name;
        std::uint32_t cp;
    } ok[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''},
              {"#65", 'A'}, {"#x41", 'A'}, {"#xaF", 0xAF}, {"#0000000009", 9},
              {"#x10FFFF", 0x10FFFF}, {"#xD7FF", 0xD7FF}, {"#xE000", 0xE000}, {"#13", 13}};
    for (const Case& c : ok) EXPECT_EQ(resolve_ref(c.name), c.cp) << c.name;

    struct Bad {
        const char* name;
        const char* error;
    } bad[] = {{"", "M:undefined entity"},         {"#", "M:undefined entity"},
               {"LT", "M:undefined entity"},       {"nbsp", "M:undefined entity"},
               {"#x", "M:bad char ref"},           {"#X41", "M:bad char ref"},
               {"#12345678901", "M:bad char ref"}, {"#x00000000041", "M:bad char ref"},
               {"#x100000000", "M:bad char ref"},  {"#4294967296", "M:bad char ref"},
               {"#-1", "M:bad char ref"},          {"#x4g", "M:bad char ref"},
               {"#0", "M:invalid char ref"},       {"#8", "M:invalid char ref"},
               {"#xD800", "M:invalid char ref"},   {"#xDFFF", "M:invalid char ref"},
               {"#xFFFE", "M:invalid char ref"},   {"#xFFFF", "M:invalid char ref"},
               {"#x110000", "M:invalid char ref"}, {"#4294967295", "M:invalid char ref"}};
    for (const Bad& c : bad) EXPECT_EQ(outcome([&] { resolve_ref(c.name); }), c.error) << c.name;
}

TEST(ValidateRefs, EveryReferenceIsChecked) {
    struct Case {
        const char* text;
        const char* result;
    } cases[] = {{"plain", "ok"},           {"a&amp;b&#10;c", "ok"},
                 {"a&amp", "M:bad reference"}, {"&amp;&", "M:bad reference"},
                 {"&amp;&bogus;", "M:undefined entity"}, {"x; &#0;", "M:invalid char ref"}};
    for (const Case& c : cases)
        EXPECT_EQ(outcome([&] { validate_refs(bytes(c.text), std::strlen(c.text)); }), c.result)
            << c.text;
}

TEST(ValidateChars, ControlBytesUtf8AndNonCharacters) {
    struct Case {
        std::string_view text;
        const char* result;
    } cases[] = {
        {"tab\tlf\ncr\r", "ok"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "ok"},
        {"\xEF\xBF\xBD", "ok"},  // U+FFFD is allowed
        {"a\0b"sv, "M:invalid character"},
        {"\x1F", "M:invalid character"},
        {"\x7F", "ok"},
        {"\xEF\xBF\xBE", "M:invalid character"},
        {"x\xEF\xBF\xBF", "M:invalid character"},
        {"\xC3", "M:invalid utf-8"},
        {"\x80", "M:invalid utf-8"},
        {"\xC1\xBF", "M:invalid utf-8"},
        {"\xE0\x80\x80", "M:invalid utf-8"},
        {"\xED\xBF\xBF", "M:invalid utf-8"},
        {"\xF4\x90\x80\x80", "M:invalid utf-8"},
        {"\xF5\x80\x80\x80", "M:invalid utf-8"},
        {"\xE2\x82", "M:invalid utf-8"},
        {"\xC3\xA9\x01", "M:invalid character"},  // control bytes are reported first
    };
    for (const Case& c : cases)
        EXPECT_EQ(outcome([&] { validate_chars(bytes(c.text), c.text.size()); }), c.result)
            << "case " << (&c - cases);
}

// Decoding trusts validated text, but an unterminated reference still stops it.
TEST(Decode, UnterminatedReferenceIsMalformed) {
    std::string scratch;
    for (const char* raw : {"a&amp", "&", "x&#65"}) {
        EXPECT_EQ(outcome([&] { decode_text(raw, false, scratch); }), "M:bad reference") << raw;
        EXPECT_EQ(outcome([&] { decode_attr(raw, scratch); }), "M:bad reference") << raw;
    }
}

// Random element opens (each pushing a few bindings) and closes against the plain model: the
// list of bindings in force, searched newest first. The scope serial must name the scope: a
// serial seen again comes with the same in-scope list.
TEST(Namespaces, BindingStackMatchesLinearModel) {
    using Scope = std::vector<std::pair<std::string, std::uint32_t>>;
    const std::string prefixes[] = {"", "a", "b", "c", "xml"};
    std::mt19937 rng(13);
    Namespaces ns;
    Scope model;                      // bindings in force, oldest first
    std::vector<std::size_t> frames;  // bindings pushed per open element
    std::map<std::uint64_t, Scope> seen;
    std::map<std::uint64_t, std::pair<std::string, std::uint32_t>> bindings;
    for (int step = 0; step < 20000; ++step) {
        if (frames.empty() || rng() % 8 < 5) {
            frames.push_back(rng() % 3);
            for (std::size_t k = 0; k < frames.back(); ++k) {
                const std::string& prefix = prefixes[rng() % 4];
                const std::uint32_t uri = 3 + rng() % 3;
                ns.push(prefix, uri);
                model.emplace_back(prefix, uri);
            }
        } else {
            ns.pop(frames.back());
            model.resize(model.size() - frames.back());
            frames.pop_back();
        }
        Scope want;
        for (const auto& [prefix, uri] : model) {
            auto at = std::find_if(want.begin(), want.end(),
                                   [&](const auto& e) { return e.first == prefix; });
            if (at == want.end())
                want.emplace_back(prefix, uri);
            else
                at->second = uri;
        }
        for (const std::string& prefix : prefixes) {
            auto at = std::find_if(want.begin(), want.end(),
                                   [&](const auto& e) { return e.first == prefix; });
            std::uint32_t id = 99;
            const bool found = ns.lookup(prefix, id);
            if (prefix == "xml")
                EXPECT_TRUE(found && id == kXmlNamespace);
            else if (at != want.end())
                EXPECT_TRUE(found && id == at->second) << step << " " << prefix;
            else
                EXPECT_EQ(found ? id : 99u, prefix.empty() ? kNoNamespace : 99u) << step;
        }
        auto default_at = std::find_if(want.begin(), want.end(),
                                       [](const auto& e) { return e.first.empty(); });
        EXPECT_EQ(ns.default_id(), default_at == want.end() ? kNoNamespace : default_at->second);
        Scope got;
        for (const auto& [prefix, uri] : ns.in_scope()) got.emplace_back(prefix, uri);
        ASSERT_EQ(got, want) << step;
        auto [it, fresh] = seen.try_emplace(ns.scope_serial(), got);
        ASSERT_TRUE(fresh || it->second == got) << step;
        // An entry's binding serial names its (prefix, id) for good.
        for (const Namespaces::ScopeEntry& e : ns.scope_entries()) {
            auto [b, first] = bindings.try_emplace(e.serial, std::string(e.prefix), e.id);
            ASSERT_TRUE(first || b->second == std::pair(std::string(e.prefix), e.id)) << step;
        }
    }
}

}  // namespace
}  // namespace tovrel
