// The failure of tokenizing a formula or of moving it to another cell.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace tovrel {

class FormulaError : public std::exception {
public:
    // In this order; Tokenizer and Translator carry a message, the others none.
    enum class Kind : std::uint8_t { Tokenizer, Translator, PopEmpty, NeedPython };

    static FormulaError tokenizer(std::string message) {
        return FormulaError(Kind::Tokenizer, std::move(message));
    }
    static FormulaError translator(std::string message) {
        return FormulaError(Kind::Translator, std::move(message));
    }
    static FormulaError pop_empty() { return FormulaError(Kind::PopEmpty, {}); }
    static FormulaError need_python() { return FormulaError(Kind::NeedPython, {}); }

    Kind kind() const noexcept { return kind_; }
    // The message of Tokenizer and Translator; empty for the other two.
    const std::string& message() const noexcept { return *message_; }
    // The message, or the variant name when there is none.
    const char* what() const noexcept override;
    // The variant name, followed by the message in parentheses when there is one.
    std::string debug() const;

    static const char* kind_name(Kind kind) noexcept;

private:
    FormulaError(Kind kind, std::string message)
        : kind_(kind), message_(std::make_shared<const std::string>(std::move(message))) {}

    Kind kind_;
    // Shared so that copying the exception cannot throw.
    std::shared_ptr<const std::string> message_;
};

}  // namespace tovrel
