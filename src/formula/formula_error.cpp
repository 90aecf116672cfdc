#include "formula/formula_error.h"

namespace tovrel {

const char* FormulaError::kind_name(Kind kind) noexcept {
    switch (kind) {
        case Kind::Tokenizer: return "Tokenizer";
        case Kind::Translator: return "Translator";
        case Kind::PopEmpty: return "PopEmpty";
        case Kind::NeedPython: return "NeedPython";
    }
    return "?";
}

const char* FormulaError::what() const noexcept {
    if (kind_ == Kind::Tokenizer || kind_ == Kind::Translator) return message_->c_str();
    return kind_name(kind_);
}

std::string FormulaError::debug() const {
    std::string out = kind_name(kind_);
    if (kind_ == Kind::Tokenizer || kind_ == Kind::Translator) {
        out += '(';
        out += *message_;
        out += ')';
    }
    return out;
}

}  // namespace tovrel
