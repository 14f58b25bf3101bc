// One sampler voice's block, set up once and rendered by the one-voice
// path (mv_sampler_render.cpp) or, for a stretch, together with its
// following siblings (mv_sampler_voices.cpp). Internal.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"
#include "mv_sampler.h"
#include "mv_sampler_runs.h"

namespace mv {

struct SamplerFade;

// What a parent hands every child it renders in this block.
struct VoiceFactors {
    float gainStart;
    float gainEnd;
    double frequencyStart;
    double frequencyEnd;
    int frames;
};

// The fixed facts of a voice's block.
struct SamplerBlock {
    MvSink *sink;
    MvSampler *sampler;
    MvSoundModel *model;
    int channelCount; // floats per mix-buffer frame
    int limit;        // source channels a frame may use
    MvChannelMatrix *matrix;
    const float *delta; // per-frame weight change, or null without a ramp
    int weightCount;
    double rate;
};

// A voice's block after its set-up: the running values at the block's
// start, the fade if any, and the ramp deltas `block.delta` points into
// (so a voice is never copied).
struct SamplerVoice {
    SamplerBlock block;
    SamplerRunning running;
    SamplerFade *fade;
    float incoming; // the gain from above at the block's start
    int frames;
    float delta[kMaxMatrixWeights];

    SamplerVoice() = default;
    SamplerVoice(const SamplerVoice &) = delete;
    SamplerVoice &operator=(const SamplerVoice &) = delete;
};

// Advances the sampler's ramps for the block and sets up its running
// values; false when it has nothing to render this block.
bool beginSamplerVoice(MvSink *sink, MvSampler *sampler, const VoiceFactors &factors,
                       SamplerVoice &voice) MV_AUDIO_THREAD;

// Renders the voice's frames from `from` to `to` into `buffer` (the
// block's first frame); false when its playback ended or fell silent on
// the way (its block is then closed).
bool renderSamplerVoice(SamplerVoice &voice, int from, int to, float *buffer) MV_AUDIO_THREAD;

// Renders the voice's frames from `from` to the block's end and closes its
// block.
void finishSamplerVoice(SamplerVoice &voice, int from, float *buffer) MV_AUDIO_THREAD;

// Renders the begun `leader` and, where they fit, the siblings after it in
// the active list starting at `following`; returns the source to render
// next.
MvSource *renderSamplerVoices(SamplerVoice &leader, MvSource *following,
                              const VoiceFactors &factors, float *buffer) MV_AUDIO_THREAD;

} // namespace mv
