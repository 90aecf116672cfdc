// Randomised mutation of worksheet-like documents: the reader must end every mutant with Eof or an
// XmlError, never crash or loop, and give the same outcome whatever the source's chunk size.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "sheet/dimension.h"
#include "utils/error.h"
#include "xml/fast_attrs.h"
#include "xml_trace.h"

namespace tovrel {
namespace {

const char* const kSeeds[] = {
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
    "<dimension ref=\"A1:C3\"/><sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>"
    "<sheetData><row r=\"1\" spans=\"1:3\"><c r=\"A1\" t=\"s\"><v>0</v></c>"
    "<c r=\"B1\" s=\"2\"><f t=\"shared\" ref=\"B1:B3\" si=\"0\">A1*2</f><v>4</v></c>"
    "<c r=\"C1\" t=\"inlineStr\"><is><t xml:space=\"preserve\"> a&amp;b&#x20AC; </t></is></c></row>"
    "</sheetData><!-- done --><?pi x?></worksheet>\n",
    "<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<x:sheetData><x:row r=\"2\"><x:c r=\"A2\"><x:v>1.5</x:v></x:c>"
    "<x:c r=\"B2\" t=\"str\"><x:f>\"q\"&amp;A2</x:f><x:v><![CDATA[q1.5\r\n]]></x:v></x:c>"
    "</x:row></x:sheetData></x:worksheet>",
    "\xEF\xBB\xBF<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "count=\"2\"><si><t>caf\xC3\xA9</t></si><si><r><rPr><b/></rPr><t>x</t></r></si></sst>",
};

const char* const kTokens[] = {"<", ">", "/", "\"", "'", "&", ";", "=", " ", "\r\n", "]]>", "<!--",
                               "-->", "<![CDATA[", "<?", "?>", ":", "xmlns", "&#x", "\xC3", "\0"};

std::string mutate(std::string doc, std::mt19937_64& rng) {
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !doc.empty(); ++e) {
        std::size_t at = rng() % doc.size();
        switch (rng() % 5) {
            case 0:  // flip a byte
                doc[at] = static_cast<char>(rng());
                break;
            case 1:  // delete a run
                doc.erase(at, 1 + rng() % 8);
                break;
            case 2: {  // insert a token
                const char* tok = kTokens[rng() % std::size(kTokens)];
                std::string token = tok[0] ? std::string(tok) : std::string(1, '\0');
                doc = doc.substr(0, at) + token + doc.substr(at);
                break;
            }
            case 3: {  // duplicate a run elsewhere
                std::size_t len = 1 + rng() % 24;
                std::string run = doc.substr(at, len);
                std::size_t to = rng() % doc.size();
                doc = doc.substr(0, to) + run + doc.substr(to);
                break;
            }
            default:  // truncate
                doc.resize(at);
                break;
        }
    }
    return doc;
}

// Reads every event, decoding attributes and text and trying the fast path on every start tag,
// as callers do.
std::string exercise(const std::string& doc, std::size_t chunk) {
    Reader r = testing::memory_reader(doc, chunk);
    std::string out, scratch;
    try {
        for (int steps = 0; steps < 1000000; ++steps) {
            XmlEvent ev = r.next();
            out += testing::render(r, ev);
            if (ev == XmlEvent::Start || ev == XmlEvent::Empty) {
                Input& in = r.input();
                AttrSlots slots{};
                std::size_t after_name = r.tag_start() + 1 + r.local_name().size();
                TagScan res = fast_attrs(in.data(), in.filled(), after_name, slots, select_cell);
                if (res.status != TagStatus::Refused) {
                    EXPECT_EQ(res.end, r.tag_end());
                }
                for (const Attr& a : r.attrs()) out += r.attr_value(a, scratch);
            }
            if (ev == XmlEvent::Eof) return out;
        }
        return out + "!loop";
    } catch (const XmlError& e) {
        return out + "!" + e.what();
    }
}

TEST(ReaderFuzz, MutatedDocumentsEndCleanlyAndAgreeAcrossChunkSizes) {
    std::mt19937_64 rng(0x7a6f76726c);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int mutants = 0, errors = 0;
    while (std::chrono::steady_clock::now() < deadline && mutants < 200000) {
        std::string doc = mutate(kSeeds[rng() % std::size(kSeeds)], rng);
        std::string whole = exercise(doc, 65536);
        EXPECT_EQ(whole.find("!loop"), std::string::npos);
        if (mutants % 8 == 0) {
            EXPECT_EQ(exercise(doc, 1 + rng() % 5), whole) << doc;
        }
        errors += whole.find('!') != std::string::npos;
        ++mutants;
        Reader r = testing::memory_reader(doc, 65536);
        try {
            find_dimension(r);
        } catch (const XmlError&) {
        }
    }
    RecordProperty("mutants", mutants);
    RecordProperty("errors", errors);
    EXPECT_GT(mutants, 100);
    EXPECT_GT(errors, 0);
    EXPECT_LT(errors, mutants);  // some mutants stay well-formed
}

}  // namespace
}  // namespace tovrel
