// Interpreter speed, read side by side with shared/peers/run.sh:
//  - Spin: the peers' D3 loop (a = a + i; b = b ^ a; a = a & 0xFFFF) in byte
//    code, reported in executed VM instructions per second;
//  - Biquad: the peers' D1 filter (low-pass 1000 Hz at 44100 Hz, direct
//    form I, state in registers during a 4096-sample block, source block to
//    destination block), reported in ns per sample. BiquadPlain translates the
//    loop one to one (four moves shift the state); BiquadRotated is what a
//    programmer would write for this instruction set: three samples per loop
//    pass, the state rotating through registers instead of being moved.
//    Both produce exactly the C reference's output (checked before timing).
#include "bench_common.h"
#include "dsp/mv_dsp_vm.h"
#include "mv_asm.h"

#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

using namespace mv;

namespace {

constexpr uint32_t kSpinIterations = 1000000;
constexpr uint32_t kSpinInstructionsPerIteration = 5;
constexpr uint32_t kBlock = 4096;
constexpr uint16_t kBlockBytes = kBlock * 4;

constexpr const char *kSpin = R"(
        LDI32 R4, 1000000       ; n
        LDI32 R5, 0xFFFF
        LDI8  R3, 1             ; i
loop:   ADD   R1, R1, R3        ; a = a + i
        XOR   R2, R2, R1        ; b = b ~ a
        AND   R1, R1, R5        ; a = a & 0xFFFF
        INC   R3
        JLEU  R3, R4, loop
        HALT
)";

// Coefficients and state at `filter`, blocks after the program.
constexpr const char *kBiquadPlain = R"(
        LD32  R1, filter        ; b0
        LD32  R2, filter + 4    ; b1
        LD32  R3, filter + 8    ; b2
        LD32  R4, filter + 12   ; a1
        LD32  R5, filter + 16   ; a2
        LD32  R6, filter + 20   ; x1
        LD32  R7, filter + 24   ; x2
        LD32  R8, filter + 28   ; y1
        LD32  R9, filter + 32   ; y2
        LD16  R10, source       ; read pointer
        LD16  R11, target       ; write pointer
        LD16  R12, count
        LDI8  R0, 4
loop:   LD32R R13, R10          ; x
        FMUL  R14, R1, R13      ; y = b0*x + b1*x1 + b2*x2 - a1*y1 - a2*y2
        FMUL  R15, R2, R6
        FADD  R14, R14, R15
        FMUL  R15, R3, R7
        FADD  R14, R14, R15
        FMUL  R15, R4, R8
        FSUB  R14, R14, R15
        FMUL  R15, R5, R9
        FSUB  R14, R14, R15
        ST32R R11, R14
        MOV   R7, R6            ; x2 = x1; x1 = x; y2 = y1; y1 = y
        MOV   R6, R13
        MOV   R9, R8
        MOV   R8, R14
        ADD   R10, R10, R0
        ADD   R11, R11, R0
        DEC   R12
        JNZ   R12, loop
        ST32  filter + 20, R6
        ST32  filter + 24, R7
        ST32  filter + 28, R8
        ST32  filter + 32, R9
        HALT
source: .half 0
target: .half 0
count:  .half 4096
filter: .zero 36
)";

// One sample of the rotated program: x into register x, y into register y.
std::string rotatedSample(int x, int y, int x1, int x2, int y1, int y2) {
    const auto r = [](int n) { return " R" + std::to_string(n); };
    return "LD32R" + r(x) + ", R13\n" + "FMUL" + r(y) + ", R1," + r(x) + "\n" + "FMUL R12, R2," +
           r(x1) + "\nFADD" + r(y) + "," + r(y) + ", R12\n" + "FMUL R12, R3," + r(x2) + "\nFADD" +
           r(y) + "," + r(y) + ", R12\n" + "FMUL R12, R4," + r(y1) + "\nFSUB" + r(y) + "," + r(y) +
           ", R12\n" + "FMUL R12, R5," + r(y2) + "\nFSUB" + r(y) + "," + r(y) + ", R12\n" +
           "ST32R R14," + r(y) + "\nADD R13, R13, R0\nADD R14, R14, R0\n";
}

// x[n], x[n-1], x[n-2] rotate through R6, R8, R7 and y through R9, R11, R10;
// 4096 = 3 * 1365 + 1, so one more sample follows the loop.
std::string biquadRotated() {
    return std::string(R"(
        LD32  R1, filter
        LD32  R2, filter + 4
        LD32  R3, filter + 8
        LD32  R4, filter + 12
        LD32  R5, filter + 16
        LD32  R8, filter + 20
        LD32  R7, filter + 24
        LD32  R11, filter + 28
        LD32  R10, filter + 32
        LD16  R13, source
        LD16  R14, target
        LDI16 R15, 1365
        LDI8  R0, 4
loop:
)") + rotatedSample(6, 9, 8, 7, 11, 10) +
           rotatedSample(7, 10, 6, 8, 9, 11) + rotatedSample(8, 11, 7, 6, 10, 9) +
           "DEC R15\nJNZ R15, loop\n" + rotatedSample(6, 9, 8, 7, 11, 10) + R"(
        ST32  filter + 20, R6
        ST32  filter + 24, R8
        ST32  filter + 28, R9
        ST32  filter + 32, R11
        HALT
source: .half 0
target: .half 0
count:  .half 4096
filter: .zero 36
)";
}

MvDspVm *createVm(const std::string &source, uint16_t region, uint16_t *programLength = nullptr,
                  mvasm::Program *assembled = nullptr) {
    mvasm::Program program = mvasm::assemble(source, "bench");
    if (!program.ok()) return nullptr;
    if (programLength) *programLength = uint16_t(program.bytes.size());
    MvDspVm *vm = dspVmCreate(program.bytes.data(), uint16_t(program.bytes.size()), region, 16);
    if (assembled) *assembled = std::move(program);
    return vm;
}

void BM_InterpreterSpin(benchmark::State &state) {
    MvDspVm *vm = createVm(kSpin, 0);
    if (!vm) return state.SkipWithError("spin program does not assemble");
    for (auto _ : state) {
        dspVmReset(vm);
        if (dspVmRun(vm, 0) != MV_DSP_OK) return state.SkipWithError("spin did not halt");
        benchmark::DoNotOptimize(vm->registers[2]);
    }
    const double instructions =
        double(state.iterations()) * kSpinIterations * kSpinInstructionsPerIteration;
    state.counters["VM_instructions/s"] =
        benchmark::Counter(instructions, benchmark::Counter::kIsRate);
    state.counters["loop_iterations/s"] = benchmark::Counter(
        double(state.iterations()) * kSpinIterations, benchmark::Counter::kIsRate);
    dspVmDestroy(vm);
}
BENCHMARK(BM_InterpreterSpin)->Unit(benchmark::kMillisecond);

struct Coefficients {
    float b0, b1, b2, a1, a2;
};

// The peers' design: 1000 Hz at 44100 Hz, 0 dB resonance, rounded to float.
Coefficients lowpass() {
    const double theta = std::numbers::pi * (2.0 * 1000.0 / 44100.0);
    const double alpha = std::sin(theta) / 2.0, k = 1.0 / (1.0 + alpha);
    const double b0 = k * (1.0 - std::cos(theta)) / 2.0;
    return {float(b0), float(2.0 * b0), float(b0), float(-2.0 * std::cos(theta) * k),
            float((1.0 - alpha) * k)};
}

// The same arithmetic in C, in the program's order, for a bit-exact check.
std::vector<float> filterInC(const Coefficients &c, const std::vector<float> &input) {
    std::vector<float> output(input.size());
    float x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        const float x = input[i];
        float y = c.b0 * x;
        y = y + c.b1 * x1;
        y = y + c.b2 * x2;
        y = y - c.a1 * y1;
        y = y - c.a2 * y2;
        output[i] = y;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
    }
    return output;
}

void runBiquad(benchmark::State &state, const std::string &source) {
    uint16_t length = 0;
    mvasm::Program program;
    MvDspVm *vm = createVm(source, 2 * kBlockBytes, &length, &program);
    if (!vm) return state.SkipWithError("biquad program does not assemble");
    const Coefficients c = lowpass();
    const std::vector<float> input = mvbench::xorshiftNoise(kBlock, 777);
    uint8_t *filter = vm->memory + program.address("filter");
    std::memcpy(filter, &c, sizeof c);
    dspVmStoreHalf(vm->memory + program.address("source"), length);
    dspVmStoreHalf(vm->memory + program.address("target"), length + kBlockBytes);
    std::memcpy(vm->memory + length, input.data(), kBlockBytes);

    vm->registers[MV_DSP_PC] = 0;
    if (dspVmRun(vm, 0) != MV_DSP_OK || std::memcmp(vm->memory + length + kBlockBytes,
                                                    filterInC(c, input).data(), kBlockBytes) != 0)
        return state.SkipWithError("byte-code biquad differs from the C reference");

    for (auto _ : state) {
        vm->registers[MV_DSP_PC] = 0;
        if (dspVmRun(vm, 0) != MV_DSP_OK) return state.SkipWithError("biquad did not halt");
    }
    mvbench::nanosecondsPerItem(state, "ns/sample", kBlock);
    dspVmDestroy(vm);
}
void BM_InterpreterBiquadPlain(benchmark::State &state) { runBiquad(state, kBiquadPlain); }
BENCHMARK(BM_InterpreterBiquadPlain)->Unit(benchmark::kMicrosecond);

void BM_InterpreterBiquadRotated(benchmark::State &state) { runBiquad(state, biquadRotated()); }
BENCHMARK(BM_InterpreterBiquadRotated)->Unit(benchmark::kMicrosecond);

} // namespace
