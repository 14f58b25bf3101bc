// Sampler internals shared by its control half (mv_sampler.cpp) and its
// render (mv_sampler_render.cpp). Internal.
#pragma once

#include "marovel_audio.h"

namespace mv {

// Audio and control states of a sampler.
constexpr int32_t kSamplerStopped = 0;
constexpr int32_t kSamplerPlaying = 1;
constexpr int32_t kSamplerPaused = 2;

// A channel matrix covers at most this many source channels. The render
// keeps two frames of that many floats and a ramp delta per weight on the
// audio thread's stack, so the host must not be able to choose the size.
constexpr int kMaxMatrixSourceChannels = 64;
// Source channels x vector size: the ramp deltas on that stack. The built-in
// models reach it with 64 channels (stereo); a host model with wider vectors
// gets fewer source channels.
constexpr int kMaxMatrixWeights = kMaxMatrixSourceChannels * 2;

// Queue consistency reports name the sampler's source path and fixed lines.
inline constexpr const char *kSamplerReportPath = "src/mv_sampler";
constexpr int kReportLineEnqueueWithTail = 60;
constexpr int kReportLineEnqueueWithoutTail = 65;
constexpr int kReportLineUnlinkWithPrev = 78;
constexpr int kReportLineUnlinkWithoutPrev = 83;
constexpr int kReportLineUnlinkWithNext = 89;
constexpr int kReportLineUnlinkWithoutNext = 94;
constexpr int kReportLineRampWithoutMatrix = 402;

// The sampler's render callback. Audio thread.
MvSource *samplerRender(MvSink *sink, void *self, float gainStart, float gainEnd,
                        double frequencyStart, double frequencyEnd, int frames, float *buffer);

// Audio side: leaves the active list and resets the playback state, when
// the sampler is not already stopped.
void samplerHalt(MvSink *sink, MvSampler *sampler);

// Down-messages the audio side sends; they run on the control side.
void samplerStoppedNotice(MvSink *sink, void *sampler);
void samplerClipAdvancedNotice(MvSink *sink, void *sampler);
void samplerReleaseClip(MvSink *sink, void *clip);

// Test seam: false makes the render take its per-frame reference path
// everywhere, so tests can compare the specialised runs against it.
extern bool samplerFastRunsEnabled;

} // namespace mv
