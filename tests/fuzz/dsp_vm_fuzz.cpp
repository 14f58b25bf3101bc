// libFuzzer harness for the interpreter and the interrupt services: random
// images, register files and stack states, run under a budget with
// AddressSanitizer watching every access to the image, the sample blocks
// and the filters and reverberators a program creates. Besides "no crash,
// no access outside what the program owns, no leak" it checks what a run's
// status promises about pc, and that the prepared blocks end every run as
// the byte-code handlers alone do (status, registers and image).
//
// Input: an 8-byte header, then the program bytes.
//   0-1 region length, 2-3 stack size (each masked to 0..1023)
//   4-5 initial pc     6 register state and interrupt mode
//   7 stack-pointer mode
#include "dsp/mv_dsp_machine.h"
#include "dsp/mv_dsp_vm.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace mv;

namespace {

constexpr size_t kHeaderSize = 8;
constexpr uint32_t kBudget = 20000;
constexpr uint16_t kLengthMask = 0x3FF;

// Serves even numbers, refuses odd ones; some services move pc or sp the
// way a host-written handler may.
int fuzzInterrupt(MvDspVm *vm, uint32_t number) {
    if (number % 2) return 0;
    if (number % 8 == 2) vm->registers[MV_DSP_PC] += number;
    if (number % 8 == 4) vm->registers[MV_DSP_SP] -= number;
    return 1;
}

// The engine's own services, with a resource table as a hosting machine
// keeps it; released whole after the run.
struct ServiceTable {
    MvDspResourceList list{};

    explicit ServiceTable(MvDspVm *vm) {
        list.entries = static_cast<MvDspResourceEntry *>(mvMalloc(sizeof(MvDspResourceEntry)));
        if (!list.entries) std::abort();
        list.entries[0] = {nullptr, nullptr}; // handle 0 names nothing
        list.capacity = list.count = 1;
        vm->resources = &list;
        vm->interruptCallback = dispatchDspInterrupt;
    }
    ~ServiceTable() {
        for (int32_t h = 1; h < list.count; ++h) list.entries[h].release(list.entries[h].data);
        mvFree(list.entries);
    }
};

uint32_t mixedValue(uint32_t state, int index) {
    uint32_t x = state * 2654435761u + uint32_t(index) * 40503u + 1;
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    // Small values make valid addresses and register numbers likely.
    return index % 3 ? x & 0xFFFF : x;
}

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// A VM set up from the header; without blocks when plain.
MvDspVm *createVm(const uint8_t *data, size_t size, bool plain, ServiceTable **services) {
    const uint16_t region = uint16_t(data[0] | data[1] << 8) & kLengthMask;
    const uint16_t stack = uint16_t(data[2] | data[3] << 8) & kLengthMask;
    const uint16_t programLength =
        uint16_t(size - kHeaderSize > 0xF000 ? 0xF000 : size - kHeaderSize);
    MvDspVm *vm = dspVmCreate(data + kHeaderSize, programLength, region, stack);
    if (!vm) return nullptr;
    if (plain) mv::dspVmDropPrepared(vm);
    vm->interruptCallback = data[6] % 4 == 1 ? fuzzInterrupt : nullptr;
    *services = data[6] % 4 >= 2 ? new ServiceTable(vm) : nullptr;
    for (int r = 0; r < MV_DSP_PC; ++r) vm->registers[r] = mixedValue(data[6], r);
    vm->registers[MV_DSP_PC] = uint16_t(data[4] | data[5] << 8) % (vm->memorySize + 8u);
    const uint32_t top = vm->memorySize;
    switch (data[7] % 4) {
    case 0: break;                                                     // empty stack
    case 1: vm->registers[MV_DSP_SP] = vm->stackBase; break;           // full
    case 2: vm->registers[MV_DSP_SP] = top - (data[7] >> 2); break;    // partly filled or odd
    case 3: vm->registers[MV_DSP_SP] = mixedValue(data[7], 99); break; // anywhere
    }
    return vm;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeaderSize) return 0;
    ServiceTable *services = nullptr, *plainServices = nullptr;
    MvDspVm *vm = createVm(data, size, false, &services);
    if (!vm) return 0;
    MvDspVm *plain = createVm(data, size, true, &plainServices);
    if (!plain) std::abort();
    const uint32_t top = vm->memorySize;

    const MvDspStatus status = dspVmRun(vm, kBudget);
    check(status == dspVmRun(plain, kBudget));
    check(std::memcmp(vm->registers, plain->registers, sizeof vm->registers) == 0);
    check(std::memcmp(vm->memory, plain->memory, top) == 0);
    const uint32_t pc = vm->registers[MV_DSP_PC];
    check(status >= MV_DSP_OK && status <= MV_DSP_INVALID_ADDRESS);
    if (status == MV_DSP_OK) check(pc < top && vm->memory[pc] == 1);
    if (status == MV_DSP_UNKNOWN_OPCODE) check(pc < top && vm->memory[pc] > 81);
    delete services;
    delete plainServices;
    dspVmDestroy(vm);
    dspVmDestroy(plain);
    return 0;
}
