// Formula tokenizer: token boundaries, kinds and subkinds, and every error with its message.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "formula/float_text.h"
#include "formula/tokenizer.h"

namespace tovrel {
namespace {

using K = TokenKind;
using S = TokenSubkind;

Token tok(const char* v, K k, S s = S::None) { return Token{v, k, s}; }
Token R(const char* v) { return tok(v, K::Operand, S::Range); }
Token N(const char* v) { return tok(v, K::Operand, S::Number); }
Token T(const char* v) { return tok(v, K::Operand, S::Text); }
Token B(const char* v) { return tok(v, K::Operand, S::Logical); }
Token E(const char* v) { return tok(v, K::Operand, S::Error); }
Token FO(const char* v) { return tok(v, K::Func, S::Open); }
const Token FC = tok(")", K::Func, S::Close);
const Token PO = tok("(", K::Paren, S::Open);
const Token PC = tok(")", K::Paren, S::Close);
const Token AO = tok("{", K::Array, S::Open);
const Token AC = tok("}", K::Array, S::Close);
const Token SA = tok(",", K::Sep, S::Arg);
const Token SR = tok(";", K::Sep, S::Row);
Token IN(const char* v) { return tok(v, K::OpIn); }
Token PRE(const char* v) { return tok(v, K::OpPre); }
const Token PCT = tok("%", K::OpPost);
Token W(const char* v) { return tok(v, K::Wspace); }
Token LIT(const char* v) { return tok(v, K::Literal); }

std::string show(const std::vector<Token>& tokens) {
    std::string out;
    for (const Token& t : tokens) {
        out += "[" + t.value + " " + token_kind_name(t.kind) + "/" + token_subkind_name(t.subkind) + "] ";
    }
    return out;
}

struct TokenCase {
    std::string formula;
    std::vector<Token> tokens;
};

const std::vector<TokenCase>& token_cases() {
    static const std::vector<TokenCase> cases = {
        // Whole-formula shapes.
        {"", {}},
        {"=", {}},
        {"abc", {LIT("abc")}},
        {"A1+B1", {LIT("A1+B1")}},
        {" =1", {LIT(" =1")}},
        // Numbers, scientific notation and the float() rule.
        {"=1E+5", {N("1E+5")}},
        {"=1.5e-3", {N("1.5e-3")}},
        {"=1.5E+10", {N("1.5E+10")}},
        {"=2e-5", {N("2e-5")}},
        {"=1e5", {N("1e5")}},
        {"=E1+5", {R("E1"), IN("+"), N("5")}},
        {"=12E+5", {R("12E"), IN("+"), N("5")}},
        {"=0E+1", {R("0E"), IN("+"), N("1")}},
        {"=1.E+5", {R("1.E"), IN("+"), N("5")}},
        {"=1e+", {R("1e+")}},
        {"=1E--5", {R("1E-"), IN("-"), N("5")}},
        {"=1E+5E+5", {R("1E+5E"), IN("+"), N("5")}},
        {"=1E\n+5", {W("\n"), N("1E+5")}},
        {"=.5", {N(".5")}},
        {"=5.", {N("5.")}},
        {"=1_000", {N("1_000")}},
        {"=1_0.5_5", {N("1_0.5_5")}},
        {"=1__0", {R("1__0")}},
        {"=1.5.5", {R("1.5.5")}},
        {"=inf", {N("inf")}},
        {"=NaN", {N("NaN")}},
        {"=Infinity", {N("Infinity")}},
        {"=infinit", {R("infinit")}},
        {"=-inf", {PRE("-"), N("inf")}},
        {"=1\t", {N("1\t")}},
        {"=\t1\t", {N("\t1\t")}},
        {"=A1\t", {R("A1\t")}},
        // Prefix, infix and postfix operators.
        {"=-1", {PRE("-"), N("1")}},
        {"=+A1", {PRE("+"), R("A1")}},
        {"=--A1", {PRE("-"), PRE("-"), R("A1")}},
        {"=A1 -1", {R("A1"), W(" "), IN("-"), N("1")}},
        {"=(-1)", {PO, PRE("-"), N("1"), PC}},
        {"=-(1)", {PRE("-"), PO, N("1"), PC}},
        {"=(1)-1", {PO, N("1"), PC, IN("-"), N("1")}},
        {"=SUM(1)-1", {FO("SUM("), N("1"), FC, IN("-"), N("1")}},
        {"={1}-1", {AO, N("1"), AC, IN("-"), N("1")}},
        {"= -1", {W(" "), PRE("-"), N("1")}},
        {"=1 - -1", {N("1"), W(" "), IN("-"), W(" "), PRE("-"), N("1")}},
        {"=A1%", {R("A1"), PCT}},
        {"=A1%-1", {R("A1"), PCT, IN("-"), N("1")}},
        {"=%", {PCT}},
        {"=+", {PRE("+")}},
        {"=1+", {N("1"), IN("+")}},
        {"=A1+B2", {R("A1"), IN("+"), R("B2")}},
        {"=2^3/4", {N("2"), IN("^"), N("3"), IN("/"), N("4")}},
        {"=$A$1*$B2", {R("$A$1"), IN("*"), R("$B2")}},
        {"=A1>=B1", {R("A1"), IN(">="), R("B1")}},
        {"=A1<=B1", {R("A1"), IN("<="), R("B1")}},
        {"=A1<>B1", {R("A1"), IN("<>"), R("B1")}},
        {"=A1=B1", {R("A1"), IN("="), R("B1")}},
        {"=1><2", {N("1"), IN(">"), IN("<"), N("2")}},
        {"=1>=", {N("1"), IN(">=")}},
        {"=A1&\"x\"", {R("A1"), IN("&"), T("\"x\"")}},
        // Functions, parentheses, arrays and separators.
        {"=SUM(A1,B1)", {FO("SUM("), R("A1"), SA, R("B1"), FC}},
        {"=SUM(A1:B2)*2", {FO("SUM("), R("A1:B2"), FC, IN("*"), N("2")}},
        {"=(A1,B1)", {PO, R("A1"), IN(","), R("B1"), PC}},
        {"=1,2", {N("1"), IN(","), N("2")}},
        {"=1;2", {N("1"), SR, N("2")}},
        {"=SUM(1;2)", {FO("SUM("), N("1"), SR, N("2"), FC}},
        {"={1,2;3,4}", {AO, N("1"), SA, N("2"), SR, N("3"), SA, N("4"), AC}},
        {"={1,\"a\";TRUE,#N/A}", {AO, N("1"), SA, T("\"a\""), SR, B("TRUE"), SA, E("#N/A"), AC}},
        {"={}", {AO, AC}},
        {"=SUM({1,2},3)", {FO("SUM("), AO, N("1"), SA, N("2"), AC, SA, N("3"), FC}},
        {"=SUM((A1,B1))", {FO("SUM("), PO, R("A1"), IN(","), R("B1"), PC, FC}},
        {"=SUM(A1,(B1,C1))", {FO("SUM("), R("A1"), SA, PO, R("B1"), IN(","), R("C1"), PC, FC}},
        {"=SUM(A1 , B1)", {FO("SUM("), R("A1"), W(" "), SA, W(" "), R("B1"), FC}},
        {"=SUM()", {FO("SUM("), FC}},
        {"=()", {PO, PC}},
        {"=SUM(A1", {FO("SUM("), R("A1")}},
        {"=IF(A1>0,\"yes\",\"no\")",
         {FO("IF("), R("A1"), IN(">"), N("0"), SA, T("\"yes\""), SA, T("\"no\""), FC}},
        {"=A1(2)", {FO("A1("), N("2"), FC}},
        {"=SUM\xC3\xA9(1)", {FO("SUM\xC3\xA9("), N("1"), FC}},
        // Strings and links.
        {"=\"a\"\"b\"", {T("\"a\"\"b\"")}},
        {"=\"\"", {T("\"\"")}},
        {"=\"a b\"", {T("\"a b\"")}},
        {"=\"\xC3\xA9\"", {T("\"\xC3\xA9\"")}},
        {"=A1:\"x\"", {T("\"x\""), R("A1:")}},
        {"=A1:'B'", {R("A1:'B'")}},
        {"='Sheet 1'!A1", {R("'Sheet 1'!A1")}},
        {"='It''s'!A1", {R("'It''s'!A1")}},
        {"=Sheet1!A1:Sheet2!B2", {R("Sheet1!A1:Sheet2!B2")}},
        // Logical values and error literals.
        {"=TRUE", {B("TRUE")}},
        {"=FALSE", {B("FALSE")}},
        {"=true", {R("true")}},
        {"=#N/A", {E("#N/A")}},
        {"=#DIV/0!", {E("#DIV/0!")}},
        {"=#NAME?", {E("#NAME?")}},
        {"=#NULL!", {E("#NULL!")}},
        {"=#VALUE!", {E("#VALUE!")}},
        {"=#NUM!", {E("#NUM!")}},
        {"=#GETTING_DATA", {E("#GETTING_DATA")}},
        {"=#REF!+1", {E("#REF!"), IN("+"), N("1")}},
        {"=#REF!A1", {E("#REF!"), R("A1")}},
        {"=#N/A#N/A", {E("#N/A"), E("#N/A")}},
        // A prefixed error literal is one error operand, even with non-ASCII text.
        {"=Sheet1!#REF!", {E("Sheet1!#REF!")}},
        {"=A1!#REF!", {E("A1!#REF!")}},
        {"='Sh\xC3\xA9'!#N/A", {E("'Sh\xC3\xA9'!#N/A")}},
        {"=Sheet1!", {R("Sheet1!")}},
        // Brackets: structured references and external books.
        {"=Table1[[#This Row],[Col]]", {R("Table1[[#This Row],[Col]]")}},
        {"=[Book1]Sheet1!A1", {R("[Book1]Sheet1!A1")}},
        {"=Table1[Col]]", {R("Table1[Col]]")}},
        {"=[[a]b]", {R("[[a]b]")}},
        {"=T[a b]+1", {R("T[a b]"), IN("+"), N("1")}},
        // Whitespace runs keep their first character; a line feed does not end an operand.
        {"=1  +  2", {N("1"), W(" "), IN("+"), W(" "), N("2")}},
        {"=A1 \n B1", {R("A1"), W(" "), R("B1")}},
        {"=A1\nB1", {W("\n"), R("A1B1")}},
        {"=\n1", {W("\n"), N("1")}},
        {"=1\n+2", {W("\n"), N("1"), IN("+"), N("2")}},
        {"=A1:B2 C3", {R("A1:B2"), W(" "), R("C3")}},
        {"=A1 ", {R("A1"), W(" ")}},
        {"=1 2", {N("1"), W(" "), N("2")}},
    };
    return cases;
}

TEST(Tokenizer, TokenListsMatch) {
    ASSERT_GE(token_cases().size(), 100u);
    for (const TokenCase& c : token_cases()) {
        std::vector<Token> got;
        try {
            got = tokenize(c.formula);
        } catch (const FormulaError& e) {
            ADD_FAILURE() << c.formula << ": " << e.debug();
            continue;
        }
        EXPECT_EQ(got, c.tokens) << c.formula << "\n got:  " << show(got)
                                 << "\n want: " << show(c.tokens);
    }
}

struct ErrorCase {
    std::string formula;
    FormulaError::Kind kind;
    std::string message;
};

const std::vector<ErrorCase>& error_cases() {
    using FK = FormulaError::Kind;
    static const std::vector<ErrorCase> cases = {
        {"=A1)", FK::PopEmpty, ""},
        {"=}", FK::PopEmpty, ""},
        {"=SUM(1))", FK::PopEmpty, ""},
        {"=(A1}", FK::Tokenizer, "Mismatched ( and { pair in '=(A1}'"},
        {"={1)", FK::Tokenizer, "Mismatched ( and { pair in '={1)'"},
        {"=SUM(1}", FK::Tokenizer, "Mismatched ( and { pair in '=SUM(1}'"},
        {"=A1\"x\"", FK::Tokenizer, "Unexpected character at position 3 in '=A1\"x\"'"},
        {"=Sheet1!\"x\"", FK::Tokenizer, "Unexpected character at position 8 in '=Sheet1!\"x\"'"},
        {"=A1'x'!B1", FK::Tokenizer, "Unexpected character at position 3 in '=A1'x'!B1'"},
        {"=A1{", FK::Tokenizer, "Unexpected character at position 3 in '=A1{'"},
        {"=A1:{1}", FK::Tokenizer, "Unexpected character at position 4 in '=A1:{1}'"},
        {"=A1#REF!", FK::Tokenizer, "Unexpected character at position 3 in '=A1#REF!'"},
        {"=A1:#REF!", FK::Tokenizer, "Unexpected character at position 4 in '=A1:#REF!'"},
        // Positions count code points, not bytes.
        {"=\xC3\xA9\"x\"", FK::Tokenizer, "Unexpected character at position 2 in '=\xC3\xA9\"x\"'"},
        {"=\"\xE2\x82\xAC\"&#BAD", FK::Tokenizer,
         "Invalid error code at position 5 in '=\"\xE2\x82\xAC\"&#BAD'"},
        {"=#FOO", FK::Tokenizer, "Invalid error code at position 1 in '=#FOO'"},
        {"=#ref!", FK::Tokenizer, "Invalid error code at position 1 in '=#ref!'"},
        {"=1+#", FK::Tokenizer, "Invalid error code at position 3 in '=1+#'"},
        {"=\"abc", FK::Tokenizer, "Reached end of formula while parsing string in =\"abc"},
        {"=\"ab\"\"", FK::Tokenizer, "Reached end of formula while parsing string in =\"ab\"\""},
        {"='abc", FK::Tokenizer, "Reached end of formula while parsing link in ='abc"},
        {"='a''!A1", FK::Tokenizer, "Reached end of formula while parsing link in ='a''!A1"},
        {"=Table1[Col", FK::Tokenizer, "Encountered unmatched '[' in =Table1[Col"},
        {"=Table1[[Col]", FK::Tokenizer, "Encountered unmatched '[' in =Table1[[Col]"},
        {"=\xC3\xA9" "1", FK::NeedPython, ""},
        {"='Sh\xC3\xA9'!A1", FK::NeedPython, ""},
        {"=SUM(\xC3\xA9)", FK::NeedPython, ""},
    };
    return cases;
}

TEST(Tokenizer, ErrorsMatch) {
    for (const ErrorCase& c : error_cases()) {
        try {
            std::vector<Token> got = tokenize(c.formula);
            ADD_FAILURE() << c.formula << ": no error, got " << show(got);
        } catch (const FormulaError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.formula << ": " << e.debug();
            EXPECT_EQ(e.message(), c.message) << c.formula;
        }
    }
}

TEST(Tokenizer, ErrorDebugFormNamesTheVariant) {
    struct Case {
        FormulaError error;
        const char* debug;
        const char* what;
    };
    const Case cases[] = {
        {FormulaError::tokenizer("bad"), "Tokenizer(bad)", "bad"},
        {FormulaError::translator("Formula out of range"), "Translator(Formula out of range)",
         "Formula out of range"},
        {FormulaError::pop_empty(), "PopEmpty", "PopEmpty"},
        {FormulaError::need_python(), "NeedPython", "NeedPython"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.debug(), c.debug);
        EXPECT_STREQ(c.error.what(), c.what);
    }
}

// A double-quoted string keeps its subkind whatever it holds; other non-ASCII operands defer.
TEST(Tokenizer, MakeOperandDecidesTheSubkind) {
    struct Case {
        const char* text;
        S subkind;
    };
    const Case cases[] = {
        {"\"x\"", S::Text}, {"\"\xC3\xA9\"", S::Text}, {"#REF!", S::Error}, {"#\xC3\xA9", S::Error},
        {"TRUE", S::Logical}, {"FALSE", S::Logical}, {"True", S::Range}, {"1", S::Number},
        {"A1", S::Range}, {"", S::Range},
    };
    for (const Case& c : cases) {
        Token t = make_operand(c.text);
        EXPECT_EQ(t.kind, K::Operand) << c.text;
        EXPECT_EQ(t.subkind, c.subkind) << c.text;
        EXPECT_EQ(t.value, c.text);
    }
    EXPECT_THROW(make_operand("\xC3\xA9"), FormulaError);
}

// Random formulas over the characters that matter. Tokenizing either fails with a FormulaError or
// yields tokens whose texts, in order, spell the formula after its "=" again: no character is lost,
// duplicated or moved (line feeds, double quotes and space runs, which legitimately do one of
// those, are left out of the alphabet).
TEST(Tokenizer, RandomFormulasSpellThemselvesOrFailCleanly) {
    static const char kAlphabet[] = "A1b9$:!'[]#/?(){},;+-*^&=<>%eE._ \tTRUEN";
    std::mt19937_64 rng(20261208);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
    std::uniform_int_distribution<int> length(0, 14);
    int tokenized = 0, failed = 0;
    for (int i = 0; i < 50000; ++i) {
        std::string formula = "=";
        for (int n = length(rng); n > 0; --n) {
            const char c = kAlphabet[pick(rng)];
            if (c == ' ' && formula.back() == ' ') continue;
            formula += c;
        }
        try {
            const std::vector<Token> tokens = tokenize(formula);
            std::string spelled;
            for (const Token& t : tokens) {
                ASSERT_FALSE(t.value.empty()) << formula;
                spelled += t.value;
            }
            ASSERT_EQ(spelled, formula.substr(1)) << formula << "\n" << show(tokens);
            ++tokenized;
        } catch (const FormulaError& e) {
            ASSERT_NE(e.kind(), FormulaError::Kind::NeedPython) << formula;
            ++failed;
        }
    }
    EXPECT_GT(tokenized, 10000);
    EXPECT_GT(failed, 10000);
}

TEST(FloatText, FollowsPythonFloat) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"1", true}, {"-1", true}, {"+1.5", true}, {"5.", true}, {".5", true}, {".", false},
        {"", false}, {"+", false}, {"-", false}, {"  7  ", true}, {"\t\n\v\f\r7\r\n", true},
        {"\x1c" "7", false}, {"7\x1f", false},
        {"1e5", true}, {"1E+05", true}, {"1e-5", true}, {"1e", false}, {"1e+", false},
        {"e5", false}, {".e5", false}, {"1.e5", true}, {"1_000", true}, {"1_000.000_1", true},
        {"1e1_0", true}, {"1__0", false}, {"_1", false}, {"1_", false}, {"1_.5", false},
        {"1._5", false}, {"1e_5", false}, {"inf", true}, {"-INF", true}, {"+Infinity", true},
        {"nan", true}, {"-nAn", true}, {"infinit", false}, {"infinityy", false}, {"in f", false},
        {"0x10", false}, {"1 2", false}, {"++1", false}, {"1.5.5", false}, {"1e5.0", false},
        {"\x1b" "1", false},
    };
    for (const Case& c : cases) EXPECT_EQ(accepted_by_float(c.text), c.ok) << c.text;
}

}  // namespace
}  // namespace tovrel
