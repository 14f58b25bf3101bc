// Signal-processor machine: the pull record that runs a program over a
// destination's audio, and the pieces the sink, the queues and the
// interrupt table call back into.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"

namespace mv {

// Pull function and type tag of a program record (audio thread).
int dspPull(MvSink *sink, MvPullRecord *record, float gainStart, float gainEnd,
            double frequencyStart, double frequencyEnd, int frames, float *buffer) MV_AUDIO_THREAD;

// Re-initialises the program when the sink opens its stream (control side).
void dspPrepare(MvPullRecord *record);

// Frees the record with its VM, messages and resources (control side).
void dspRelease(MvSink *sink, void *record);

// Up-message: appends an MvDspMessage to its program's queue (audio thread).
void appendDspMessage(MvSink *sink, void *message) MV_AUDIO_THREAD;

// Down-message: makes a failure recorded on the audio thread visible to
// mvGetDSPError (control side).
void publishDspErrorNotice(MvSink *sink, void *state);

// The VM's interrupt callback: looks the number up in mvDSPInterruptCallbacks.
int dispatchDspInterrupt(MvDspVm *vm, uint32_t number) MV_AUDIO_THREAD;

// Records status, registers and the frame-chain trace of a failed run.
void recordDspFailure(MvDspState *state, MvDspStatus status) MV_AUDIO_THREAD;

} // namespace mv
