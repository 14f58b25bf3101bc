// The signal-processor interpreter: one handler per opcode, threaded through
// a table of label addresses (computed goto).
//
// pc model: while an instruction executes, pc (R16) stands on its last byte,
// which is what a failure leaves behind and what an instruction that reads
// pc as a register sees. Afterwards pc steps one byte further, to the next
// instruction; an ordinary instruction that writes R16 therefore continues
// one byte after the value it wrote. Jumps, calls and returns set pc directly.
//
// Speed: pc, the image and the budget live in locals. A single compare
// decides that the longest instruction fits in front of the image's end, so
// the exact fetch checks only run in the last few bytes. Handlers that read
// registers first store the pc value into R16, so reading pc needs no test.
#include "mv_dsp_isa.h"
#include "mv_dsp_vm.h"

#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
using namespace mv::dsp;

constexpr uint32_t PC = MV_DSP_PC;
constexpr uint32_t SP = MV_DSP_SP;
constexpr uint32_t LR = MV_DSP_LR;
constexpr uint32_t kWord = 4;
constexpr uint32_t kAddressMask = 0xFFFF;

// Integer division or remainder by zero, and INT_MIN / -1, stop the run with
// the status the instruction set otherwise never produces, so a report of it
// points unambiguously at the DIV/DIVU/MOD/MODU at the reported pc.
constexpr MvDspStatus kArithmeticFault = MV_DSP_UNSUPPORTED_OPCODE;

constexpr std::array<uint8_t, OPCODE_COUNT> kLengths = [] {
    std::array<uint8_t, OPCODE_COUNT> lengths{};
    for (int op = 0; op < OPCODE_COUNT; ++op) lengths[op] = uint8_t(kInstructions[op].length());
    return lengths;
}();

inline float asFloat(uint32_t bits) { return std::bit_cast<float>(bits); }
inline uint32_t floatBits(float value) { return std::bit_cast<uint32_t>(value); }

// Truncation toward zero; NaN and anything outside int32 give INT_MIN.
inline uint32_t floatToInt(float value) {
    constexpr float kTwoTo31 = 2147483648.0f;
    if (value >= -kTwoTo31 && value < kTwoTo31) return uint32_t(int32_t(value));
    return uint32_t(INT32_MIN);
}

template <typename T>
inline uint32_t compareValues(T a, T b) {
    return a > b ? 1u : a < b ? uint32_t(-1) : 0u;
}

inline uint32_t compareFloats(float a, float b) {
    constexpr uint32_t kUnordered = 2;
    if (std::isnan(a) || std::isnan(b)) return kUnordered;
    return compareValues(a, b);
}

inline bool divisionFaults(int32_t dividend, int32_t divisor) {
    return divisor == 0 || (dividend == INT32_MIN && divisor == -1);
}

// Console instructions: the process's buffered standard streams.

void printValue(uint32_t value, int opcode, uint8_t newline) {
    if (opcode == OP_PRINTU) std::printf("%u", value);
    else if (opcode == OP_PRINTI) std::printf("%d", int32_t(value));
    else std::printf("%f", double(asFloat(value)));
    if (newline) std::putchar('\n');
}

void putByte(uint32_t value) {
    std::putchar(uint8_t(value));
    if (uint8_t(value) == '\n') std::fflush(stdout);
}

// Writes the zero-terminated string at address; false when it runs off the
// end of the image (what came before is written all the same).
bool putString(const uint8_t *memory, uint32_t address, uint32_t size) {
    for (; address < size; ++address) {
        if (memory[address] == 0) return true;
        putByte(memory[address]);
    }
    return false;
}

// Reads with a scanf format; a failed read leaves the register alone.
void readValue(uint32_t *target, int opcode) {
    if (opcode == OP_READF) {
        float value;
        if (std::scanf("%f", &value) == 1) *target = floatBits(value);
    } else if (opcode == OP_READU) {
        unsigned value;
        if (std::scanf("%u", &value) == 1) *target = value;
    } else {
        int value;
        if (std::scanf("%d", &value) == 1) *target = uint32_t(value);
    }
}

// One line, newline kept, zero-terminated, into length bytes at target.
void readLine(uint8_t *target, uint32_t length) {
    if (length <= 1 || !std::fgets(reinterpret_cast<char *>(target), int(length), stdin))
        target[0] = 0;
}

} // namespace

MvDspStatus dspVmRun(MvDspVm *vm, uint32_t budget) {
    static const void *const kHandlers[OPCODE_COUNT] = {
        &&op_NOP, &&op_HALT, &&op_INT, &&op_LDI32, &&op_LDI16, &&op_LDI8, &&op_MOV, &&op_PUSH,
        &&op_POP, &&op_POP2, &&op_DUP, &&op_CALL, &&op_RET, &&op_ST32, &&op_ST32R, &&op_ST16,
        &&op_ST16R, &&op_ST8, &&op_ST8R, &&op_LD32, &&op_LD32R, &&op_LD16, &&op_LD16R, &&op_LD8,
        &&op_LD8R, &&op_COPY, &&op_COPYR, &&op_INC, &&op_FINC, &&op_DEC, &&op_FDEC, &&op_ADD,
        &&op_FADD, &&op_SUB, &&op_FSUB, &&op_MULU, &&op_MUL, &&op_FMUL, &&op_DIVU, &&op_DIV,
        &&op_FDIV, &&op_SHL, &&op_SHR, &&op_SAR, &&op_MODU, &&op_MOD, &&op_AND, &&op_OR,
        &&op_XOR, &&op_NOT, &&op_NOPA, &&op_NOPB, &&op_ITOF, &&op_FTOI, &&op_JMP, &&op_JMPR,
        &&op_JZ, &&op_JNZ, &&op_JEQ, &&op_JNE, &&op_JGTU, &&op_JGT, &&op_JGEU, &&op_JGE,
        &&op_JLTU, &&op_JLT, &&op_JLEU, &&op_JLE, &&op_PRINTU, &&op_PRINTI, &&op_PRINTF,
        &&op_PUTC, &&op_PUTS, &&op_PUTNL, &&op_READU, &&op_READI, &&op_READF, &&op_GETC,
        &&op_GETS, &&op_CMP, &&op_CMPU, &&op_FCMP,
    };

    uint8_t *const mem = vm->memory;
    uint32_t *const reg = vm->registers;
    const uint32_t size = vm->memorySize;
    const uint32_t stackBase = vm->stackBase;
    // Below fastEnd every instruction fits: pc + 6 < size.
    const uint32_t fastEnd = size >= kMaxInstructionLength ? size - (kMaxInstructionLength - 1) : 0;
    uint64_t left = budget ? budget : UINT64_MAX;
    uint32_t pc = reg[PC];
    uint32_t op;

// Operand bytes relative to the opcode.
#define BYTE(offset) uint32_t(mem[pc + (offset)])
#define HALF(offset) uint32_t(dspVmLoadHalf(mem + pc + (offset)))
#define BAD(r) ((r) >= uint32_t(kRegisterCount))
#define FAIL(status, length)                                                                   \
    do {                                                                                       \
        reg[PC] = pc + (length) - 1;                                                           \
        return (status);                                                                       \
    } while (0)
#define CHECK_REGISTER(r, length)                                                              \
    if (__builtin_expect(BAD(r), 0)) FAIL(MV_DSP_INVALID_REGISTER, length)
#define SYNC_PC(length) reg[PC] = pc + (length) - 1
#define DISPATCH()                                                                             \
    do {                                                                                       \
        if (__builtin_expect(pc >= fastEnd, 0)) goto fetch_near_end;                           \
        op = mem[pc];                                                                          \
        if (__builtin_expect(op >= OPCODE_COUNT, 0)) goto unknown_opcode;                      \
        goto *kHandlers[op];                                                                   \
    } while (0)
#define NEXT(length)                                                                           \
    do {                                                                                       \
        pc += (length);                                                                        \
        if (__builtin_expect(--left == 0, 0)) goto out_of_budget;                              \
        DISPATCH();                                                                            \
    } while (0)
// After writing register d: a written pc continues one byte past its value.
#define NEXT_AFTER_WRITE(length, d)                                                            \
    do {                                                                                       \
        if (__builtin_expect((d) == PC, 0)) goto pc_written;                                   \
        NEXT(length);                                                                          \
    } while (0)
// d ← f(R[a], R[b]) for the four-byte three-register instructions.
#define BINARY(expression)                                                                     \
    {                                                                                          \
        const uint32_t d = BYTE(1), a = BYTE(2), b = BYTE(3);                                  \
        if (__builtin_expect(BAD(d) | BAD(a) | BAD(b), 0)) FAIL(MV_DSP_INVALID_REGISTER, 4);   \
        SYNC_PC(4);                                                                            \
        const uint32_t x = reg[a], y = reg[b];                                                 \
        reg[d] = (expression);                                                                 \
        NEXT_AFTER_WRITE(4, d);                                                                \
    }
#define FLOAT_BINARY(expression) BINARY(floatBits(expression))
#define UNARY(length, expression)                                                              \
    {                                                                                          \
        const uint32_t d = BYTE(1);                                                            \
        CHECK_REGISTER(d, length);                                                             \
        SYNC_PC(length);                                                                       \
        const uint32_t x = reg[d];                                                             \
        reg[d] = (expression);                                                                 \
        NEXT_AFTER_WRITE(length, d);                                                           \
    }
#define CONVERT(expression)                                                                    \
    {                                                                                          \
        const uint32_t d = BYTE(1), s = BYTE(2);                                               \
        if (__builtin_expect(BAD(d) | BAD(s), 0)) FAIL(MV_DSP_INVALID_REGISTER, 3);            \
        SYNC_PC(3);                                                                            \
        const uint32_t x = reg[s];                                                             \
        reg[d] = (expression);                                                                 \
        NEXT_AFTER_WRITE(3, d);                                                                \
    }
#define DIVISION(expression)                                                                   \
    {                                                                                          \
        const uint32_t d = BYTE(1), a = BYTE(2), b = BYTE(3);                                  \
        if (BAD(d) | BAD(a) | BAD(b)) FAIL(MV_DSP_INVALID_REGISTER, 4);                       \
        SYNC_PC(4);                                                                            \
        const uint32_t x = reg[a], y = reg[b];                                                 \
        if (divisionFaults(int32_t(x), int32_t(y))) FAIL(kArithmeticFault, 4);                 \
        reg[d] = (expression);                                                                 \
        NEXT_AFTER_WRITE(4, d);                                                                \
    }
#define UNSIGNED_DIVISION(expression)                                                          \
    {                                                                                          \
        const uint32_t d = BYTE(1), a = BYTE(2), b = BYTE(3);                                  \
        if (BAD(d) | BAD(a) | BAD(b)) FAIL(MV_DSP_INVALID_REGISTER, 4);                       \
        SYNC_PC(4);                                                                            \
        const uint32_t x = reg[a], y = reg[b];                                                 \
        if (y == 0) FAIL(kArithmeticFault, 4);                                                 \
        reg[d] = (expression);                                                                 \
        NEXT_AFTER_WRITE(4, d);                                                                \
    }
// Jumps to t16 at offset 3 when R[r] satisfies the condition.
#define BRANCH_ONE(condition)                                                                  \
    {                                                                                          \
        const uint32_t r = BYTE(1);                                                            \
        CHECK_REGISTER(r, 4);                                                                  \
        SYNC_PC(4);                                                                            \
        const uint32_t x = reg[r];                                                             \
        if (condition) {                                                                       \
            pc = HALF(2);                                                                      \
            NEXT(0);                                                                           \
        }                                                                                      \
        NEXT(4);                                                                               \
    }
#define BRANCH_TWO(type, comparison)                                                           \
    {                                                                                          \
        const uint32_t a = BYTE(1), b = BYTE(2);                                               \
        if (__builtin_expect(BAD(a) | BAD(b), 0)) FAIL(MV_DSP_INVALID_REGISTER, 5);            \
        SYNC_PC(5);                                                                            \
        if (type(reg[a]) comparison type(reg[b])) {                                            \
            pc = HALF(3);                                                                      \
            NEXT(0);                                                                           \
        }                                                                                      \
        NEXT(5);                                                                               \
    }
// Memory access at address with width bytes must end inside the image.
#define CHECK_ACCESS(address, width, length)                                                   \
    if (__builtin_expect((address) + (width) - 1 >= size, 0)) FAIL(MV_DSP_INVALID_ADDRESS, length)
#define STORE_ABSOLUTE(width, store)                                                           \
    {                                                                                          \
        const uint32_t address = HALF(1), r = BYTE(3);                                         \
        CHECK_REGISTER(r, 4);                                                                  \
        CHECK_ACCESS(address, width, 4);                                                       \
        SYNC_PC(4);                                                                            \
        store(mem + address, reg[r]);                                                          \
        NEXT(4);                                                                               \
    }
#define STORE_REGISTER(width, store)                                                           \
    {                                                                                          \
        const uint32_t a = BYTE(1), s = BYTE(2);                                               \
        if (__builtin_expect(BAD(a) | BAD(s), 0)) FAIL(MV_DSP_INVALID_REGISTER, 3);            \
        SYNC_PC(3);                                                                            \
        const uint32_t address = reg[a] & kAddressMask;                                        \
        CHECK_ACCESS(address, width, 3);                                                       \
        store(mem + address, reg[s]);                                                          \
        NEXT(3);                                                                               \
    }
#define LOAD_ABSOLUTE(width, load)                                                             \
    {                                                                                          \
        const uint32_t r = BYTE(1), address = HALF(2);                                         \
        CHECK_REGISTER(r, 4);                                                                  \
        CHECK_ACCESS(address, width, 4);                                                       \
        reg[r] = load(mem + address);                                                          \
        NEXT_AFTER_WRITE(4, r);                                                                \
    }
#define LOAD_REGISTER(width, load)                                                             \
    {                                                                                          \
        const uint32_t d = BYTE(1), a = BYTE(2);                                               \
        if (__builtin_expect(BAD(d) | BAD(a), 0)) FAIL(MV_DSP_INVALID_REGISTER, 3);            \
        SYNC_PC(3);                                                                            \
        const uint32_t address = reg[a] & kAddressMask;                                        \
        CHECK_ACCESS(address, width, 3);                                                       \
        reg[d] = load(mem + address);                                                          \
        NEXT_AFTER_WRITE(3, d);                                                                \
    }
#define STORE_BYTE(at, value) (*(at) = uint8_t(value))
#define LOAD_BYTE(at) uint32_t(*(at))
// Block copy: both ranges must end inside the image (source checked first).
#define COPY_BLOCK(destination, source, count, length)                                         \
    {                                                                                          \
        if ((source) + (count) - 1 >= size || (destination) + (count) - 1 >= size)             \
            FAIL(MV_DSP_INVALID_ADDRESS, length);                                              \
        std::memmove(mem + (destination), mem + (source), count);                              \
        NEXT(length);                                                                          \
    }
// Pop checks for k words: enough words (else 7), sp not below the base (else 6).
#define CHECK_POP(words, length)                                                               \
    {                                                                                          \
        const uint64_t top = uint64_t(reg[SP]) + kWord * (words);                              \
        if (top > size) FAIL(MV_DSP_STACK_UNDERFLOW, length);                                  \
        if (reg[SP] < stackBase) FAIL(MV_DSP_STACK_OVERFLOW, length);                          \
    }
// Push check: room below sp (else 6); an sp above the top counts as underflow.
#define CHECK_PUSH(length)                                                                     \
    {                                                                                          \
        if (reg[SP] < stackBase + kWord) FAIL(MV_DSP_STACK_OVERFLOW, length);                  \
        if (reg[SP] > size) FAIL(MV_DSP_STACK_UNDERFLOW, length);                              \
    }
#define POP_INTO(r)                                                                            \
    {                                                                                          \
        const uint32_t value = dspVmLoadWord(mem + reg[SP]);                                   \
        reg[r] = value;                                                                        \
        reg[SP] += kWord;                                                                      \
    }
#define CONSOLE_READ(expression)                                                               \
    {                                                                                          \
        const uint32_t r = BYTE(1);                                                            \
        CHECK_REGISTER(r, 2);                                                                  \
        SYNC_PC(2);                                                                            \
        expression;                                                                            \
        NEXT_AFTER_WRITE(2, r);                                                                \
    }
#define PRINT()                                                                                \
    {                                                                                          \
        const uint32_t r = BYTE(1);                                                            \
        CHECK_REGISTER(r, 3);                                                                  \
        SYNC_PC(3);                                                                            \
        printValue(reg[r], int(op), mem[pc + 2]);                                              \
        NEXT(3);                                                                               \
    }

    DISPATCH();

fetch_near_end:
    if (pc >= size) {
        reg[PC] = pc;
        return MV_DSP_INVALID_ADDRESS;
    }
    op = mem[pc];
    if (op >= OPCODE_COUNT) goto unknown_opcode;
    if (pc + kLengths[op] - 1 >= size) {
        reg[PC] = pc;
        return MV_DSP_INVALID_ADDRESS;
    }
    goto *kHandlers[op];

unknown_opcode:
    reg[PC] = pc;
    return MV_DSP_UNKNOWN_OPCODE;

out_of_budget:
    reg[PC] = pc;
    return MV_DSP_NOT_RESPONDING;

pc_written:
    pc = reg[PC] + 1;
    NEXT(0);

op_NOP:
    NEXT(1);
op_HALT:
    reg[PC] = pc;
    return MV_DSP_OK;
op_INT: {
    reg[PC] = pc + 1;
    const MvDspInterruptCallback callback = vm->interruptCallback;
    if (!callback || uint8_t(callback(vm, BYTE(1))) == 0) return MV_DSP_INTERRUPT_ERROR;
    // The service may have moved pc; continue one byte past where it left it.
    pc = reg[PC] + 1;
    NEXT(0);
}
op_LDI32: {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    reg[r] = dspVmLoadWord(mem + pc + 2);
    NEXT_AFTER_WRITE(6, r);
}
op_LDI16: {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    reg[r] = HALF(2);
    NEXT_AFTER_WRITE(4, r);
}
op_LDI8: {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    reg[r] = BYTE(2);
    NEXT_AFTER_WRITE(3, r);
}
op_MOV:
    CONVERT(x)
op_PUSH: {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    CHECK_PUSH(2);
    reg[SP] -= kWord;
    SYNC_PC(2);
    dspVmStoreWord(mem + reg[SP], reg[r]);
    NEXT(2);
}
op_POP: {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    CHECK_POP(1, 2);
    POP_INTO(r);
    NEXT_AFTER_WRITE(2, r);
}
op_POP2: {
    const uint32_t a = BYTE(1), b = BYTE(2);
    if (BAD(a) | BAD(b)) FAIL(MV_DSP_INVALID_REGISTER, 3);
    CHECK_POP(2, 3);
    POP_INTO(a);
    // POP2 with a = sp pops the second word from wherever the first put sp.
    CHECK_POP(1, 3);
    POP_INTO(b);
    if (a == PC || b == PC) goto pc_written;
    NEXT(3);
}
op_DUP: {
    CHECK_PUSH(1);
    const uint32_t sp = reg[SP];
    if (uint64_t(sp) + kWord > size) FAIL(MV_DSP_STACK_UNDERFLOW, 1);
    dspVmStoreWord(mem + sp - kWord, dspVmLoadWord(mem + sp));
    reg[SP] = sp - kWord;
    NEXT(1);
}
op_CALL:
    reg[LR] = pc + 3;
    pc = HALF(1);
    NEXT(0);
op_RET:
    pc = reg[LR];
    NEXT(0);
op_ST32:
    STORE_ABSOLUTE(4, dspVmStoreWord)
op_ST32R:
    STORE_REGISTER(4, dspVmStoreWord)
op_ST16:
    STORE_ABSOLUTE(2, dspVmStoreHalf)
op_ST16R:
    STORE_REGISTER(2, dspVmStoreHalf)
op_ST8:
    STORE_ABSOLUTE(1, STORE_BYTE)
op_ST8R:
    STORE_REGISTER(1, STORE_BYTE)
op_LD32:
    LOAD_ABSOLUTE(4, dspVmLoadWord)
op_LD32R:
    LOAD_REGISTER(4, dspVmLoadWord)
op_LD16:
    LOAD_ABSOLUTE(2, dspVmLoadHalf)
op_LD16R:
    LOAD_REGISTER(2, dspVmLoadHalf)
op_LD8:
    LOAD_ABSOLUTE(1, LOAD_BYTE)
op_LD8R:
    LOAD_REGISTER(1, LOAD_BYTE)
op_COPY: {
    const uint32_t destination = HALF(1), source = HALF(3), count = HALF(5);
    COPY_BLOCK(destination, source, count, 7)
}
op_COPYR: {
    const uint32_t d = BYTE(1), s = BYTE(2), n = BYTE(3);
    if (BAD(d) | BAD(s) | BAD(n)) FAIL(MV_DSP_INVALID_REGISTER, 4);
    SYNC_PC(4);
    const uint32_t destination = reg[d] & kAddressMask, source = reg[s] & kAddressMask;
    const uint32_t count = reg[n] & kAddressMask;
    COPY_BLOCK(destination, source, count, 4)
}
op_INC:
    UNARY(2, x + 1)
op_FINC:
    UNARY(2, floatBits(asFloat(x) + 1.0f))
op_DEC:
    UNARY(2, x - 1)
op_FDEC:
    UNARY(2, floatBits(asFloat(x) - 1.0f))
op_ADD:
    BINARY(x + y)
op_FADD:
    FLOAT_BINARY(asFloat(x) + asFloat(y))
op_SUB:
    BINARY(x - y)
op_FSUB:
    FLOAT_BINARY(asFloat(x) - asFloat(y))
op_MULU:
op_MUL:
    BINARY(x * y)
op_FMUL:
    FLOAT_BINARY(asFloat(x) * asFloat(y))
op_DIVU:
    UNSIGNED_DIVISION(x / y)
op_DIV:
    DIVISION(uint32_t(int32_t(x) / int32_t(y)))
op_FDIV:
    FLOAT_BINARY(asFloat(x) / asFloat(y))
op_SHL:
    BINARY(x << (y & 31))
op_SHR:
    BINARY(x >> (y & 31))
op_SAR:
    BINARY(uint32_t(int32_t(x) >> (y & 31)))
op_MODU:
    UNSIGNED_DIVISION(x % y)
op_MOD:
    DIVISION(uint32_t(int32_t(x) % int32_t(y)))
op_AND:
    BINARY(x & y)
op_OR:
    BINARY(x | y)
op_XOR:
    BINARY(x ^ y)
op_NOT:
    CONVERT(~x)
op_NOPA:
op_NOPB: {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    NEXT(2);
}
op_ITOF:
    CONVERT(floatBits(float(int32_t(x))))
op_FTOI:
    CONVERT(floatToInt(asFloat(x)))
op_JMP:
    pc = HALF(1);
    NEXT(0);
op_JMPR: {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    SYNC_PC(2);
    pc = reg[r];
    NEXT(0);
}
op_JZ:
    BRANCH_ONE(x == 0)
op_JNZ:
    BRANCH_ONE(x != 0)
op_JEQ:
    BRANCH_TWO(uint32_t, ==)
op_JNE:
    BRANCH_TWO(uint32_t, !=)
op_JGTU:
    BRANCH_TWO(uint32_t, >)
op_JGT:
    BRANCH_TWO(int32_t, >)
op_JGEU:
    BRANCH_TWO(uint32_t, >=)
op_JGE:
    BRANCH_TWO(int32_t, >=)
op_JLTU:
    BRANCH_TWO(uint32_t, <)
op_JLT:
    BRANCH_TWO(int32_t, <)
op_JLEU:
    BRANCH_TWO(uint32_t, <=)
op_JLE:
    BRANCH_TWO(int32_t, <=)
op_PRINTU:
op_PRINTI:
op_PRINTF:
    PRINT()
op_PUTC: {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    SYNC_PC(2);
    putByte(reg[r]);
    NEXT(2);
}
op_PUTS: {
    const uint32_t address = HALF(1);
    if (address >= size || !putString(mem, address, size)) FAIL(MV_DSP_INVALID_ADDRESS, 3);
    NEXT(3);
}
op_PUTNL:
    std::putchar('\n');
    std::fflush(stdout);
    NEXT(1);
op_READU:
op_READI:
op_READF:
    CONSOLE_READ(readValue(&reg[r], int(op)))
op_GETC:
    CONSOLE_READ({
        const int c = std::getchar();
        reg[r] = c == EOF ? uint32_t(-1) : uint32_t(uint8_t(c));
    })
op_GETS: {
    const uint32_t address = HALF(1), length = HALF(3);
    if (address + length >= size) FAIL(MV_DSP_INVALID_ADDRESS, 5);
    readLine(mem + address, length);
    NEXT(5);
}
op_CMP:
    BINARY(compareValues(int32_t(x), int32_t(y)))
op_CMPU:
    BINARY(compareValues(x, y))
op_FCMP:
    BINARY(compareFloats(asFloat(x), asFloat(y)))
}
