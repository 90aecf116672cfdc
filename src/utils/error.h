// The engine's one error convention.
//
// Internal code reports failures by throwing one of the exception types below; the module
// boundary (src/utils/py_boundary.h) converts each into a Python exception exactly once. Nothing
// in here touches Python, so the pure cores (XML reader, tokenizer, ...) use it too.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace tovrel {

// Errors of the XML reader and of the parsers built on it. Messages are static texts. The offset
// is the absolute input position (bytes from the start of the document) at which the error was
// detected; the reader stamps it on errors that leave it (see Reader::next), so throw sites do
// not pass it. Errors found elsewhere keep kNoOffset.
class XmlError : public std::exception {
public:
    enum class Kind : std::uint8_t { Malformed, Unsupported };
    static constexpr std::uint64_t kNoOffset = UINT64_MAX;

    XmlError(Kind kind, const char* message) noexcept : kind_(kind), message_(message) {}
    Kind kind() const noexcept { return kind_; }
    const char* what() const noexcept override { return message_; }

    std::uint64_t offset() const noexcept { return offset_; }
    bool has_offset() const noexcept { return offset_ != kNoOffset; }
    // Records where the error was detected, unless an inner layer already did.
    void stamp(std::uint64_t offset) noexcept {
        if (offset_ == kNoOffset) offset_ = offset;
    }

private:
    Kind kind_;
    const char* message_;
    std::uint64_t offset_ = kNoOffset;
};

// Not well-formed XML: reaches Python as NativeFallback("malformed: " + message).
struct Malformed : XmlError {
    explicit Malformed(const char* message) noexcept : XmlError(Kind::Malformed, message) {}
};

// Input the native path does not reproduce: NativeFallback("unsupported: " + message).
struct Unsupported : XmlError {
    explicit Unsupported(const char* message) noexcept : XmlError(Kind::Unsupported, message) {}
};

// The native path gives up on this operation: NativeFallback(message), message verbatim.
class Fallback : public std::exception {
public:
    explicit Fallback(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;
};

// The failure of tokenizing a formula or of moving it to another cell. Unlike the errors above
// its conversion needs the host's exception classes, so the caller that holds the helper bundle
// maps it (sheet/py_formulas.h, raise_formula_error); the boundary never sees one.
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
    bool has_message() const noexcept { return kind_ == Kind::Tokenizer || kind_ == Kind::Translator; }
    // The message of Tokenizer and Translator; empty for the other two.
    const std::string& message() const noexcept { return *message_; }
    // The message, or the variant name when there is none.
    const char* what() const noexcept override {
        return has_message() ? message_->c_str() : kind_name(kind_);
    }
    // The variant name, followed by the message in parentheses when there is one.
    std::string debug() const {
        std::string out = kind_name(kind_);
        if (has_message()) out.append("(").append(*message_).append(")");
        return out;
    }

    static const char* kind_name(Kind kind) noexcept {
        switch (kind) {
            case Kind::Tokenizer: return "Tokenizer";
            case Kind::Translator: return "Translator";
            case Kind::PopEmpty: return "PopEmpty";
            case Kind::NeedPython: return "NeedPython";
        }
        return "?";
    }

private:
    FormulaError(Kind kind, std::string message)
        : kind_(kind), message_(std::make_shared<const std::string>(std::move(message))) {}

    Kind kind_;
    // Shared so that copying the exception cannot throw.
    std::shared_ptr<const std::string> message_;
};

// A borrow flag was already taken in a conflicting mode: RuntimeError(message).
class BorrowConflict : public std::exception {
public:
    explicit BorrowConflict(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;
};

// An internal invariant does not hold: a state the engine's own checks rule out, such as a value
// kind a switch does not know or a capture ended that was never begun. Never behaviour the host
// can rely on: it reaches Python as SystemError("_tovrel internal error: " + message).
class InternalError : public std::exception {
public:
    explicit InternalError(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;
};

// A Python exception is set in the calling thread's error indicator (raised by a host object or
// by a C API call). The boundary leaves it in place, so it reaches Python unchanged. Code that
// catches this and carries on must clear the indicator itself.
struct PyErrorSet : std::exception {
    const char* what() const noexcept override { return "python exception set"; }
};

}  // namespace tovrel
