// The signal-processor instruction set as one table: opcode, mnemonic and
// operand layout. The interpreter takes instruction lengths from it; the
// assembler and disassembler take names and operand kinds.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace mv::dsp {

enum Opcode : uint8_t {
    OP_NOP, OP_HALT, OP_INT, OP_LDI32, OP_LDI16, OP_LDI8, OP_MOV, OP_PUSH, OP_POP, OP_POP2,
    OP_DUP, OP_CALL, OP_RET, OP_ST32, OP_ST32R, OP_ST16, OP_ST16R, OP_ST8, OP_ST8R, OP_LD32,
    OP_LD32R, OP_LD16, OP_LD16R, OP_LD8, OP_LD8R, OP_COPY, OP_COPYR, OP_INC, OP_FINC, OP_DEC,
    OP_FDEC, OP_ADD, OP_FADD, OP_SUB, OP_FSUB, OP_MULU, OP_MUL, OP_FMUL, OP_DIVU, OP_DIV,
    OP_FDIV, OP_SHL, OP_SHR, OP_SAR, OP_MODU, OP_MOD, OP_AND, OP_OR, OP_XOR, OP_NOT,
    OP_NOPA, OP_NOPB, OP_ITOF, OP_FTOI, OP_JMP, OP_JMPR, OP_JZ, OP_JNZ, OP_JEQ, OP_JNE,
    OP_JGTU, OP_JGT, OP_JGEU, OP_JGE, OP_JLTU, OP_JLT, OP_JLEU, OP_JLE, OP_PRINTU, OP_PRINTI,
    OP_PRINTF, OP_PUTC, OP_PUTS, OP_PUTNL, OP_READU, OP_READI, OP_READF, OP_GETC, OP_GETS,
    OP_CMP, OP_CMPU, OP_FCMP,
    OPCODE_COUNT
};

// What an operand byte group means; the size follows from the kind.
enum class Operand : uint8_t {
    None,
    Register,  // one byte, 0..19
    Imm8,      // also flag bytes
    Imm16,
    Imm32,
    Address,   // a16: absolute image address (or branch target)
    Interrupt, // one byte, 0..255, named in the assembler
};

constexpr int operandSize(Operand kind) {
    switch (kind) {
    case Operand::None: return 0;
    case Operand::Register: case Operand::Imm8: case Operand::Interrupt: return 1;
    case Operand::Imm16: case Operand::Address: return 2;
    case Operand::Imm32: return 4;
    }
    return 0;
}

constexpr int kMaxOperands = 3;
constexpr int kMaxInstructionLength = 7; // COPY
constexpr int kRegisterCount = 20;

struct InstructionInfo {
    std::string_view mnemonic;
    std::array<Operand, kMaxOperands> operands;

    constexpr int length() const {
        return 1 + operandSize(operands[0]) + operandSize(operands[1]) + operandSize(operands[2]);
    }
    constexpr int operandCount() const {
        int n = 0;
        while (n < kMaxOperands && operands[n] != Operand::None) ++n;
        return n;
    }
};

namespace detail {
using enum Operand;
constexpr std::array<Operand, kMaxOperands> none{None, None, None};
constexpr std::array<Operand, kMaxOperands> r{Register, None, None};
constexpr std::array<Operand, kMaxOperands> rr{Register, Register, None};
constexpr std::array<Operand, kMaxOperands> rrr{Register, Register, Register};
constexpr std::array<Operand, kMaxOperands> ra{Register, Address, None};
constexpr std::array<Operand, kMaxOperands> ar{Address, Register, None};
constexpr std::array<Operand, kMaxOperands> rra{Register, Register, Address};
constexpr std::array<Operand, kMaxOperands> a{Address, None, None};
constexpr std::array<Operand, kMaxOperands> flag{Register, Imm8, None};
} // namespace detail

// Indexed by opcode; order and layout are the byte code's.
constexpr std::array<InstructionInfo, OPCODE_COUNT> kInstructions = [] {
    using namespace detail;
    return std::array<InstructionInfo, OPCODE_COUNT>{{
        {"NOP", none}, {"HALT", none}, {"INT", {Interrupt, None, None}},
        {"LDI32", {Register, Imm32, None}}, {"LDI16", {Register, Imm16, None}},
        {"LDI8", {Register, Imm8, None}}, {"MOV", rr}, {"PUSH", r}, {"POP", r}, {"POP2", rr},
        {"DUP", none}, {"CALL", a}, {"RET", none}, {"ST32", ar}, {"ST32R", rr}, {"ST16", ar},
        {"ST16R", rr}, {"ST8", ar}, {"ST8R", rr}, {"LD32", ra}, {"LD32R", rr}, {"LD16", ra},
        {"LD16R", rr}, {"LD8", ra}, {"LD8R", rr}, {"COPY", {Address, Address, Imm16}},
        {"COPYR", rrr}, {"INC", r}, {"FINC", r}, {"DEC", r}, {"FDEC", r}, {"ADD", rrr},
        {"FADD", rrr}, {"SUB", rrr}, {"FSUB", rrr}, {"MULU", rrr}, {"MUL", rrr}, {"FMUL", rrr},
        {"DIVU", rrr}, {"DIV", rrr}, {"FDIV", rrr}, {"SHL", rrr}, {"SHR", rrr}, {"SAR", rrr},
        {"MODU", rrr}, {"MOD", rrr}, {"AND", rrr}, {"OR", rrr}, {"XOR", rrr}, {"NOT", rr},
        {"NOPA", r}, {"NOPB", r}, {"ITOF", rr}, {"FTOI", rr}, {"JMP", a}, {"JMPR", r},
        {"JZ", ra}, {"JNZ", ra}, {"JEQ", rra}, {"JNE", rra}, {"JGTU", rra}, {"JGT", rra},
        {"JGEU", rra}, {"JGE", rra}, {"JLTU", rra}, {"JLT", rra}, {"JLEU", rra}, {"JLE", rra},
        {"PRINTU", flag}, {"PRINTI", flag}, {"PRINTF", flag}, {"PUTC", r}, {"PUTS", a},
        {"PUTNL", none}, {"READU", r}, {"READI", r}, {"READF", r}, {"GETC", r},
        {"GETS", {Address, Imm16, None}}, {"CMP", rrr}, {"CMPU", rrr}, {"FCMP", rrr},
    }};
}();

// Spot checks against the byte code's documented lengths.
static_assert(kInstructions[OP_LDI32].length() == 6 && kInstructions[OP_COPY].length() == 7);
static_assert(kInstructions[OP_GETS].length() == 5 && kInstructions[OP_JLE].length() == 5);
static_assert(kInstructions[OP_ST32].length() == 4 && kInstructions[OP_PRINTF].length() == 3);

} // namespace mv::dsp
