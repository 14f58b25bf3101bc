// Two-step assembler: statements are encoded as they are read, operands that
// name labels not yet seen are patched once the whole source is known.
#include "mv_asm.h"

#include "mv_dsp_isa.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace mvasm {
namespace {
using mv::InstructionInfo;
using mv::kInstructions;
using mv::Operand;

constexpr int64_t kMaxProgramLength = 0xFFFF;

// ---------------------------------------------------------------- tokens

enum class TokenKind { Identifier, Integer, Float, String, Character, Punct, End };

struct Token {
    TokenKind kind;
    std::string text; // identifier, punctuation, or the decoded string
    int64_t integer = 0;
    double real = 0;
    int column = 1;
};

struct Diagnostic {
    int line, column;
    std::string message;
};

struct Diagnostics {
    std::vector<Diagnostic> found;

    void report(int line, int column, const std::string &message) {
        found.push_back({line, column, message});
    }
};

bool isIdentifierStart(char c) { return std::isalpha(uint8_t(c)) || c == '_' || c == '.'; }
bool isIdentifierChar(char c) { return std::isalnum(uint8_t(c)) || c == '_' || c == '.'; }

std::string upper(std::string_view text) {
    std::string result(text);
    for (char &c : result) c = char(std::toupper(uint8_t(c)));
    return result;
}

// Decodes one escape after a backslash; returns false for an unknown one.
bool decodeEscape(std::string_view line, size_t &i, char &out) {
    const char c = line[i++];
    switch (c) {
    case 'n': out = '\n'; return true;
    case 't': out = '\t'; return true;
    case 'r': out = '\r'; return true;
    case '0': out = '\0'; return true;
    case '\\':
    case '\'':
    case '"': out = c; return true;
    case 'x': {
        int value = 0, digits = 0;
        while (digits < 2 && i < line.size() && std::isxdigit(uint8_t(line[i]))) {
            value =
                value * 16 +
                (std::isdigit(uint8_t(line[i])) ? line[i] - '0' : std::toupper(line[i]) - 'A' + 10);
            ++i, ++digits;
        }
        out = char(value);
        return digits > 0;
    }
    default: return false;
    }
}

class Lexer {
public:
    Lexer(std::string_view line, int lineNumber, Diagnostics &diagnostics)
        : line_(line), lineNumber_(lineNumber), diagnostics_(diagnostics) {}

    // Tokens of the line up to a comment; false after reporting an error.
    bool run(std::vector<Token> &tokens) {
        while (true) {
            while (i_ < line_.size() && std::isspace(uint8_t(line_[i_]))) ++i_;
            if (i_ >= line_.size() || line_[i_] == ';' || line_[i_] == '#') break;
            Token token{TokenKind::Punct, {}, 0, 0, int(i_) + 1};
            const char c = line_[i_];
            bool good = true;
            if (isIdentifierStart(c)) {
                const size_t start = i_;
                while (i_ < line_.size() && isIdentifierChar(line_[i_])) ++i_;
                token.kind = TokenKind::Identifier;
                token.text = std::string(line_.substr(start, i_ - start));
            } else if (std::isdigit(uint8_t(c))) {
                good = number(token);
            } else if (c == '"') {
                good = quoted(token, '"', TokenKind::String);
            } else if (c == '\'') {
                good = quoted(token, '\'', TokenKind::Character);
            } else if (std::strchr(",:+-", c)) {
                token.text = std::string(1, c);
                ++i_;
            } else {
                diagnostics_.report(lineNumber_, token.column,
                                    std::string("unexpected character '") + c + "'");
                return false;
            }
            if (!good) return false;
            tokens.push_back(std::move(token));
        }
        tokens.push_back(Token{TokenKind::End, {}, 0, 0, int(line_.size()) + 1});
        return true;
    }

private:
    bool number(Token &token) {
        const size_t start = i_;
        while (i_ < line_.size() &&
               (isIdentifierChar(line_[i_]) ||
                ((line_[i_] == '+' || line_[i_] == '-') && std::tolower(line_[i_ - 1]) == 'e' &&
                 !line_.substr(start, 2).starts_with("0x"))))
            ++i_;
        const std::string text(line_.substr(start, i_ - start));
        char *end = nullptr;
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        if (hex || text.find_first_of(".eE") == std::string::npos) {
            errno = 0;
            token.kind = TokenKind::Integer;
            token.integer = int64_t(std::strtoull(text.c_str(), &end, hex ? 16 : 10));
            if (errno == ERANGE || token.integer < 0) end = nullptr;
        } else {
            token.kind = TokenKind::Float;
            token.real = std::strtod(text.c_str(), &end);
        }
        if (!end || *end) {
            diagnostics_.report(lineNumber_, token.column, "malformed number '" + text + "'");
            return false;
        }
        token.text = text;
        return true;
    }

    bool quoted(Token &token, char quote, TokenKind kind) {
        ++i_;
        std::string text;
        while (i_ < line_.size() && line_[i_] != quote) {
            char c = line_[i_++];
            if (c == '\\') {
                if (i_ >= line_.size() || !decodeEscape(line_, i_, c)) {
                    diagnostics_.report(lineNumber_, int(i_), "unknown escape sequence");
                    return false;
                }
            }
            text.push_back(c);
        }
        if (i_ >= line_.size()) {
            diagnostics_.report(lineNumber_, token.column, "unterminated literal");
            return false;
        }
        ++i_;
        if (kind == TokenKind::Character) {
            if (text.size() != 1) {
                diagnostics_.report(lineNumber_, token.column,
                                    "a character literal holds exactly one character");
                return false;
            }
            token.integer = uint8_t(text[0]);
        }
        token.kind = kind;
        token.text = std::move(text);
        return true;
    }

    std::string_view line_;
    size_t i_ = 0;
    int lineNumber_;
    Diagnostics &diagnostics_;
};

// ---------------------------------------------------------------- values

struct LabelReference {
    std::string name;
    bool negative;
    int column;
};

// A constant plus or minus labels; a float literal stands alone.
struct Expression {
    int64_t constant = 0;
    std::vector<LabelReference> labels;
    bool isFloat = false;
    double real = 0;
    int line = 0;
    int column = 0;
};

// The width and range of a value slot in the output.
struct Slot {
    int size;
    int64_t low, high;
    bool acceptsFloat;
    const char *what;
};

constexpr Slot kByteSlot{1, -128, 255, false, "an 8-bit operand"};
constexpr Slot kInterruptSlot{1, 0, 255, false, "an interrupt number"};
constexpr Slot kHalfSlot{2, -32768, 65535, false, "a 16-bit operand"};
constexpr Slot kAddressSlot{2, 0, 65535, false, "an address"};
constexpr Slot kWordSlot{4, INT32_MIN, UINT32_MAX, true, "a 32-bit operand"};

Slot slotFor(Operand kind) {
    switch (kind) {
    case Operand::Imm8: return kByteSlot;
    case Operand::Interrupt: return kInterruptSlot;
    case Operand::Imm16: return kHalfSlot;
    case Operand::Address: return kAddressSlot;
    default: return kWordSlot;
    }
}

struct Fixup {
    size_t offset;
    Slot slot;
    Expression expression;
};

std::optional<int> registerNumber(std::string_view name) {
    static constexpr std::string_view kAliases[] = {"PC", "FP", "SP", "LR"};
    const std::string text = upper(name);
    for (int i = 0; i < 4; ++i)
        if (text == kAliases[i]) return 16 + i;
    if (text.size() < 2 || text.size() > 3 || text[0] != 'R') return std::nullopt;
    if (!std::all_of(text.begin() + 1, text.end(), [](char c) { return std::isdigit(uint8_t(c)); }))
        return std::nullopt;
    if (text.size() == 3 && text[1] == '0') return std::nullopt;
    const int number = std::atoi(text.c_str() + 1);
    if (number >= mv::kRegisterCount) return std::nullopt;
    return number;
}

bool looksLikeRegister(std::string_view name) {
    const std::string text = upper(name);
    return registerNumber(name) ||
           (text.size() > 1 && text[0] == 'R' && std::isdigit(uint8_t(text[1])));
}

std::optional<int> opcodeOf(std::string_view mnemonic) {
    const std::string text = upper(mnemonic);
    for (size_t op = 0; op < kInstructions.size(); ++op)
        if (kInstructions[op].mnemonic == text) return int(op);
    return std::nullopt;
}

const char *operandName(Operand kind) {
    switch (kind) {
    case Operand::Register: return "register";
    case Operand::Imm8: return "8-bit immediate";
    case Operand::Imm16: return "16-bit immediate";
    case Operand::Imm32: return "32-bit immediate";
    case Operand::Address: return "address";
    case Operand::Interrupt: return "interrupt";
    case Operand::None: break;
    }
    return "";
}

std::string signature(const InstructionInfo &info) {
    std::string text = std::string(info.mnemonic) + " takes " +
                       std::to_string(info.operandCount()) + " operand" +
                       (info.operandCount() == 1 ? "" : "s");
    for (int i = 0; i < info.operandCount(); ++i)
        text += std::string(i ? ", " : " (") + operandName(info.operands[i]);
    return text + (info.operandCount() ? ")" : "");
}

// ---------------------------------------------------------------- assembler

class Assembler {
public:
    Assembler(std::string_view file, Program &program) : program_(program), file_(file) {}

    void line(std::string_view text, int number) {
        line_ = number;
        tokens_.clear();
        position_ = 0;
        if (!Lexer(text, number, diagnostics_).run(tokens_)) return;
        while (peek().kind == TokenKind::Identifier && tokens_[position_ + 1].text == ":" &&
               tokens_[position_ + 1].kind == TokenKind::Punct) {
            defineLabel(peek());
            position_ += 2;
        }
        if (peek().kind == TokenKind::End) return;
        const Token &head = take();
        if (head.kind != TokenKind::Identifier) {
            error(head.column, "expected a mnemonic, a directive or a label");
        } else if (head.text[0] == '.') {
            directive(head);
        } else if (const auto op = opcodeOf(head.text)) {
            instruction(*op, head);
        } else {
            error(head.column, "unknown mnemonic '" + head.text + "'");
        }
    }

    void finish() {
        if (int64_t(program_.bytes.size()) > kMaxProgramLength)
            diagnostics_.report(line_, 1, "program exceeds 65535 bytes");
        for (const Fixup &fixup : fixups_) {
            if (const auto value = evaluate(fixup.expression, true))
                place(fixup.offset, fixup.slot, fixup.expression, *value);
        }
        // Patch errors come last; list everything in source order.
        std::stable_sort(diagnostics_.found.begin(), diagnostics_.found.end(),
                         [](const Diagnostic &a, const Diagnostic &b) { return a.line < b.line; });
        for (const Diagnostic &d : diagnostics_.found)
            program_.errors.push_back(std::string(file_) + ":" + std::to_string(d.line) + ":" +
                                      std::to_string(d.column) + ": " + d.message);
    }

private:
    const Token &peek() const { return tokens_[position_]; }
    const Token &take() {
        return tokens_[position_ == tokens_.size() - 1 ? position_ : position_++];
    }
    bool takePunct(const char *punct) {
        if (peek().kind != TokenKind::Punct || peek().text != punct) return false;
        ++position_;
        return true;
    }
    void error(int column, const std::string &message) {
        diagnostics_.report(line_, column, message);
    }

    void defineLabel(const Token &token) {
        if (looksLikeRegister(token.text)) {
            error(token.column, "'" + token.text + "' is a register name, not a label");
        } else if (!program_.labels.emplace(token.text, uint32_t(program_.bytes.size())).second) {
            error(token.column, "label '" + token.text + "' is defined twice");
        }
    }

    bool expectEnd() {
        if (peek().kind == TokenKind::End) return true;
        error(peek().column, "unexpected '" + describe(peek()) + "' after the operands");
        return false;
    }

    static std::string describe(const Token &token) {
        return token.kind == TokenKind::String ? "\"" + token.text + "\"" : token.text;
    }

    // expression := [sign] term { (+|-) term }, or a lone signed float.
    std::optional<Expression> expression() {
        Expression result{0, {}, false, 0, line_, peek().column};
        bool negative = false;
        if (takePunct("-")) negative = true;
        else takePunct("+");
        if (peek().kind == TokenKind::Float) {
            result.isFloat = true;
            result.real = negative ? -take().real : take().real;
            return result;
        }
        while (true) {
            const Token &token = take();
            if (token.kind == TokenKind::Integer || token.kind == TokenKind::Character) {
                if (!accumulate(result.constant, token.integer, negative)) {
                    error(token.column, "the expression overflows 64-bit arithmetic");
                    return std::nullopt;
                }
            } else if (token.kind == TokenKind::Identifier && !looksLikeRegister(token.text)) {
                result.labels.push_back({token.text, negative, token.column});
            } else {
                error(token.column,
                      token.kind == TokenKind::End
                          ? std::string("missing operand")
                          : "expected a number or a label, found '" + describe(token) + "'");
                return std::nullopt;
            }
            if (takePunct("+")) negative = false;
            else if (takePunct("-")) negative = true;
            else return result;
        }
    }

    // Label references resolved; unresolved ones are reported when final.
    std::optional<int64_t> evaluate(const Expression &expression, bool final) {
        int64_t value = expression.constant;
        for (const LabelReference &reference : expression.labels) {
            const auto found = program_.labels.find(reference.name);
            if (found == program_.labels.end()) {
                if (final)
                    diagnostics_.report(expression.line, reference.column,
                                        "undefined label '" + reference.name + "'");
                return std::nullopt;
            }
            if (!accumulate(value, int64_t(found->second), reference.negative)) {
                if (final)
                    diagnostics_.report(expression.line, reference.column,
                                        "the expression overflows 64-bit arithmetic");
                return std::nullopt;
            }
        }
        return value;
    }

    // total += term (or -= term); false when the result leaves int64.
    static bool accumulate(int64_t &total, int64_t term, bool negative) {
        return !(negative ? __builtin_sub_overflow(total, term, &total)
                          : __builtin_add_overflow(total, term, &total));
    }

    void place(size_t offset, const Slot &slot, const Expression &expression, int64_t value) {
        if (value < slot.low || value > slot.high) {
            diagnostics_.report(expression.line, expression.column,
                                "value " + std::to_string(value) + " is out of range for " +
                                    slot.what + " (" + std::to_string(slot.low) + ".." +
                                    std::to_string(slot.high) + ")");
            return;
        }
        for (int i = 0; i < slot.size; ++i)
            program_.bytes[offset + i] = uint8_t(uint64_t(value) >> (8 * i));
    }

    // Emits a value slot now, or a placeholder patched by finish().
    void emit(const Slot &slot, const Expression &expression) {
        const size_t offset = program_.bytes.size();
        program_.bytes.resize(offset + slot.size, 0);
        if (expression.isFloat) {
            if (!slot.acceptsFloat)
                return diagnostics_.report(expression.line, expression.column,
                                           std::string("a float needs a 32-bit operand, not ") +
                                               slot.what);
            return place(offset, slot, expression, std::bit_cast<uint32_t>(float(expression.real)));
        }
        if (const auto value = evaluate(expression, false)) place(offset, slot, expression, *value);
        else fixups_.push_back({offset, slot, expression});
    }

    bool registerOperand() {
        const Token &token = take();
        const auto number =
            token.kind == TokenKind::Identifier ? registerNumber(token.text) : std::nullopt;
        if (!number) {
            error(token.column, "expected a register (R0..R19, pc, fp, sp, lr), found '" +
                                    (token.kind == TokenKind::End ? std::string("end of line")
                                                                  : describe(token)) +
                                    "'");
            return false;
        }
        program_.bytes.push_back(uint8_t(*number));
        return true;
    }

    bool valueOperand(Operand kind) {
        if (kind == Operand::Interrupt && peek().kind == TokenKind::Identifier) {
            const Token &token = take();
            const auto number = interruptNumber(token.text);
            if (!number) error(token.column, "unknown interrupt '" + token.text + "'");
            else program_.bytes.push_back(uint8_t(*number));
            return bool(number);
        }
        const auto value = expression();
        if (value) emit(slotFor(kind), *value);
        return bool(value);
    }

    void instruction(int op, const Token &head) {
        const InstructionInfo &info = kInstructions[op];
        program_.bytes.push_back(uint8_t(op));
        for (int i = 0; i < info.operandCount(); ++i) {
            if (i > 0 && !takePunct(",")) {
                error(peek().column, signature(info));
                return;
            }
            if (peek().kind == TokenKind::End) {
                error(head.column, signature(info));
                return;
            }
            const bool good = info.operands[i] == Operand::Register
                                  ? registerOperand()
                                  : valueOperand(info.operands[i]);
            if (!good) return;
        }
        if (peek().kind == TokenKind::Punct && peek().text == ",") {
            error(peek().column, signature(info));
            return;
        }
        expectEnd();
    }

    void directive(const Token &head) {
        const std::string name = upper(head.text);
        if (name == ".ZERO") {
            const auto count = expression();
            if (!count) return;
            const auto value = count->isFloat || !count->labels.empty()
                                   ? std::nullopt
                                   : std::optional<int64_t>(count->constant);
            if (!value || *value < 0 || *value > kMaxProgramLength)
                return error(count->column, "a .zero count is a number from 0 to 65535");
            program_.bytes.resize(program_.bytes.size() + size_t(*value), 0);
            expectEnd();
            return;
        }
        const Slot *slot = name == ".BYTE"                       ? &kByteSlot
                           : name == ".HALF"                     ? &kHalfSlot
                           : name == ".WORD" || name == ".FLOAT" ? &kWordSlot
                                                                 : nullptr;
        if (!slot && name != ".STRING")
            return error(head.column, "unknown directive '" + head.text + "'");
        do {
            if (name == ".STRING") {
                const Token &token = take();
                if (token.kind != TokenKind::String)
                    return error(token.column, "expected a string in double quotes");
                program_.bytes.insert(program_.bytes.end(), token.text.begin(), token.text.end());
                program_.bytes.push_back(0);
                continue;
            }
            auto value = expression();
            if (!value) return;
            if (name == ".FLOAT" && !value->isFloat) {
                if (!value->labels.empty())
                    return error(value->column, "a .float value is a number");
                value->isFloat = true;
                value->real = double(value->constant);
            }
            emit(*slot, *value);
        } while (takePunct(","));
        expectEnd();
    }

    Program &program_;
    std::string_view file_;
    Diagnostics diagnostics_;
    std::vector<Token> tokens_;
    size_t position_ = 0;
    int line_ = 0;
    std::vector<Fixup> fixups_;
};

} // namespace

uint32_t Program::address(std::string_view label) const {
    const auto found = labels.find(label);
    return found == labels.end() ? UINT32_MAX : found->second;
}

Program assemble(std::string_view source, std::string_view fileName) {
    Program program;
    Assembler assembler(fileName, program);
    int number = 1;
    while (!source.empty()) {
        const size_t end = source.find('\n');
        std::string_view text = source.substr(0, end);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        assembler.line(text, number++);
        source = end == std::string_view::npos ? std::string_view() : source.substr(end + 1);
    }
    assembler.finish();
    if (!program.ok()) program.bytes.clear();
    return program;
}

} // namespace mvasm
