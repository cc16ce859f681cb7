// The formula tokenizer: one pass over the formula's bytes, keeping the
// pending operand as a list of pieces (only its last piece is ever looked
// at, so the buffer plus the start of the last piece is enough). Every
// character the tokenizer dispatches on is ASCII, so multi-byte UTF-8
// sequences always fall through to the pending operand; positions in
// messages are counted in characters, as the package counts them.
#include "formula/tokenizer.h"

#include "utils/ascii.h"

#include <array>

namespace vlm::formula {
namespace {

constexpr std::string_view TOKEN_ENDERS = ",;}) +-*/^&=><%";
constexpr std::array<std::string_view, 8> ERROR_CODES = {
    "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA",
};

// The pending text of a number written up to its exponent sign, "1E" or
// "2.5e" (a single trailing line feed is tolerated, as the package's pattern
// anchor does): the sign that follows belongs to the number.
bool is_sci_mantissa(std::string_view s) {
    if (!s.empty() && s.back() == '\n')
        s.remove_suffix(1);
    if (s.size() < 2 || s[0] < '1' || s[0] > '9' || (s.back() != 'E' && s.back() != 'e'))
        return false;
    std::string_view mid = s.substr(1, s.size() - 2);
    if (mid.empty())
        return true;
    if (mid.size() < 2 || mid[0] != '.')
        return false;
    for (char c : mid.substr(1)) {
        if (!is_digit(c))
            return false;
    }
    return true;
}

size_t char_count(std::string_view s) {
    size_t n = 0;
    for (char c : s)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

class Lexer {
public:
    explicit Lexer(std::string_view f) : f_(f) {}
    FormulaResult<std::vector<Token>> run();

private:
    FormulaResult<void> quoted(char q);
    FormulaResult<void> brackets();
    FormulaResult<void> error_code();
    void whitespace();
    void op(char c);
    FormulaResult<void> opener(char c);
    FormulaResult<void> closer(char c);
    FormulaResult<void> finish();

    void piece(std::string_view p) {
        last_piece_ = pending_.size();
        pending_.append(p);
    }
    bool last_piece_is(std::string_view p) const {
        return std::string_view(pending_).substr(last_piece_) == p;
    }
    void emit(std::string_view v, TokenType t, TokenSubtype s = TokenSubtype::None) {
        items_.push_back(Token{std::string(v), t, s});
    }
    bool prefix_position() const;
    FormulaError unexpected() const {
        return FormulaError::tokenizer("Unexpected character at position " + position() +
                                       " in '" + std::string(f_) + "'");
    }
    std::string position() const { return std::to_string(char_count(f_.substr(0, pos_))); }

    std::string_view f_;
    size_t pos_ = 0;
    std::string pending_;
    size_t last_piece_ = 0;
    std::vector<Token> items_;
    std::vector<TokenType> stack_;
};

FormulaResult<std::vector<Token>> Lexer::run() {
    if (f_.empty())
        return std::move(items_);
    if (f_[0] != '=') {
        emit(f_, TokenType::Literal);
        return std::move(items_);
    }
    pos_ = 1;
    while (pos_ < f_.size()) {
        char c = f_[pos_];
        if ((c == '+' || c == '-') && !pending_.empty() && is_sci_mantissa(pending_)) {
            piece(f_.substr(pos_++, 1));
            continue;
        }
        if (TOKEN_ENDERS.find(c) != std::string_view::npos)
            VLM_TRY(finish());
        switch (c) {
        case '"':
        case '\'':
            VLM_TRY(quoted(c));
            break;
        case '[':
            VLM_TRY(brackets());
            break;
        case '#':
            VLM_TRY(error_code());
            break;
        case ' ':
        case '\n':
            whitespace();
            break;
        case '+': case '-': case '*': case '/': case '^': case '&': case '=': case '>':
        case '<': case '%':
            op(c);
            break;
        case '(':
        case '{':
            VLM_TRY(opener(c));
            break;
        case ')':
        case '}':
            VLM_TRY(closer(c));
            break;
        case ',':
        case ';':
            emit(f_.substr(pos_++, 1), TokenType::Separator);
            break;
        default:
            piece(f_.substr(pos_++, 1));
        }
    }
    VLM_TRY(finish());
    return std::move(items_);
}

// A string runs to the first quote that is not doubled.
FormulaResult<void> Lexer::quoted(char q) {
    if (!pending_.empty() && !last_piece_is(":"))
        return std::unexpected(unexpected());
    size_t i = pos_ + 1;
    for (;;) {
        i = f_.find(q, i);
        if (i == std::string_view::npos) {
            return std::unexpected(FormulaError::tokenizer(
                std::string("Reached end of formula while parsing ") +
                (q == '"' ? "string" : "link") + " in " + std::string(f_)));
        }
        if (i + 1 < f_.size() && f_[i + 1] == q) {
            i += 2;
            continue;
        }
        break;
    }
    std::string_view text = f_.substr(pos_, i + 1 - pos_);
    pos_ = i + 1;
    if (q == '"')
        emit(text, TokenType::Operand, TokenSubtype::Text);
    else
        piece(text);
    return {};
}

FormulaResult<void> Lexer::brackets() {
    size_t depth = 0;
    for (size_t i = pos_; i < f_.size(); ++i) {
        if (f_[i] == '[') {
            ++depth;
        } else if (f_[i] == ']' && --depth == 0) {
            piece(f_.substr(pos_, i + 1 - pos_));
            pos_ = i + 1;
            return {};
        }
    }
    return std::unexpected(
        FormulaError::tokenizer("Encountered unmatched '[' in " + std::string(f_)));
}

// An error code is an error operand even after a sheet name, so that the
// range rules never take "Sheet1!#REF!" apart.
FormulaResult<void> Lexer::error_code() {
    if (!pending_.empty() && !last_piece_is("!"))
        return std::unexpected(unexpected());
    std::string_view rest = f_.substr(pos_);
    for (std::string_view code : ERROR_CODES) {
        if (rest.starts_with(code)) {
            pending_.append(code);
            emit(pending_, TokenType::Operand, TokenSubtype::Error);
            pending_.clear();
            pos_ += code.size();
            return {};
        }
    }
    return std::unexpected(FormulaError::tokenizer("Invalid error code at position " +
                                                   position() + " in '" + std::string(f_) + "'"));
}

// A run of spaces and line feeds is one token holding its first character.
void Lexer::whitespace() {
    emit(f_.substr(pos_, 1), TokenType::Whitespace);
    ++pos_;
    while (pos_ < f_.size() && (f_[pos_] == ' ' || f_[pos_] == '\n'))
        ++pos_;
}

// A sign is unary unless it follows something that has a value.
bool Lexer::prefix_position() const {
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
        if (it->type == TokenType::Whitespace)
            continue;
        return it->type == TokenType::Separator || it->type == TokenType::OpPrefix ||
               it->type == TokenType::OpInfix || it->subtype == TokenSubtype::Open;
    }
    return true;
}

void Lexer::op(char c) {
    char next = pos_ + 1 < f_.size() ? f_[pos_ + 1] : '\0';
    if ((c == '>' && next == '=') || (c == '<' && (next == '=' || next == '>'))) {
        emit(f_.substr(pos_, 2), TokenType::OpInfix);
        pos_ += 2;
        return;
    }
    TokenType t = TokenType::OpInfix;
    if (c == '%')
        t = TokenType::OpPostfix;
    else if ((c == '+' || c == '-') && prefix_position())
        t = TokenType::OpPrefix;
    emit(f_.substr(pos_++, 1), t);
}

FormulaResult<void> Lexer::opener(char c) {
    TokenType t;
    if (c == '{') {
        if (!pending_.empty())
            return std::unexpected(unexpected());
        t = TokenType::Array;
        emit("{", t, TokenSubtype::Open);
    } else if (!pending_.empty()) {
        t = TokenType::Function;
        pending_.push_back('(');
        emit(pending_, t, TokenSubtype::Open);
        pending_.clear();
    } else {
        t = TokenType::Paren;
        emit("(", t, TokenSubtype::Open);
    }
    stack_.push_back(t);
    ++pos_;
    return {};
}

FormulaResult<void> Lexer::closer(char c) {
    if (stack_.empty())
        return std::unexpected(FormulaError::pop_empty());
    TokenType t = stack_.back();
    stack_.pop_back();
    if ((t == TokenType::Array) != (c == '}')) {
        return std::unexpected(
            FormulaError::tokenizer("Mismatched ( and { pair in '" + std::string(f_) + "'"));
    }
    emit(f_.substr(pos_++, 1), t, TokenSubtype::Close);
    return {};
}

FormulaResult<void> Lexer::finish() {
    if (pending_.empty())
        return {};
    std::optional<TokenSubtype> s = operand_subtype(pending_);
    if (!s)
        return std::unexpected(FormulaError::need_python());
    emit(pending_, TokenType::Operand, *s);
    pending_.clear();
    return {};
}

// Digits with single underscores between them, as Python's number grammar
// allows; returns the number of digits read and advances i.
size_t py_digits(std::string_view s, size_t& i) {
    size_t n = 0;
    while (i < s.size()) {
        if (is_digit(s[i])) {
            ++n;
            ++i;
        } else if (s[i] == '_' && n > 0 && i + 1 < s.size() && is_digit(s[i + 1])) {
            ++i;
        } else {
            break;
        }
    }
    return n;
}

bool equals_lower(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size())
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] + 32) : s[i];
        if (c != lower[i])
            return false;
    }
    return true;
}

}  // namespace

FormulaResult<std::vector<Token>> tokenize(std::string_view formula) {
    return Lexer(formula).run();
}

// float() strips only ASCII whitespace from ASCII text: the separators
// U+001C..U+001F that str.strip() removes make float() fail.
bool is_py_float(std::string_view s) {
    constexpr std::string_view WS = " \t\n\v\f\r";
    size_t b = s.find_first_not_of(WS);
    if (b == std::string_view::npos)
        return false;
    s = s.substr(b, s.find_last_not_of(WS) + 1 - b);
    if (s[0] == '+' || s[0] == '-')
        s.remove_prefix(1);
    if (equals_lower(s, "inf") || equals_lower(s, "nan") || equals_lower(s, "infinity"))
        return true;
    size_t i = 0;
    size_t digits = py_digits(s, i);
    if (i < s.size() && s[i] == '.') {
        ++i;
        digits += py_digits(s, i);
    }
    if (digits == 0)
        return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (py_digits(s, i) == 0)
            return false;
    }
    return i == s.size();
}

std::optional<TokenSubtype> operand_subtype(std::string_view text) {
    if (text.starts_with('"'))
        return TokenSubtype::Text;
    if (text.starts_with('#'))
        return TokenSubtype::Error;
    if (text == "TRUE" || text == "FALSE")
        return TokenSubtype::Logical;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return std::nullopt;
    }
    return is_py_float(text) ? TokenSubtype::Number : TokenSubtype::Range;
}

}  // namespace vlm::formula
