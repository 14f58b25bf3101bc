// Comb/all-pass reverberator: eight damped combs and four series all-passes
// per side, living in one block (record plus 24 delay lines) that the
// creation service allocates and frees whole.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"

#include <cstddef>

namespace mv {

// Rates the delay-line layout can serve: below the minimum the shortest
// line would have no element; above the maximum rate * tuning overflows.
constexpr int kReverbMinRate = 196;
constexpr int kReverbMaxRate = 1309441;

// Bytes of the block for a rate in [kReverbMinRate, kReverbMaxRate].
size_t reverbBlockSize(int rate);
// Builds a silent reverberator in a block of reverbBlockSize(rate) bytes;
// the six values are in the program's units (scaled here).
void reverbInit(void *block, int rate, int channels, float roomSize, float damp, float wet,
                float dry, float width, float mode);

void reverbSetRoomSize(MvReverb *reverb, float value);
void reverbSetDamp(MvReverb *reverb, float value);
void reverbSetWet(MvReverb *reverb, float value);
void reverbSetDry(MvReverb *reverb, float value);
void reverbSetWidth(MvReverb *reverb, float value);
void reverbSetMode(MvReverb *reverb, float value);

// Clears every delay line unless frozen.
void reverbMute(MvReverb *reverb);
// Processes count frames of reverb->channels floats in place; frames start
// step floats apart. Runs the widest kernel the processor offers.
void reverbProcess(MvReverb *reverb, float *samples, int count, int step) MV_AUDIO_THREAD;

// Vector widths of the block loop; every kernel gives bit-identical results.
enum class ReverbKernel { Scalar, Sse2, Avx };
bool reverbKernelAvailable(ReverbKernel kernel);
// reverbProcess with a chosen kernel, which must be available.
void reverbProcessWith(ReverbKernel kernel, MvReverb *reverb, float *samples, int count,
                       int step) MV_AUDIO_THREAD;

} // namespace mv
