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
#include "mv_sampler.h"

#include "mv_convert.h"
#include "mv_machine.h"
#include "mv_mono.h"
#include "mv_status.h"

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace mv;

namespace mv {
bool samplerFastRunsEnabled = true;
}

namespace {

// The running values of one block, carried frame by frame.
struct Running {
    double position;
    float gain;
    float gainStep;
    double frequency;
    double frequencyStep;
};

// ---- reading clip frames -------------------------------------------------

template <typename Sample>
float sampleAt(const uint8_t *frame, int channel)
{
    if constexpr (std::is_same_v<Sample, Float32Sample>)
        return Sample::load(frame + channel * Sample::bytes);
    else
        return Sample::toFloat(Sample::load(frame + channel * Sample::bytes));
}

template <typename Sample>
void readSamples(const uint8_t *frame, int count, float *out)
{
    for (int c = 0; c < count; ++c) out[c] = sampleAt<Sample>(frame, c);
}

const uint8_t *frameAddress(const MvClip *clip, int index)
{
    return static_cast<const uint8_t *>(clip->data) +
           size_t(index) * size_t(clip->channels) * size_t(clip->sampleSize);
}

void readFrame(const MvClip *clip, int index, int count, float *out)
{
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

// The fraction between frame i and i + 1, zero with interpolation off.
float fractionOf(double position, int index, uint64_t interpolationMask)
{
    uint64_t bits;
    const double fraction = position - index;
    std::memcpy(&bits, &fraction, sizeof bits);
    bits &= interpolationMask;
    double masked;
    std::memcpy(&masked, &bits, sizeof masked);
    return float(masked);
}

float interpolate(float a, float b, float x) { return a + (b - a) * x; }

// The clip whose first frame follows the last frame of `clip`: its
// successor, or with looping the head (interpolation looks at the head
// whatever the loop start), unless the clip is about to leave the queue.
const MvClip *followerOf(const MvSampler *sampler, const MvClip *clip)
{
    if (clip->next) return clip->next;
    if (!sampler->audioLooping) return nullptr;
    if (sampler->head == clip && clip->removeWhenDone) return nullptr;
    return sampler->head;
}

// Fills b with the frame after frame `index` of the clip; may widen the
// channel count when the follower has more channels (then a is padded).
void readPartner(const MvSampler *sampler, const MvClip *clip, int index, int limit, float *a,
                 float *b, int *count)
{
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

// ---- clip ends -----------------------------------------------------------

void unlinkClip(MvSampler *sampler, MvClip *clip)
{
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

double queueSeconds(const MvClip *clip)
{
    double seconds = 0.0;
    for (; clip; clip = clip->next) seconds += clip->frames / clip->sampleRate;
    return seconds;
}

// Wraps to the loop start, `overshoot` seconds past it. A loop start beyond
// the queue lands on the head.
void wrapToLoopStart(MvSampler *sampler, double overshoot, double *position)
{
    MvClip *head = sampler->head;
    // An overshoot longer than the whole queue (absurd playback rates) is
    // folded back, so each frame passes every clip at most once.
    const double total = queueSeconds(head);
    if (overshoot >= total) overshoot = std::fmod(overshoot, total);
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
bool passClipEnd(MvSink *sink, MvSampler *sampler, double *position)
{
    MvClip *clip = sampler->current;
    const double clipRate = clip->sampleRate; // read before the clip may be released
    MvClip *next = clip->next;
    *position -= clip->frames;
    if (clip->removeWhenDone) {
        unlinkClip(sampler, clip);
        mvSendDownMessage(sink, samplerReleaseClip, clip);
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
        mvSendDownMessage(sink, samplerStoppedNotice, sampler);
        return false;
    }
    mvSendDownMessage(sink, samplerClipAdvancedNotice, sampler);
    return true;
}

// ---- the reference path: one frame ---------------------------------------

struct Block {
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

// Renders one frame; false when playback ended with it.
bool renderFrame(const Block &block, Running &run, float *mixFrame)
{
    MvSampler *sampler = block.sampler;
    const MvClip *clip = sampler->current;
    float a[kMaxMatrixSourceChannels];
    float b[kMaxMatrixSourceChannels];
    const int index = int(run.position);
    int count = std::min(block.limit, int(clip->channels));
    readFrame(clip, index, count, a);
    const float x = fractionOf(run.position, index, sampler->audioInterpolation);
    if (x > 0.0f) {
        readPartner(sampler, clip, index, block.limit, a, b, &count);
        for (int c = 0; c < count; ++c) a[c] = interpolate(a[c], b[c], x);
    }
    if (block.matrix)
        block.model->mixFrameWeighted(block.model, run.gain, count, block.matrix->current, a,
                                      mixFrame);
    else
        block.model->mixFrame(block.model, run.gain, count, nullptr, a, mixFrame);

    run.position += clip->sampleRate * run.frequency / block.rate;
    while (run.position >= sampler->current->frames)
        if (!passClipEnd(block.sink, sampler, &run.position)) return false;
    if (block.delta)
        for (int j = 0; j < block.weightCount; ++j) block.matrix->current[j] += block.delta[j];
    run.gain += run.gainStep;
    run.frequency += run.frequencyStep;
    return true;
}

// ---- specialised runs ----------------------------------------------------

// How a clip frame reaches the mix without a matrix: the mono model averages
// (one channel through the sampler), the stereo model doubles a mono clip
// or takes the first two channels.
enum class Shape { mono, stereoFromMono, stereoPair };

template <typename Sample, Shape shape, bool interpolated, bool steady>
void mixRun(const MvClip *clip, double rate, int frames, Running &run, float *mix)
{
    const auto *data = static_cast<const uint8_t *>(clip->data);
    const size_t frameBytes = size_t(clip->channels) * Sample::bytes;
    const double clipRate = clip->sampleRate;
    const double steadyStep = clipRate * run.frequency / rate; // the same value every frame
    double position = run.position;
    float gain = run.gain;
    double frequency = run.frequency;
    for (int k = 0; k < frames; ++k) {
        const int index = int(position);
        const uint8_t *frame = data + size_t(index) * frameBytes;
        const float x = interpolated ? float(position - index) : 0.0f;
        float left = sampleAt<Sample>(frame, 0);
        if (interpolated && x > 0.0f)
            left = interpolate(left, sampleAt<Sample>(frame + frameBytes, 0), x);
        if constexpr (shape == Shape::mono) {
            mix[k] += 0.0f + (gain / 1.0f) * left;
        } else if constexpr (shape == Shape::stereoFromMono) {
            mix[2 * k] += gain * left;
            mix[2 * k + 1] += gain * left;
        } else {
            float right = sampleAt<Sample>(frame, 1);
            if (interpolated && x > 0.0f)
                right = interpolate(right, sampleAt<Sample>(frame + frameBytes, 1), x);
            mix[2 * k] += gain * left;
            mix[2 * k + 1] += gain * right;
        }
        position += steady ? steadyStep : clipRate * frequency / rate;
        gain += run.gainStep;
        if (!steady) frequency += run.frequencyStep;
    }
    run.position = position;
    run.gain = gain;
    run.frequency = frequency;
}

using RunFunc = void (*)(const MvClip *, double, int, Running &, float *);

template <typename Sample, Shape shape>
RunFunc pickVariant(bool interpolated, bool steady)
{
    if (interpolated)
        return steady ? mixRun<Sample, shape, true, true> : mixRun<Sample, shape, true, false>;
    return steady ? mixRun<Sample, shape, false, true> : mixRun<Sample, shape, false, false>;
}

template <Shape shape>
RunFunc pickFormat(int format, bool interpolated, bool steady)
{
    switch (format) {
    case MV_FORMAT_FLOAT32: return pickVariant<Float32Sample, shape>(interpolated, steady);
    case MV_FORMAT_INT32: return pickVariant<Int32Sample, shape>(interpolated, steady);
    case MV_FORMAT_INT24: return pickVariant<Int24Sample, shape>(interpolated, steady);
    case MV_FORMAT_INT16: return pickVariant<Int16Sample, shape>(interpolated, steady);
    case MV_FORMAT_INT8: return pickVariant<Int8Sample, shape>(interpolated, steady);
    default: return pickVariant<Uint8Sample, shape>(interpolated, steady);
    }
}

// The specialised run for this clip, or null when only the reference path
// knows the mix (a matrix, or a model other than the engine's two).
RunFunc runFor(const Block &block, const Running &run, const MvClip *clip)
{
    if (!samplerFastRunsEnabled || block.matrix) return nullptr;
    const bool interpolated = block.sampler->audioInterpolation != 0;
    const bool steady = run.frequencyStep == 0.0;
    if (isMonoSoundModel(block.model))
        return pickFormat<Shape::mono>(clip->format, interpolated, steady);
    if (!isStereoSoundModel(block.model)) return nullptr;
    if (clip->channels == 1)
        return pickFormat<Shape::stereoFromMono>(clip->format, interpolated, steady);
    return pickFormat<Shape::stereoPair>(clip->format, interpolated, steady);
}

// Frames from now on whose reads, interpolation partner included, stay
// inside the clip and after which the position is still inside it. A frame
// of margin covers the rounding of the running sums.
int framesInsideClip(const Block &block, const Running &run, const MvClip *clip, int remaining)
{
    const double room = clip->frames - 2.0 - run.position;
    if (!(room >= 0.0)) return 0;
    const double lastFrequency = run.frequency + run.frequencyStep * remaining;
    const double fastestStep =
        clip->sampleRate * std::max(run.frequency, lastFrequency) / block.rate;
    if (fastestStep <= 0.0) return remaining;
    const double frames = room / fastestStep;
    return frames >= remaining ? remaining : int(frames);
}

// ---- block set-up --------------------------------------------------------

// Starts or continues a matrix ramp for this block; returns the per-frame
// deltas, or null when the weights hold still.
const float *prepareMatrixRamp(MvChannelMatrix *matrix, int frames, int rate, int weightCount,
                               float *delta)
{
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

} // namespace

MvSource *mv::samplerRender(MvSink *sink, void *self, float gainStart, float gainEnd,
                            double frequencyStart, double frequencyEnd, int frames, float *buffer)
{
    auto *sampler = static_cast<MvSampler *>(self);
    MvSource *following = sampler->source.activeNext;
    float ownGainStart, ownGainEnd;
    double ownFrequencyStart, ownFrequencyEnd;
    advanceRamps(&sampler->machine, frames, sink->sampleRate, &ownGainStart, &ownGainEnd,
                 &ownFrequencyStart, &ownFrequencyEnd);
    if (frames <= 0 || !sampler->current) return following;

    Running run;
    run.position = sampler->position;
    run.gain = ownGainStart * gainStart;
    run.gainStep = (ownGainEnd * gainEnd - run.gain) / float(frames);
    if (sampler->audioState == kSamplerPaused) {
        run.frequency = 0.0;
        run.frequencyStep = 0.0;
    } else {
        run.frequency = frequencyStart * ownFrequencyStart;
        run.frequencyStep = (frequencyEnd * ownFrequencyEnd - run.frequency) / frames;
    }
    // Factors that overflow together have no meaningful rate: hold still.
    if (!std::isfinite(run.frequency) || !std::isfinite(run.frequencyStep)) {
        run.frequency = 0.0;
        run.frequencyStep = 0.0;
    }

    Block block;
    block.sink = sink;
    block.sampler = sampler;
    block.model = sink->soundModel;
    block.channelCount = block.model->channelCount;
    block.matrix = sampler->audioMatrix;
    block.rate = sink->sampleRate;
    block.delta = nullptr;
    block.weightCount = 0;
    float delta[kMaxMatrixWeights];
    if (block.matrix) {
        block.limit = block.matrix->sourceChannels;
        block.weightCount = block.limit * block.model->vectorSize;
        block.delta = prepareMatrixRamp(block.matrix, frames, sink->sampleRate,
                                        block.weightCount, delta);
    } else {
        block.limit = std::min(block.channelCount, kMaxMatrixSourceChannels);
    }

    for (int k = 0; k < frames;) {
        const MvClip *clip = sampler->current;
        if (RunFunc runFunc = runFor(block, run, clip)) {
            const int inside = framesInsideClip(block, run, clip, frames - k);
            if (inside > 0) {
                runFunc(clip, block.rate, inside, run, buffer + size_t(k) * block.channelCount);
                k += inside;
                continue;
            }
        }
        if (!renderFrame(block, run, buffer + size_t(k) * block.channelCount)) return following;
        ++k;
    }
    sampler->position = run.position;
    if (block.matrix && block.matrix->rampTime < 0.0) block.matrix->current = block.matrix->target;
    return following;
}
