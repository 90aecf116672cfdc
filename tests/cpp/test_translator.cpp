// Formula translator: compiling once, rendering for any destination, and the only render failure.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "formula/tokenizer.h"
#include "formula/translator.h"
#include "xml/byte_buffer.h"

namespace tovrel {
namespace {

constexpr const char* kFail = "<out of range>";

std::string render(const Translator& t, std::optional<CellRef> dest) {
    try {
        return t.translate(dest);
    } catch (const FormulaError& e) {
        EXPECT_EQ(e.kind(), FormulaError::Kind::Translator);
        EXPECT_EQ(e.message(), "Formula out of range");
        return kFail;
    }
}

struct MoveCase {
    const char* formula;
    std::int64_t orow, ocol;
    std::optional<CellRef> dest;
    const char* want;  // kFail for "Formula out of range"
};

const MoveCase kMoveCases[] = {
    {"=A1+B$2", 1, 1, CellRef{3, 3}, "=C3+D$2"},
    {"=$A$1", 1, 1, CellRef{3, 3}, "=$A$1"},
    {"=$A$1", 5, 5, CellRef{1, 1}, "=$A$1"},
    {"=$A1+A$1", 1, 1, CellRef{4, 2}, "=$A4+B$1"},
    {"=SUM(A:B)", 1, 1, CellRef{1, 2}, "=SUM(B:C)"},
    {"=SUM(1:2)", 1, 1, CellRef{2, 1}, "=SUM(2:3)"},
    {"=SUM($A:B)", 1, 1, CellRef{1, 2}, "=SUM($A:C)"},
    {"=SUM($3:5)", 1, 1, CellRef{2, 2}, "=SUM($3:6)"},
    {"=SUM(a:$c)", 1, 1, CellRef{1, 2}, "=SUM(B:$c)"},
    {"='My Sheet'!A1:B2", 1, 1, CellRef{3, 3}, "='My Sheet'!C3:D4"},
    {"=Sheet1!A1", 1, 1, CellRef{3, 3}, "=Sheet1!C3"},
    {"='a!b'!A1", 1, 1, CellRef{2, 1}, "='a!b'!A2"},
    {"=[1]Data!B2:C3", 2, 2, CellRef{3, 3}, "=[1]Data!C3:D4"},
    {"=MyName", 1, 1, CellRef{9, 9}, "=MyName"},
    {"=Sheet1!MyName", 1, 1, std::nullopt, "=Sheet1!MyName"},
    {"=Sheet1!MyName", 1, 1, CellRef{2, 2}, "=Sheet1!MyName"},
    {"='My Sheet'!A0+[1]Data!Tax.Rate", 1, 1, CellRef{2, 2}, "='My Sheet'!A0+[1]Data!Tax.Rate"},
    {"=Sheet1!A1:Sheet1!B2", 1, 1, CellRef{2, 1}, "=Sheet1!A1:Sheet1!B3"},
    {"=Sheet1!A1:B2", 1, 1, CellRef{2, 1}, "=Sheet1!A2:B3"},
    {"=Sheet1!#REF!", 1, 1, CellRef{2, 2}, "=Sheet1!#REF!"},
    {"=Sheet1!", 1, 1, CellRef{2, 2}, "=Sheet1!"},
    {"='My Sheet'!+1", 1, 1, CellRef{2, 2}, "='My Sheet'!+1"},
    {"=a1", 1, 1, std::nullopt, "=A1"},
    {"=a1", 7, 7, CellRef{7, 7}, "=A1"},
    {"=$a1", 1, 1, std::nullopt, "=$a1"},
    {"=xfd$3", 1, 1, std::nullopt, "=XFD$3"},
    {"=A1", 2, 2, CellRef{1, 2}, kFail},
    {"=A1", 2, 2, CellRef{2, 1}, kFail},
    {"=XFD1", 1, 1, CellRef{1, 2}, "=XFE1"},
    {"=ZZZ1", 1, 1, CellRef{1, 2}, kFail},
    {"=ZZZ1", 1, 2, CellRef{1, 1}, "=ZZY1"},
    {"=A1048576", 1, 1, CellRef{2, 1}, "=A1048577"},
    {"=A9999999", 1, 1, CellRef{3, 1}, "=A10000001"},
    {"=AAAA1", 1, 1, CellRef{5, 5}, "=AAAA1"},
    {"=A0", 1, 1, CellRef{5, 5}, "=A0"},
    {"=A12345678", 1, 1, CellRef{5, 5}, "=A12345678"},
    {"=A01", 1, 1, CellRef{5, 5}, "=A01"},
    {"=$$A1", 1, 1, CellRef{5, 5}, "=$$A1"},
    {"=1:2:3", 1, 1, CellRef{5, 5}, "=1:2:3"},
    {"=A1::B2", 1, 1, CellRef{2, 2}, "=B2::C3"},
    {"=A1:B2:c3", 1, 1, CellRef{2, 2}, "=B2:C3:D4"},
    {"=Name:C2", 1, 1, CellRef{2, 2}, "=Name:D3"},
    {"=A1:", 1, 1, CellRef{2, 2}, "=B2:"},
    {"=\"A1\"&A1", 1, 1, CellRef{2, 2}, "=\"A1\"&B2"},
    {"=A1(B1)", 1, 1, CellRef{2, 2}, "=A1(C2)"},
    {"=1E+5+E5", 1, 1, CellRef{2, 2}, "=1E+5+F6"},
    {"=TRUE+#REF!+#N/A", 1, 1, CellRef{2, 2}, "=TRUE+#REF!+#N/A"},
    {"={1,2;3,4}", 1, 1, CellRef{2, 2}, "={1,2;3,4}"},
    {"=SUM(A1 , B1)", 1, 1, CellRef{2, 2}, "=SUM(B2 , C2)"},
    {"=1  +  2", 1, 1, std::nullopt, "=1 + 2"},
    {"=1  +\n 2", 1, 1, std::nullopt, "=1 +\n2"},
    {"=1\n\n+ 2", 1, 1, std::nullopt, "=\n1+ 2"},
    {"=A1 \tB1", 1, 1, std::nullopt, "=A1 \tB1"},
    {"=Table1[[#This Row],[Col]]", 1, 1, CellRef{3, 3}, "=Table1[[#This Row],[Col]]"},
    {"abc", 1, 1, CellRef{3, 3}, "abc"},
    {"A1+1", 1, 1, CellRef{3, 3}, "A1+1"},
    {"", 1, 1, CellRef{3, 3}, ""},
    {"=", 1, 1, CellRef{3, 3}, ""},
    // Render failure boundaries: row 0, column 0, column 18279.
    {"=A1", 1, 1, CellRef{0, 1}, kFail},
    {"=A2", 2, 1, CellRef{1, 1}, "=A1"},
    {"=A2", 2, 1, CellRef{0, 1}, kFail},
    {"=A1", 1, 1, CellRef{1, 0}, kFail},
    {"=B1", 1, 1, CellRef{1, 0}, "=A1"},
    {"=A1", 1, 1, CellRef{1, 18278}, "=ZZZ1"},
    {"=A1", 1, 1, CellRef{1, 18279}, kFail},
    {"=A:A", 1, 1, CellRef{1, 18279}, kFail},
    {"=1:1", 1, 1, CellRef{0, 1}, kFail},
    {"=$A1", 1, 1, CellRef{1, 18279}, "=$A1"},
    {"=A$1", 1, 1, CellRef{0, 1}, "=A$1"},
    {"=$A$1:$B$2", 1, 1, CellRef{-5, -5}, "=$A$1:$B$2"},
    {"=MyName", 1, 1, CellRef{-5, 99999}, "=MyName"},
    // The first failing part ends the render, whatever follows.
    {"=B2+A1", 2, 2, CellRef{1, 1}, kFail},
    // No upper bound on rows, but a distance that cannot be computed does not wrap around.
    {"=A1", 1, 1, CellRef{INT64_MAX, 1}, "=A9223372036854775807"},
    {"=A2", 1, 1, CellRef{INT64_MAX, 1}, kFail},
    {"=A1", -5, 1, CellRef{INT64_MAX, 1}, kFail},
    {"=A1", 1, -5, CellRef{1, INT64_MAX}, kFail},
    {"=$A1", 1, -5, CellRef{1, INT64_MAX}, "=$A1"},
    {"=A$1", -5, 1, CellRef{INT64_MAX, 1}, "=A$1"},
    {"=A1", 1, 1, CellRef{INT64_MIN, 1}, kFail},
    // Every row part must stay representable, not only the smallest.
    {"=A1+A9999999", 1, 1, CellRef{INT64_MAX - 10, 1}, kFail},
    {"=A9999999+A1", 1, 1, CellRef{INT64_MAX - 10, 1}, kFail},
    {"=A1+$A$9999999", 1, 1, CellRef{INT64_MAX - 10, 1}, "=A9223372036854775797+$A$9999999"},
    {"=A1+A9999999", 1, 1, CellRef{INT64_MAX - 9999998, 1},
     "=A9223372036844775809+A9223372036854775807"},
    {"=A1+A9999999", 1, 1, CellRef{INT64_MAX - 9999997, 1}, kFail},
    // Rows around the 32-bit boundary, each written out and the repeat copied.
    {"=A1*2+B1", 1, 1, CellRef{3999999999, 1}, "=A3999999999*2+B3999999999"},
    {"=A1*2+B1", 1, 1, CellRef{4294967296, 1}, "=A4294967296*2+B4294967296"},
    {"=A1:B2+C1", 1, 1, CellRef{4294967295, 1}, "=A4294967295:B4294967296+C4294967295"},
};

TEST(Translator, RendersForDestinations) {
    for (const MoveCase& c : kMoveCases) {
        Translator t(c.formula, c.orow, c.ocol);
        const std::string got = render(t, c.dest);
        EXPECT_EQ(got, c.want) << c.formula << " from (" << c.orow << "," << c.ocol << ")";
        EXPECT_EQ(t.fits(c.dest), got != kFail) << c.formula;
        std::string buf = "prefix|";
        const bool ok = t.translate_into(c.dest, buf);
        EXPECT_EQ(ok, got != kFail) << c.formula;
        if (ok) {
            EXPECT_EQ(buf.substr(0, 7), "prefix|") << c.formula;
            EXPECT_EQ(buf.substr(7), got) << c.formula;
        }
        std::string raw(t.max_rendered_size(), '#');
        const char* end = t.render_raw(c.dest, raw.data());
        EXPECT_EQ(end != nullptr, got != kFail) << c.formula;
        if (end) {
            EXPECT_EQ(std::string(raw.c_str(), end), got) << c.formula;
        }
    }
}

TEST(Translator, KeepsTheTokenListAndOrigin) {
    Translator t("=SUM(A1, 'S'!B2)", 4, 7);
    EXPECT_EQ(t.tokens(), tokenize("=SUM(A1, 'S'!B2)"));
    EXPECT_EQ(t.origin_row(), 4);
    EXPECT_EQ(t.origin_col(), 7);
}

TEST(Translator, TokenizerFailuresSurfaceFromConstruction) {
    struct Case {
        const char* formula;
        FormulaError::Kind kind;
    };
    const Case cases[] = {
        {"=A1)", FormulaError::Kind::PopEmpty},
        {"=(A1}", FormulaError::Kind::Tokenizer},
        {"=#FOO", FormulaError::Kind::Tokenizer},
        {"=\xC3\xA9" "1", FormulaError::Kind::NeedPython},
    };
    for (const Case& c : cases) {
        try {
            Translator t(c.formula, 1, 1);
            ADD_FAILURE() << c.formula << " compiled";
        } catch (const FormulaError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.formula;
        }
    }
}

TEST(Translator, RendersIntoAByteBuffer) {
    Translator t("=SUM(A1:B2)", 1, 1);
    ByteBuffer buf;
    for (std::int64_t row = 1; row <= 3; ++row) ASSERT_TRUE(t.translate_into(CellRef{row, 2}, buf));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf.data()), buf.size()),
              "=SUM(B1:C2)=SUM(B2:C3)=SUM(B3:C4)");
}

// Random formulas built together with their rendering at every offset.
//
// Rendering at the origin (or with no destination) gives the normalised formula: relative column
// letters in uppercase and every run of spaces and line feeds reduced to its first character;
// absolute parts, sheet prefixes, names, function names, strings, numbers and every other text
// stay exactly as written.
class FormulaGen {
public:
    explicit FormulaGen(std::uint64_t seed) : rng_(seed) {}

    void build() {
        src_.clear();
        pieces_.clear();
        last_ws_ = false;
        text("=", "=");
        lf_ok_ = true;
        if (chance(4)) ws();
        expr(0);
        if (chance(6)) ws();
    }

    const std::string& source() const { return src_; }

    // The expected rendering with the given distance, or nothing when some part leaves its range.
    std::optional<std::string> expected(std::int64_t drow, std::int64_t dcol) const {
        std::string out;
        for (const Piece& p : pieces_) {
            if (p.kind == Piece::Text) {
                out += p.text;
            } else if (p.kind == Piece::Row) {
                if (p.value + drow < 1) return std::nullopt;
                out += std::to_string(p.value + drow);
            } else {
                const std::int64_t c = p.value + dcol;
                if (c < 1 || c > 18278) return std::nullopt;
                out += letters(c);
            }
        }
        return out;
    }

    std::mt19937_64& rng() { return rng_; }

private:
    struct Piece {
        enum Kind { Text, Row, Col } kind;
        std::string text;
        std::int64_t value;
    };

    static std::string letters(std::int64_t n) {
        std::string s;
        while (n > 0) {
            --n;
            s.push_back(static_cast<char>('A' + n % 26));
            n /= 26;
        }
        return std::string(s.rbegin(), s.rend());
    }

    std::int64_t pick(std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_);
    }
    bool chance(int one_in) { return pick(1, one_in) == 1; }
    template <class T, std::size_t N>
    const T& choose(const T (&items)[N]) {
        return items[pick(0, N - 1)];
    }

    void text(const std::string& src, const std::string& norm) {
        src_ += src;
        if (!norm.empty()) pieces_.push_back(Piece{Piece::Text, norm, 0});
        last_ws_ = false;
        lf_ok_ = false;
    }
    // Operators, openers and separators: a line feed may follow them without joining operands.
    void punct(const std::string& s) {
        text(s, s);
        lf_ok_ = true;
    }

    void ws() {
        if (last_ws_) return;
        std::string run;
        const std::int64_t n = pick(1, 3);
        for (std::int64_t i = 0; i < n; ++i) run += chance(2) ? ' ' : '\n';
        if (!lf_ok_) run[0] = ' ';
        const bool lf_ok = lf_ok_;
        text(run, run.substr(0, 1));
        last_ws_ = true;
        lf_ok_ = lf_ok;
    }

    std::int64_t small_or_any(std::int64_t hi) { return chance(2) ? pick(1, 12) : pick(1, hi); }

    void col_part() {
        const std::int64_t col = small_or_any(18278);
        std::string s = letters(col);
        for (char& ch : s)
            if (chance(3)) ch = static_cast<char>(ch - 'A' + 'a');
        if (chance(4)) {
            s.insert(0, 1, '$');
            text(s, s);
        } else {
            src_ += s;
            pieces_.push_back(Piece{Piece::Col, {}, col});
        }
    }

    void row_part() {
        const std::int64_t row = small_or_any(999999);
        if (chance(4)) {
            std::string abs(1, '$');
            abs += std::to_string(row);
            text(abs, abs);
        } else {
            src_ += std::to_string(row);
            pieces_.push_back(Piece{Piece::Row, {}, row});
        }
    }

    void range_operand() {
        static const char* const kPrefixes[] = {"Sheet1!", "'My Sheet'!", "'a!b'!", "[1]Data!",
                                                "'It''s'!"};
        static const char* const kNames[] = {"MyName", "rate_x", "Tax.Rate", "A0", "AAAA1",
                                             "A12345678", "abc", "#REF!"};
        const std::string pre = chance(3) ? choose(kPrefixes) : "";
        switch (pick(0, 6)) {
            case 0: case 1:  // cell
                text(pre, pre);
                col_part();
                row_part();
                break;
            case 2:  // area, prefix on the first corner only
                text(pre, pre);
                col_part();
                row_part();
                text(":", ":");
                col_part();
                row_part();
                if (chance(4)) {
                    text(":", ":");
                    col_part();
                    row_part();
                }
                break;
            case 3: {  // area with a prefix on both corners: the first corner is prefix text
                const std::string first = std::string("Sheet1!") + (chance(2) ? "a1" : "$B$2");
                const std::string second = pre.empty() ? "Sheet1!" : pre;
                text(first + ":" + second, first + ":" + second);
                col_part();
                row_part();
                break;
            }
            case 4:  // column range
                text(pre, pre);
                col_part();
                text(":", ":");
                col_part();
                break;
            case 5:  // row range
                text(pre, pre);
                row_part();
                text(":", ":");
                row_part();
                break;
            default: {  // a name or an error literal, prefix and all
                const std::string name = pre + choose(kNames);
                text(name, name);
                break;
            }
        }
    }

    void other_operand() {
        static const char* const kOthers[] = {
            "1", "2.5", "1E+5", "3e-2", ".5", "100", "\"a b\"", "\"A1\"", "\"say \"\"hi\"\"\"",
            "\"\xC3\xA9\"", "TRUE", "FALSE", "#N/A", "#REF!", "#DIV/0!"};
        const std::string s = choose(kOthers);
        text(s, s);
    }

    void term(int depth) {
        const std::int64_t what = depth >= 3 ? pick(0, 2) : pick(0, 7);
        if (what <= 1) {
            range_operand();
        } else if (what == 2) {
            other_operand();
        } else if (what == 3) {
            punct("-");
            if (chance(3)) ws();
            term(depth + 1);
            return;
        } else if (what == 4 || what == 5) {
            static const char* const kFuncs[] = {"SUM(", "If(", "max(", "_xlfn.CONCAT("};
            punct(choose(kFuncs));
            if (chance(3)) ws();
            if (!chance(5)) {
                const std::int64_t args = pick(1, 3);
                for (std::int64_t i = 0; i < args; ++i) {
                    if (i) {
                        if (chance(3)) ws();
                        punct(",");
                        if (chance(3)) ws();
                    }
                    expr(depth + 1);
                }
            }
            if (chance(4)) ws();
            text(")", ")");
        } else if (what == 6) {
            punct("(");
            expr(depth + 1);
            text(")", ")");
        } else {
            punct("{");
            const std::int64_t n = pick(1, 4);
            for (std::int64_t i = 0; i < n; ++i) {
                if (i) punct(chance(2) ? "," : ";");
                other_operand();
            }
            text("}", "}");
        }
        if (chance(8)) text("%", "%");
    }

    void expr(int depth) {
        static const char* const kOps[] = {"+", "-", "*", "/", "^", "&", "=", "<>", "<=", ">=",
                                           "<", ">", ","};
        term(depth);
        const std::int64_t more = pick(0, 3);
        for (std::int64_t i = 0; i < more; ++i) {
            if (chance(3)) ws();
            punct(choose(kOps));
            if (chance(3)) ws();
            term(depth + 1);
        }
    }

    std::mt19937_64 rng_;
    std::string src_;
    std::vector<Piece> pieces_;
    bool last_ws_ = false;
    bool lf_ok_ = false;
};

TEST(TranslatorProperty, OriginRenderIsTheNormalisedFormulaAndMovesMatch) {
    FormulaGen gen(0x5eed'f0f0'1234ULL);
    auto& rng = gen.rng();
    int moved = 0, refused = 0;
    for (int i = 0; i < 4000; ++i) {
        gen.build();
        const std::string& src = gen.source();
        const std::int64_t orow = std::uniform_int_distribution<std::int64_t>(1, 1000)(rng);
        const std::int64_t ocol = std::uniform_int_distribution<std::int64_t>(1, 300)(rng);
        std::optional<Translator> t;
        try {
            t.emplace(src, orow, ocol);
        } catch (const FormulaError& e) {
            ADD_FAILURE() << src << ": " << e.debug();
            continue;
        }
        const std::string normalised = *gen.expected(0, 0);
        ASSERT_EQ(t->translate(std::nullopt), normalised) << src;
        ASSERT_EQ(t->translate(CellRef{orow, ocol}), normalised) << src;

        for (int k = 0; k < 8; ++k) {
            // Now and then a longer move, for row numbers of every width a sheet allows.
            const std::int64_t drow = std::uniform_int_distribution<std::int64_t>(
                -orow - 3, k % 4 == 3 ? std::int64_t{1} << (rng() % 20) : 40)(rng);
            const std::int64_t dcol = k % 2 ? std::uniform_int_distribution<std::int64_t>(-ocol - 3, 40)(rng)
                                            : std::uniform_int_distribution<std::int64_t>(-20000, 20000)(rng);
            const CellRef dest{orow + drow, ocol + dcol};
            const std::optional<std::string> want = gen.expected(drow, dcol);
            ASSERT_EQ(t->fits(dest), want.has_value()) << src << " by " << drow << "," << dcol;
            std::string got;
            const bool ok = t->translate_into(dest, got);
            ASSERT_EQ(ok, want.has_value()) << src;
            std::string raw(t->max_rendered_size(), '#');
            const char* end = t->render_raw(dest, raw.data());
            ASSERT_EQ(end != nullptr, ok) << src;
            if (end) {
                ASSERT_EQ(std::string(raw.c_str(), end), got) << src;
            }
            if (!ok) {
                ++refused;
                continue;
            }
            ++moved;
            ASSERT_EQ(got, *want) << src << " by " << drow << "," << dcol;
            // Moving the result back from where it now stands restores the normalised formula.
            Translator back(got, dest.row, dest.column);
            ASSERT_EQ(back.translate(CellRef{orow, ocol}), normalised) << got;
        }
    }
    // Both outcomes must have been exercised for the property to mean anything.
    EXPECT_GT(moved, 1000);
    EXPECT_GT(refused, 1000);
}

}  // namespace
}  // namespace tovrel
