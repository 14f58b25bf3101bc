// Sampler internals shared by its control half (mv_sampler.cpp) and its
// render (mv_sampler_render.cpp). Internal.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"

#include <atomic>

namespace mv {

// Audio and control states of a sampler, as the header names them.
constexpr int32_t kSamplerStopped = MV_SAMPLER_STOPPED;
constexpr int32_t kSamplerPlaying = MV_SAMPLER_PLAYING;
constexpr int32_t kSamplerPaused = MV_SAMPLER_PAUSED;

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
                        double frequencyStart, double frequencyEnd, int frames,
                        float *buffer) MV_AUDIO_THREAD;

// Audio side: leaves the active list and resets the playback state, when
// the sampler is not already stopped.
void samplerHalt(MvSink *sink, MvSampler *sampler) MV_AUDIO_THREAD;

// What the audio side reports to the control side without a down message
// each: clips that ended, loop wraps and stops come in any number per block
// (short looped clips wrap thousands of times a second), so they gather here
// and the control side takes them whenever it drains the sink's down queue.
// Lock-free: the audio side adds, the control side takes everything at once.
struct SamplerNotices {
    // Clip transitions since the last take, plus kStoppedBit once the
    // sampler stopped (a stop clears the transitions before it).
    std::atomic<uint32_t> progress;
    // Clips unlinked after play, newest first, linked through next.
    std::atomic<MvClip *> released;
};

// A sampler's allocation: the public record, then what only the engine sees.
struct SamplerRecord {
    MvSampler sampler; // first: an MvSampler pointer is a SamplerRecord pointer
    SamplerNotices notices;
    // Seconds from the queue's head to where the audio is, stored by the
    // audio side at every block end (mvGetPlayPosition reads it).
    std::atomic<double> playPosition;
};

inline SamplerNotices &noticesOf(MvSampler *sampler) {
    return reinterpret_cast<SamplerRecord *>(sampler)->notices;
}

// Audio side: stores where the sampler's audio is for mvGetPlayPosition.
inline void publishPlayPosition(MvSampler *sampler, double seconds) {
    reinterpret_cast<SamplerRecord *>(sampler)->playPosition.store(seconds,
                                                                   std::memory_order_relaxed);
}

// Audio side: the notices of the render and of the sampler's up-messages.
void noticeStopped(MvSampler *sampler) MV_AUDIO_THREAD;
void noticeClipAdvanced(MvSampler *sampler) MV_AUDIO_THREAD;
void noticeReleasedClip(MvSampler *sampler, MvClip *clip) MV_AUDIO_THREAD;

// Control side, under the lock: applies the notices of every sampler in the
// sink's tree and releases the clips they let go of (release callbacks run
// here). Part of every drain of the sink's down queue.
void collectSamplerNotices(MvSink *sink);

// Control side: applies the sampler's last notices and releases its clips,
// the played and the queued ones, as its final release does.
void releaseSamplerClips(MvSampler *sampler);
// Down-message: releases a chain of clips the audio side unlinked (a clear).
void releaseClipsNotice(MvSink *sink, void *head);

// Audio side: halts the sampler and releases its whole queue.
void samplerClearQueue(MvSink *sink, MvSampler *sampler);
// Audio side: plays from `seconds` into the (non-empty) queue, as a seek.
void samplerPlayFrom(MvSink *sink, MvSampler *sampler, double seconds);

// Reads frame `index` of `clip`: `count` samples as floats.
void readFrame(const MvClip *clip, int index, int count, float *out);

// Test seam: false makes the render take its per-frame reference path
// everywhere, so tests can compare the specialised runs against it.
extern bool samplerFastRunsEnabled;

} // namespace mv
