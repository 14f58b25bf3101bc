// Prepared blocks: the program's straight runs of simple instructions,
// decoded once on the control side (when the VM is created) into operations
// the interpreter threads through without fetching, decoding or checking
// register bytes, with the budget charged once per block. The byte code in
// the image stays what the host wrote; a block only stands for the bytes it
// was decoded from and is checked against them before it runs again after
// anything may have written into it (a run's start, an interrupt service, a
// store into its bytes). Blocks that no longer match are dropped, and their
// instructions run through the byte-code handlers, which stay the reference.
#pragma once

#include "mv_dsp_isa.h"

#include <cstdint>

namespace mv {

// Operation kinds, each a handler of the interpreter (label fop_KIND).
// Single instructions keep their mnemonic; INC/DEC followed by a branch on
// the new count, a few pairs common in loops and fan-outs run as one
// operation.
#define MV_DSP_BRANCHES(B, X)                                                                     \
    B(X, JZ)                                                                                      \
    B(X, JNZ)                                                                                     \
    B(X, JEQ) B(X, JNE) B(X, JGTU) B(X, JGT) B(X, JGEU) B(X, JGE) B(X, JLTU) B(X, JLT) B(X, JLEU) \
        B(X, JLE)
// Multiply-accumulate, load then scale, state moves and pointer steps.
#define MV_DSP_FAST_PAIRS(P, X) \
    P(X, FMUL, FADD) P(X, FMUL, FSUB) P(X, MOV, MOV) P(X, ADD, ADD) P(X, LD32R, FMUL) P(X, ADD, XOR)
// One integer result that the two instructions after it both take as an
// operand (a = a + i; b = b ^ a; a = a & mask): the value stays in a host
// register instead of going through the register file twice.
#define MV_DSP_FAST_FANOUTS(F, X) F(X, ADD, XOR, AND)
#define MV_DSP_KIND(X, name) X(name)
#define MV_DSP_INC_KIND(X, name) X(INC_##name)
#define MV_DSP_DEC_KIND(X, name) X(DEC_##name)
#define MV_DSP_PAIR_KIND(X, first, second) X(first##_##second)
#define MV_DSP_FANOUT_KIND(X, first, second, third) X(first##_##second##_##third)
#define MV_DSP_LOOP_KIND(X, name) X(LOOP_##name)
#define MV_DSP_LOOP_INC_KIND(X, name) X(LOOP_INC_##name)
#define MV_DSP_LOOP_DEC_KIND(X, name) X(LOOP_DEC_##name)
#define MV_DSP_FAST_OPS(X)                                                                         \
    X(CONTINUE) /* leaves the block for pc = next */                                               \
    X(HALT)                                                                                        \
    X(LDI)                                                                                         \
    X(MOV) X(NOT) X(ITOF) X(FTOI) X(INC) X(DEC) X(FINC) X(FDEC) X(ADD) X(SUB) X(MUL) X(FADD)       \
        X(FSUB) X(FMUL) X(FDIV) X(SHL) X(SHR) X(SAR) X(AND) X(OR) X(XOR) X(CMP) X(CMPU) X(FCMP)    \
            X(DIVU) X(DIV) X(MODU) X(MOD) X(LD32) X(LD16) X(LD8) X(LD32R) X(LD16R) X(LD8R) X(ST32) \
                X(ST16) X(ST8) X(ST32R) X(ST16R) X(ST8R) X(JMP) X(CALL) X(RET) X(JMPR)             \
                    MV_DSP_BRANCHES(MV_DSP_KIND, X) MV_DSP_BRANCHES(MV_DSP_INC_KIND, X)            \
                        MV_DSP_BRANCHES(MV_DSP_DEC_KIND, X) MV_DSP_FAST_PAIRS(                     \
                            MV_DSP_PAIR_KIND,                                                      \
                            X) MV_DSP_FAST_FANOUTS(MV_DSP_FANOUT_KIND, X)                          \
        /* The same branches back to the start of their own block */                               \
        MV_DSP_BRANCHES(MV_DSP_LOOP_KIND, X) MV_DSP_BRANCHES(MV_DSP_LOOP_INC_KIND, X)              \
            MV_DSP_BRANCHES(MV_DSP_LOOP_DEC_KIND, X)

#define MV_DSP_FAST_KIND_ENUM(name) FAST_##name,
enum FastKind : uint16_t { MV_DSP_FAST_OPS(MV_DSP_FAST_KIND_ENUM) FAST_KIND_COUNT };
#undef MV_DSP_FAST_KIND_ENUM

// One operation: one instruction, or two or three fused. Registers are the
// operand bytes (all valid and none pc); a pair's second instruction uses
// d2 a2 b2. A fan-out's second and third instructions take the first's
// result and R[b2], R[b3], writing d2 and d3.
struct FastOp {
    const void *handler;
    // Immediate value or absolute address; for control transfers the blocks
    // at target (low half) and next (high half) as of preparation; for a
    // branch back to its own block that block's cost.
    uint32_t imm;
    uint16_t pc;     // address of the (first) instruction
    uint16_t next;   // address after the operation's instructions
    uint16_t target; // branch target; for stores the block's units after them
    uint8_t d, a, b, d2, a2, b2, d3, b3;
    uint16_t back; // a loop branch: bytes from its block's first operation to it
};

struct FastBlock {
    const FastOp *first;
    uint64_t checked; // generation its bytes were last found unchanged in
    uint32_t cost;    // budget units: its instruction count
    uint16_t start;
    uint16_t length; // bytes of byte code the block stands for
};

// A block never checked (or dropped): no generation reaches it.
constexpr uint64_t kUncheckedBlock = UINT64_MAX;

struct DspPrepared {
    uint32_t codeEnd;        // blocks lie below; stores below it are looked at
    uint64_t generation;     // advanced whenever the covered bytes may have changed
    uint16_t *blockAt;       // per image address: block index, or 0
    uint16_t *coveredBefore; // covered bytes below each address up to codeEnd
    uint8_t *original;       // the bytes the blocks were decoded from
    FastBlock *blocks;       // [0] never runs: "no block" for control transfers
    FastOp *ops;
    uint32_t blockCount; // with [0]
};

// Decodes the first codeEnd bytes of the image into blocks; null when there
// is nothing to prepare or memory runs out (the VM then runs byte code only).
// handlers: the interpreter's operation handlers, indexed by FastKind.
DspPrepared *dspPrepareBlocks(const uint8_t *memory, uint32_t memorySize, uint32_t codeEnd,
                              const void *const *handlers);
void dspPreparedRelease(DspPrepared *prepared);

// True when [first, end) holds a byte some block was decoded from.
inline bool dspCoversCode(const DspPrepared &prepared, uint32_t first, uint32_t end) {
    if (first >= prepared.codeEnd) return false;
    if (end > prepared.codeEnd) end = prepared.codeEnd;
    return prepared.coveredBefore[end] != prepared.coveredBefore[first];
}

} // namespace mv
