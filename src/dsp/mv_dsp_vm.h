// Signal-processor VM: the memory image, registers and the primitives that
// the interpreter, the hosting machine and the interrupt services share.
// The primitives check nothing; every caller checks its own bounds.
#pragma once

#include "marovel_audio.h"

#include <cstdint>

// Budget the hosting machine gives every routine run.
constexpr uint32_t kDspRunBudget = 0xFFFFFF;

// Record and image come from the standard allocator (not the engine hooks).
MvDspVm *dspVmCreate(const uint8_t *program, uint16_t programLength, uint16_t regionLength,
                     uint16_t stackSize);
void dspVmDestroy(MvDspVm *vm);
void dspVmReset(MvDspVm *vm);
void dspVmSetInterruptCallback(MvDspVm *vm, MvDspInterruptCallback callback);
uint32_t dspVmStackDepth(const MvDspVm *vm);
void dspVmPush(MvDspVm *vm, uint32_t value);
uint32_t dspVmPop(MvDspVm *vm);
uint8_t *dspVmAddress(MvDspVm *vm, uint32_t address);
uint32_t dspVmGetRegister(const MvDspVm *vm, int index);
void dspVmSetRegister(MvDspVm *vm, int index, uint32_t value);

// The interpreter: runs from the current pc until HALT, a failure, or
// budget instructions (0 = no limit).
MvDspStatus dspVmRun(MvDspVm *vm, uint32_t budget);
