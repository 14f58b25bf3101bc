// Transition fades, audio side: starting, settling and ending the fades
// that the sampler's messages (mv_sampler.cpp) and its render
// (mv_sampler_render.cpp) drive.
#include "mv_sampler_fade.h"

#include "mv_sampler.h"

#include <algorithm>

namespace mv {

// A fade applies to a sampler that is heard: playing, with a clip.
SamplerFade *fadeWhilePlaying(const MvSampler *sampler) {
    SamplerFade *fade = activeFade(sampler);
    return fade && sampler->audioState == kSamplerPlaying && sampler->current ? fade : nullptr;
}

void beginFade(MvSink *sink, SamplerFade *fade, bool out, FadeAction pending) {
    fade->length = std::max(1, int(std::lround(fade->seconds * sink->sampleRate)));
    fade->frame = 0;
    fade->out = out;
    fade->pending = pending;
}

void noticeGainJump(MvSink *sink, SamplerFade *fade, float ownGainStart, float ownGainEnd) {
    if (fade->heardValid && ownGainStart != fade->heardGain) {
        const float gliding = fade->glideLength ? fade->glideDelta * glideWeight(*fade) : 0.0f;
        fade->glideDelta = fade->heardGain + gliding - ownGainStart;
        fade->glideLength = std::max(1, int(std::lround(fade->seconds * sink->sampleRate)));
        fade->glideFrame = 0;
    }
    fade->heardGain = ownGainEnd;
    fade->heardValid = true;
}

// A command that arrives while a fade out is under way: the pending action
// happens now, so commands keep their order.
void settleFade(MvSink *sink, MvSampler *sampler) {
    SamplerFade *fade = activeFade(sampler);
    if (!fade || !fade->length || !fade->out) return;
    samplerEndFade(sink, sampler);
    fade->length = 0;
}

// Leaving a silent pause, or resuming: the sound fades in.
void fadeIn(MvSink *sink, MvSampler *sampler) {
    SamplerFade *fade = activeFade(sampler);
    if (!fade) return;
    fade->silent = false;
    if (sampler->current) beginFade(sink, fade, false, FadeAction::none);
}

void samplerEndFade(MvSink *sink, MvSampler *sampler) {
    SamplerFade *fade = static_cast<SamplerFade *>(sampler->audioFade);
    const FadeAction action = fade->pending;
    fade->pending = FadeAction::none;
    switch (action) {
    case FadeAction::stop: samplerHalt(sink, sampler); break;
    case FadeAction::pause:
        if (sampler->audioState == kSamplerPlaying) sampler->audioState = kSamplerPaused;
        fade->silent = true;
        break;
    case FadeAction::clear: samplerClearQueue(sink, sampler); break;
    case FadeAction::restart:
        if (!sampler->head) break;
        sampler->current = sampler->head;
        sampler->position = 0.0;
        beginFade(sink, fade, false, FadeAction::none);
        break;
    case FadeAction::seek:
        if (!sampler->head) break;
        samplerPlayFrom(sink, sampler, fade->seekTime);
        if (sampler->audioState == kSamplerPlaying) beginFade(sink, fade, false, FadeAction::none);
        break;
    case FadeAction::none: break;
    }
}

} // namespace mv
