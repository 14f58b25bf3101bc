// Prepared blocks against the byte-code handlers: the same programs run on a
// VM with blocks and on one without must end with the same status, pc,
// registers and image, whatever the programs do to their own code, the
// budget or the registers.
#include "dsp/mv_dsp_blocks.h"
#include "dsp/mv_dsp_isa.h"
#include "dsp/mv_dsp_vm.h"
#include "dsp_assembly.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace mv;

constexpr uint16_t kRegion = 48;
constexpr uint16_t kStack = 32;

struct Random {
    uint32_t state;
    uint32_t next() {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        return state;
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Mostly registers 0..5 (so values meet), now and then a special or invalid one.
uint8_t randomRegister(Random &random) {
    const uint32_t roll = random.below(40);
    if (roll == 0) return uint8_t(16 + random.below(4));
    if (roll == 1) return uint8_t(20 + random.below(3));
    return uint8_t(random.below(6));
}

// Opcodes a random program uses: everything but the console.
bool usableOpcode(int op) { return op < OP_PRINTU || op > OP_GETS; }

// A program of random instructions whose addresses and branch targets mostly
// land on its own instructions, its data or its region, and just past them.
std::vector<uint8_t> randomProgram(Random &random, uint32_t imageSize) {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> starts;
    std::vector<size_t> targets; // offsets of branch targets to fill in
    const uint32_t count = 8 + random.below(40);
    for (uint32_t i = 0; i < count; ++i) {
        int op;
        do op = int(random.below(OPCODE_COUNT));
        while (!usableOpcode(op));
        // Weight loops and arithmetic the way real programs do.
        if (random.below(4) == 0) op = int(OP_ADD + random.below(OP_NOT - OP_ADD));
        if (random.below(8) == 0) op = int(OP_JZ + random.below(OP_JLE - OP_JZ + 1));
        starts.push_back(uint32_t(bytes.size()));
        bytes.push_back(uint8_t(op));
        for (Operand kind : kInstructions[op].operands) {
            switch (kind) {
            case Operand::None: break;
            case Operand::Register: bytes.push_back(randomRegister(random)); break;
            case Operand::Interrupt:
            case Operand::Imm8: bytes.push_back(uint8_t(random.below(8))); break;
            case Operand::Imm16:
                bytes.push_back(uint8_t(random.below(32))), bytes.push_back(0);
                break;
            case Operand::Imm32: {
                const uint32_t value =
                    random.below(3) ? random.below(imageSize + 8) : random.next();
                for (int k = 0; k < 4; ++k) bytes.push_back(uint8_t(value >> 8 * k));
                break;
            }
            case Operand::Address: {
                const uint32_t address = random.below(imageSize + 6);
                if (op == OP_CALL || op == OP_JMP || (op >= OP_JZ && op <= OP_JLE))
                    targets.push_back(bytes.size());
                bytes.push_back(uint8_t(address)), bytes.push_back(uint8_t(address >> 8));
                break;
            }
            }
        }
    }
    bytes.push_back(OP_HALT);
    for (size_t at : targets) {
        if (random.below(6) == 0) continue; // keep the random address
        const uint32_t target = starts[random.below(uint32_t(starts.size()))];
        bytes[at] = uint8_t(target), bytes[at + 1] = uint8_t(target >> 8);
    }
    return bytes;
}

// Serves every interrupt; some services patch the image or move pc, as a
// host's own may.
int patchingService(MvDspVm *vm, uint32_t number) {
    if (number == 3) vm->memory[vm->registers[1] % vm->memorySize] ^= 0x11;
    if (number == 5) vm->registers[MV_DSP_PC] += 2;
    return number != 7;
}

struct Outcome {
    MvDspStatus status;
    std::vector<uint32_t> registers;
    std::vector<uint8_t> image;
};

Outcome runOnce(MvDspVm *vm, uint32_t budget) {
    Outcome out;
    out.status = dspVmRun(vm, budget);
    out.registers.assign(vm->registers, vm->registers + MV_DSP_REGISTER_COUNT);
    out.image.assign(vm->memory, vm->memory + vm->memorySize);
    return out;
}

MvDspVm *createVm(const std::vector<uint8_t> &program, uint32_t seed, bool blocks) {
    MvDspVm *vm = dspVmCreate(program.data(), uint16_t(program.size()), kRegion, kStack);
    if (!blocks) dspVmDropPrepared(vm);
    std::memset(vm->memory + program.size(), 0, kRegion); // creation leaves the region as it was
    vm->interruptCallback = patchingService;
    Random random{seed};
    for (int r = 0; r < MV_DSP_PC; ++r)
        vm->registers[r] = random.below(3) ? random.below(vm->memorySize + 4) : random.next();
    return vm;
}

// Two runs each (the host patches a code byte in between), with budgets from
// one unit to plenty.
void expectSameRuns(const std::vector<uint8_t> &program, uint32_t seed, const std::string &what) {
    static constexpr uint32_t kBudgets[] = {1, 2, 3, 5, 9, 17, 40, 200, 3000};
    const uint32_t budget = kBudgets[seed % std::size(kBudgets)];
    MvDspVm *fast = createVm(program, seed, true);
    MvDspVm *plain = createVm(program, seed, false);
    for (int run = 0; run < 2; ++run) {
        const Outcome a = runOnce(fast, budget), b = runOnce(plain, budget);
        ASSERT_EQ(a.status, b.status) << what << " run " << run;
        ASSERT_EQ(a.registers, b.registers) << what << " run " << run;
        ASSERT_EQ(a.image, b.image) << what << " run " << run;
        const uint32_t patch = seed % uint32_t(program.size());
        fast->memory[patch] ^= 0x24, plain->memory[patch] ^= 0x24;
        fast->registers[MV_DSP_PC] = plain->registers[MV_DSP_PC] = 0;
    }
    dspVmDestroy(fast);
    dspVmDestroy(plain);
}

// Programs that aim at one rule each, then random ones.
TEST(DspBlocks, RunLikeTheByteCodeHandlers) {
    const struct {
        const char *name;
        const char *source;
    } cases[] = {
        {"loop with the budget running out inside", R"(
            LDI8 R1, 0
            LDI8 R2, 100
    loop:   INC R1
            ADD R3, R3, R1
            XOR R4, R4, R3
            JLTU R1, R2, loop
            HALT)"},
        {"store into the next instruction of the block", R"(
            LDI8 R1, 0x1B       ; INC's opcode
            ST8 patch, R1
    patch:  DEC R2
            HALT)"},
        {"store into an earlier block, then a jump back to it", R"(
            LDI8 R5, 2
    again:  LDI8 R1, 7
            DEC R5
            JZ R5, done
            LDI8 R2, 9
            ST8 again + 2, R2   ; the immediate of the LDI8
            JMP again
    done:   HALT)"},
        {"register-held store into code", R"(
            LDI16 R1, target
            LDI8 R2, 0x01       ; HALT
            ST8R R1, R2
    target: NOP
            LDI8 R3, 1
            HALT)"},
        {"faults inside a block keep their pc", R"(
            LDI8 R1, 5
            LDI8 R2, 0
            ADD R3, R1, R1
            DIVU R4, R1, R2
            HALT)"},
        {"load past the end inside a pair", R"(
            LDI16 R1, 0xFFFF
            LD32R R2, R1
            FMUL R3, R2, R2
            HALT)"},
        {"an interrupt patches the code it returns to", R"(
            LDI16 R1, next
            INT 3
    next:   INC R2
            INC R2
            HALT)"},
        // A fan-out keeps the first result in a host register: each later
        // read must still see the latest value of every register.
        {"fan-out whose second instruction overwrites the shared result", R"(
            ADD R1, R1, R3
            XOR R1, R2, R1
            AND R4, R1, R5
            HALT)"},
        {"fan-out taking the shared result as the second operand", R"(
            ADD R1, R1, R3
            XOR R2, R2, R1
            AND R1, R5, R1
            HALT)"},
        {"fan-out whose third instruction reads what the second wrote", R"(
            ADD R1, R2, R3
            XOR R2, R2, R1
            AND R3, R1, R2
            HALT)"},
        {"fan-out writing the first instruction's operands", R"(
            ADD R1, R1, R1
            XOR R1, R1, R1
            AND R1, R1, R1
            ADD R2, R3, R4
            XOR R3, R2, R4
            AND R4, R2, R3
            HALT)"},
        // A counter step fused with its branch tests the new count.
        {"counted loop naming the counter second", R"(
            LDI8 R4, 5
    up:     INC R3
            JGTU R4, R3, up
    down:   DEC R4
            JLE R3, R4, down
            HALT)"},
        {"counter step whose branch tests other registers", R"(
            LDI8 R2, 3
    again:  INC R3
            JLTU R1, R2, again
    more:   DEC R3
            JNZ R1, more
            HALT)"},
        {"call and return between blocks", R"(
            CALL sub
            INC R3
            HALT
    sub:    LDI8 R4, 3
    l:      DEC R4
            JNZ R4, l
            RET)"},
    };
    uint32_t seed = 1;
    for (const auto &c : cases) {
        const std::vector<uint8_t> program = assembleForTest(c.source);
        for (int k = 0; k < 9; ++k) expectSameRuns(program, seed++, c.name);
    }
    for (uint32_t n = 0; n < 1500; ++n) {
        Random random{0x9E3779B9u ^ (n * 2654435761u)};
        const std::vector<uint8_t> program =
            randomProgram(random, uint32_t(kRegion + kStack + 200));
        expectSameRuns(program, seed++, "random program " + std::to_string(n));
        if (HasFatalFailure()) return;
    }
}

// The fast path is real: a plain loop becomes blocks at creation.
TEST(DspBlocks, LoopsArePreparedAsBlocks) {
    const std::vector<uint8_t> program = assembleForTest(R"(
            LDI8 R1, 10
    loop:   DEC R1
            JNZ R1, loop
            HALT)");
    MvDspVm *vm = dspVmCreate(program.data(), uint16_t(program.size()), 0, 16);
    ASSERT_NE(dspVmPrepared(vm), nullptr);
    EXPECT_GE(dspVmPrepared(vm)->blockCount, 3u);
    EXPECT_EQ(dspVmRun(vm, 0), MV_DSP_OK);
    EXPECT_EQ(vm->registers[MV_DSP_PC], program.size() - 1);
    dspVmDestroy(vm);
}

// The integer loop body a = a + i; b = b ^ a; a = a & mask runs as one
// fused operation ahead of its loop branch.
TEST(DspBlocks, FanOutIsPreparedAsOneOperation) {
    const std::vector<uint8_t> program = assembleForTest(R"(
            LDI8 R5, 0xFF
            LDI8 R4, 20
    loop:   ADD R1, R1, R3
            XOR R2, R2, R1
            AND R1, R1, R5
            INC R3
            JLEU R3, R4, loop
            HALT)");
    MvDspVm *vm = dspVmCreate(program.data(), uint16_t(program.size()), 0, 16);
    ASSERT_NE(dspVmPrepared(vm), nullptr);
    const DspPrepared &prepared = *dspVmPrepared(vm);
    const uint16_t loop = prepared.blockAt[6];
    ASSERT_NE(loop, 0);
    EXPECT_EQ(prepared.blocks[loop].first->handler, dspFastHandlers()[FAST_ADD_XOR_AND]);
    EXPECT_EQ(prepared.blocks[loop].cost, 5u);
    EXPECT_EQ(dspVmRun(vm, 0), MV_DSP_OK);
    uint32_t a = 0, b = 0;
    for (uint32_t i = 0; i <= 20; ++i) a += i, b ^= a, a &= 0xFF;
    EXPECT_EQ(vm->registers[1], a);
    EXPECT_EQ(vm->registers[2], b);
    dspVmDestroy(vm);
}

} // namespace
