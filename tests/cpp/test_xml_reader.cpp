// The XML pull reader over in-memory sources: events, namespaces, decoding and every error, each
// run with a source that delivers one byte per read and with one that delivers 64 KiB at once.
// With one byte per read a start tag is never whole in the buffer when it is met, so those runs
// take every tag through the general parse, and the 64 KiB runs through the one-pass read of
// plain tags: both must give the same events and errors.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "utils/error.h"
#include "xml/names.h"
#include "xml_trace.h"

namespace tovrel {
namespace {

using testing::memory_reader;
using testing::run;
using testing::trace;
using namespace std::literals;

const std::string kMain(kMainUri);

class ReaderChunks : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Chunks, ReaderChunks, ::testing::Values(1, 65536),
                         [](const auto& info) { return "chunk" + std::to_string(info.param); });

struct EventCase {
    const char* doc;
    const char* expected;
};

const EventCase kEventCases[] = {
    {"<a/>", "<a/></a>$"},
    {"<?xml version='1.0' encoding='UTF-8'?><a>x</a>", "<a>'x'</a>$"},
    {"<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\" ?>\n<a/>\n", "<a/></a>$"},
    {"<?xml version = '1.0'  standalone='no'?><a/>", "<a/></a>$"},
    {"\xEF\xBB\xBF<a/>", "<a/></a>$"},
    {"\xEF\xBB\xBF<?xml version='1.0'?><a/>", "<a/></a>$"},
    {"<a b=\"1\" c='2'>t&amp;u</a>", "<a b=1 c=2>'t&u'</a>$"},
    {"<a\n  b = \"1\"\t></a >", "<a b=1></a>$"},
    {"<a><![CDATA[x<y&z]]></a>", "<a>'x<y&z'</a>$"},
    {"<a><![CDATA[]]></a>", "<a>''</a>$"},
    {"<a><![CDATA[a\r\nb\rc]]></a>", "<a>'a\nb\nc'</a>$"},
    {"<a>a\r\nb\rc</a>", "<a>'a\nb\nc'</a>$"},
    {"<a>&lt;&gt;&amp;&quot;&apos;&#65;&#x42;&#x1F600;</a>", "<a>'<>&\"'AB\xF0\x9F\x98\x80'</a>$"},
    {"<a>\xC3\xA9\xE2\x82\xAC</a>", "<a>'\xC3\xA9\xE2\x82\xAC'</a>$"},
    {"<a>a&#233;b&#x20AC;&#x10348;\r\n</a>",
     "<a>'a\xC3\xA9" "b\xE2\x82\xAC\xF0\x90\x8D\x88\n'</a>$"},
    {"<!--c--><?pi x?><a><!-- in --><?pi?>t</a><!--after-->\n<?end?>", "<a>'t'</a>$"},
    {"<?xml-stylesheet href='a'?><a/>", "<a/></a>$"},
    {"<a><!----><!-- a - --></a>", "<a></a>$"},
    {"<a b=\"]]>\" c='x>y' d=\"it's\"/>", "<a b=]]> c=x>y d=it's/></a>$"},
    {"<a>]] ]></a>", "<a>']] ]>'</a>$"},
    {"<a b=\"a&#9;b\" c=\"a\tb\" d=\"x&lt;y\" e=\"a\r\nb\" f=\"&#10;\"/>",
     "<a b=a\tb c=a b d=x<y e=a b f=\n/></a>$"},
    {"<a b='a\n\rb' c='a\r\rb' d='&#x20AC;&#13;' e=' keep  spaces '>&amp;&#13;\r\r\n</a>",
     "<a b=a  b c=a  b d=\xE2\x82\xAC\r e= keep  spaces >'&\r\n\n'</a>$"},
    {"<a><![CDATA[&amp;\r\n]]><![CDATA[\r]]></a>", "<a>'&amp;\n''\n'</a>$"},
    {"<a><b><c/></b>x<d></d></a>", "<a><b><c/></c></b>'x'<d></d></a>$"},
    {"<x:a xmlns:x=\"u\"/>", "<{3}a/></{3}a>$"},
    {"<a xmlns=\"u\"><b c=\"1\"/></a>", "<{3}a><{3}b c=1/></{3}b></{3}a>$"},
    {"<a xmlns:p='u' p:c='1'/>", "<a {3}c=1/></a>$"},
    {"<a xml:space=\"preserve\"/>", "<a {1}space=preserve/></a>$"},
    {"<a xmlns:xml='http://www.w3.org/XML/1998/namespace' xml:lang='en'/>", "<a {1}lang=en/></a>$"},
    {"<w xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><c/></w>",
     "<{2}w><{2}c/></{2}c></{2}w>$"},
    {"<a xmlns=\"u\"><b xmlns=\"\"><c/></b><d/></a>",
     "<{3}a><b><c/></c></b><{3}d/></{3}d></{3}a>$"},
    {"<a xmlns:p=\"u\"><p:b xmlns:p=\"v\"/><p:c/><q:d xmlns:q='v'/></a>",
     "<a><{4}b/></{4}b><{3}c/></{3}c><{4}d/></{4}d></a>$"},
    {"<a xmlns:p=\"u\" p:c=\"1\" c=\"2\"/>", "<a {3}c=1 c=2/></a>$"},
    {"<a a-b.c_d:e='1' xmlns:a-b.c_d='u'/>", "<a {3}e=1/></a>$"},
    {"<a/>\n \t\r\n", "<a/></a>$"},
};

TEST_P(ReaderChunks, Events) {
    for (const EventCase& c : kEventCases)
        EXPECT_EQ(trace(c.doc, GetParam()), c.expected) << "document: " << c.doc;
}

struct ErrorCase {
    std::string_view doc;  // may hold NUL bytes
    const char* error;
};

const ErrorCase kErrorCases[] = {
    // start of document and declaration
    {"\xFF\xFE<\0a\0/\0>\0"sv, "U:utf-16"},
    {"\xFE\xFF\0<\0a"sv, "U:utf-16"},
    {"\0<a/>"sv, "U:utf-16"},
    {"<\0a\0/\0>\0"sv, "U:utf-16"},
    {"<?xml version='1.0'", "M:unclosed decl"},
    {"<?xml ?><a/>", "M:bad decl"},
    {"<?xml?><a/>", "M:bad decl"},
    {"<?xml encoding='utf-8' version='1.0'?><a/>", "M:bad decl"},
    {"<?xml version='1.0'standalone='yes'?><a/>", "M:bad decl"},
    {"<?xml version=1.0?><a/>", "M:bad decl"},
    {"<?xml version='1.0?><a/>", "M:bad decl"},
    {"<?xml version ?><a/>", "M:bad decl"},
    {"<?xml version='1.0' version='1.0'?><a/>", "M:bad decl"},
    {"<?xml version='1.0' standalone='yes' encoding='utf-8'?><a/>", "M:bad decl"},
    {"<?xml version='1.0' foo='x'?><a/>", "M:bad decl"},
    {"<?xml version='1.0' 1?><a/>", "M:bad decl"},
    {"<?xml version='1.1'?><a/>", "U:xml version"},
    {"<?xml version='1.0' encoding='latin-1'?><a/>", "U:encoding"},
    {"<?xml version='1.0' encoding=''?><a/>", "U:encoding"},
    {"<?xml version='1.0' standalone='maybe'?><a/>", "M:bad standalone"},
    // document structure
    {"", "M:no element found"},
    {"<?xml version='1.0'?>\n  ", "M:no element found"},
    {"<a>", "M:unclosed element"},
    {"<a><b></b>", "M:unclosed element"},
    {"x<a/>", "M:junk outside root"},
    {"<a/>x", "M:junk outside root"},
    {"<a/><b/>", "M:junk after document element"},
    {"<a>a]]>b</a>", "M:]]> in text"},
    {"<a/><", "M:unclosed token"},
    {"<a><", "M:unclosed token"},
    // comments, CDATA, markup declarations, processing instructions
    {"<a><!-- x", "M:unclosed comment"},
    {"<a><!-- a ---></a>", "M:-- in comment"},
    {"<a><!-- a -- b --></a>", "M:-- in comment"},
    {"<a><!-- \x01 --></a>", "M:invalid character"},
    {"<a><!-- \xEF\xBF\xBF --></a>", "M:invalid character"},
    {"<![CDATA[x]]><a/>", "M:cdata outside root"},
    {"<a/><![CDATA[x]]>", "M:cdata outside root"},
    {"<a><![CDATA[x", "M:unclosed cdata"},
    {"<a><![CDATA[\x02]]></a>", "M:invalid character"},
    {"<!DOCTYPE a><a/>", "U:doctype"},
    {"<!ELEMENT a><a/>", "M:bad markup declaration"},
    {"<a><!x", "M:bad markup declaration"},
    {"<a><![CDAT", "M:bad markup declaration"},
    {"<a><?pi x", "M:unclosed pi"},
    {"<a><?" "?></a>", "M:bad pi"},
    {"<a><?1x?></a>", "M:bad pi"},
    {"<a><?pix+?></a>", "M:bad pi"},
    {"<a><?\xC3\xA9?></a>", "M:bad pi"},
    {" <?xml version='1.0'?><a/>", "M:misplaced xml declaration"},
    {"<!--c--><?xml version='1.0'?><a/>", "M:misplaced xml declaration"},
    {"<a><?XmL x?></a>", "M:misplaced xml declaration"},
    {"<a><?a:b x?></a>", "M:colon in pi target"},
    {"<a><?pi \x01?></a>", "M:invalid character"},
    // start tags
    {"<a", "M:unclosed tag"},
    {"<a b='>", "M:unclosed tag"},
    {"<>", "M:expected name"},
    {"</>", "M:expected name"},
    {"<1a/>", "M:bad name"},
    {"< a/>", "M:bad name"},
    {"<a =\"1\"/>", "M:bad name"},
    {"<\xC3\xA9/>", "U:non-ascii name"},
    {"<a\xC3\xA9/>", "U:non-ascii name"},
    {"<a b\xC3\xA9='1'/>", "U:non-ascii name"},
    {"<a b=\"1\"c=\"2\"/>", "M:missing whitespace between attributes"},
    {"<a b/>", "M:expected ="},
    {"<a b c='1'/>", "M:expected ="},
    {"<a b=1/>", "M:expected quote"},
    {"<a b='<'/>", "M:< in attribute"},
    {"<a b='\x01'/>", "M:invalid character"},
    {"<a b='\xC3'/>", "M:invalid utf-8"},
    {"<a b='&x;'/>", "M:undefined entity"},
    {"<a b='&amp'/>", "M:bad reference"},
    {"<a b='1' b='2'/>", "M:duplicate attribute"},
    {"<a xmlns:p='u' xmlns:q='u' p:c='1' q:c='2'/>", "M:duplicate attribute"},
    {"<a xmlns='u' xmlns='v'/>", "M:duplicate attribute"},
    // end tags
    {"<a></a", "M:unclosed end tag"},
    {"<a></a x>", "M:bad end tag"},
    {"<a></b>", "M:mismatched tag"},
    {"<a><b></a></b>", "M:mismatched tag"},
    {"<a/></a>", "M:mismatched tag"},
    {"<a></1>", "M:bad name"},
    // names and namespaces
    {"<a:b:c/>", "U:bad qname"},
    {"<:a/>", "U:bad qname"},
    {"<a: xmlns:a='u'/>", "U:bad qname"},
    {"<a:1b xmlns:a='u'/>", "M:bad qname"},
    {"<a:-b xmlns:a='u'/>", "M:bad qname"},
    {"<a::b/>", "U:bad qname"},
    {"<a xmlns:='u'/>", "U:bad qname"},
    {"<p:a/>", "M:unbound prefix"},
    {"<a p:b='1'/>", "M:unbound prefix"},
    {"<a><p:b xmlns:p='u'/><p:c/></a>", "M:unbound prefix"},
    {"<a xmlns:xmlns='u'/>", "M:xmlns prefix"},
    {"<a xmlns:xml='u'/>", "M:xml prefix"},
    {"<a xmlns:p='http://www.w3.org/XML/1998/namespace'/>", "M:reserved namespace"},
    {"<a xmlns='http://www.w3.org/2000/xmlns/'/>", "M:reserved namespace"},
    {"<a xmlns:p='http://www.w3.org/2000/xmlns/'/>", "M:reserved namespace"},
    {"<a xmlns:p=''/>", "M:empty prefixed namespace"},
    // characters and references in text (the reference names themselves: ResolveRef)
    {"<a>\x01</a>", "M:invalid character"},
    {"<a>\xEF\xBF\xBE</a>", "M:invalid character"},
    {"<a>\xED\xA0\x80</a>", "M:invalid utf-8"},
    {"<a>\xC0\xAF</a>", "M:invalid utf-8"},
    {"<a>\xF4\x90\x80\x80</a>", "M:invalid utf-8"},
    {"<a>&</a>", "M:bad reference"},
    {"<a>&nbsp;</a>", "M:undefined entity"},
    {"<a>&#1a;</a>", "M:bad char ref"},
    {"<a>&#0;</a>", "M:invalid char ref"},
};

TEST_P(ReaderChunks, Errors) {
    for (const ErrorCase& c : kErrorCases)
        EXPECT_EQ(run(std::string(c.doc), GetParam()).error, c.error) << "document: " << c.doc;
}

TEST_P(ReaderChunks, EmptyElementDepthAndTagOffsets) {
    Reader r = memory_reader("<r>  <a x='1'/></r>", GetParam());
    ASSERT_EQ(r.next(), XmlEvent::Start);
    EXPECT_EQ(r.depth(), 1u);
    ASSERT_EQ(r.next(), XmlEvent::Text);
    ASSERT_EQ(r.next(), XmlEvent::Empty);
    EXPECT_EQ(r.depth(), 2u);
    EXPECT_EQ(r.tag_end() - r.tag_start(), 10u);
    std::size_t start = r.tag_start(), end = r.tag_end();
    ASSERT_EQ(r.next(), XmlEvent::End);
    EXPECT_EQ(r.depth(), 1u);
    EXPECT_EQ(r.local_name(), "a");
    EXPECT_EQ(r.tag_start(), start);
    EXPECT_EQ(r.tag_end(), end);
    ASSERT_EQ(r.next(), XmlEvent::End);
    EXPECT_EQ(r.depth(), 0u);
    EXPECT_EQ(r.tag_end() - r.tag_start(), 4u);
    EXPECT_EQ(r.next(), XmlEvent::Eof);
    EXPECT_EQ(r.next(), XmlEvent::Eof);
}

// A document far larger than the window, so the window compacts while events are read.
std::string big_document(std::size_t rows) {
    std::string doc = "<?xml version=\"1.0\"?>\n<worksheet xmlns=\"" + kMain +
                      "\"><sheetData>";
    for (std::size_t i = 1; i <= rows; ++i) {
        std::string r = std::to_string(i);
        doc += "<row r=\"" + r + "\"><c r=\"A" + r + "\" t=\"s\"><v>" + r + "</v></c><c r=\"B" +
               r + "\"><f>SUM(A1:A" + r + ")&amp;\"x\"</f><v>1.5</v></c></row>\n";
    }
    return doc + "</sheetData></worksheet>";
}

TEST(ReaderLarge, SameEventsWhateverTheChunkSize) {
    const std::string doc = big_document(4000);
    ASSERT_GT(doc.size(), 3 * 65536u);
    const std::string whole = trace(doc, 65536);
    EXPECT_EQ(whole.substr(whole.size() - 1), "$");
    for (std::size_t chunk : {1u, 7u, 4096u, 1u << 20})
        EXPECT_EQ(trace(doc, chunk), whole) << "chunk " << chunk;
}

TEST_P(ReaderChunks, CaptureSurvivesCompaction) {
    std::string inner(300000, 'x');
    const std::string element = "<keep a='1'>" + inner + "<i/></keep>";
    const std::string doc = "<r>" + std::string(200000, ' ') + element + "<after/></r>";
    Reader r = memory_reader(doc, GetParam());
    XmlEvent ev;
    while ((ev = r.next()) != XmlEvent::Start || r.local_name() != "keep") ASSERT_NE(ev, XmlEvent::Eof);
    r.begin_capture();
    std::size_t depth = r.depth();
    while (!(r.next() == XmlEvent::End && r.depth() < depth)) {
    }
    EXPECT_EQ(r.end_capture(), element);
    ASSERT_EQ(r.next(), XmlEvent::Empty);
    EXPECT_EQ(r.local_name(), "after");
    EXPECT_THROW(r.end_capture(), InternalError);
}

std::string many_attributes(std::size_t n, const char* prefix) {
    std::string tag = "<a xmlns:p='u'";
    for (std::size_t i = 0; i < n; ++i) {
        tag += ' ';
        tag += prefix;
        tag += 'k';
        tag += std::to_string(i);
        tag += "='1'";
    }
    return tag;
}

TEST_P(ReaderChunks, DuplicatesAmongManyAttributes) {
    for (const char* prefix : {"", "p:"}) {
        std::string tag = many_attributes(5000, prefix);
        EXPECT_EQ(run(tag + "/>", GetParam()).error, "") << prefix;
        tag += ' ';
        tag += prefix;
        tag += "k4321='2'/>";
        EXPECT_EQ(run(tag, GetParam()).error, "M:duplicate attribute") << prefix;
    }
    // The same local name and namespace under two prefixes, after many attributes.
    std::string tag = many_attributes(40, "p:") + " xmlns:q='u' q:k7='2'/>";
    EXPECT_EQ(run(tag, GetParam()).error, "M:duplicate attribute");
}

TEST(ReaderSource, EofIsLatchedWithoutReadingAgain) {
    auto src = std::make_unique<MemorySource>("<a/>", 65536);
    MemorySource* raw = src.get();
    Reader r(std::move(src));
    while (r.next() != XmlEvent::Eof) {
    }
    std::size_t reads = raw->reads();
    EXPECT_EQ(r.next(), XmlEvent::Eof);
    EXPECT_EQ(raw->reads(), reads);
}

}  // namespace
}  // namespace tovrel

namespace tovrel {
namespace {

// A row start tag read by row_start_tag is read as next() reads it: the same event, element,
// attributes and offsets, and the same events after it. A tag it does not take is left whole
// for next().
TEST_P(ReaderChunks, RowStartTagReadsAsNext) {
    using testing::memory_reader;
    using testing::render;
    const char* tags[] = {
        "<row r=\"7\">", "<row r=\"7\" spans=\"1:10\">", "<row r=\"0012\">", "<row r=\"\">",
        "<row r=\"123456789012345678\">", "<row r=\"1234567890123456789\">",
        "<row r=\"7\" spans=\"1:10\" ht=\"2\">", "<row r=\"7\"/>", "<row  r=\"7\">",
        "<row r=\"7\" spans=\"a\">", "<row r=\"7\" spans=\"1:10\" >", "<rows r=\"7\">",
        "<row r='7'>", "<row r=\"7\" spans=\"1:10\"/>", "<row r=\"7\"spans=\"1\">",
        "<row r=\"7\" spansx=\"1\">", "<row r=\"-7\">", "<row ht=\"7\">",
    };
    for (const char* tag : tags) {
        const std::string doc = std::string("<w xmlns=\"urn:m\">") + tag + "<c/></row></w>";
        Reader fast = memory_reader(doc, GetParam()), plain = memory_reader(doc, GetParam());
        ASSERT_EQ(fast.next(), XmlEvent::Start);
        ASSERT_EQ(plain.next(), XmlEvent::Start);
        // The events to the end, and the error that ends them (a tag ending a row with "/>"
        // or another name makes the document's </row> a mismatch).
        auto rest = [](Reader& r, std::string& out) {
            try {
                for (XmlEvent ev = r.next();; ev = r.next()) {
                    out += render(r, ev);
                    if (ev == XmlEvent::Eof) return;
                }
            } catch (const XmlError& e) {
                out += std::string(" !") + e.what();
            }
        };
        std::string a, b;
        std::size_t digits = 0;
        if (fast.row_start_tag(digits)) {
            const XmlEvent ev = plain.next();
            ASSERT_EQ(ev, XmlEvent::Start) << tag;
            EXPECT_EQ(digits, std::string_view(doc).find("r=\"") + 3) << tag;
            EXPECT_EQ(fast.last_event(), XmlEvent::Start) << tag;
            EXPECT_EQ(fast.depth(), plain.depth()) << tag;
            EXPECT_EQ(fast.tag_start(), plain.tag_start()) << tag;
            EXPECT_EQ(fast.tag_end(), plain.tag_end()) << tag;
            EXPECT_EQ(fast.offset(), plain.offset()) << tag;
            ASSERT_EQ(fast.attrs().size(), plain.attrs().size()) << tag;
            for (std::size_t i = 0; i < fast.attrs().size(); ++i) {
                EXPECT_EQ(fast.attr_qname(fast.attrs()[i]), plain.attr_qname(plain.attrs()[i]));
                EXPECT_EQ(fast.attrs()[i].needs_decoding, plain.attrs()[i].needs_decoding);
            }
            a = render(fast, XmlEvent::Start);
            b = render(plain, ev);
        }
        rest(fast, a);
        rest(plain, b);
        EXPECT_EQ(a, b) << tag;
    }
}

}  // namespace
}  // namespace tovrel
