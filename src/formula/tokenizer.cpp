#include "formula/tokenizer.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "formula/float_text.h"
#include "utils/text.h"
#include "utils/utf8.h"

namespace tovrel {
namespace {

constexpr std::string_view kErrorCodes[] = {
    "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA",
};

bool is_token_ender(char c) noexcept {
    switch (c) {
        case ',': case ';': case '}': case ')': case ' ': case '+': case '-': case '*':
        case '/': case '^': case '&': case '=': case '>': case '<': case '%':
            return true;
        default:
            return false;
    }
}


// The mantissa-and-"E" prefix of a number in scientific notation: one digit 1-9, optionally a
// "." and digits, then "E" or "e"; one final line feed is tolerated after it.
bool is_exponent_prefix(std::string_view s) noexcept {
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
    if (s.size() < 2 || s[0] < '1' || s[0] > '9') return false;
    if (s.back() != 'E' && s.back() != 'e') return false;
    std::string_view mid = s.substr(1, s.size() - 2);
    if (mid.empty()) return true;
    if (mid[0] != '.' || mid.size() < 2) return false;
    for (std::size_t i = 1; i < mid.size(); ++i)
        if (!is_digit(mid[i])) return false;
    return true;
}

// Kind and subkind of an opener or closer text, by the host's substring tests.
TokenKind bracket_kind(std::string_view v) noexcept {
    if (std::string_view("{}").find(v) != std::string_view::npos) return TokenKind::Array;
    if (std::string_view("()").find(v) != std::string_view::npos) return TokenKind::Paren;
    return TokenKind::Func;
}

TokenSubkind bracket_subkind(std::string_view v) noexcept {
    return std::string_view(")}").find(v) != std::string_view::npos ? TokenSubkind::Close
                                                                    : TokenSubkind::Open;
}

class Tokenizer {
public:
    explicit Tokenizer(std::string_view formula) : f_(formula) {}

    std::vector<Token> run() {
        if (f_.empty()) return {};
        if (f_[0] != '=') {
            items_.push_back(Token{std::string(f_), TokenKind::Literal, TokenSubkind::None});
            return std::move(items_);
        }
        pos_ = 1;
        while (pos_ < f_.size()) {
            if (check_scientific()) continue;
            const char c = f_[pos_];
            if (is_token_ender(c)) save_token();
            pos_ += dispatch(c);
        }
        save_token();
        return std::move(items_);
    }

private:
    std::size_t dispatch(char c) {
        switch (c) {
            case '"': case '\'': return parse_string(c);
            case '[': return parse_brackets();
            case '#': return parse_error();
            case ' ': case '\n': return parse_whitespace();
            case '+': case '-': case '*': case '/': case '^': case '&': case '=': case '>':
            case '<': case '%':
                return parse_operator(c);
            case '{': case '(': return parse_opener(c);
            case ')': case '}': return parse_closer(c);
            case ';': case ',': return parse_separator(c);
            default: {
                std::size_t n = utf8_lead_length(static_cast<std::uint8_t>(c));
                if (n > f_.size() - pos_) n = f_.size() - pos_;
                push_piece(f_.substr(pos_, n));
                return n;
            }
        }
    }

    // Code-point index of byte position `at`.
    std::size_t code_point_index(std::size_t at) const noexcept {
        return utf8_char_count(f_.substr(0, at));
    }

    [[noreturn]] void unexpected_character() const {
        throw FormulaError::tokenizer("Unexpected character at position " +
                                      std::to_string(code_point_index(pos_)) + " in '" +
                                      std::string(f_) + "'");
    }

    void push_piece(std::string_view piece) {
        last_piece_ = pending_.size();
        pending_.append(piece);
    }

    bool has_pending() const noexcept { return !pending_.empty(); }
    std::string_view last_piece() const noexcept {
        return std::string_view(pending_).substr(last_piece_);
    }

    void save_token() {
        if (!has_pending()) return;
        items_.push_back(make_operand(pending_));
        pending_.clear();
        last_piece_ = 0;
    }

    // The pending operand may only end in `allowed` (or be absent) before a string, an error
    // literal or an array opener.
    void check_follow(std::string_view allowed) const {
        if (!has_pending()) return;
        std::string_view last = last_piece();
        if (last.empty() || (!allowed.empty() && last == allowed)) return;
        unexpected_character();
    }

    bool check_scientific() {
        const char c = f_[pos_];
        if ((c != '+' && c != '-') || !has_pending() || !is_exponent_prefix(pending_)) return false;
        push_piece(f_.substr(pos_, 1));
        ++pos_;
        return true;
    }

    std::size_t parse_string(char delim) {
        check_follow(":");
        std::size_t i = pos_ + 1;
        for (;;) {
            std::size_t close = f_.find(delim, i);
            if (close == std::string_view::npos) {
                throw FormulaError::tokenizer(
                    std::string("Reached end of formula while parsing ") +
                    (delim == '"' ? "string" : "link") + " in " + std::string(f_));
            }
            if (close + 1 < f_.size() && f_[close + 1] == delim) {
                i = close + 2;
                continue;
            }
            std::string_view match = f_.substr(pos_, close + 1 - pos_);
            if (delim == '"')
                items_.push_back(make_operand(match));
            else
                push_piece(match);
            return match.size();
        }
    }

    std::size_t parse_brackets() {
        long depth = 0;
        for (std::size_t i = pos_; i < f_.size(); ++i) {
            if (f_[i] == '[') ++depth;
            else if (f_[i] == ']') --depth;
            if (depth == 0) {
                push_piece(f_.substr(pos_, i + 1 - pos_));
                return i + 1 - pos_;
            }
        }
        throw FormulaError::tokenizer("Encountered unmatched '[' in " + std::string(f_));
    }

    std::size_t parse_error() {
        check_follow("!");
        std::string_view rest = f_.substr(pos_);
        for (std::string_view code : kErrorCodes) {
            if (rest.substr(0, code.size()) != code) continue;
            // An error literal, with the sheet prefix it may carry («Sheet1!#REF!»), is one
            // error operand: it is never a reference to move, whatever text it holds.
            pending_.append(code);
            items_.push_back(Token{std::move(pending_), TokenKind::Operand, TokenSubkind::Error});
            pending_.clear();
            last_piece_ = 0;
            return code.size();
        }
        throw FormulaError::tokenizer("Invalid error code at position " +
                                      std::to_string(code_point_index(pos_)) + " in '" +
                                      std::string(f_) + "'");
    }

    std::size_t parse_whitespace() {
        items_.push_back(Token{std::string(1, f_[pos_]), TokenKind::Wspace, TokenSubkind::None});
        std::size_t i = pos_ + 1;
        while (i < f_.size() && (f_[i] == ' ' || f_[i] == '\n')) ++i;
        return i - pos_;
    }

    std::size_t parse_operator(char c) {
        if (pos_ + 1 < f_.size()) {
            const char d = f_[pos_ + 1];
            if ((c == '>' && d == '=') || (c == '<' && (d == '=' || d == '>'))) {
                items_.push_back(Token{std::string(f_.substr(pos_, 2)), TokenKind::OpIn,
                                       TokenSubkind::None});
                return 2;
            }
        }
        TokenKind kind;
        if (c == '%') {
            kind = TokenKind::OpPost;
        } else if (c == '+' || c == '-') {
            kind = TokenKind::OpPre;
            for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
                if (it->kind == TokenKind::Wspace) continue;
                if (it->subkind == TokenSubkind::Close || it->kind == TokenKind::OpPost ||
                    it->kind == TokenKind::Operand)
                    kind = TokenKind::OpIn;
                break;
            }
        } else {
            kind = TokenKind::OpIn;
        }
        items_.push_back(Token{std::string(1, c), kind, TokenSubkind::None});
        return 1;
    }

    std::size_t parse_opener(char c) {
        std::string value;
        if (c == '{') {
            check_follow({});
            value = "{";
        } else if (has_pending()) {
            value = std::move(pending_);
            value += '(';
            pending_.clear();
            last_piece_ = 0;
        } else {
            value = "(";
        }
        Token token{std::move(value), TokenKind::Func, TokenSubkind::Open};
        token.kind = bracket_kind(token.value);
        token.subkind = bracket_subkind(token.value);
        stack_.push_back(token.kind);
        items_.push_back(std::move(token));
        return 1;
    }

    std::size_t parse_closer(char c) {
        if (stack_.empty()) throw FormulaError::pop_empty();
        const TokenKind opener = stack_.back();
        stack_.pop_back();
        const char expected = opener == TokenKind::Array ? '}' : ')';
        if (c != expected)
            throw FormulaError::tokenizer("Mismatched ( and { pair in '" + std::string(f_) + "'");
        items_.push_back(Token{std::string(1, c), opener, TokenSubkind::Close});
        return 1;
    }

    std::size_t parse_separator(char c) {
        if (c == ';') {
            items_.push_back(Token{";", TokenKind::Sep, TokenSubkind::Row});
        } else if (stack_.empty() || stack_.back() == TokenKind::Paren) {
            items_.push_back(Token{",", TokenKind::OpIn, TokenSubkind::None});
        } else {
            items_.push_back(Token{",", TokenKind::Sep, TokenSubkind::Arg});
        }
        return 1;
    }

    std::string_view f_;
    std::size_t pos_ = 0;  // byte index of the current character
    std::vector<Token> items_;
    std::vector<TokenKind> stack_;  // kinds of the open Func / Array / Paren openers
    std::string pending_;           // the pending operand: its pieces joined
    std::size_t last_piece_ = 0;    // where the last piece starts in pending_
};

}  // namespace

Token make_operand(std::string_view text) {
    TokenSubkind subkind;
    if (!text.empty() && text[0] == '"') {
        subkind = TokenSubkind::Text;
    } else if (!text.empty() && text[0] == '#') {
        subkind = TokenSubkind::Error;
    } else if (text == "TRUE" || text == "FALSE") {
        subkind = TokenSubkind::Logical;
    } else {
        for (char c : text)
            if (static_cast<unsigned char>(c) >= 0x80) throw FormulaError::need_python();
        subkind = accepted_by_float(text) ? TokenSubkind::Number : TokenSubkind::Range;
    }
    return Token{std::string(text), TokenKind::Operand, subkind};
}

std::vector<Token> tokenize(std::string_view formula) { return Tokenizer(formula).run(); }

}  // namespace tovrel
