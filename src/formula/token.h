// The tokens a formula splits into.
#pragma once

#include <cstdint>
#include <string>

namespace tovrel {

enum class TokenKind : std::uint8_t {
    Literal = 0,  // the whole formula, when it does not start with "="
    Operand = 1,
    Func = 2,
    Array = 3,
    Paren = 4,
    Sep = 5,
    OpPre = 6,
    OpIn = 7,
    OpPost = 8,
    Wspace = 9,
};

enum class TokenSubkind : std::uint8_t {
    None = 0,
    Text = 1,
    Number = 2,
    Logical = 3,
    Error = 4,
    Range = 5,
    Open = 6,
    Close = 7,
    Arg = 8,
    Row = 9,
};

struct Token {
    std::string value;  // UTF-8; a whitespace run keeps only its first character
    TokenKind kind;
    TokenSubkind subkind;

    bool operator==(const Token&) const = default;
};

const char* token_kind_name(TokenKind kind) noexcept;
const char* token_subkind_name(TokenSubkind subkind) noexcept;

}  // namespace tovrel
