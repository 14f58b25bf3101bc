// The signal-processor instruction set as one list: opcode, mnemonic,
// operand layout and meaning. The list generates the opcode enum, the
// instruction table (the interpreter takes instruction lengths from it; the
// assembler and disassembler take names and operand kinds) and the
// interpreter's handler table.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace mv {

// What an operand byte group means; the size follows from the kind.
enum class Operand : uint8_t {
    None,
    Register, // one byte, 0..19
    Imm8,     // also flag bytes
    Imm16,
    Imm32,
    Address,   // a16: absolute image address (or branch target)
    Interrupt, // one byte, 0..255, named in the assembler
};

constexpr int operandSize(Operand kind) {
    switch (kind) {
    case Operand::None: return 0;
    case Operand::Register:
    case Operand::Imm8:
    case Operand::Interrupt: return 1;
    case Operand::Imm16:
    case Operand::Address: return 2;
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
constexpr std::array<Operand, kMaxOperands> n{Interrupt, None, None};
constexpr std::array<Operand, kMaxOperands> r{Register, None, None};
constexpr std::array<Operand, kMaxOperands> rr{Register, Register, None};
constexpr std::array<Operand, kMaxOperands> rrr{Register, Register, Register};
constexpr std::array<Operand, kMaxOperands> ri32{Register, Imm32, None};
constexpr std::array<Operand, kMaxOperands> ri16{Register, Imm16, None};
constexpr std::array<Operand, kMaxOperands> ri8{Register, Imm8, None};
constexpr std::array<Operand, kMaxOperands> ra{Register, Address, None};
constexpr std::array<Operand, kMaxOperands> ar{Address, Register, None};
constexpr std::array<Operand, kMaxOperands> rra{Register, Register, Address};
constexpr std::array<Operand, kMaxOperands> a{Address, None, None};
constexpr std::array<Operand, kMaxOperands> aai16{Address, Address, Imm16};
constexpr std::array<Operand, kMaxOperands> ai16{Address, Imm16, None};
constexpr std::array<Operand, kMaxOperands> flag{Register, Imm8, None};
} // namespace detail

// Every instruction in opcode order (the byte code's numbering), as
// X(mnemonic, operand layout). Operands are written as the assembler takes
// them: d destination register, a b c s registers, t an address, f a flag
// byte; "[x]" is the image at address x. Memory accesses are
// little-endian; a failing check stops the program with its status.
#define MV_DSP_OPCODES(X)                                                                       \
    X(NOP, none)    /* does nothing */                                                          \
    X(HALT, none)   /* stops the program, pc on the HALT */                                     \
    X(INT, n)       /* INT n: runs interrupt service n */                                       \
    X(LDI32, ri32)  /* LDI32 d v: d = v */                                                      \
    X(LDI16, ri16)  /* LDI16 d v: d = v, zero-extended */                                       \
    X(LDI8, ri8)    /* LDI8 d v: d = v, zero-extended */                                        \
    X(MOV, rr)      /* MOV d s: d = s */                                                        \
    X(PUSH, r)      /* PUSH s: sp -= 4, [sp] = s */                                             \
    X(POP, r)       /* POP d: d = [sp], sp += 4 */                                              \
    X(POP2, rr)     /* POP2 a b: POP a, then POP b */                                           \
    X(DUP, none)    /* pushes a copy of the top word */                                         \
    X(CALL, a)      /* CALL t: lr = the next instruction, jumps to t */                         \
    X(RET, none)    /* jumps to lr */                                                           \
    X(ST32, ar)     /* ST32 t s: 32-bit [t] = s */                                              \
    X(ST32R, rr)    /* ST32R a s: 32-bit [a] = s */                                             \
    X(ST16, ar)     /* ST16 t s: 16-bit [t] = low half of s */                                  \
    X(ST16R, rr)    /* ST16R a s: 16-bit [a] = low half of s */                                 \
    X(ST8, ar)      /* ST8 t s: byte [t] = low byte of s */                                     \
    X(ST8R, rr)     /* ST8R a s: byte [a] = low byte of s */                                    \
    X(LD32, ra)     /* LD32 d t: d = 32-bit [t] */                                              \
    X(LD32R, rr)    /* LD32R d a: d = 32-bit [a] */                                             \
    X(LD16, ra)     /* LD16 d t: d = 16-bit [t], zero-extended */                               \
    X(LD16R, rr)    /* LD16R d a: d = 16-bit [a], zero-extended */                              \
    X(LD8, ra)      /* LD8 d t: d = byte [t], zero-extended */                                  \
    X(LD8R, rr)     /* LD8R d a: d = byte [a], zero-extended */                                 \
    X(COPY, aai16)  /* COPY t u n: copies n bytes from [u] to [t] */                            \
    X(COPYR, rrr)   /* COPYR a b c: copies c bytes from [b] to [a] */                           \
    X(INC, r)       /* INC d: d = d + 1 */                                                      \
    X(FINC, r)      /* FINC d: d = d + 1.0 as float */                                          \
    X(DEC, r)       /* DEC d: d = d - 1 */                                                      \
    X(FDEC, r)      /* FDEC d: d = d - 1.0 as float */                                          \
    X(ADD, rrr)     /* ADD d a b: d = a + b */                                                  \
    X(FADD, rrr)    /* FADD d a b: d = a + b as floats */                                       \
    X(SUB, rrr)     /* SUB d a b: d = a - b */                                                  \
    X(FSUB, rrr)    /* FSUB d a b: d = a - b as floats */                                       \
    X(MULU, rrr)    /* MULU d a b: d = a * b, low 32 bits */                                    \
    X(MUL, rrr)     /* MUL d a b: d = a * b, low 32 bits (as MULU) */                           \
    X(FMUL, rrr)    /* FMUL d a b: d = a * b as floats */                                       \
    X(DIVU, rrr)    /* DIVU d a b: d = a / b unsigned; b = 0 faults */                          \
    X(DIV, rrr)     /* DIV d a b: d = a / b signed; b = 0 or overflow faults */                 \
    X(FDIV, rrr)    /* FDIV d a b: d = a / b as floats */                                       \
    X(SHL, rrr)     /* SHL d a b: d = a << (b mod 32) */                                        \
    X(SHR, rrr)     /* SHR d a b: d = a >> (b mod 32), zeros in */                              \
    X(SAR, rrr)     /* SAR d a b: d = a >> (b mod 32), sign in */                               \
    X(MODU, rrr)    /* MODU d a b: d = a mod b unsigned; b = 0 faults */                        \
    X(MOD, rrr)     /* MOD d a b: d = a mod b signed; b = 0 or overflow faults */               \
    X(AND, rrr)     /* AND d a b: d = a & b */                                                  \
    X(OR, rrr)      /* OR d a b: d = a | b */                                                   \
    X(XOR, rrr)     /* XOR d a b: d = a ^ b */                                                  \
    X(NOT, rr)      /* NOT d s: d = ~s */                                                       \
    X(NOPA, r)      /* NOPA s: does nothing with a checked register */                          \
    X(NOPB, r)      /* NOPB s: as NOPA */                                                       \
    X(ITOF, rr)     /* ITOF d s: d = signed s as float */                                       \
    X(FTOI, rr)     /* FTOI d s: d = float s as signed integer; NaN, out of range 0x80000000 */ \
    X(JMP, a)       /* JMP t: jumps to t */                                                     \
    X(JMPR, r)      /* JMPR s: jumps to s */                                                    \
    X(JZ, ra)       /* JZ a t: jumps to t if a = 0 */                                           \
    X(JNZ, ra)      /* JNZ a t: jumps to t if a != 0 */                                         \
    X(JEQ, rra)     /* JEQ a b t: jumps to t if a = b */                                        \
    X(JNE, rra)     /* JNE a b t: jumps to t if a != b */                                       \
    X(JGTU, rra)    /* JGTU a b t: jumps to t if a > b unsigned */                              \
    X(JGT, rra)     /* JGT a b t: jumps to t if a > b signed */                                 \
    X(JGEU, rra)    /* JGEU a b t: jumps to t if a >= b unsigned */                             \
    X(JGE, rra)     /* JGE a b t: jumps to t if a >= b signed */                                \
    X(JLTU, rra)    /* JLTU a b t: jumps to t if a < b unsigned */                              \
    X(JLT, rra)     /* JLT a b t: jumps to t if a < b signed */                                 \
    X(JLEU, rra)    /* JLEU a b t: jumps to t if a <= b unsigned */                             \
    X(JLE, rra)     /* JLE a b t: jumps to t if a <= b signed */                                \
    X(PRINTU, flag) /* PRINTU s f: prints s unsigned, a newline after if f != 0 */              \
    X(PRINTI, flag) /* PRINTI s f: prints s signed, a newline after if f != 0 */                \
    X(PRINTF, flag) /* PRINTF s f: prints s as float, a newline after if f != 0 */              \
    X(PUTC, r)      /* PUTC s: writes the low byte of s */                                      \
    X(PUTS, a)      /* PUTS t: writes the zero-terminated string at t */                        \
    X(PUTNL, none)  /* writes a newline and flushes */                                          \
    X(READU, r)     /* READU d: d = an unsigned number read from input */                       \
    X(READI, r)     /* READI d: d = a signed number read from input */                          \
    X(READF, r)     /* READF d: d = a float read from input */                                  \
    X(GETC, r)      /* GETC d: d = a byte read from input, -1 at its end */                     \
    X(GETS, ai16)   /* GETS t n: reads a line of at most n - 1 bytes to t */                    \
    X(CMP, rrr)     /* CMP d a b: d = 1, 0 or -1 as a >, = or < b signed */                     \
    X(CMPU, rrr)    /* CMPU d a b: d = 1, 0 or -1 as a >, = or < b unsigned */                  \
    X(FCMP, rrr)    /* FCMP d a b: as CMP on floats, d = 2 when unordered */

#define MV_DSP_OPCODE_ENUM(name, operands) OP_##name,
enum Opcode : uint8_t { MV_DSP_OPCODES(MV_DSP_OPCODE_ENUM) OPCODE_COUNT };
#undef MV_DSP_OPCODE_ENUM

// Indexed by opcode.
constexpr std::array<InstructionInfo, OPCODE_COUNT> kInstructions{{
#define MV_DSP_INSTRUCTION_INFO(name, operands) {#name, detail::operands},
    MV_DSP_OPCODES(MV_DSP_INSTRUCTION_INFO)
#undef MV_DSP_INSTRUCTION_INFO
}};

// Spot checks against the byte code's documented lengths.
static_assert(kInstructions[OP_LDI32].length() == 6 && kInstructions[OP_COPY].length() == 7);
static_assert(kInstructions[OP_GETS].length() == 5 && kInstructions[OP_JLE].length() == 5);
static_assert(kInstructions[OP_ST32].length() == 4 && kInstructions[OP_PRINTF].length() == 3);

} // namespace mv
