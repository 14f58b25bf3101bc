// Signal-processor VM: the memory image, registers and the primitives that
// the interpreter, the hosting machine and the interrupt services share.
// The primitives check nothing; every caller checks its own bounds.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace mv {

// Budget the hosting machine gives every routine run, in units: a simple
// instruction costs one, block instructions and interrupt services one more
// per element of their work, so a run is bounded in time, not just in
// instructions.
#ifndef MV_DSP_RUN_BUDGET
#define MV_DSP_RUN_BUDGET 0xFFFFFF // fuzz builds shrink it
#endif
constexpr uint32_t kDspRunBudget = MV_DSP_RUN_BUDGET;

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

// Little-endian, unaligned words of the image, whatever the host's order.
inline uint32_t dspVmLoadWord(const uint8_t *at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
    return value;
}

inline void dspVmStoreWord(uint8_t *at, uint32_t value) {
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
    std::memcpy(at, &value, sizeof value);
}

inline uint16_t dspVmLoadHalf(const uint8_t *at) {
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap16(value);
    return value;
}

inline void dspVmStoreHalf(uint8_t *at, uint32_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

// Adds the work of an interrupt service to what the interpreter charges once
// the service returns (saturating).
inline void dspVmChargeWork(MvDspVm *vm, uint64_t units) {
    const uint64_t total = uint64_t{vm->serviceUnits} + units;
    vm->serviceUnits = total > UINT32_MAX ? UINT32_MAX : uint32_t(total);
}

// The interpreter: runs from the current pc until HALT, a failure, or
// budget units of work (0 = no limit).
MvDspStatus dspVmRun(MvDspVm *vm, uint32_t budget) MV_AUDIO_THREAD;

struct DspPrepared;
// The blocks decoded from the program at creation (mv_dsp_blocks.h), or null.
DspPrepared *dspVmPrepared(MvDspVm *vm);
// Releases them: every instruction then runs through the byte-code handlers,
// the reference the blocks are tested against.
void dspVmDropPrepared(MvDspVm *vm);
// The interpreter's block-operation handlers, indexed by FastKind.
const void *const *dspFastHandlers();

} // namespace mv
