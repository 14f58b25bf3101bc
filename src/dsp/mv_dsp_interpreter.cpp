// The signal-processor interpreter: one handler per opcode, threaded through
// a table of label addresses (computed goto).
//
// pc model: while an instruction executes, pc (R16) stands on its last byte,
// which is what a failure leaves behind and what an instruction that reads
// pc as a register sees. Afterwards pc steps one byte further, to the next
// instruction; an ordinary instruction that writes R16 therefore continues
// one byte after the value it wrote. Jumps, calls and returns set pc directly.
//
// Speed: pc, the image and the budget live in locals, and the common case
// costs few branches:
//  - One compare (pc < limit) tells that the longest instruction fits before
//    the image's end; the exact fetch checks run in the last few bytes only.
//  - The budget is counted on every instruction but tested only where control
//    moves (jumps, calls, returns, interrupts, pc writes). Straight-line code
//    cannot run more than 0xFFFF instructions before pc leaves the image, so
//    while more than that remain nothing can run out in between; within the
//    last 0xFFFF the limit drops to 0 and every fetch takes the exact path,
//    which tests the budget after every instruction.
//  - Block instructions and interrupt services charge their work on top of
//    the instruction's own unit (one per word copied, per byte written or
//    read, and what a service reports in serviceUnits), so the budget bounds
//    a run's time and not only its instruction count. An instruction always
//    completes; a charge that uses up the budget ends the run before the
//    next one, as the last instruction of the budget would.
//  - Register operands are ORed together: below 16 they are all valid and
//    none is pc, so the handler needs no per-operand test and no pc update.
//    R16..R19 and invalid bytes take the checked path of the same handler.
#include "mv_dsp_blocks.h"
#include "mv_dsp_isa.h"
#include "mv_dsp_operations.h"
#include "mv_dsp_vm.h"

#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace mv {

namespace {

constexpr uint32_t PC = MV_DSP_PC;
constexpr uint32_t SP = MV_DSP_SP;
constexpr uint32_t LR = MV_DSP_LR;
constexpr uint32_t kWord = 4;
constexpr uint32_t kAddressMask = 0xFFFF;
constexpr uint32_t kFirstSpecialRegister = MV_DSP_PC;
// Most instructions one straight run can execute: pc only grows and stays
// below the 16-bit image size.
constexpr uint64_t kLongestStraightRun = 0xFFFF;
// A block copy costs one unit per word it moves beyond the instruction.
constexpr uint32_t kBytesPerCopyUnit = 4;

// Integer division or remainder by zero, and INT_MIN / -1, stop the run with
// the status the instruction set otherwise never produces, so a report of it
// points unambiguously at the DIV/DIVU/MOD/MODU at the reported pc.
constexpr MvDspStatus kArithmeticFault = MV_DSP_UNSUPPORTED_OPCODE;

constexpr std::array<uint8_t, OPCODE_COUNT> kLengths = [] {
    std::array<uint8_t, OPCODE_COUNT> lengths{};
    for (int op = 0; op < OPCODE_COUNT; ++op) lengths[op] = uint8_t(kInstructions[op].length());
    return lengths;
}();

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

// A block still stands for its bytes; a block whose bytes changed is dropped
// for good and its instructions run as byte code.
bool blockStillMatches(DspPrepared &prepared, FastBlock &block, const uint8_t *memory) {
    if (std::memcmp(memory + block.start, prepared.original + block.start, block.length) == 0) {
        block.checked = prepared.generation;
        return true;
    }
    prepared.blockAt[block.start] = 0;
    block.checked = kUncheckedBlock;
    return false;
}

// Read only: the block table of a VM without blocks.
uint16_t gNoBlocks[0x10000];

MvDspStatus interpret(MvDspVm *vm, uint32_t budget, const void *const **fastHandlers) {
    static const void *const kFastHandlers[] = {
#define MV_DSP_FAST_HANDLER(name) &&fop_##name,
        MV_DSP_FAST_OPS(MV_DSP_FAST_HANDLER)
#undef MV_DSP_FAST_HANDLER
    };
    static_assert(std::size(kFastHandlers) == FAST_KIND_COUNT);
    if (fastHandlers) {
        *fastHandlers = kFastHandlers;
        return MV_DSP_OK;
    }

    // The dispatch table, indexed by the opcode byte: the 82 instructions of
    // the list in opcode order (each at its label op_MNEMONIC below), then the
    // unknown-opcode exit for every byte that is no instruction, so fetching
    // needs no range test.
#define UNKNOWN_2 &&unknown_opcode, &&unknown_opcode
#define UNKNOWN_8 UNKNOWN_2, UNKNOWN_2, UNKNOWN_2, UNKNOWN_2
#define UNKNOWN_32 UNKNOWN_8, UNKNOWN_8, UNKNOWN_8, UNKNOWN_8
#define UNKNOWN_174                                                                              \
    UNKNOWN_32, UNKNOWN_32, UNKNOWN_32, UNKNOWN_32, UNKNOWN_32, UNKNOWN_8, UNKNOWN_2, UNKNOWN_2, \
        UNKNOWN_2
    static const void *const kHandlers[] = {
#define MV_DSP_HANDLER(name, operands) &&op_##name,
        MV_DSP_OPCODES(MV_DSP_HANDLER)
#undef MV_DSP_HANDLER
            UNKNOWN_174,
    };
    static_assert(std::size(kHandlers) == 256 && OPCODE_COUNT == 82);

    uint8_t *const mem = vm->memory;
    uint32_t *const reg = vm->registers;
    const uint32_t size = vm->memorySize;
    const uint32_t stackBase = vm->stackBase;
    // Below fastEnd every instruction fits: pc + 6 < size.
    const uintptr_t fastEnd =
        size >= kMaxInstructionLength ? size - (kMaxInstructionLength - 1) : 0;
    uint64_t left = budget ? budget : UINT64_MAX;
    uintptr_t limit;
    // pc holds 32-bit values only; the wider type saves zero-extensions when
    // it indexes the image.
    uintptr_t pc = reg[PC];
    // Opaque to the optimiser, so the table's address stays in a register
    // instead of being recomputed at every dispatch.
    const void *const *handlers = kHandlers;
    asm("" : "+r"(handlers));
    // Blocks: a VM without them runs with an empty table and no code range.
    DspPrepared none{};
    none.blockAt = gNoBlocks;
    DspPrepared &prepared = dspVmPrepared(vm) ? *dspVmPrepared(vm) : none;
    uint16_t *const blockAt = prepared.blockAt;
    const uint32_t codeEnd = prepared.codeEnd;
    // The host may have written the image since the last run.
    ++prepared.generation;
    const FastOp *ip = nullptr;
    uint32_t nextBlock = 0; // the block a transfer expects at pc (0: look it up)

// Operand bytes relative to the opcode.
#define BYTE(offset) uint32_t((mem + pc)[offset])
#define HALF(offset) uint32_t(dspVmLoadHalf((mem + pc) + (offset)))
#define BAD(r) ((r) >= uint32_t(kRegisterCount))
// Register operands all plain (valid and not pc): the fast path. Either the
// ORed numbers, or the operand bytes 1..2 or 1..3 tested in one load.
#define PLAIN(registers) __builtin_expect((registers) < kFirstSpecialRegister, 1)
#define PLAIN_1_2() __builtin_expect((dspVmLoadHalf(mem + pc + 1) & 0xF0F0u) == 0, 1)
#define PLAIN_1_3() __builtin_expect((dspVmLoadWord(mem + pc) & 0xF0F0F000u) == 0, 1)
#define FAIL(status, length)                 \
    do {                                     \
        reg[PC] = uint32_t(pc + (length)-1); \
        return (status);                     \
    } while (0)
#define CHECK_REGISTER(r, length) \
    if (__builtin_expect(BAD(r), 0)) FAIL(MV_DSP_INVALID_REGISTER, length)
// Makes pc readable as R16 for the instruction of the given length.
#define SYNC_PC(length) reg[PC] = uint32_t(pc + (length)-1)
#define DISPATCH()                                                \
    do {                                                          \
        if (__builtin_expect(pc >= limit, 0)) goto fetch_exactly; \
        if (blockAt[pc]) goto enter_block;                        \
        goto *handlers[mem[pc]];                                  \
    } while (0)
// A write into bytes a block stands for: every block checks its bytes again.
#define NOTE_WRITE(address, count)                                       \
    if (__builtin_expect((address) < codeEnd, 0) &&                      \
        dspCoversCode(prepared, (address), uint32_t(address) + (count))) \
    ++prepared.generation
#define NEXT(length)    \
    do {                \
        pc += (length); \
        --left;         \
        DISPATCH();     \
    } while (0)
// Control moved: the place to look at the budget (see the file comment).
#define JUMP(target)                                      \
    do {                                                  \
        pc = uint32_t(target);                            \
        --left;                                           \
        limit = left > kLongestStraightRun ? fastEnd : 0; \
        DISPATCH();                                       \
    } while (0)
// Work beyond the instruction's own unit, which NEXT or JUMP still takes:
// leaves at least that unit, so a charge that uses up the budget stops the
// run at the next fetch.
#define CHARGE(units)                                     \
    do {                                                  \
        const uint64_t work = (units);                    \
        left = left > work ? left - work : 1;             \
        limit = left > kLongestStraightRun ? fastEnd : 0; \
    } while (0)
// After writing register d: a written pc continues one byte past its value.
#define NEXT_AFTER_WRITE(length, d)                            \
    do {                                                       \
        if (__builtin_expect((d) == PC, 0)) JUMP(reg[PC] + 1); \
        NEXT(length);                                          \
    } while (0)
// d ← expression of x = R[a] and y = R[b], after guard (which may FAIL).
#define BINARY_GUARDED(guard, expression)                     \
    {                                                         \
        const uint32_t d = BYTE(1), a = BYTE(2), b = BYTE(3); \
        if (PLAIN_1_3()) {                                    \
            const uint32_t x = reg[a], y = reg[b];            \
            guard;                                            \
            reg[d] = (expression);                            \
            NEXT(4);                                          \
        }                                                     \
        CHECK_REGISTER(d, 4);                                 \
        CHECK_REGISTER(a, 4);                                 \
        CHECK_REGISTER(b, 4);                                 \
        SYNC_PC(4);                                           \
        const uint32_t x = reg[a], y = reg[b];                \
        guard;                                                \
        reg[d] = (expression);                                \
        NEXT_AFTER_WRITE(4, d);                               \
    }
#define BINARY(expression) BINARY_GUARDED((void)0, expression)
// d ← expression of x = R[s] for the instructions "op d s" (and "op r" with s = d).
#define UNARY(length, second, plain, expression)  \
    {                                             \
        const uint32_t d = BYTE(1), s = (second); \
        if (plain) {                              \
            const uint32_t x = reg[s];            \
            reg[d] = (expression);                \
            NEXT(length);                         \
        }                                         \
        CHECK_REGISTER(d, length);                \
        CHECK_REGISTER(s, length);                \
        SYNC_PC(length);                          \
        const uint32_t x = reg[s];                \
        reg[d] = (expression);                    \
        NEXT_AFTER_WRITE(length, d);              \
    }
#define CONVERT(expression) UNARY(3, BYTE(2), PLAIN_1_2(), expression)
#define IN_PLACE(expression) UNARY(2, d, PLAIN(d), expression)
// Immediate loads check their register before reading the immediate.
#define LOAD_IMMEDIATE(length, value) \
    {                                 \
        const uint32_t r = BYTE(1);   \
        if (PLAIN(r)) {               \
            reg[r] = (value);         \
            NEXT(length);             \
        }                             \
        CHECK_REGISTER(r, 2);         \
        reg[r] = (value);             \
        NEXT_AFTER_WRITE(length, r);  \
    }
// Jumps to the t16 at offset length - 2 when the condition on the registers holds.
#define BRANCH(length, plain, condition)                                 \
    {                                                                    \
        if (!(plain)) {                                                  \
            if (BAD(a) || BAD(b)) FAIL(MV_DSP_INVALID_REGISTER, length); \
            SYNC_PC(length);                                             \
        }                                                                \
        if (condition) JUMP(HALF((length)-2));                           \
        NEXT(length);                                                    \
    }
#define BRANCH_ONE(test)                   \
    {                                      \
        const uint32_t a = BYTE(1), b = a; \
        BRANCH(4, PLAIN(a), reg[a] test)   \
    }
#define BRANCH_TWO(type, comparison)                                 \
    {                                                                \
        const uint32_t a = BYTE(1), b = BYTE(2);                     \
        BRANCH(5, PLAIN_1_2(), type(reg[a]) comparison type(reg[b])) \
    }
// Memory access at address with width bytes must end inside the image.
#define CHECK_ACCESS(address, width, length) \
    if (__builtin_expect((address) + (width)-1 >= size, 0)) FAIL(MV_DSP_INVALID_ADDRESS, length)
#define STORE_ABSOLUTE(width, store)                   \
    {                                                  \
        const uint32_t address = HALF(1), r = BYTE(3); \
        if (!PLAIN(r)) {                               \
            CHECK_REGISTER(r, 4);                      \
            SYNC_PC(4);                                \
        }                                              \
        CHECK_ACCESS(address, width, 4);               \
        store(mem + address, reg[r]);                  \
        NOTE_WRITE(address, width);                    \
        NEXT(4);                                       \
    }
#define STORE_REGISTER(width, store)                    \
    {                                                   \
        const uint32_t a = BYTE(1), s = BYTE(2);        \
        if (!PLAIN_1_2()) {                             \
            CHECK_REGISTER(a, 3);                       \
            CHECK_REGISTER(s, 3);                       \
            SYNC_PC(3);                                 \
        }                                               \
        const uint32_t address = reg[a] & kAddressMask; \
        CHECK_ACCESS(address, width, 3);                \
        store(mem + address, reg[s]);                   \
        NOTE_WRITE(address, width);                     \
        NEXT(3);                                        \
    }
#define LOAD_ABSOLUTE(width, load)                     \
    {                                                  \
        const uint32_t r = BYTE(1), address = HALF(2); \
        CHECK_REGISTER(r, 4);                          \
        CHECK_ACCESS(address, width, 4);               \
        reg[r] = load(mem + address);                  \
        NEXT_AFTER_WRITE(4, r);                        \
    }
#define LOAD_REGISTER(width, load)                          \
    {                                                       \
        const uint32_t d = BYTE(1), a = BYTE(2);            \
        if (PLAIN_1_2()) {                                  \
            const uint32_t address = reg[a] & kAddressMask; \
            CHECK_ACCESS(address, width, 3);                \
            reg[d] = load(mem + address);                   \
            NEXT(3);                                        \
        }                                                   \
        CHECK_REGISTER(d, 3);                               \
        CHECK_REGISTER(a, 3);                               \
        SYNC_PC(3);                                         \
        const uint32_t address = reg[a] & kAddressMask;     \
        CHECK_ACCESS(address, width, 3);                    \
        reg[d] = load(mem + address);                       \
        NEXT_AFTER_WRITE(3, d);                             \
    }
#define STORE_BYTE(at, value) (*(at) = uint8_t(value))
#define LOAD_BYTE(at) uint32_t(*(at))
// Block copy: both ranges must end inside the image (source checked first).
#define COPY_BLOCK(destination, source, count, length)                         \
    {                                                                          \
        if ((source) + (count)-1 >= size || (destination) + (count)-1 >= size) \
            FAIL(MV_DSP_INVALID_ADDRESS, length);                              \
        std::memmove(mem + (destination), mem + (source), count);              \
        NOTE_WRITE(destination, count);                                        \
        CHARGE((count) / kBytesPerCopyUnit);                                   \
        NEXT(length);                                                          \
    }
// Pop checks for k words: enough words (else 7), sp not below the base (else 6).
#define CHECK_POP(words, length)                                      \
    {                                                                 \
        const uint64_t top = uint64_t(reg[SP]) + kWord * (words);     \
        if (top > size) FAIL(MV_DSP_STACK_UNDERFLOW, length);         \
        if (reg[SP] < stackBase) FAIL(MV_DSP_STACK_OVERFLOW, length); \
    }
// Push check: room below sp (else 6); an sp above the top counts as underflow.
#define CHECK_PUSH(length)                                                    \
    {                                                                         \
        if (reg[SP] < stackBase + kWord) FAIL(MV_DSP_STACK_OVERFLOW, length); \
        if (reg[SP] > size) FAIL(MV_DSP_STACK_UNDERFLOW, length);             \
    }
#define POP_INTO(r)                                          \
    {                                                        \
        const uint32_t value = dspVmLoadWord(mem + reg[SP]); \
        reg[r] = value;                                      \
        reg[SP] += kWord;                                    \
    }
#define CONSOLE_READ(expression)    \
    {                               \
        const uint32_t r = BYTE(1); \
        CHECK_REGISTER(r, 2);       \
        SYNC_PC(2);                 \
        expression;                 \
        NEXT_AFTER_WRITE(2, r);     \
    }
#define PRINT()                                   \
    {                                             \
        const uint32_t r = BYTE(1);               \
        CHECK_REGISTER(r, 3);                     \
        SYNC_PC(3);                               \
        printValue(reg[r], mem[pc], mem[pc + 2]); \
        NEXT(3);                                  \
    }

    limit = left > kLongestStraightRun ? fastEnd : 0;
    // The budget is only ever tested after an instruction has run.
    if (pc < limit) DISPATCH();
    goto fetch_first;

fetch_exactly:
    if (left == 0) {
        reg[PC] = uint32_t(pc);
        return MV_DSP_NOT_RESPONDING;
    }
fetch_first:
    if (pc >= size) {
        reg[PC] = uint32_t(pc);
        return MV_DSP_INVALID_ADDRESS;
    }
    if (mem[pc] >= OPCODE_COUNT) goto unknown_opcode;
    if (pc + kLengths[mem[pc]] - 1 >= size) {
        reg[PC] = uint32_t(pc);
        return MV_DSP_INVALID_ADDRESS;
    }
    if (blockAt[pc]) goto enter_block;
    goto *handlers[mem[pc]];

// A block runs whole when its bytes are unchanged and the budget covers all
// its instructions; otherwise its first instruction runs as byte code.
enter_block : {
    FastBlock &block = prepared.blocks[blockAt[pc]];
    if (__builtin_expect(block.checked != prepared.generation, 0) &&
        !blockStillMatches(prepared, block, mem))
        goto *handlers[mem[pc]];
    if (__builtin_expect(left < block.cost, 0)) goto *handlers[mem[pc]];
    left -= block.cost;
    ip = block.first;
    goto * ip->handler;
}
// A transfer to pc whose block was known when the program was prepared:
// straight on when that block is checked and affordable, else as any jump.
chain : {
    const FastBlock &block = prepared.blocks[nextBlock];
    if (__builtin_expect(block.checked == prepared.generation && left >= block.cost, 1)) {
        left -= block.cost;
        ip = block.first;
        goto * ip->handler;
    }
}
// A block left for pc: control moved, as after a jump.
block_exit:
    limit = left > kLongestStraightRun ? fastEnd : 0;
    DISPATCH();

unknown_opcode:
    reg[PC] = uint32_t(pc);
    return MV_DSP_UNKNOWN_OPCODE;

op_NOP:
    NEXT(1);
op_HALT:
    reg[PC] = uint32_t(pc);
    return MV_DSP_OK;
op_INT : {
    reg[PC] = uint32_t(pc + 1);
    const MvDspInterruptCallback callback = vm->interruptCallback;
    vm->serviceUnits = 0;
    if (!callback || uint8_t(callback(vm, BYTE(1))) == 0) return MV_DSP_INTERRUPT_ERROR;
    // A service may write anywhere in the image.
    ++prepared.generation;
    CHARGE(vm->serviceUnits);
    vm->serviceUnits = 0;
    // The service may have moved pc; continue one byte past where it left it.
    JUMP(reg[PC] + 1);
}
op_LDI32:
    LOAD_IMMEDIATE(6, dspVmLoadWord(mem + pc + 2))
op_LDI16:
    LOAD_IMMEDIATE(4, HALF(2))
op_LDI8:
    LOAD_IMMEDIATE(3, BYTE(2))
op_MOV:
    CONVERT(EXPR_MOV)
op_PUSH : {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    CHECK_PUSH(2);
    reg[SP] -= kWord;
    SYNC_PC(2);
    dspVmStoreWord(mem + reg[SP], reg[r]);
    NEXT(2);
}
op_POP : {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    CHECK_POP(1, 2);
    POP_INTO(r);
    NEXT_AFTER_WRITE(2, r);
}
op_POP2 : {
    const uint32_t a = BYTE(1), b = BYTE(2);
    if (BAD(a) || BAD(b)) FAIL(MV_DSP_INVALID_REGISTER, 3);
    CHECK_POP(2, 3);
    POP_INTO(a);
    // POP2 with a = sp pops the second word from wherever the first put sp.
    CHECK_POP(1, 3);
    POP_INTO(b);
    if (a == PC || b == PC) JUMP(reg[PC] + 1);
    NEXT(3);
}
op_DUP : {
    CHECK_PUSH(1);
    const uint32_t sp = reg[SP];
    if (uint64_t(sp) + kWord > size) FAIL(MV_DSP_STACK_UNDERFLOW, 1);
    dspVmStoreWord(mem + sp - kWord, dspVmLoadWord(mem + sp));
    reg[SP] = sp - kWord;
    NEXT(1);
}
op_CALL:
    reg[LR] = uint32_t(pc + 3);
    JUMP(HALF(1));
op_RET:
    JUMP(reg[LR]);
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
op_COPY : {
    const uint32_t destination = HALF(1), source = HALF(3), count = HALF(5);
    COPY_BLOCK(destination, source, count, 7)
}
op_COPYR : {
    const uint32_t d = BYTE(1), s = BYTE(2), n = BYTE(3);
    if (BAD(d) || BAD(s) || BAD(n)) FAIL(MV_DSP_INVALID_REGISTER, 4);
    SYNC_PC(4);
    const uint32_t destination = reg[d] & kAddressMask, source = reg[s] & kAddressMask;
    const uint32_t count = reg[n] & kAddressMask;
    COPY_BLOCK(destination, source, count, 4)
}
op_INC:
    IN_PLACE(EXPR_INC)
op_FINC:
    IN_PLACE(EXPR_FINC)
op_DEC:
    IN_PLACE(EXPR_DEC)
op_FDEC:
    IN_PLACE(EXPR_FDEC)
op_ADD:
    BINARY(EXPR_ADD)
op_FADD:
    BINARY(EXPR_FADD)
op_SUB:
    BINARY(EXPR_SUB)
op_FSUB:
    BINARY(EXPR_FSUB)
op_MULU:
op_MUL:
    BINARY(EXPR_MUL)
op_FMUL:
    BINARY(EXPR_FMUL)
op_DIVU:
    BINARY_GUARDED(if (y == 0) FAIL(kArithmeticFault, 4), EXPR_DIVU)
op_DIV:
    BINARY_GUARDED(if (divisionFaults(int32_t(x), int32_t(y))) FAIL(kArithmeticFault, 4), EXPR_DIV)
op_FDIV:
    BINARY(EXPR_FDIV)
op_SHL:
    BINARY(EXPR_SHL)
op_SHR:
    BINARY(EXPR_SHR)
op_SAR:
    BINARY(EXPR_SAR)
op_MODU:
    BINARY_GUARDED(if (y == 0) FAIL(kArithmeticFault, 4), EXPR_MODU)
op_MOD:
    BINARY_GUARDED(if (divisionFaults(int32_t(x), int32_t(y))) FAIL(kArithmeticFault, 4), EXPR_MOD)
op_AND:
    BINARY(EXPR_AND)
op_OR:
    BINARY(EXPR_OR)
op_XOR:
    BINARY(EXPR_XOR)
op_NOT:
    CONVERT(EXPR_NOT)
op_NOPA:
op_NOPB : {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    NEXT(2);
}
op_ITOF:
    CONVERT(EXPR_ITOF)
op_FTOI:
    CONVERT(EXPR_FTOI)
op_JMP:
    JUMP(HALF(1));
op_JMPR : {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    SYNC_PC(2);
    JUMP(reg[r]);
}
op_JZ:
    BRANCH_ONE(== 0)
op_JNZ:
    BRANCH_ONE(!= 0)
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
op_PUTC : {
    const uint32_t r = BYTE(1);
    CHECK_REGISTER(r, 2);
    SYNC_PC(2);
    putByte(reg[r]);
    NEXT(2);
}
op_PUTS : {
    const uint32_t address = HALF(1);
    if (address >= size || !putString(mem, address, size)) FAIL(MV_DSP_INVALID_ADDRESS, 3);
    CHARGE(std::strlen(reinterpret_cast<const char *>(mem + address)));
    NEXT(3);
}
op_PUTNL:
    std::putchar('\n');
    std::fflush(stdout);
    NEXT(1);
op_READU:
op_READI:
op_READF:
    CONSOLE_READ(readValue(&reg[r], mem[pc]))
op_GETC:
    CONSOLE_READ({
        const int c = std::getchar();
        reg[r] = c == EOF ? uint32_t(-1) : uint32_t(uint8_t(c));
    })
op_GETS : {
    const uint32_t address = HALF(1), length = HALF(3);
    if (address + length >= size) FAIL(MV_DSP_INVALID_ADDRESS, 5);
    readLine(mem + address, length);
    NOTE_WRITE(address, length);
    CHARGE(std::strlen(reinterpret_cast<const char *>(mem + address)));
    NEXT(5);
}
op_CMP:
    BINARY(EXPR_CMP)
op_CMPU:
    BINARY(EXPR_CMPU)
op_FCMP:
    BINARY(EXPR_FCMP)

#include "mv_dsp_block_handlers.inc"
}

} // namespace

const void *const *dspFastHandlers() {
    const void *const *handlers = nullptr;
    interpret(nullptr, 0, &handlers);
    return handlers;
}

MvDspStatus dspVmRun(MvDspVm *vm, uint32_t budget) { return interpret(vm, budget, nullptr); }

} // namespace mv
