// The sampler's band-limited resampler: a Kaiser-windowed sinc read from
// polyphase tables, whose cutoff drops with the step once the step is above
// 1, so content a higher pitch would push past the output's Nyquist is
// removed instead of folding back. Internal.
//
// The filter reads frames on both sides of the position. Where that window
// lies inside the clip's frames that playback went through, they are read
// from the clip; near its ends they come from a small ring per sampler,
// filled as the position moves through the queue (across clip joins and
// loop wraps, like the linear interpolation looks at the following clip),
// so a clip that has been played through and released is never read again.
#pragma once

#include "marovel_audio.h"
#include "mv_sampler.h"
#include "mv_sampler_runs.h"

#include <cstdint>

namespace mv {

// Frames the ring holds behind and ahead of the frame at the position;
// the widest filter spans twice this.
constexpr int kBandlimitedHalfWindow = 32;
constexpr int kBandlimitedRingFrames = 2 * kBandlimitedHalfWindow;

// A clip change the gathering went through ahead of the position: where
// the frame after the end of a clip came from (null clip: silence).
struct BandlimitedJoin {
    const MvClip *clip;
    int index;
    int frames;
};

// Per-sampler state, allocated on the control side when the mode is first
// chosen and used only by the audio thread.
struct BandlimitedState {
    // Each frame is stored twice, at slot and slot + ring frames, so every
    // window reads contiguous floats.
    float ring[kMaxMatrixSourceChannels][2 * kBandlimitedRingFrames];
    int channels;    // floats per ring frame; 0 when the ring must be refilled
    uint32_t pushed; // frames gathered since the last refill
    // The frame the window is centred on (the position's integer part).
    const MvClip *centerClip;
    int centerIndex;
    int centerFrames;  // the clip's frame count, kept so it is never read after release
    int centerEntered; // the first frame of that clip the ring went through
    // The next frame to gather, half a window ahead; null clip: silence.
    const MvClip *aheadClip;
    int aheadIndex;
    // Clip changes between the centre and the gathering point, oldest first.
    BandlimitedJoin joins[kBandlimitedHalfWindow + 1];
    int firstJoin;
    int joinCount;
};

// Builds the filter tables once; control side (any thread, idempotent).
void buildBandlimitedTables();

// Audio side: the ring no longer matches the queue (stop, clear, a mode
// switch); the next frame refills it.
void bandlimitedReset(BandlimitedState *state);

// Audio side: `clip` is about to be released; nothing may read it later.
void bandlimitedForget(BandlimitedState *state, const MvClip *clip);

// The filtered frame at `position` of `clip`: `count` floats into `out`,
// the ring gathering `channels` per frame (the render's channel limit).
// `step` is clip frames per output frame. The plain reference path.
void bandlimitedFrame(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip,
                      double position, double step, int channels, int count, float *out);

// The specialised run for the engine's two sound models without a matrix:
// renders frames of `clip` into `mix` until the position passes the clip's
// end (the caller handles that) or `frames` are done; returns the frames
// rendered, 0 without AVX2 (the reference path then renders them). Bit
// for bit the reference path's frames.
int bandlimitedRun(BandlimitedState *state, const MvSampler *sampler, MixShape shape,
                   const MvClip *clip, SamplerRunning &running, double sinkRate, int frames,
                   float *mix);

} // namespace mv
