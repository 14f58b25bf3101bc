// Signal-processor VM: image and primitives, the interpreter's statuses and
// pc placement, every instruction family, and the console through pipes.
#include "dsp/mv_dsp_vm.h"
#include "dsp_assembly.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace mv;

namespace {

constexpr uint32_t kRunBudget = 100000;
constexpr uint32_t kIntMin = 0x80000000u;

uint32_t bits(float value) { return std::bit_cast<uint32_t>(value); }
float real(uint32_t value) { return std::bit_cast<float>(value); }

class DspVm : public ::testing::Test {
protected:
    ~DspVm() override {
        if (vm) dspVmDestroy(vm);
    }

    void load(const std::vector<uint8_t> &program, uint16_t region = 0, uint16_t stack = 64) {
        ASSERT_EQ(vm, nullptr);
        vm = dspVmCreate(program.data(), uint16_t(program.size()), region, stack);
        ASSERT_NE(vm, nullptr);
    }
    void load(std::string_view source, uint16_t region = 0, uint16_t stack = 64) {
        load(assembleForTest(source), region, stack);
    }
    MvDspStatus run(uint32_t budget = kRunBudget) { return dspVmRun(vm, budget); }
    uint32_t &reg(int index) { return vm->registers[index]; }
    uint32_t &pc() { return reg(MV_DSP_PC); }
    uint32_t &sp() { return reg(MV_DSP_SP); }
    uint32_t word(uint32_t address) { return dspVmLoadWord(vm->memory + address); }

    MvDspVm *vm = nullptr;
};

// ------------------------------------------------------------ image

TEST_F(DspVm, CreationLaysOutProgramRegionAndZeroedStack) {
    const std::vector<uint8_t> program = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    load(program, 0, 16);
    EXPECT_EQ(vm->memorySize, 26);
    EXPECT_EQ(vm->stackBase, 10);
    EXPECT_EQ(vm->stackSize, 16);
    EXPECT_EQ(sp(), 26u);
    EXPECT_EQ(dspVmStackDepth(vm), 0u);
    EXPECT_EQ(std::memcmp(vm->memory, program.data(), program.size()), 0);
    for (int address = 10; address < 26; ++address) EXPECT_EQ(vm->memory[address], 0);
    EXPECT_EQ(vm->interruptCallback, nullptr);
    EXPECT_EQ(vm->resources, nullptr);
}

TEST_F(DspVm, PushPopAndAddressPrimitives) {
    load(std::vector<uint8_t>{0}, 8, 16);
    dspVmPush(vm, 111);
    dspVmPush(vm, 222);
    EXPECT_EQ(dspVmStackDepth(vm), 8u);
    EXPECT_EQ(dspVmPop(vm), 222u);
    EXPECT_EQ(dspVmStackDepth(vm), 4u);
    EXPECT_EQ(dspVmAddress(vm, 0x10005), vm->memory + 5);
    dspVmSetRegister(vm, 7, 0xABCD);
    EXPECT_EQ(dspVmGetRegister(vm, 7), 0xABCDu);
}

TEST_F(DspVm, ResetKeepsImageBelowStackAndClearsRegistersAndStack) {
    load(R"(
        LDI8 R1, 42
        ST8 data, R1
        PUSH R1
        HALT
    data: .byte 0
    )",
         4, 16);
    ASSERT_EQ(run(), MV_DSP_OK);
    dspVmReset(vm);
    EXPECT_EQ(vm->memory[10], 42);
    for (int i = 0; i < MV_DSP_REGISTER_COUNT; ++i)
        if (i != MV_DSP_SP) {
            EXPECT_EQ(reg(i), 0u) << "R" << i;
        }
    EXPECT_EQ(sp(), vm->memorySize);
    for (int address = vm->stackBase; address < vm->memorySize; ++address)
        EXPECT_EQ(vm->memory[address], 0);
}

// ------------------------------------------------------------ run loop

TEST_F(DspVm, AddExampleFromRawBytes) {
    load(std::vector<uint8_t>{0x05, 0x01, 0x05, 0x05, 0x02, 0x07, 0x1F, 0x00, 0x01, 0x02, 0x01});
    EXPECT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(0), 12u);
    EXPECT_EQ(pc(), 10u);
}

TEST_F(DspVm, HaltStaysOnItsOpcodeSoTheNextRunHaltsAgain) {
    load("NOP\nHALT");
    EXPECT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(pc(), 1u);
    EXPECT_EQ(run(1), MV_DSP_OK);
    EXPECT_EQ(pc(), 1u);
}

TEST_F(DspVm, BudgetCountsExecutedInstructions) {
    load(R"(
        LDI32 R1, 100000
    loop:
        DEC R1
        JNZ R1, loop
        HALT
    )");
    EXPECT_EQ(run(0), MV_DSP_OK) << "budget 0 means no limit";
    EXPECT_EQ(reg(1), 0u);

    pc() = 0;
    EXPECT_EQ(run(2), MV_DSP_NOT_RESPONDING);
    EXPECT_EQ(pc(), 8u) << "left on the next instruction (JNZ)";
}

TEST_F(DspVm, BudgetOfOneStopsAfterANopButNotBeforeAHalt) {
    load("NOP\nHALT");
    EXPECT_EQ(run(1), MV_DSP_NOT_RESPONDING);
    EXPECT_EQ(pc(), 1u);
    EXPECT_EQ(run(1), MV_DSP_OK);
}

TEST_F(DspVm, BudgetIsExactOverLongStraightRuns) {
    // 65000 NOPs and a jump back: after B instructions pc = B mod 65001.
    constexpr uint32_t kNops = 65000;
    std::vector<uint8_t> image(kNops + 3, 0);
    image[kNops] = 0x36; // JMP 0
    load(image, 0, 0);
    for (uint32_t budget : {1u, 2u, 65000u, 65001u, 65535u, 65536u, 65537u, 130540u, 1000003u}) {
        pc() = 0;
        EXPECT_EQ(run(budget), MV_DSP_NOT_RESPONDING) << budget;
        EXPECT_EQ(pc(), budget % (kNops + 1)) << budget;
    }
}

TEST_F(DspVm, FetchFailures) {
    load(std::vector<uint8_t>{82, 0, 0, 0});
    EXPECT_EQ(run(), MV_DSP_UNKNOWN_OPCODE);
    EXPECT_EQ(pc(), 0u);

    pc() = vm->memorySize;
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(pc(), vm->memorySize);
    pc() = 0xFFFFFFFF;
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS);
}

TEST_F(DspVm, InstructionRunningPastTheEndFailsOnItsOpcode) {
    // LDI32 needs six bytes; at M - 5 only five remain.
    load(std::vector<uint8_t>{0, 0, 0, 3, 1, 0, 0, 0}, 0, 0);
    pc() = vm->memorySize - 5;
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(pc(), vm->memorySize - 5u);
}

TEST_F(DspVm, InstructionEndingExactlyAtTheEndRuns) {
    load(std::vector<uint8_t>{0, 0, 3, 1, 0x78, 0x56, 0x34, 0x12}, 0, 0);
    pc() = 2;
    EXPECT_EQ(run(1), MV_DSP_NOT_RESPONDING);
    EXPECT_EQ(reg(1), 0x12345678u);
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS) << "pc is now M";
}

// One minimal program per status, with pc where decoding leaves it.
struct StatusCase {
    const char *name;
    std::vector<uint8_t> program;
    MvDspStatus status;
    uint32_t pc;
};

class DspVmStatus : public DspVm, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DspVmStatus, EndsWithStatusAndPc) {
    const StatusCase &c = GetParam();
    load(c.program, 0, 8);
    EXPECT_EQ(run(3), c.status);
    EXPECT_EQ(pc(), c.pc);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStatus, DspVmStatus,
    ::testing::Values(
        StatusCase{"Halt", {0, 1}, MV_DSP_OK, 1},
        StatusCase{"Budget", {0, 0, 0, 0}, MV_DSP_NOT_RESPONDING, 3},
        StatusCase{"UnknownOpcode", {0, 0xFF}, MV_DSP_UNKNOWN_OPCODE, 1},
        StatusCase{"DivisionByZero", {0x27, 0, 1, 2, 1}, MV_DSP_UNSUPPORTED_OPCODE, 3},
        StatusCase{"BadSourceRegister", {0x06, 0, 20, 1}, MV_DSP_INVALID_REGISTER, 2},
        StatusCase{"BadFirstOperandStillLastByte", {0x1F, 30, 1, 2, 1}, MV_DSP_INVALID_REGISTER, 3},
        StatusCase{"BadBranchRegister", {0x3A, 0, 25, 0, 0, 1}, MV_DSP_INVALID_REGISTER, 4},
        StatusCase{
            "ImmediateLoadOnRegisterByte", {0x03, 20, 1, 2, 3, 4, 1}, MV_DSP_INVALID_REGISTER, 1},
        StatusCase{"Ldi8OnRegisterByte", {0x05, 99, 1, 1}, MV_DSP_INVALID_REGISTER, 1},
        StatusCase{"InterruptWithoutCallback", {0x02, 7, 1}, MV_DSP_INTERRUPT_ERROR, 1},
        StatusCase{"PushOnFullStack", {0x07, 0, 0x07, 0, 0x07, 0, 1}, MV_DSP_STACK_OVERFLOW, 5},
        StatusCase{"PopOnEmptyStack", {0x08, 0, 1}, MV_DSP_STACK_UNDERFLOW, 1},
        StatusCase{"LoadOutsideImage", {0x13, 0, 0xFF, 0x00, 1}, MV_DSP_INVALID_ADDRESS, 3}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DspVm, InterruptCallbackDecidesAndMayMovePc) {
    load(R"(
        INT 7
        LDI8 R1, 1
        HALT
        LDI8 R1, 2
        HALT
    )");
    static uint32_t seen;
    vm->interruptCallback = [](MvDspVm *v, uint32_t number) {
        seen = number;
        return int(v->registers[0] == 0 ? 1 : 0x100);
    };
    EXPECT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(seen, 7u);
    EXPECT_EQ(reg(1), 1u);

    // Only the low byte counts: 0x100 is a refusal.
    dspVmReset(vm);
    reg(0) = 1;
    EXPECT_EQ(run(), MV_DSP_INTERRUPT_ERROR);
    EXPECT_EQ(pc(), 1u);

    // The callback sees pc on the operand byte; execution resumes one past it.
    dspVmReset(vm);
    vm->interruptCallback = [](MvDspVm *v, uint32_t) {
        v->registers[MV_DSP_PC] += 4; // skip "LDI8 R1, 1 / HALT"
        return 1;
    };
    EXPECT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(1), 2u);
}

// ------------------------------------------------------------ registers and pc

TEST_F(DspVm, ImmediateLoadsZeroExtend) {
    load(R"(
        LDI32 R1, 0xDEADBEEF
        LDI16 R2, 0xFFFF
        LDI8  R3, 255
        LDI32 R4, 1.5
        MOV   R5, R1
        NOT   R6, R1
        HALT
    )");
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(1), 0xDEADBEEFu);
    EXPECT_EQ(reg(2), 0xFFFFu);
    EXPECT_EQ(reg(3), 255u);
    EXPECT_EQ(real(reg(4)), 1.5f);
    EXPECT_EQ(reg(5), 0xDEADBEEFu);
    EXPECT_EQ(reg(6), 0x21524110u);
}

TEST_F(DspVm, ReadingPcGivesTheInstructionsLastByte) {
    load("NOP\nMOV R1, pc\nPUSH pc\nHALT");
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(1), 3u);
    EXPECT_EQ(word(sp()), 5u);
}

TEST_F(DspVm, WritingPcContinuesOneBytePastTheValue) {
    load(R"(
        LDI8 R1, target - 1
        MOV  pc, R1
        HALT
    target:
        LDI8 R2, 9
        HALT
    )");
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(2), 9u);
}

// ------------------------------------------------------------ stack

TEST_F(DspVm, StackInstructions) {
    load(R"(
        LDI8 R1, 1
        LDI8 R2, 2
        PUSH R1
        PUSH R2
        DUP
        POP  R3
        POP2 R4, R5
        HALT
    )",
         0, 16);
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(3), 2u);
    EXPECT_EQ(reg(4), 2u);
    EXPECT_EQ(reg(5), 1u);
    EXPECT_EQ(sp(), vm->memorySize);
}

TEST_F(DspVm, PushAndPopOfTheStackPointerItself) {
    load("PUSH sp\nHALT", 0, 8);
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(word(sp()), sp()) << "the new sp is stored";

    dspVmDestroy(vm);
    vm = nullptr;
    load("LDI8 R1, 40\nPUSH R1\nPOP sp\nHALT", 0, 8);
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(sp(), 44u) << "popped value + 4";
}

TEST_F(DspVm, StackLimits) {
    load("PUSH R0\nHALT", 0, 0);
    EXPECT_EQ(run(), MV_DSP_STACK_OVERFLOW) << "no room at all";
    EXPECT_EQ(pc(), 1u);

    pc() = 0;
    dspVmDestroy(vm);
    vm = nullptr;
    load("DUP\nHALT", 0, 8);
    EXPECT_EQ(run(), MV_DSP_STACK_UNDERFLOW) << "DUP of an empty stack";
    EXPECT_EQ(pc(), 0u);
}

TEST_F(DspVm, StackPointerMovedOutsideTheStackNeverLeavesTheImage) {
    load(R"(
        POP2 R1, R2
    )",
         0, 8);
    sp() = vm->memorySize - 4;
    EXPECT_EQ(run(), MV_DSP_STACK_UNDERFLOW) << "POP2 with one word";

    for (uint32_t wild : {vm->memorySize + 1u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        dspVmDestroy(vm);
        vm = nullptr;
        load("PUSH R1\nHALT", 0, 8);
        sp() = wild;
        EXPECT_EQ(run(), MV_DSP_STACK_UNDERFLOW) << "push with sp above the top: " << wild;
        pc() = 0;
        vm->memory[0] = 0x0A; // DUP
        EXPECT_EQ(run(), MV_DSP_STACK_UNDERFLOW);
        vm->memory[0] = 0x08; // POP R1
        EXPECT_EQ(run(), MV_DSP_STACK_UNDERFLOW);
    }

    // Below the base: pops report overflow once the word is known to be inside.
    dspVmDestroy(vm);
    vm = nullptr;
    load("POP R1\nHALT", 0, 8);
    sp() = 0;
    EXPECT_EQ(run(), MV_DSP_STACK_OVERFLOW);

    // POP2 into sp: the second word is checked where the first pop put sp.
    dspVmDestroy(vm);
    vm = nullptr;
    load("POP2 sp, R1\nHALT", 0, 8);
    dspVmPush(vm, 0);
    dspVmPush(vm, 0xFFF0);
    EXPECT_EQ(run(), MV_DSP_STACK_UNDERFLOW);
}

// ------------------------------------------------------------ memory

TEST_F(DspVm, HalfWordAccessAtTheVeryEnd) {
    load("LD16 R1, 0\nHALT", 0, 4);
    const uint32_t m = vm->memorySize;
    vm->memory[m - 2] = 0x34;
    vm->memory[m - 1] = 0x12;
    dspVmStoreHalf(vm->memory + 2, m - 2);
    EXPECT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(1), 0x1234u);

    pc() = 0;
    dspVmStoreHalf(vm->memory + 2, m - 1);
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(pc(), 3u);
}

TEST_F(DspVm, RegisterHeldAddressesUseTheLow16Bits) {
    load(R"(
        LDI32 R1, 0x00010000 + data
        LD32R R2, R1
        LDI32 R3, 0x00FF0000 + copy
        ST32R R3, R2
        LD16R R4, R1
        LD8R  R5, R1
        HALT
    data: .word 0x11223344
    copy: .word 0
    )");
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(2), 0x11223344u);
    EXPECT_EQ(word(vm->stackBase - 4), 0x11223344u);
    EXPECT_EQ(reg(4), 0x3344u);
    EXPECT_EQ(reg(5), 0x44u);
}

TEST_F(DspVm, StoresOfEveryWidthAreLittleEndianAndUnaligned) {
    load(R"(
        LDI32 R1, 0xA1B2C3D4
        ST32  data + 1, R1
        ST16  data + 6, R1
        ST8   data + 9, R1
        LDI8  R2, data + 10
        ST16R R2, R1
        HALT
    data: .zero 12
    )");
    ASSERT_EQ(run(), MV_DSP_OK);
    const uint8_t *data = vm->memory + vm->stackBase - 12;
    const uint8_t expected[12] = {0, 0xD4, 0xC3, 0xB2, 0xA1, 0, 0xD4, 0xC3, 0, 0xD4, 0xD4, 0xC3};
    EXPECT_EQ(std::memcmp(data, expected, 12), 0);
}

TEST_F(DspVm, StoreOutsideTheImageFailsOnTheLastByte) {
    load("LDI16 R1, 0xFFFF\nST8R R1, R0\nHALT");
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(pc(), 6u);
}

TEST_F(DspVm, CopyChecksBothRangesAndAllowsOverlap) {
    load(R"(
        COPY 9, 5, 0
        COPY to, from, 4
        COPY from + 1, from, 3
        HALT
    from: .byte 1, 2, 3, 4
    to:   .byte 0, 0, 0, 0
    )");
    ASSERT_EQ(run(), MV_DSP_OK);
    const uint8_t *from = vm->memory + vm->stackBase - 8;
    const uint8_t expected[8] = {1, 1, 2, 3, 1, 2, 3, 4};
    EXPECT_EQ(std::memcmp(from, expected, 8), 0);

    dspVmDestroy(vm);
    vm = nullptr;
    load("COPY 5, 0, 0\nHALT");
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS) << "length 0 at address 0 wraps below 0";
    EXPECT_EQ(pc(), 6u);
}

TEST_F(DspVm, CopyRegistersTakeLow16Bits) {
    load(R"(
        LDI32 R1, 0x10000 + to
        LDI32 R2, 0x20000 + from
        LDI32 R3, 0x30002
        COPYR R1, R2, R3
        LDI16 R3, 0xFFFF
        COPYR R1, R2, R3
        HALT
    from: .byte 7, 8
    to:   .byte 0, 0
    )");
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(vm->memory[vm->stackBase - 2], 7);
    EXPECT_EQ(vm->memory[vm->stackBase - 1], 8);
}

// ------------------------------------------------------------ arithmetic

struct ArithmeticCase {
    const char *name;
    const char *mnemonic;
    uint32_t a, b, result;
};

class DspVmArithmetic : public DspVm, public ::testing::WithParamInterface<ArithmeticCase> {};

TEST_P(DspVmArithmetic, ComputesIntoTheDestination) {
    const ArithmeticCase &c = GetParam();
    load(std::string(c.mnemonic) + " R3, R1, R2\nHALT");
    reg(1) = c.a;
    reg(2) = c.b;
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(3), c.result) << std::hex << reg(3);
}

INSTANTIATE_TEST_SUITE_P(
    ThreeRegister, DspVmArithmetic,
    ::testing::Values(
        ArithmeticCase{"AddWraps", "ADD", 0xFFFFFFFF, 2, 1},
        ArithmeticCase{"SubWraps", "SUB", 1, 2, 0xFFFFFFFF},
        ArithmeticCase{"MulLowBits", "MUL", 0x10000, 0x10001, 0x10000},
        ArithmeticCase{"MuluSame", "MULU", 0xFFFFFFFF, 0xFFFFFFFF, 1},
        ArithmeticCase{"DivTruncatesTowardZero", "DIV", uint32_t(-7), 2, uint32_t(-3)},
        ArithmeticCase{"ModHasDividendSign", "MOD", uint32_t(-7), 2, uint32_t(-1)},
        ArithmeticCase{"DivuUnsigned", "DIVU", 0xFFFFFFFE, 2, 0x7FFFFFFF},
        ArithmeticCase{"ModuUnsigned", "MODU", 0xFFFFFFFF, 10, 5},
        ArithmeticCase{"ShlMasksCount", "SHL", 1, 33, 2},
        ArithmeticCase{"ShrZeroFills", "SHR", kIntMin, 31, 1},
        ArithmeticCase{"SarBy33ShiftsByOne", "SAR", kIntMin, 33, 0xC0000000},
        ArithmeticCase{"And", "AND", 0xF0F0, 0xFF00, 0xF000},
        ArithmeticCase{"Or", "OR", 0xF0F0, 0xFF00, 0xFFF0},
        ArithmeticCase{"Xor", "XOR", 0xF0F0, 0xFF00, 0x0FF0},
        ArithmeticCase{"CmpSigned", "CMP", 0xFFFFFFFF, 1, uint32_t(-1)},
        ArithmeticCase{"CmpuUnsigned", "CMPU", 0xFFFFFFFF, 1, 1},
        ArithmeticCase{"CmpEqual", "CMP", 5, 5, 0},
        ArithmeticCase{"FaddSingle", "FADD", bits(1.5f), bits(2.25f), bits(3.75f)},
        ArithmeticCase{"FsubSingle", "FSUB", bits(1.0f), bits(0.25f), bits(0.75f)},
        ArithmeticCase{"FmulRoundsToSingle", "FMUL", bits(0.1f), bits(3.0f), bits(0.1f * 3.0f)},
        ArithmeticCase{"FdivByZeroIsInfinity", "FDIV", bits(1.0f), bits(0.0f), bits(INFINITY)},
        ArithmeticCase{"FcmpLess", "FCMP", bits(-1.0f), bits(1.0f), uint32_t(-1)},
        ArithmeticCase{"FcmpZeroes", "FCMP", bits(-0.0f), bits(0.0f), 0},
        ArithmeticCase{"FcmpNan", "FCMP", bits(1.0f), bits(NAN), 2}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DspVm, DivisionFaultsEndTheRunInsteadOfTrapping) {
    struct Case {
        const char *mnemonic;
        uint32_t a, b;
    } cases[] = {{"DIV", 1, 0},
                 {"DIVU", 1, 0},
                 {"MOD", 1, 0},
                 {"MODU", 1, 0},
                 {"DIV", kIntMin, uint32_t(-1)},
                 {"MOD", kIntMin, uint32_t(-1)}};
    for (const Case &c : cases) {
        if (vm) dspVmDestroy(vm);
        vm = nullptr;
        load(std::string("NOP\n") + c.mnemonic + " R3, R1, R2\nHALT");
        reg(1) = c.a;
        reg(2) = c.b;
        reg(3) = 77;
        EXPECT_EQ(run(), MV_DSP_UNSUPPORTED_OPCODE) << c.mnemonic << " " << c.a << "/" << c.b;
        EXPECT_EQ(pc(), 4u) << "on the instruction's last byte";
        EXPECT_EQ(reg(3), 77u) << "destination untouched";
    }
    // Unsigned division of the same bits is fine.
    dspVmDestroy(vm);
    vm = nullptr;
    load("DIVU R3, R1, R2\nHALT");
    reg(1) = kIntMin;
    reg(2) = uint32_t(-1);
    EXPECT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(3), 0u);
}

TEST_F(DspVm, ConversionsAndIncrements) {
    load(R"(
        FTOI R1, R1
        FTOI R2, R2
        FTOI R3, R3
        FTOI R4, R4
        ITOF R5, R5
        INC  R6
        DEC  R7
        FINC R8
        FDEC R9
        HALT
    )");
    reg(1) = bits(3.9f);
    reg(2) = bits(-3.9f);
    reg(3) = bits(1.0e10f);
    reg(4) = bits(NAN);
    reg(5) = uint32_t(-16777217); // rounds to nearest float
    reg(6) = 0xFFFFFFFF;
    reg(7) = 0;
    reg(8) = bits(0.5f);
    reg(9) = bits(0.5f);
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(1), 3u);
    EXPECT_EQ(reg(2), uint32_t(-3));
    EXPECT_EQ(reg(3), kIntMin);
    EXPECT_EQ(reg(4), kIntMin);
    EXPECT_EQ(real(reg(5)), -16777216.0f);
    EXPECT_EQ(reg(6), 0u);
    EXPECT_EQ(reg(7), 0xFFFFFFFFu);
    EXPECT_EQ(real(reg(8)), 1.5f);
    EXPECT_EQ(real(reg(9)), -0.5f);
}

// ------------------------------------------------------------ control flow

TEST_F(DspVm, CallSetsLinkAndReturnComesBack) {
    std::vector<uint8_t> image(0x110, 0);
    image[0x10] = 0x0B; // CALL 0x0100
    image[0x11] = 0x00;
    image[0x12] = 0x01;
    image[0x13] = 0x01;  // HALT
    image[0x100] = 0x0C; // RET
    load(image);
    pc() = 0x10;
    EXPECT_EQ(run(1), MV_DSP_NOT_RESPONDING);
    EXPECT_EQ(reg(MV_DSP_LR), 0x13u);
    EXPECT_EQ(pc(), 0x100u);
    EXPECT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(pc(), 0x13u);
}

TEST_F(DspVm, JumpThroughRegisterUsesAll32Bits) {
    load("LDI32 R1, 0x10000\nJMPR R1");
    EXPECT_EQ(run(), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(pc(), 0x10000u);
}

struct BranchCase {
    const char *mnemonic;
    uint32_t a, b;
    bool taken;
};

class DspVmBranch : public DspVm, public ::testing::WithParamInterface<BranchCase> {};

TEST_P(DspVmBranch, JumpsOnlyWhenTheConditionHolds) {
    const BranchCase &c = GetParam();
    load(std::string(c.mnemonic) + " R1, R2, yes\nLDI8 R0, 2\nHALT\nyes: LDI8 R0, 1\nHALT");
    reg(1) = c.a;
    reg(2) = c.b;
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(0), c.taken ? 1u : 2u) << c.mnemonic << " " << c.a << ", " << c.b;
}

// -1 against 1 tells signed from unsigned comparisons apart.
INSTANTIATE_TEST_SUITE_P(
    CompareAndBranch, DspVmBranch,
    ::testing::Values(BranchCase{"JEQ", 3, 3, true}, BranchCase{"JEQ", 3, 4, false},
                      BranchCase{"JNE", 3, 4, true}, BranchCase{"JNE", 3, 3, false},
                      BranchCase{"JGT", uint32_t(-1), 1, false},
                      BranchCase{"JGTU", uint32_t(-1), 1, true}, BranchCase{"JGE", 1, 1, true},
                      BranchCase{"JGEU", 0, 1, false}, BranchCase{"JLT", uint32_t(-1), 1, true},
                      BranchCase{"JLTU", uint32_t(-1), 1, false}, BranchCase{"JLE", 2, 1, false},
                      BranchCase{"JLEU", 1, 1, true}),
    [](const auto &info) {
        return std::string(info.param.mnemonic) + (info.param.taken ? "Taken" : "NotTaken");
    });

TEST_F(DspVm, ZeroTestsAndUntakenBranchNearTheEnd) {
    load(R"(
        JZ  R1, skip
        LDI8 R0, 9
    skip:
        JNZ R1, 0
        HALT
    )");
    ASSERT_EQ(run(), MV_DSP_OK);
    EXPECT_EQ(reg(0), 0u) << "JZ on zero jumped over the load";
}

TEST_F(DspVm, NopsWithRegisterCheckOnly) {
    load(std::vector<uint8_t>{0x32, 19, 0x33, 0, 0x33, 20, 1});
    EXPECT_EQ(run(), MV_DSP_INVALID_REGISTER);
    EXPECT_EQ(pc(), 5u);
}

// ------------------------------------------------------------ a whole program

// The example program driven the way the hosting machine drives routines:
// fp = sp, arguments pushed last first, pc = entry, reset after success.
TEST_F(DspVm, GainExampleRunsThroughItsRoutines) {
    const std::string here = __FILE__;
    std::ifstream file(here.substr(0, here.rfind('/')) + "/../../examples/dsp/gain.mvs");
    ASSERT_TRUE(file) << "examples/dsp/gain.mvs";
    const std::string source{std::istreambuf_iterator<char>(file), {}};
    constexpr uint16_t kChannels = 2, kFrames = 3, kRegion = 4 * kChannels * kFrames;
    const std::vector<uint8_t> program = assembleForTest(source);
    load(program, kRegion, 64);
    const auto start = [&](uint32_t entry, std::vector<uint32_t> arguments) {
        dspVmReset(vm);
        reg(MV_DSP_FP) = sp();
        for (auto word = arguments.rbegin(); word != arguments.rend(); ++word) dspVmPush(vm, *word);
        pc() = entry;
        return run(kDspRunBudget);
    };

    ASSERT_EQ(start(0, {0, 48000, kChannels}), MV_DSP_OK);
    const uint32_t messageEntry = reg(1), mainEntry = reg(2);
    EXPECT_EQ(reg(0), messageEntry);
    EXPECT_LT(mainEntry, vm->memorySize);

    ASSERT_EQ(start(messageEntry, {1, bits(0.5f)}), MV_DSP_OK);
    EXPECT_EQ(reg(0), 0u);
    ASSERT_EQ(start(messageEntry, {0}), MV_DSP_OK) << "an empty message keeps the gain";

    const uint32_t block = uint32_t(program.size());
    for (int i = 0; i < kChannels * kFrames; ++i)
        dspVmStoreWord(vm->memory + block + 4 * i, bits(float(i)));
    ASSERT_EQ(start(mainEntry, {kFrames, block}), MV_DSP_OK);
    EXPECT_EQ(reg(0), 0u);
    for (int i = 0; i < kChannels * kFrames; ++i)
        EXPECT_EQ(real(word(block + 4 * i)), 0.5f * float(i));
}

// ------------------------------------------------------------ console

struct ConsoleResult {
    MvDspStatus status;
    std::string output;
    std::vector<uint32_t> registers;
};

// Runs the program in a child process whose stdin and stdout are pipes.
ConsoleResult runOnConsole(const std::vector<uint8_t> &program, const std::string &input,
                           uint16_t stackSize = 16) {
    int toChild[2], fromChild[2], registersPipe[2];
    EXPECT_EQ(pipe(toChild), 0);
    EXPECT_EQ(pipe(fromChild), 0);
    EXPECT_EQ(pipe(registersPipe), 0);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        close(toChild[1]);
        close(fromChild[0]);
        close(registersPipe[0]);
        MvDspVm *vm = dspVmCreate(program.data(), uint16_t(program.size()), 0, stackSize);
        const MvDspStatus status = dspVmRun(vm, kRunBudget);
        std::fflush(stdout);
        if (write(registersPipe[1], vm->registers, sizeof vm->registers) < 0) _exit(100);
        _exit(status);
    }
    close(toChild[0]);
    close(fromChild[1]);
    close(registersPipe[1]);
    EXPECT_EQ(write(toChild[1], input.data(), input.size()), ssize_t(input.size()));
    close(toChild[1]);
    ConsoleResult result{-1, {}, std::vector<uint32_t>(MV_DSP_REGISTER_COUNT)};
    char buffer[256];
    for (ssize_t n; (n = read(fromChild[0], buffer, sizeof buffer)) > 0;)
        result.output.append(buffer, n);
    EXPECT_EQ(read(registersPipe[0], result.registers.data(), MV_DSP_REGISTER_COUNT * 4),
              ssize_t(MV_DSP_REGISTER_COUNT * 4));
    close(fromChild[0]);
    close(registersPipe[0]);
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    return result;
}

TEST(DspVmConsole, PrintsNumbersCharactersAndStrings) {
    const ConsoleResult result = runOnConsole(assembleForTest(R"(
        LDI32  R1, 0xFFFFFFFF
        PRINTU R1, 1
        PRINTI R1, 0
        PUTC   R2
        LDI32  R1, 2.5
        PRINTF R1, 1
        LDI8   R2, 'x'
        PUTC   R2
        PUTNL
        PUTS   text
        HALT
    text: .string "two\nlines"
    )"),
                                              "");
    EXPECT_EQ(result.status, MV_DSP_OK);
    EXPECT_EQ(result.output, std::string("4294967295\n-1") + '\0' + "2.500000\nx\ntwo\nlines");
}

TEST(DspVmConsole, ReadsNumbersCharactersAndLines) {
    const ConsoleResult result = runOnConsole(assembleForTest(R"(
        READU R1
        READI R2
        READF R3
        GETC  R4
        GETC  R5
        GETS  line, 8
        GETS  rest, 4
        READI R6
        GETC  R7
        GETS  empty, 8
        PUTS  line
        PUTS  rest
        HALT
    line:  .zero 8
    rest:  .zero 4
    empty: .byte 0x55
    )"),
                                              "4000000000 -12 0.25\nabcdefghij\n");
    EXPECT_EQ(result.status, MV_DSP_OK);
    EXPECT_EQ(result.registers[1], 4000000000u);
    EXPECT_EQ(result.registers[2], uint32_t(-12));
    EXPECT_EQ(real(result.registers[3]), 0.25f);
    EXPECT_EQ(result.registers[4], uint32_t('\n'));
    EXPECT_EQ(result.registers[5], uint32_t('a'));
    EXPECT_EQ(result.registers[6], 0u) << "a failed read leaves the register alone";
    EXPECT_EQ(result.registers[7], 0xFFFFFFFFu) << "end of input";
    EXPECT_EQ(result.output, "bcdefghij\n") << "7 bytes, then 3 bytes with the newline";
}

TEST(DspVmConsole, PutsRunningOffTheEndWritesThenFails) {
    const ConsoleResult result =
        runOnConsole(assembleForTest("PUTS text\nHALT\ntext: .byte 'o', 'k'"), "", 0);
    EXPECT_EQ(result.status, MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(result.registers[MV_DSP_PC], 2u);
    EXPECT_EQ(result.output, "ok");
}

TEST(DspVmConsole, PutsFromOutsideTheImageWritesNothing) {
    const ConsoleResult result = runOnConsole(assembleForTest("PUTS 0xFFFF\nHALT"), "");
    EXPECT_EQ(result.status, MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(result.output, "");
}

TEST(DspTexts, StatusAndRoutineNames) {
    EXPECT_STREQ(mvGetDSPErrorString(0), "No error");
    EXPECT_STREQ(mvGetDSPErrorString(8),
                 "Signal processor tried to access an invalid memory address");
    EXPECT_STREQ(mvGetDSPErrorString(9), "Signal processor returned an error code or bad value");
    EXPECT_STREQ(mvGetDSPErrorString(10), "Not a DSP error code");
    EXPECT_STREQ(mvGetDSPErrorString(0xFFFFFFFF), "Not a DSP error code");
    EXPECT_STREQ(mvGetDSPRoutineName(0), "Initializer Routine");
    EXPECT_STREQ(mvGetDSPRoutineName(3), "Main Routine");
    EXPECT_STREQ(mvGetDSPRoutineName(4), "Not a DSP Routine");
    EXPECT_EQ(mvGetDSPVersion(), 0);
}

} // namespace
