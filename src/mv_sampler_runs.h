// Specialised stretches of the sampler render, shared with its reference
// path so both compute every value the same way. Internal.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"
#include "mv_convert.h"

#include <type_traits>

namespace mv {

// The running values of a sampler block. Each frame is mixed at the current
// position and gain; then the position moves on by one step at the current
// frequency, and gain and frequency take one step each. Every value is the
// previous one plus a step, frame after frame, never a closed-form product,
// so each specialised run repeats the reference path's additions exactly.
struct SamplerRunning {
    double position;
    float gain;
    float gainStep;
    double frequency;
    double frequencyStep;
};

// Clip frames per output frame, evaluated left to right as defined.
inline double stepOf(const MvClip *clip, double frequency, double sinkRate) {
    return clip->sampleRate * frequency / sinkRate;
}

// One frame's advance of the running values: the position by a step at the
// current frequency, then gain and frequency by theirs. A steady run passes
// the step it computed once and skips the additions that would change
// nothing (see steadyRate() and steadyGain()).
template <bool steady = false, bool steadyGain = false>
inline void advance(SamplerRunning &running, const MvClip *clip, double sinkRate,
                    double steadyStep = 0.0) {
    running.position += steady ? steadyStep : stepOf(clip, running.frequency, sinkRate);
    if constexpr (!steadyGain) running.gain += running.gainStep;
    if constexpr (!steady) running.frequency += running.frequencyStep;
}

// A rate that cannot change inside the block: adding a zero step leaves a
// non-zero frequency bit for bit as it was, so its step can be computed
// once. (A zero frequency is left out: -0 + 0 is +0.)
inline bool steadyRate(const SamplerRunning &running) {
    return running.frequencyStep == 0.0 && running.frequency != 0.0;
}

// Likewise a gain that keeps its value: a zero step added to a non-zero
// gain changes nothing.
inline bool steadyGain(const SamplerRunning &running) {
    return running.gainStep == 0.0f && running.gain != 0.0f;
}

// The fraction between frame index and index + 1 as the mix uses it.
inline float fractionAt(double position, int index) { return float(position - index); }

inline float interpolate(float a, float b, float x) { return a + (b - a) * x; }

template <typename Sample> float sampleAt(const uint8_t *frame, int channel) {
    if constexpr (std::is_same_v<Sample, Float32Sample>)
        return Sample::load(frame + channel * Sample::bytes);
    else return Sample::toFloat(Sample::load(frame + channel * Sample::bytes));
}

// How a clip frame reaches the mix without a matrix: the mono model
// averages what it gets (one channel through the sampler), the stereo model
// doubles a mono clip or takes the first two channels.
enum class MixShape { mono, stereoFromMono, stereoPair };

// Adds one frame through the sound model's arithmetic (its mixFrame).
template <MixShape shape> void mixFrameOf(float gain, float left, float right, float *out) {
    if constexpr (shape == MixShape::mono) {
        const float share = gain / 1.0f; // the model's gain / source channels
        out[0] += 0.0f + share * left;
    } else {
        out[0] += gain * left;
        out[1] += gain * right;
    }
}

template <MixShape shape> constexpr int kMixChannels = shape == MixShape::mono ? 1 : 2;

// Renders at most `frames` frames of `clip` into `mix` (the first of them),
// carrying `running` along. Stops before a frame whose read, interpolation
// partner included, would leave the clip; returns the frames rendered. The
// last step taken may run past the clip's end: the caller handles that.
using SamplerRun = int (*)(const MvClip *clip, SamplerRunning &running, double sinkRate, int frames,
                           float *mix);

// The run for `clip`; steady and steadyGain as steadyRate() and
// steadyGain() tell, and with a steady rate `step` its clip frames per
// output frame.
SamplerRun samplerRunFor(MixShape shape, const MvClip *clip, bool interpolated, bool steady,
                         bool steadyGain, double step) MV_AUDIO_THREAD;

} // namespace mv
