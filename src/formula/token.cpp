#include "formula/token.h"

namespace tovrel {

const char* token_kind_name(TokenKind kind) noexcept {
    switch (kind) {
        case TokenKind::Literal: return "Literal";
        case TokenKind::Operand: return "Operand";
        case TokenKind::Func: return "Func";
        case TokenKind::Array: return "Array";
        case TokenKind::Paren: return "Paren";
        case TokenKind::Sep: return "Sep";
        case TokenKind::OpPre: return "OpPre";
        case TokenKind::OpIn: return "OpIn";
        case TokenKind::OpPost: return "OpPost";
        case TokenKind::Wspace: return "Wspace";
    }
    return "?";
}

const char* token_subkind_name(TokenSubkind subkind) noexcept {
    switch (subkind) {
        case TokenSubkind::None: return "None";
        case TokenSubkind::Text: return "Text";
        case TokenSubkind::Number: return "Number";
        case TokenSubkind::Logical: return "Logical";
        case TokenSubkind::Error: return "Error";
        case TokenSubkind::Range: return "Range";
        case TokenSubkind::Open: return "Open";
        case TokenSubkind::Close: return "Close";
        case TokenSubkind::Arg: return "Arg";
        case TokenSubkind::Row: return "Row";
    }
    return "?";
}

}  // namespace tovrel
