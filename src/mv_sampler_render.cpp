// Sampler render: reads the current clip at a fractional position, steps
// that position by the clip's rate over the sink's rate times the running
// frequency, interpolates linearly (also across clip joins and loop wraps),
// and adds every frame through the sink's sound model. Audio thread only:
// nothing here allocates, locks or calls the host.
//
// Two paths produce the same bits: the reference path renders one frame at
// a time through the model's mix operations and handles every clip end; the
// specialised runs cover stretches without a matrix where neither the frame
// read nor its interpolation partner can leave the clip, with the format,
// the channel shape and the interpolation fixed at compile time.
#include "mv_machine.h"
#include "mv_sampler.h"
#include "mv_sampler_bandlimited.h"
#include "mv_sampler_fade.h"
#include "mv_sampler_runs.h"
#include "mv_sampler_voices.h"
#include "mv_sound_model.h"
#include "mv_status.h"

#include <algorithm>
#include <cmath>

using namespace mv;

namespace mv {
bool samplerFastRunsEnabled = true;

// ---- reading clip frames -------------------------------------------------

namespace {

template <typename Sample> void readSamples(const uint8_t *frame, int count, float *out) {
    for (int c = 0; c < count; ++c) out[c] = sampleAt<Sample>(frame, c);
}

const uint8_t *frameAddress(const MvClip *clip, int index) {
    return static_cast<const uint8_t *>(clip->data) +
           size_t(index) * size_t(clip->channels) * size_t(clip->sampleSize);
}

} // namespace

void readFrame(const MvClip *clip, int index, int count, float *out) {
    const uint8_t *frame = frameAddress(clip, index);
    switch (clip->format) {
    case MV_FORMAT_FLOAT32: readSamples<Float32Sample>(frame, count, out); break;
    case MV_FORMAT_INT32: readSamples<Int32Sample>(frame, count, out); break;
    case MV_FORMAT_INT24: readSamples<Int24Sample>(frame, count, out); break;
    case MV_FORMAT_INT16: readSamples<Int16Sample>(frame, count, out); break;
    case MV_FORMAT_INT8: readSamples<Int8Sample>(frame, count, out); break;
    default: readSamples<Uint8Sample>(frame, count, out); break;
    }
}

namespace {

// The fraction between frame i and i + 1, zero with interpolation off.
float maskedFraction(double position, int index, uint64_t interpolationMask) {
    return interpolationMask ? fractionAt(position, index) : 0.0f;
}

// The clip whose first frame follows the last frame of `clip`: its
// successor, or with looping the head (interpolation looks at the head
// whatever the loop start), unless the clip is about to leave the queue.
const MvClip *followerOf(const MvSampler *sampler, const MvClip *clip) {
    if (clip->next) return clip->next;
    if (!sampler->audioLooping) return nullptr;
    if (sampler->head == clip && clip->removeWhenDone) return nullptr;
    return sampler->head;
}

// Fills b with the frame after frame `index` of the clip; may widen the
// channel count when the follower has more channels (then a is padded).
void readPartner(const MvSampler *sampler, const MvClip *clip, int index, int limit, float *a,
                 float *b, int *count) {
    if (index < clip->frames - 1) {
        readFrame(clip, index + 1, *count, b);
        return;
    }
    const MvClip *follower = followerOf(sampler, clip);
    if (!follower) {
        std::fill(b, b + *count, 0.0f);
        return;
    }
    if (follower->channels < *count) {
        readFrame(follower, 0, follower->channels, b);
        std::fill(b + follower->channels, b + *count, 0.0f);
        return;
    }
    const int widened = std::min(limit, int(follower->channels));
    if (widened > *count) {
        std::fill(a + clip->channels, a + widened, 0.0f);
        *count = widened;
    }
    readFrame(follower, 0, *count, b);
}

// The band-limited resampler's state while that mode is chosen, else null.
BandlimitedState *bandlimitedStateOf(const MvSampler *sampler) {
    return static_cast<BandlimitedState *>(sampler->audioResampler);
}

// ---- clip ends -----------------------------------------------------------

void unlinkClip(MvSampler *sampler, MvClip *clip) {
    if (clip->prev) {
        if (sampler->head == clip)
            MV_REPORT_ASSERTION("sampler->head != clip", kSamplerReportPath,
                                kReportLineUnlinkWithPrev);
        clip->prev->next = clip->next;
    } else {
        if (sampler->head != clip)
            MV_REPORT_ASSERTION("sampler->head == clip", kSamplerReportPath,
                                kReportLineUnlinkWithoutPrev);
        sampler->head = clip->next;
    }
    if (clip->next) {
        if (sampler->tail == clip)
            MV_REPORT_ASSERTION("sampler->tail != clip", kSamplerReportPath,
                                kReportLineUnlinkWithNext);
        clip->next->prev = clip->prev;
    } else {
        if (sampler->tail != clip)
            MV_REPORT_ASSERTION("sampler->tail == clip", kSamplerReportPath,
                                kReportLineUnlinkWithoutNext);
        sampler->tail = clip->prev;
    }
    clip->prev = clip->next = nullptr;
}

// Wraps taken one by one within one frame before the rest is folded.
constexpr double kWrapsBeforeFolding = 64.0;

double queueSeconds(const MvClip *clip) {
    double seconds = 0.0;
    for (; clip; clip = clip->next) seconds += clip->frames / clip->sampleRate;
    return seconds;
}

// Wraps to the loop start, `overshoot` seconds past it. A loop start beyond
// the queue lands on the head.
void wrapToLoopStart(MvSampler *sampler, double overshoot, double *position) {
    MvClip *head = sampler->head;
    // A step that spans the queue many times over (absurd playback rates)
    // is folded back rather than wrapped pass by pass, which could keep the
    // audio thread busy for ever.
    const double total = queueSeconds(head);
    if (overshoot >= total * kWrapsBeforeFolding) overshoot = std::fmod(overshoot, total);
    double start = sampler->audioLoopStart;
    if (start > 0.0) {
        for (MvClip *clip = head; clip; clip = clip->next) {
            const double offset = start * clip->sampleRate;
            if (clip->frames > offset) {
                sampler->current = clip;
                *position = offset + overshoot * clip->sampleRate;
                return;
            }
            start -= clip->frames / clip->sampleRate;
        }
    }
    sampler->current = head;
    *position = overshoot * head->sampleRate;
}

// The position has run past the end of the current clip: carries the
// overshoot into the next clip or the loop start, or ends playback (false).
bool passClipEnd(MvSink *sink, MvSampler *sampler, double *position) {
    MvClip *clip = sampler->current;
    const double clipRate = clip->sampleRate; // read before the clip may be released
    MvClip *next = clip->next;
    *position -= clip->frames;
    if (clip->removeWhenDone) {
        if (BandlimitedState *state = bandlimitedStateOf(sampler)) bandlimitedForget(state, clip);
        unlinkClip(sampler, clip);
        noticeReleasedClip(sampler, clip);
    }
    if (next) {
        sampler->current = next;
        *position = *position * next->sampleRate / clipRate;
    } else if (sampler->audioLooping && sampler->head && std::isfinite(*position)) {
        wrapToLoopStart(sampler, *position / clipRate, position);
    } else {
        sampler->current = nullptr;
        *position = 0.0;
        samplerHalt(sink, sampler);
        noticeStopped(sampler);
        return false;
    }
    noticeClipAdvanced(sampler);
    return true;
}

// ---- the reference path: one frame ---------------------------------------

using Block = SamplerBlock;

// Carries a position that has run past the current clip's end into the
// clips after it; false when playback ended.
bool passClipEnds(const Block &block, double *position) {
    while (*position >= block.sampler->current->frames)
        if (!passClipEnd(block.sink, block.sampler, position)) return false;
    return true;
}

// Renders one frame into `frame` and advances the running values; false
// when playback ended with it.
bool renderFrame(const Block &block, SamplerRunning &running, float *frame) {
    MvSampler *sampler = block.sampler;
    const MvClip *clip = sampler->current;
    float a[kMaxMatrixSourceChannels];
    float b[kMaxMatrixSourceChannels];
    const int index = int(running.position);
    int count = std::min(block.limit, int(clip->channels));
    if (BandlimitedState *state = bandlimitedStateOf(sampler)) {
        bandlimitedFrame(state, sampler, clip, running.position,
                         stepOf(clip, running.frequency, block.rate), block.limit, count, a);
    } else {
        readFrame(clip, index, count, a);
        const float x = maskedFraction(running.position, index, sampler->audioInterpolation);
        if (x > 0.0f) {
            readPartner(sampler, clip, index, block.limit, a, b, &count);
            for (int c = 0; c < count; ++c) a[c] = interpolate(a[c], b[c], x);
        }
    }
    if (block.matrix)
        block.model->mixFrameWeighted(block.model, running.gain, count, block.matrix->current, a,
                                      frame);
    else block.model->mixFrame(block.model, running.gain, count, nullptr, a, frame);

    advance(running, clip, block.rate);
    if (!passClipEnds(block, &running.position)) return false;
    if (block.delta)
        for (int j = 0; j < block.weightCount; ++j) block.matrix->current[j] += block.delta[j];
    return true;
}

// How a frame of `clip` reaches the mix when a specialised run may take it;
// false when only the reference path knows the mix (a matrix, or a model
// other than the engine's two).
bool runShape(const Block &block, const MvClip *clip, MixShape *shape) {
    if (!samplerFastRunsEnabled || block.matrix) return false;
    if (isMonoSoundModel(block.model)) *shape = MixShape::mono;
    else if (isStereoSoundModel(block.model))
        *shape = clip->channels == 1 ? MixShape::stereoFromMono : MixShape::stereoPair;
    else return false;
    return true;
}

// The standard path's specialised run for this clip, or null.
SamplerRun runFor(const Block &block, const SamplerRunning &running, const MvClip *clip) {
    MixShape shape;
    if (bandlimitedStateOf(block.sampler) || !runShape(block, clip, &shape)) return nullptr;
    const bool steady = steadyRate(running);
    return samplerRunFor(shape, clip, block.sampler->audioInterpolation != 0, steady,
                         steadyGain(running),
                         steady ? stepOf(clip, running.frequency, block.rate) : 0.0);
}

// Frames of the band-limited specialised run; 0 when it does not apply.
int bandlimitedRunFrames(const Block &block, SamplerRunning &running, const MvClip *clip,
                         int frames, float *mix) {
    BandlimitedState *state = bandlimitedStateOf(block.sampler);
    MixShape shape;
    if (!state || !runShape(block, clip, &shape)) return 0;
    return bandlimitedRun(state, block.sampler, shape, clip, running, block.rate, frames, mix);
}

// Renders one frame of a gain glide and a transition fade at the fade's
// envelope; false when the sampler fell silent with it (playback ended,
// stopped, paused). `incoming` is the gain from above at the block's start.
bool renderFadeFrame(const Block &block, SamplerFade *fade, float incoming, SamplerRunning &running,
                     float *frame) {
    const float gain = running.gain;
    float heard = gain;
    if (fade->glideLength) {
        heard += fade->glideDelta * glideWeight(*fade) * incoming;
        if (++fade->glideFrame >= fade->glideLength) fade->glideLength = 0;
    }
    if (fade->length) heard *= fadeEnvelope(*fade);
    running.gain = heard;
    const bool more = renderFrame(block, running, frame);
    running.gain = gain + running.gainStep;
    if (!more) return false;
    if (!fade->length || ++fade->frame < fade->length) return true;
    fade->length = 0;
    if (!fade->out) return true;
    MvSampler *sampler = block.sampler;
    sampler->position = running.position;
    samplerEndFade(block.sink, sampler);
    if (sampler->audioState != kSamplerPlaying || !sampler->current) return false;
    running.position = sampler->position;
    return true;
}

// ---- block set-up --------------------------------------------------------

// Starts or continues a matrix ramp for this block; returns the per-frame
// deltas, or null when the weights hold still.
const float *prepareMatrixRamp(MvChannelMatrix *matrix, int frames, int rate, int weightCount,
                               float *delta) {
    if (matrix->rampTime == 0.0 || matrix->current == matrix->target) return nullptr;
    const double blockSeconds = double(frames) / rate;
    if (blockSeconds >= matrix->rampTime) {
        matrix->rampTime = -1.0;
        const float share = 1.0f / float(frames);
        for (int j = 0; j < weightCount; ++j)
            delta[j] = (matrix->target[j] - matrix->current[j]) * share;
    } else {
        const float rampFrames = float(matrix->rampTime * rate);
        for (int j = 0; j < weightCount; ++j)
            delta[j] = (matrix->target[j] - matrix->current[j]) / rampFrames;
        matrix->rampTime -= blockSeconds;
    }
    return delta;
}

// Seconds from the queue's head to the current position.
double queuePosition(const MvSampler *sampler) {
    const MvClip *current = sampler->current;
    if (!current) return 0.0;
    double seconds = 0.0;
    for (const MvClip *clip = sampler->head; clip && clip != current; clip = clip->next)
        seconds += clip->frames / clip->sampleRate;
    return seconds + sampler->position / current->sampleRate;
}

} // namespace
} // namespace mv

bool mv::beginSamplerVoice(MvSink *sink, MvSampler *sampler, const VoiceFactors &factors,
                           SamplerVoice &voice) {
    const int frames = factors.frames;
    float ownGainStart, ownGainEnd;
    double ownFrequencyStart, ownFrequencyEnd;
    advanceRamps(&sampler->machine, frames, sink->sampleRate, &ownGainStart, &ownGainEnd,
                 &ownFrequencyStart, &ownFrequencyEnd);
    if (frames <= 0 || !sampler->current) return false;
    SamplerFade *fade = activeFade(sampler);
    if (fade) noticeGainJump(sink, fade, ownGainStart, ownGainEnd);
    if (fade && fade->silent) return false; // paused after a fade: silence
    voice.fade = fade;
    voice.incoming = factors.gainStart;
    voice.frames = frames;

    SamplerRunning &running = voice.running;
    running.position = sampler->position;
    running.gain = ownGainStart * factors.gainStart;
    running.gainStep = (ownGainEnd * factors.gainEnd - running.gain) / float(frames);
    if (sampler->audioState == kSamplerPaused) {
        running.frequency = 0.0;
        running.frequencyStep = 0.0;
    } else {
        running.frequency = factors.frequencyStart * ownFrequencyStart;
        running.frequencyStep =
            (factors.frequencyEnd * ownFrequencyEnd - running.frequency) / frames;
    }
    // Factors that overflow together have no meaningful rate: hold still.
    if (!std::isfinite(running.frequency) || !std::isfinite(running.frequencyStep)) {
        running.frequency = 0.0;
        running.frequencyStep = 0.0;
    }

    Block &block = voice.block;
    block.sink = sink;
    block.sampler = sampler;
    block.model = sink->soundModel;
    block.channelCount = block.model->channelCount;
    block.matrix = sampler->audioMatrix;
    block.rate = sink->sampleRate;
    block.delta = nullptr;
    block.weightCount = 0;
    if (block.matrix) {
        block.limit = block.matrix->sourceChannels;
        // mvSetChannelMatrix bounds the product; a model changed since
        // must still not overrun delta.
        block.weightCount = std::min(block.limit * block.model->vectorSize, kMaxMatrixWeights);
        block.delta = prepareMatrixRamp(block.matrix, frames, sink->sampleRate, block.weightCount,
                                        voice.delta);
    } else {
        block.limit = std::min(block.channelCount, kMaxMatrixSourceChannels);
    }
    return true;
}

bool mv::renderSamplerVoice(SamplerVoice &voice, int from, int to, float *buffer) {
    const Block &block = voice.block;
    MvSampler *sampler = block.sampler;
    SamplerRunning &running = voice.running;
    SamplerFade *fade = voice.fade;
    // The stretch rendered before may have stepped past the clip's end.
    if (from > 0 && !passClipEnds(block, &running.position)) return false;
    for (int k = from; k < to;) {
        const MvClip *clip = sampler->current;
        float *frame = buffer + size_t(k) * block.channelCount;
        if (fade && (fade->length || fade->glideLength)) {
            if (!renderFadeFrame(block, fade, voice.incoming, running, frame)) return false;
            ++k;
            continue;
        }
        if (const int done = bandlimitedRunFrames(block, running, clip, to - k, frame)) {
            k += done;
            if (!passClipEnds(block, &running.position)) return false;
            continue;
        }
        if (SamplerRun run = runFor(block, running, clip)) {
            if (const int done = run(clip, running, block.rate, to - k, frame)) {
                k += done;
                if (!passClipEnds(block, &running.position)) return false;
                continue;
            }
        }
        if (!renderFrame(block, running, frame)) return false;
        ++k;
    }
    return true;
}

void mv::finishSamplerVoice(SamplerVoice &voice, int from, float *buffer) {
    if (!renderSamplerVoice(voice, from, voice.frames, buffer)) return;
    const Block &block = voice.block;
    MvSampler *sampler = block.sampler;
    sampler->position = voice.running.position;
    publishPlayPosition(sampler, queuePosition(sampler));
    if (block.matrix && block.matrix->rampTime < 0.0) block.matrix->current = block.matrix->target;
}

MvSource *mv::samplerRender(MvSink *sink, void *self, float gainStart, float gainEnd,
                            double frequencyStart, double frequencyEnd, int frames, float *buffer) {
    auto *sampler = static_cast<MvSampler *>(self);
    MvSource *following = sampler->source.activeNext;
    const VoiceFactors factors{gainStart, gainEnd, frequencyStart, frequencyEnd, frames};
    SamplerVoice voice;
    if (!beginSamplerVoice(sink, sampler, factors, voice)) return following;
    return renderSamplerVoices(voice, following, factors, buffer);
}
