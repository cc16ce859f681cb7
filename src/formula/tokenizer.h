// The formula tokenizer: splits a formula's UTF-8 text into the tokens the
// package's own formula tokenizer produces, with the same error messages.
// Plain C++ over bytes; no Python here. The shared-formula translator
// (translator.h) is its only user.
#pragma once

#include "utils/result.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vlm::formula {

// Errors of the tokenizer and the translator. Tokenizer and Translator carry
// the package's message word for word; PopEmpty is the package's own
// "pop from empty list"; NeedPython means only the package's number parser
// can classify an operand, so the caller must use the package's translator.
class [[nodiscard]] FormulaError {
public:
    enum class Kind : unsigned char { Tokenizer, Translator, PopEmpty, NeedPython };

    static FormulaError tokenizer(std::string m) { return {Kind::Tokenizer, std::move(m)}; }
    static FormulaError translator(std::string m) { return {Kind::Translator, std::move(m)}; }
    static FormulaError pop_empty() { return {Kind::PopEmpty, {}}; }
    static FormulaError need_python() { return {Kind::NeedPython, {}}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return msg_; }

private:
    FormulaError(Kind k, std::string m) : kind_(k), msg_(std::move(m)) {}
    Kind kind_;
    std::string msg_;
};

template <class T>
using FormulaResult = std::expected<T, FormulaError>;

enum class TokenType : unsigned char {
    Literal, Operand, Function, Array, Paren, Separator,
    OpPrefix, OpInfix, OpPostfix, Whitespace,
};

enum class TokenSubtype : unsigned char {
    None, Text, Number, Logical, Error, Range, Open, Close,
};

struct Token {
    std::string value;
    TokenType type;
    TokenSubtype subtype;
};

// The tokens of `formula` (valid UTF-8, including its leading "=").
[[nodiscard]] FormulaResult<std::vector<Token>> tokenize(std::string_view formula);

// The subtype the package gives an operand of this text; nothing when the
// text holds non-ASCII that only the package's float parser can judge.
std::optional<TokenSubtype> operand_subtype(std::string_view text);

// Whether Python's float() accepts this ASCII text.
bool is_py_float(std::string_view text);

}  // namespace vlm::formula
