// Signal-processor VM record, memory image and the unchecked primitives.
#include "mv_dsp_vm.h"

#include "mv_dsp_blocks.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace mv {
namespace {

// The record hosts see, followed by the blocks the interpreter runs.
struct VmRecord {
    MvDspVm vm;
    DspPrepared *prepared;
};
static_assert(offsetof(VmRecord, vm) == 0);

VmRecord *record(MvDspVm *vm) { return reinterpret_cast<VmRecord *>(vm); }

} // namespace

DspPrepared *dspVmPrepared(MvDspVm *vm) { return record(vm)->prepared; }

void dspVmDropPrepared(MvDspVm *vm) {
    dspPreparedRelease(record(vm)->prepared);
    record(vm)->prepared = nullptr;
}

MvDspVm *dspVmCreate(const uint8_t *program, uint16_t programLength, uint16_t regionLength,
                     uint16_t stackSize) {
    // The creator guarantees that the three lengths fit 16-bit addresses.
    const uint16_t memorySize = uint16_t(programLength + regionLength + stackSize);
    auto *record = static_cast<mv::VmRecord *>(std::malloc(sizeof(mv::VmRecord)));
    if (!record) return nullptr;
    MvDspVm *vm = &record->vm;
    // malloc(0) may legally return null; an empty image still needs a block.
    vm->memory = static_cast<uint8_t *>(std::malloc(memorySize ? memorySize : 1));
    if (!vm->memory) {
        std::free(vm);
        return nullptr;
    }
    if (programLength) std::memcpy(vm->memory, program, programLength);
    vm->memorySize = memorySize;
    vm->stackSize = stackSize;
    vm->stackBase = uint16_t(programLength + regionLength);
    vm->interruptCallback = nullptr;
    vm->resources = nullptr;
    vm->serviceUnits = 0;
    // No blocks (out of memory, nothing to decode) only costs speed.
    record->prepared =
        mv::dspPrepareBlocks(vm->memory, memorySize, programLength, mv::dspFastHandlers());
    dspVmReset(vm);
    return vm;
}

void dspVmDestroy(MvDspVm *vm) {
    mv::dspVmDropPrepared(vm);
    std::free(vm->memory);
    std::free(vm);
}

void dspVmReset(MvDspVm *vm) {
    std::memset(vm->memory + vm->stackBase, 0, vm->stackSize);
    std::memset(vm->registers, 0, sizeof vm->registers);
    vm->registers[MV_DSP_SP] = uint32_t(vm->stackBase) + vm->stackSize;
}

void dspVmSetInterruptCallback(MvDspVm *vm, MvDspInterruptCallback callback) {
    vm->interruptCallback = callback;
}

uint32_t dspVmStackDepth(const MvDspVm *vm) {
    return uint32_t(vm->stackBase) + vm->stackSize - vm->registers[MV_DSP_SP];
}

void dspVmPush(MvDspVm *vm, uint32_t value) {
    vm->registers[MV_DSP_SP] -= 4;
    dspVmStoreWord(vm->memory + vm->registers[MV_DSP_SP], value);
}

uint32_t dspVmPop(MvDspVm *vm) {
    uint32_t value = dspVmLoadWord(vm->memory + vm->registers[MV_DSP_SP]);
    vm->registers[MV_DSP_SP] += 4;
    return value;
}

uint8_t *dspVmAddress(MvDspVm *vm, uint32_t address) { return vm->memory + (address & 0xFFFF); }

uint32_t dspVmGetRegister(const MvDspVm *vm, int index) { return vm->registers[index]; }

void dspVmSetRegister(MvDspVm *vm, int index, uint32_t value) { vm->registers[index] = value; }

} // namespace mv
