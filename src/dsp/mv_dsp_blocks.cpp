// Decoding the program into prepared blocks (control side, at creation).
//
// The program bytes are read as one run of instructions from address 0. A
// block starts at address 0, at every static jump target on an instruction
// boundary, after every instruction that ends a block (jumps, HALT) and
// after every instruction that has no operation (interrupts, the stack,
// block copies, the console, anything naming pc or an invalid register).
// It ends at its jump, before such an instruction, or before the next
// block's start. A run that ends at a byte that is no instruction, or runs
// off the program, is data, not code, and becomes no block.
#include "mv_dsp_blocks.h"

#include <cstdlib>
#include <cstring>

namespace mv {
namespace {

constexpr uint32_t kPc = 16;

bool usable(uint32_t r) { return r < uint32_t(kRegisterCount) && r != kPc; }

uint32_t half(const uint8_t *at) { return uint32_t(at[0]) | uint32_t(at[1]) << 8; }

enum class Flow : uint8_t { None, Straight, Elided, Ends };

struct Decoded {
    Flow flow = Flow::None; // None: no operation, the byte-code handler runs it
    FastKind kind = FAST_CONTINUE;
    uint8_t d = 0, a = 0, b = 0;
    uint32_t imm = 0;
    uint16_t target = 0;
    bool hasTarget = false;
};

Decoded straight(FastKind kind, uint32_t d, uint32_t a, uint32_t b, bool ok) {
    Decoded out;
    if (!ok) return out;
    out.flow = Flow::Straight;
    out.kind = kind;
    out.d = uint8_t(d), out.a = uint8_t(a), out.b = uint8_t(b);
    return out;
}

int accessWidth(int op) {
    switch (op) {
    case OP_LD32:
    case OP_ST32:
    case OP_LD32R:
    case OP_ST32R: return 4;
    case OP_LD16:
    case OP_ST16:
    case OP_LD16R:
    case OP_ST16R: return 2;
    default: return 1;
    }
}

FastKind binaryKind(int op) {
    switch (op) {
    case OP_ADD: return FAST_ADD;
    case OP_FADD: return FAST_FADD;
    case OP_SUB: return FAST_SUB;
    case OP_FSUB: return FAST_FSUB;
    case OP_MULU:
    case OP_MUL: return FAST_MUL;
    case OP_FMUL: return FAST_FMUL;
    case OP_DIVU: return FAST_DIVU;
    case OP_DIV: return FAST_DIV;
    case OP_FDIV: return FAST_FDIV;
    case OP_SHL: return FAST_SHL;
    case OP_SHR: return FAST_SHR;
    case OP_SAR: return FAST_SAR;
    case OP_MODU: return FAST_MODU;
    case OP_MOD: return FAST_MOD;
    case OP_AND: return FAST_AND;
    case OP_OR: return FAST_OR;
    case OP_XOR: return FAST_XOR;
    case OP_CMP: return FAST_CMP;
    case OP_CMPU: return FAST_CMPU;
    case OP_FCMP: return FAST_FCMP;
    default: return FAST_CONTINUE;
    }
}

static_assert(OP_JLE - OP_JZ == FAST_JLE - FAST_JZ &&
              FAST_INC_JLE - FAST_INC_JZ == OP_JLE - OP_JZ &&
              FAST_DEC_JLE - FAST_DEC_JZ == OP_JLE - OP_JZ);
// Branches, INC and DEC branches and their loop forms, in the same order.
static_assert(FAST_INC_JZ == FAST_JLE + 1 && FAST_DEC_JZ == FAST_INC_JLE + 1 &&
              FAST_LOOP_DEC_JLE - FAST_LOOP_JZ == FAST_DEC_JLE - FAST_JZ);

// The operation of the instruction at `instruction` (which fits in the
// program). Operand bytes it does not have read as zero: a short
// instruction at the image's end must not be read past.
Decoded decode(const uint8_t *instruction, uint32_t memorySize) {
    uint8_t bytes[kMaxInstructionLength] = {};
    std::memcpy(bytes, instruction, kInstructions[instruction[0]].length());
    const uint8_t *at = bytes;
    const int op = at[0];
    const uint32_t b1 = at[1], b2 = at[2], b3 = at[3];
    Decoded out;
    if (op == OP_NOP || ((op == OP_NOPA || op == OP_NOPB) && b1 < uint32_t(kRegisterCount))) {
        out.flow = Flow::Elided;
        return out;
    }
    if (binaryKind(op) != FAST_CONTINUE)
        return straight(binaryKind(op), b1, b2, b3, usable(b1) && usable(b2) && usable(b3));
    switch (op) {
    case OP_HALT: out.flow = Flow::Ends, out.kind = FAST_HALT; return out;
    case OP_LDI32:
    case OP_LDI16:
    case OP_LDI8:
        out = straight(FAST_LDI, b1, 0, 0, usable(b1));
        out.imm = op == OP_LDI32   ? half(at + 2) | half(at + 4) << 16
                  : op == OP_LDI16 ? half(at + 2)
                                   : b2;
        return out;
    case OP_MOV: return straight(FAST_MOV, b1, b2, 0, usable(b1) && usable(b2));
    case OP_NOT: return straight(FAST_NOT, b1, b2, 0, usable(b1) && usable(b2));
    case OP_ITOF: return straight(FAST_ITOF, b1, b2, 0, usable(b1) && usable(b2));
    case OP_FTOI: return straight(FAST_FTOI, b1, b2, 0, usable(b1) && usable(b2));
    case OP_INC: return straight(FAST_INC, b1, b1, 0, usable(b1));
    case OP_DEC: return straight(FAST_DEC, b1, b1, 0, usable(b1));
    case OP_FINC: return straight(FAST_FINC, b1, b1, 0, usable(b1));
    case OP_FDEC: return straight(FAST_FDEC, b1, b1, 0, usable(b1));
    case OP_LD32:
    case OP_LD16:
    case OP_LD8: {
        // A constant address inside the image needs no check at run time.
        const FastKind kind = op == OP_LD32 ? FAST_LD32 : op == OP_LD16 ? FAST_LD16 : FAST_LD8;
        out =
            straight(kind, b1, 0, 0, usable(b1) && half(at + 2) + accessWidth(op) - 1 < memorySize);
        out.imm = half(at + 2);
        return out;
    }
    case OP_LD32R: return straight(FAST_LD32R, b1, b2, 0, usable(b1) && usable(b2));
    case OP_LD16R: return straight(FAST_LD16R, b1, b2, 0, usable(b1) && usable(b2));
    case OP_LD8R: return straight(FAST_LD8R, b1, b2, 0, usable(b1) && usable(b2));
    case OP_ST32:
    case OP_ST16:
    case OP_ST8: {
        const FastKind kind = op == OP_ST32 ? FAST_ST32 : op == OP_ST16 ? FAST_ST16 : FAST_ST8;
        out =
            straight(kind, 0, 0, b3, usable(b3) && half(at + 1) + accessWidth(op) - 1 < memorySize);
        out.imm = half(at + 1);
        return out;
    }
    case OP_ST32R: return straight(FAST_ST32R, 0, b1, b2, usable(b1) && usable(b2));
    case OP_ST16R: return straight(FAST_ST16R, 0, b1, b2, usable(b1) && usable(b2));
    case OP_ST8R: return straight(FAST_ST8R, 0, b1, b2, usable(b1) && usable(b2));
    case OP_JMP:
    case OP_CALL:
        out.flow = Flow::Ends, out.kind = op == OP_JMP ? FAST_JMP : FAST_CALL;
        out.target = uint16_t(half(at + 1)), out.hasTarget = true;
        return out;
    case OP_RET: out.flow = Flow::Ends, out.kind = FAST_RET; return out;
    case OP_JMPR:
        if (!usable(b1)) return out;
        out.flow = Flow::Ends, out.kind = FAST_JMPR, out.a = uint8_t(b1);
        return out;
    case OP_JZ:
    case OP_JNZ:
        if (!usable(b1)) return out;
        out.flow = Flow::Ends, out.kind = FastKind(FAST_JZ + (op - OP_JZ));
        out.a = out.b = uint8_t(b1), out.target = uint16_t(half(at + 2)), out.hasTarget = true;
        return out;
    default: break;
    }
    if (op >= OP_JEQ && op <= OP_JLE) {
        if (!usable(b1) || !usable(b2)) return out;
        out.flow = Flow::Ends, out.kind = FastKind(FAST_JZ + (op - OP_JZ));
        out.a = uint8_t(b1), out.b = uint8_t(b2), out.target = uint16_t(half(at + 3)),
        out.hasTarget = true;
    }
    return out;
}

bool isBranch(FastKind kind) { return kind >= FAST_JZ && kind <= FAST_JLE; }

// The branch that tests the same with its operands swapped.
FastKind mirrored(FastKind branch) {
    switch (branch) {
    case FAST_JGTU: return FAST_JLTU;
    case FAST_JLTU: return FAST_JGTU;
    case FAST_JGT: return FAST_JLT;
    case FAST_JLT: return FAST_JGT;
    case FAST_JGEU: return FAST_JLEU;
    case FAST_JLEU: return FAST_JGEU;
    case FAST_JGE: return FAST_JLE;
    case FAST_JLE: return FAST_JGE;
    default: return branch; // JZ JNZ JEQ JNE
    }
}

// INC/DEC then a branch that tests the new count (against R[b]): as one
// operation the branch takes the count from a host register. The branch is
// turned around when it names the counter second; false when it does not
// name the counter at all.
bool countingBranch(const Decoded &step, Decoded &branch) {
    if (branch.a == step.d) return true;
    if (branch.b != step.d) return false;
    branch.kind = mirrored(branch.kind);
    branch.b = branch.a, branch.a = step.d;
    return true;
}

// The pair kind for two operations in a row, or FAST_CONTINUE.
FastKind pairKind(FastKind first, FastKind second) {
#define MV_DSP_PAIR_CASE(unused, one, two) \
    if (first == FAST_##one && second == FAST_##two) return FAST_##one##_##two;
    MV_DSP_FAST_PAIRS(MV_DSP_PAIR_CASE, unused)
#undef MV_DSP_PAIR_CASE
    return FAST_CONTINUE;
}

// The fan-out kind for three operations in a row, or FAST_CONTINUE.
FastKind fanoutKind(FastKind first, FastKind second, FastKind third) {
#define MV_DSP_FANOUT_CASE(unused, one, two, three)                           \
    if (first == FAST_##one && second == FAST_##two && third == FAST_##three) \
        return FAST_##one##_##two##_##three;
    MV_DSP_FAST_FANOUTS(MV_DSP_FANOUT_CASE, unused)
#undef MV_DSP_FANOUT_CASE
    return FAST_CONTINUE;
}

bool isCommutative(FastKind kind) {
    return kind == FAST_ADD || kind == FAST_MUL || kind == FAST_AND || kind == FAST_OR ||
           kind == FAST_XOR;
}

// The operand of `use` besides register `value`, or -1 when `use` does not
// read `value` as its first operand (or, being commutative, as either).
int otherOperand(const Decoded &use, uint8_t value) {
    if (use.a == value) return use.b;
    if (isCommutative(use.kind) && use.b == value) return use.a;
    return -1;
}

bool isStore(FastKind kind) { return kind >= FAST_ST32 && kind <= FAST_ST8R; }

// Transfers whose destinations are known: they name the blocks there.
bool hasStaticDestinations(FastKind kind) {
    return kind == FAST_CONTINUE || kind == FAST_JMP || kind == FAST_CALL ||
           (kind >= FAST_JZ && kind <= FAST_DEC_JLE);
}

struct Sweep {
    uint32_t codeEnd;
    uint8_t *length; // per address: instruction length if it starts there, else 0
    uint8_t *leader; // per address: a block starts there
    uint32_t instructions = 0;
};

// Marks instruction starts and block starts; false when out of memory.
bool sweep(const uint8_t *memory, uint32_t memorySize, Sweep &s) {
    s.length = static_cast<uint8_t *>(std::calloc(s.codeEnd + 1, 1));
    s.leader = static_cast<uint8_t *>(std::calloc(s.codeEnd + 1, 1));
    if (!s.length || !s.leader) return false;
    for (uint32_t at = 0; at < s.codeEnd;) {
        const int op = memory[at];
        const uint32_t length = op < OPCODE_COUNT ? uint32_t(kInstructions[op].length()) : 1;
        if (at + length > s.codeEnd) break;
        s.length[at] = uint8_t(length);
        ++s.instructions;
        at += length;
    }
    s.leader[0] = 1;
    for (uint32_t at = 0; at < s.codeEnd; ++at) {
        if (!s.length[at]) continue;
        const uint32_t next = at + s.length[at];
        const Decoded decoded =
            memory[at] < OPCODE_COUNT ? decode(memory + at, memorySize) : Decoded{};
        if (decoded.hasTarget && decoded.target < s.codeEnd && s.length[decoded.target])
            s.leader[decoded.target] = 1;
        if (decoded.flow == Flow::None || decoded.flow == Flow::Ends) s.leader[next] = 1;
    }
    return true;
}

struct Builder {
    const uint8_t *memory;
    uint32_t memorySize;
    const void *const *handlers;
    DspPrepared *p;
    const Sweep &s;
    FastKind *kinds; // per operation
    uint32_t opCount = 0;

    FastOp &emit(FastKind kind, uint32_t pc) {
        kinds[opCount] = kind;
        FastOp &op = p->ops[opCount++];
        op = FastOp{};
        op.handler = handlers[kind];
        op.pc = uint16_t(pc);
        return op;
    }

    // A fan-out of the instruction at `at` and the two after it (`two` at
    // `next`), when the third exists in the block and both later ones take
    // the first one's result.
    bool tryFanout(const Decoded &one, const Decoded &two, uint32_t at, uint32_t next) {
        const uint32_t last = next + s.length[next];
        if (one.flow != Flow::Straight || two.flow != Flow::Straight || last >= s.codeEnd ||
            !s.length[last] || s.leader[last] || memory[last] >= OPCODE_COUNT)
            return false;
        const Decoded three = decode(memory + last, memorySize);
        if (three.flow != Flow::Straight ||
            fanoutKind(one.kind, two.kind, three.kind) == FAST_CONTINUE)
            return false;
        const int b2 = otherOperand(two, one.d);
        // The third sees the first's result only when the second did not overwrite it.
        const int b3 = two.d == one.d ? -1 : otherOperand(three, one.d);
        if (b2 < 0 || b3 < 0) return false;
        FastOp &op = emit(fanoutKind(one.kind, two.kind, three.kind), at);
        op.d = one.d, op.a = one.a, op.b = one.b;
        op.d2 = two.d, op.b2 = uint8_t(b2), op.d3 = three.d, op.b3 = uint8_t(b3);
        op.next = uint16_t(last + s.length[last]);
        return true;
    }

    // One block from leader `start`; false when it turns out to be data.
    bool build(uint32_t start, FastBlock &block) {
        const uint32_t firstOp = opCount;
        uint32_t at = start, cost = 0;
        bool ended = false;
        while (!ended) {
            if (at >= s.codeEnd || !s.length[at]) {
                opCount = firstOp;
                return false;
            }
            if (at != start && s.leader[at]) break;
            if (memory[at] >= OPCODE_COUNT) {
                opCount = firstOp;
                return false;
            }
            const Decoded one = decode(memory + at, memorySize);
            if (one.flow == Flow::None) break;
            const uint32_t next = at + s.length[at];
            if (one.flow == Flow::Elided) {
                ++cost, at = next;
                continue;
            }
            // Look at the next instruction for a fused pair.
            Decoded two;
            const bool canFuse = next < s.codeEnd && s.length[next] && !s.leader[next] &&
                                 memory[next] < OPCODE_COUNT;
            if (canFuse) two = decode(memory + next, memorySize);
            if (canFuse && (one.kind == FAST_INC || one.kind == FAST_DEC) &&
                two.flow == Flow::Ends && isBranch(two.kind) && countingBranch(one, two)) {
                const FastKind base = one.kind == FAST_INC ? FAST_INC_JZ : FAST_DEC_JZ;
                FastOp &op = emit(FastKind(base + (two.kind - FAST_JZ)), at);
                op.d = one.d, op.a = two.a, op.b = two.b, op.target = two.target;
                op.next = uint16_t(next + s.length[next]);
                cost += 2, at = op.next, ended = true;
                continue;
            }
            if (canFuse && tryFanout(one, two, at, next)) {
                cost += 3, at = p->ops[opCount - 1].next;
                continue;
            }
            if (canFuse && one.flow == Flow::Straight && two.flow == Flow::Straight &&
                pairKind(one.kind, two.kind) != FAST_CONTINUE) {
                FastOp &op = emit(pairKind(one.kind, two.kind), at);
                op.d = one.d, op.a = one.a, op.b = one.b, op.d2 = two.d, op.a2 = two.a,
                op.b2 = two.b;
                op.next = uint16_t(next + s.length[next]);
                cost += 2, at = op.next;
                continue;
            }
            FastOp &op = emit(one.kind, at);
            op.d = one.d, op.a = one.a, op.b = one.b, op.imm = one.imm, op.target = one.target;
            op.next = uint16_t(next);
            ++cost, at = next;
            // A store that finds code beneath it leaves the block and gives
            // back the units of the instructions after it (counted below).
            if (isStore(one.kind)) op.target = uint16_t(cost);
            ended = one.flow == Flow::Ends;
        }
        // A leader on an instruction without operation makes no block.
        if (cost == 0) {
            opCount = firstOp;
            return false;
        }
        if (!ended) emit(FAST_CONTINUE, at).next = uint16_t(at);
        for (uint32_t i = firstOp; i < opCount; ++i)
            if (isStore(kinds[i])) p->ops[i].target = uint16_t(cost - p->ops[i].target);
        block.first = p->ops + firstOp;
        block.start = uint16_t(start);
        block.length = uint16_t(at - start);
        block.cost = cost;
        block.checked = kUncheckedBlock;
        return true;
    }
};

} // namespace

DspPrepared *dspPrepareBlocks(const uint8_t *memory, uint32_t memorySize, uint32_t codeEnd,
                              const void *const *handlers) {
    if (codeEnd > memorySize) codeEnd = memorySize;
    if (codeEnd == 0) return nullptr;
    Sweep s{codeEnd, nullptr, nullptr};
    auto *p = static_cast<DspPrepared *>(std::calloc(1, sizeof(DspPrepared)));
    bool ok = p && sweep(memory, memorySize, s);
    FastKind *kinds = nullptr;
    uint32_t leaders = 0;
    if (ok)
        for (uint32_t at = 0; at < codeEnd; ++at) leaders += s.leader[at];
    if (ok) {
        p->codeEnd = codeEnd;
        p->blockAt = static_cast<uint16_t *>(std::calloc(memorySize, sizeof(uint16_t)));
        p->coveredBefore = static_cast<uint16_t *>(std::calloc(codeEnd + 1, sizeof(uint16_t)));
        p->original = static_cast<uint8_t *>(std::malloc(codeEnd));
        p->blocks = static_cast<FastBlock *>(std::calloc(leaders + 1, sizeof(FastBlock)));
        // Each instruction makes at most one operation, each block one more.
        p->ops = static_cast<FastOp *>(std::calloc(s.instructions + leaders, sizeof(FastOp)));
        kinds = static_cast<FastKind *>(std::malloc((s.instructions + leaders) * sizeof(FastKind)));
        ok = p->blockAt && p->coveredBefore && p->original && p->blocks && p->ops && kinds;
    }
    if (ok) {
        std::memcpy(p->original, memory, codeEnd);
        Builder builder{memory, memorySize, handlers, p, s, kinds};
        p->blocks[0].checked = kUncheckedBlock;
        p->blockCount = 1;
        for (uint32_t start = 0; start < codeEnd && p->blockCount <= 0xFFFF; ++start) {
            if (!s.leader[start]) continue;
            FastBlock block{};
            if (!builder.build(start, block)) continue;
            p->blockAt[start] = uint16_t(p->blockCount);
            p->blocks[p->blockCount++] = block;
        }
        for (uint32_t b = 1; b < p->blockCount; ++b) {
            FastBlock &block = p->blocks[b];
            const uint32_t first = uint32_t(block.first - p->ops);
            for (uint32_t i = first;
                 i < builder.opCount && (i == first || kinds[i - 1] != FAST_HALT); ++i) {
                FastOp &op = p->ops[i];
                const FastKind kind = kinds[i];
                if (hasStaticDestinations(kind)) {
                    const uint32_t target = op.target < memorySize ? p->blockAt[op.target] : 0;
                    op.imm = target | uint32_t(op.next < memorySize ? p->blockAt[op.next] : 0)
                                          << 16;
                    const size_t back = (i - first) * sizeof(FastOp);
                    if (target == b && kind >= FAST_JZ && kind <= FAST_DEC_JLE && back <= 0xFFFF) {
                        op.handler = handlers[FAST_LOOP_JZ + (kind - FAST_JZ)];
                        op.imm = block.cost;
                        op.back = uint16_t(back);
                    }
                }
                if (hasStaticDestinations(kind) || kind == FAST_HALT || kind == FAST_RET ||
                    kind == FAST_JMPR)
                    break; // the block's last operation
            }
        }
        // Stores below codeEnd look up whether a block stands for the bytes.
        uint8_t *marks = static_cast<uint8_t *>(std::calloc(codeEnd, 1));
        ok = marks != nullptr;
        if (ok) {
            for (uint32_t i = 1; i < p->blockCount; ++i)
                std::memset(marks + p->blocks[i].start, 1, p->blocks[i].length);
            for (uint32_t at = 0; at < codeEnd; ++at)
                p->coveredBefore[at + 1] = uint16_t(p->coveredBefore[at] + marks[at]);
        }
        std::free(marks);
    }
    std::free(s.length);
    std::free(s.leader);
    std::free(kinds);
    if (!ok || p->blockCount <= 1) {
        dspPreparedRelease(p);
        return nullptr;
    }
    return p;
}

void dspPreparedRelease(DspPrepared *p) {
    if (!p) return;
    std::free(p->blockAt);
    std::free(p->coveredBefore);
    std::free(p->original);
    std::free(p->blocks);
    std::free(p->ops);
    std::free(p);
}

} // namespace mv
