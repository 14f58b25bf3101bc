// Transition fades of a sampler: a stop, pause, seek or clear while it
// plays fades its sound out before it takes effect, and a resume or the
// sound after a seek fades in, each over the sampler's fade time with a
// raised-cosine curve. Internal.
#pragma once

#include "marovel_audio.h"

#include <cmath>
#include <cstdint>

namespace mv {

// What happens when a fade towards silence ends.
enum class FadeAction : int32_t { none, stop, pause, seek, restart, clear };

// Allocated on the control side when a fade time is first set; used by the
// audio thread only.
struct SamplerFade {
    double seconds;     // the fade time in force; 0: transitions as specified
    int32_t length;     // frames of the fade under way, 0 when none
    int32_t frame;      // frames of it rendered
    bool out;           // towards silence
    bool silent;        // paused after fading out: renders nothing
    FadeAction pending; // done when the fade out ends
    double seekTime;    // for a pending seek
    // A jump of the sampler's own gain glides from the gain heard before.
    float heardGain;     // own gain at the end of the last block
    bool heardValid;     // false until a block has played since the last halt
    float glideDelta;    // old minus new gain, weighted down to 0 over the glide
    int32_t glideLength; // frames of the glide under way, 0 when none
    int32_t glideFrame;
};

// The sampler's fade state while a positive fade time is in force.
inline SamplerFade *activeFade(const MvSampler *sampler) {
    auto *fade = static_cast<SamplerFade *>(sampler->audioFade);
    return fade && fade->seconds > 0.0 ? fade : nullptr;
}

// The envelope for the fade's current frame, on a raised cosine.
inline float fadeEnvelope(const SamplerFade &fade) {
    const double x = (fade.frame + 1.0) / fade.length;
    const double in = 0.5 - 0.5 * std::cos(M_PI * x);
    return float(fade.out ? 1.0 - in : in);
}

// Audio side. The fade state when a fade applies to what the sampler plays
// now (playing, with a clip), else null.
SamplerFade *fadeWhilePlaying(const MvSampler *sampler);
// Starts a fade over the fade time, towards silence (`out`) or from it.
void beginFade(MvSink *sink, SamplerFade *fade, bool out, FadeAction pending);
// Completes a fade out under way at once (a command arrived meanwhile).
void settleFade(MvSink *sink, MvSampler *sampler);
// Leaves a silent pause and fades in.
void fadeIn(MvSink *sink, MvSampler *sampler);

// The glide's weight for its current frame: 1 down to 0 on a raised cosine.
inline float glideWeight(const SamplerFade &fade) {
    return float(0.5 + 0.5 * std::cos(M_PI * (fade.glideFrame + 1.0) / fade.glideLength));
}

// Audio side, at a block's start: an own gain that jumped since the last
// block (a change with time 0) starts a glide from the gain heard before.
void noticeGainJump(MvSink *sink, SamplerFade *fade, float ownGainStart, float ownGainEnd);

// Audio side: the fade towards silence has ended; does what was pending
// (may halt the sampler, pause it silent, or move the position and fade in).
void samplerEndFade(MvSink *sink, MvSampler *sampler);

} // namespace mv
