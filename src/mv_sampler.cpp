// Sampler control: every sampler call, each as a control half under the
// dispatcher lock and an up-message the sink's audio thread applies between
// blocks. Clip release and the notices the audio side reports back live in
// mv_sampler_notices.cpp, the render in mv_sampler_render.cpp.
#include "mv_sampler.h"

#include "mv_control.h"
#include "mv_machine.h"
#include "mv_sampler_bandlimited.h"
#include "mv_sampler_fade.h"
#include "mv_status.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

using namespace mv;

namespace mv {
namespace {

// A seek or loop-start value travelling to the audio thread.
struct TimeRecord {
    MvSampler *sampler;
    double seconds;
};

MvSampler *asSampler(MvMachine *machine) { return static_cast<MvSampler *>(machine->self); }

int checkSampler(MvMachine *machine) {
    if (!machine) return MV_ERROR_NULL_POINTER;
    if (machine->deleteFunc != mvDeleteSampler) return MV_ERROR_MACHINE_TYPE;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    return MV_OK;
}

MvSink *sinkOf(MvSampler *sampler) { return sampler->machine.sink; }

void sendDown(MvSink *sink, MvMessageFunc message, void *argument) {
    mvSendDownMessage(sink, message, argument); // reports its own failure
}

int flushDownQueue(void *sink) { return mvFlushDownQueueImpl(static_cast<MvSink *>(sink)); }

// Runs a read of control-side state under the lock, optionally after the
// sink's down queue has been applied so that audio-side notices count.
template <typename Read>
int query(MvMachine *machine, bool (*needsFlush)(const MvSampler *), Read read) {
    int status = checkSampler(machine);
    if (status) return status;
    MvSampler *sampler = asSampler(machine);
    return mv::lockedRead([&] {
        if (needsFlush(sampler))
            if (int flushed = mvDispatcher->run(flushDownQueue, sinkOf(sampler))) return flushed;
        return read(sampler);
    });
}

bool always(const MvSampler *) { return true; }
bool never(const MvSampler *) { return false; }
bool whilePlaying(const MvSampler *sampler) { return sampler->controlState == kSamplerPlaying; }

// A control call without a record: applies its control half under the lock
// and posts message with the sampler, or only unlocks when the control half
// says there is nothing to tell the audio thread.
template <typename ControlHalf>
int command(MvMachine *machine, MvMessageFunc message, ControlHalf controlHalf) {
    int status = checkSampler(machine);
    if (status) return status;
    MvSampler *sampler = asSampler(machine);
    return mv::lockedPost(sinkOf(sampler), [&] {
        return controlHalf(sampler) ? mv::postMessage(message, sampler) : mv::postNothing();
    });
}

// The longest transition fade a sampler takes.
constexpr double kMaxTransitionFade = 0.1;

double nonNegativeSeconds(double seconds) { return seconds >= 0.0 ? seconds : 0.0; } // NaN too

bool validSampleRate(double rate) { return std::isfinite(rate) && rate > 0.0; }

bool knownFormat(int format) { return format >= MV_FORMAT_FLOAT32 && format <= MV_FORMAT_UINT8; }

// Final release of a sampler: its notices, its queue, its matrix and itself.
// Also the source's release callback, through which a deleted parent or sink
// lets go.
void releaseSampler(MvSink *, void *self) {
    auto *sampler = static_cast<MvSampler *>(self);
    releaseSamplerClips(sampler);
    mvUninitSource(&sampler->source);
    mvUninitMachine(&sampler->machine);
    if (sampler->controlMatrix) mvFree(sampler->controlMatrix);
    if (sampler->resamplerState) mvFree(sampler->resamplerState);
    if (sampler->fadeState) mvFree(sampler->fadeState);
    reinterpret_cast<SamplerRecord *>(sampler)->~SamplerRecord();
    mvFree(sampler);
}

// ---- up-messages (audio side) --------------------------------------------

MvSampler *target(void *argument) { return static_cast<MvSampler *>(argument); }

void activate(MvSink *sink, MvSampler *sampler) { mvSourceActivate(sink, &sampler->source); }

void deleteMessage(MvSink *sink, void *argument) {
    samplerHalt(sink, target(argument));
    sendDown(sink, releaseSampler, argument);
}

void appendClipMessage(MvSink *sink, void *argument) {
    auto *clip = static_cast<MvClip *>(argument);
    MvSampler *sampler = clip->sampler;
    settleFade(sink, sampler); // a pending clear must not take this clip along
    if (sampler->tail) {
        if (sampler->head == nullptr)
            MV_REPORT_ASSERTION("sampler->head != NULL", kSamplerReportPath,
                                kReportLineEnqueueWithTail);
    } else if (sampler->head != nullptr) {
        MV_REPORT_ASSERTION("sampler->head == NULL", kSamplerReportPath,
                            kReportLineEnqueueWithoutTail);
    }
    clip->prev = sampler->tail;
    if (sampler->tail) sampler->tail->next = clip;
    else sampler->head = clip;
    sampler->tail = clip;
    clip->next = nullptr;
}

} // namespace
} // namespace mv

void mv::samplerClearQueue(MvSink *sink, MvSampler *sampler) {
    samplerHalt(sink, sampler);
    if (!sampler->head) return;
    MvClip *chain = sampler->head;
    sampler->head = sampler->tail = sampler->current = nullptr;
    sendDown(sink, releaseClipsNotice, chain);
}

namespace mv {
namespace {

void clearQueueMessage(MvSink *sink, void *argument) {
    MvSampler *sampler = target(argument);
    settleFade(sink, sampler);
    if (SamplerFade *fade = fadeWhilePlaying(sampler))
        beginFade(sink, fade, true, FadeAction::clear);
    else samplerClearQueue(sink, sampler);
}

// An empty queue answers play with the stopped notice and changes nothing.
bool queueEmpty(MvSampler *sampler) {
    if (sampler->head) return false;
    noticeStopped(sampler);
    return true;
}

void playMessage(MvSink *sink, void *argument) {
    MvSampler *sampler = target(argument);
    settleFade(sink, sampler);
    if (queueEmpty(sampler)) return;
    if (SamplerFade *fade = fadeWhilePlaying(sampler)) {
        beginFade(sink, fade, true, FadeAction::restart);
        return;
    }
    if (sampler->audioState == kSamplerPaused) fadeIn(sink, sampler);
    if (sampler->audioState == kSamplerStopped) {
        sampler->current = sampler->head;
        activate(sink, sampler);
    } else if (sampler->audioState == kSamplerPlaying) {
        sampler->current = sampler->head;
        sampler->position = 0.0;
    }
    sampler->audioState = kSamplerPlaying;
}

void ensurePlayingMessage(MvSink *sink, void *argument) {
    MvSampler *sampler = target(argument);
    settleFade(sink, sampler);
    if (queueEmpty(sampler)) return;
    if (sampler->audioState == kSamplerPaused) fadeIn(sink, sampler);
    if (sampler->audioState == kSamplerStopped) {
        sampler->current = sampler->head;
        activate(sink, sampler);
    }
    sampler->audioState = kSamplerPlaying;
}

// Finds the clip that plays `seconds` into the queue, each clip measured at
// its own rate. False when the time lies beyond the last clip.
bool seek(MvSampler *sampler, double seconds) {
    MvClip *clip = sampler->head;
    double position = seconds * clip->sampleRate;
    while (position >= clip->frames) {
        seconds -= clip->frames / clip->sampleRate;
        clip = clip->next;
        if (!clip) return false;
        position = seconds * clip->sampleRate;
    }
    sampler->current = clip;
    sampler->position = position;
    return true;
}

} // namespace
} // namespace mv

void mv::samplerPlayFrom(MvSink *sink, MvSampler *sampler, double seconds) {
    if (!seek(sampler, seconds)) {
        sampler->position = 0.0;
        sampler->current = nullptr;
        if (!sampler->audioLooping) {
            samplerHalt(sink, sampler);
            noticeStopped(sampler);
            return;
        }
        sampler->current = sampler->head;
    }
    if (sampler->audioState == kSamplerStopped) activate(sink, sampler);
    sampler->audioState = kSamplerPlaying;
}

namespace mv {
namespace {

void playAtMessage(MvSink *sink, void *argument) {
    auto *record = static_cast<TimeRecord *>(argument);
    MvSampler *sampler = record->sampler;
    const double seconds = record->seconds;
    sendDown(sink, mvDeferredFree, record);
    settleFade(sink, sampler);
    if (queueEmpty(sampler)) return;
    if (SamplerFade *fade = fadeWhilePlaying(sampler)) {
        fade->seekTime = seconds;
        beginFade(sink, fade, true, FadeAction::seek);
        return;
    }
    if (sampler->audioState == kSamplerPaused) fadeIn(sink, sampler);
    samplerPlayFrom(sink, sampler, seconds);
}

void stopMessage(MvSink *sink, void *argument) {
    MvSampler *sampler = target(argument);
    settleFade(sink, sampler);
    if (SamplerFade *fade = fadeWhilePlaying(sampler))
        beginFade(sink, fade, true, FadeAction::stop);
    else samplerHalt(sink, sampler);
}

void pauseMessage(MvSink *sink, void *argument) {
    MvSampler *sampler = target(argument);
    settleFade(sink, sampler);
    if (SamplerFade *fade = fadeWhilePlaying(sampler))
        beginFade(sink, fade, true, FadeAction::pause);
    else if (sampler->audioState == kSamplerPlaying) sampler->audioState = kSamplerPaused;
}

void resumeMessage(MvSink *sink, void *argument) {
    MvSampler *sampler = target(argument);
    settleFade(sink, sampler);
    if (sampler->audioState != kSamplerPaused) return;
    sampler->audioState = kSamplerPlaying;
    fadeIn(sink, sampler);
}

void fadeTimeMessage(MvSink *sink, void *argument) {
    auto *record = static_cast<TimeRecord *>(argument);
    MvSampler *sampler = record->sampler;
    settleFade(sink, sampler);
    sampler->audioFade = sampler->fadeState;
    auto *fade = static_cast<SamplerFade *>(sampler->audioFade);
    fade->seconds = record->seconds;
    fade->length = fade->glideLength = 0;
    fade->silent = fade->heardValid = false;
    sendDown(sink, mvDeferredFree, record);
}

void loopingOnMessage(MvSink *, void *argument) { target(argument)->audioLooping = 1; }
void loopingOffMessage(MvSink *, void *argument) { target(argument)->audioLooping = 0; }

constexpr uint64_t kInterpolationOn = ~uint64_t{0};
void interpolationOnMessage(MvSink *, void *argument) {
    target(argument)->audioInterpolation = kInterpolationOn;
}
void interpolationOffMessage(MvSink *, void *argument) { target(argument)->audioInterpolation = 0; }

void bandlimitedOnMessage(MvSink *, void *argument) {
    MvSampler *sampler = target(argument);
    sampler->audioResampler = sampler->resamplerState;
    bandlimitedReset(static_cast<BandlimitedState *>(sampler->audioResampler));
}
void standardResamplerMessage(MvSink *, void *argument) {
    target(argument)->audioResampler = nullptr;
}

void loopStartMessage(MvSink *sink, void *argument) {
    auto *record = static_cast<TimeRecord *>(argument);
    record->sampler->audioLoopStart = record->seconds;
    sendDown(sink, mvDeferredFree, record);
}

// ---- channel matrices ----------------------------------------------------

int weightCount(const MvChannelMatrix *matrix) {
    return matrix->sourceChannels * matrix->sampler->machine.sink->soundModel->vectorSize;
}

// Installs `matrix` (null clears it); the one it replaces is freed on the
// control side.
void replaceAudioMatrix(MvSink *sink, MvSampler *sampler, MvChannelMatrix *matrix) {
    if (sampler->audioMatrix) sendDown(sink, mvDeferredFree, sampler->audioMatrix);
    sampler->audioMatrix = matrix;
}

void installInstantMessage(MvSink *sink, void *argument) {
    auto *matrix = static_cast<MvChannelMatrix *>(argument);
    replaceAudioMatrix(sink, matrix->sampler, matrix);
}

// A ramped matrix starts from the weights the previous one has reached.
void installRampedMessage(MvSink *sink, void *argument) {
    auto *matrix = static_cast<MvChannelMatrix *>(argument);
    const MvChannelMatrix *previous = matrix->sampler->audioMatrix;
    const int count = weightCount(matrix);
    if (previous == nullptr) {
        MV_REPORT_ASSERTION("tmp != NULL", kSamplerReportPath, kReportLineRampWithoutMatrix);
        std::memcpy(matrix->current, matrix->target, sizeof(float) * count);
    } else {
        const int kept = weightCount(previous) < count ? weightCount(previous) : count;
        std::memcpy(matrix->current, previous->current, sizeof(float) * kept);
        for (int j = kept; j < count; ++j) matrix->current[j] = 0.0f;
    }
    replaceAudioMatrix(sink, matrix->sampler, matrix);
}

void clearMatrixMessage(MvSink *sink, void *argument) {
    replaceAudioMatrix(sink, target(argument), nullptr);
}

MvChannelMatrix *newMatrix(MvSampler *sampler, double rampTime, int sourceChannels, int vectorSize,
                           const float *weights, bool ramped) {
    const size_t count = size_t(sourceChannels) * size_t(vectorSize);
    const size_t arrays = ramped ? 2 : 1;
    auto *matrix = static_cast<MvChannelMatrix *>(
        mvMalloc(sizeof(MvChannelMatrix) + arrays * count * sizeof(float)));
    if (!matrix) return nullptr;
    matrix->sampler = sampler;
    matrix->rampTime = rampTime;
    matrix->sourceChannels = sourceChannels;
    matrix->target = reinterpret_cast<float *>(matrix + 1);
    matrix->current = ramped ? matrix->target + count : matrix->target;
    std::memcpy(matrix->target, weights, count * sizeof(float));
    return matrix;
}

} // namespace

void samplerHalt(MvSink *sink, MvSampler *sampler) {
    if (auto *fade = static_cast<SamplerFade *>(sampler->audioFade)) {
        fade->length = fade->glideLength = 0;
        fade->silent = fade->heardValid = false;
    }
    if (auto *state = static_cast<BandlimitedState *>(sampler->audioResampler))
        bandlimitedReset(state);
    if (sampler->audioState == kSamplerStopped) return;
    mvSourceDeactivate(sink, &sampler->source);
    sampler->audioState = kSamplerStopped;
    sampler->position = 0.0;
    publishPlayPosition(sampler, 0.0);
}

double frequencyRampSeconds(MvMachine *machine, double seconds) {
    if (seconds != 0.0 || checkSampler(machine)) return seconds;
    const double fade = asSampler(machine)->controlFade;
    return fade > 0.0 ? fade : seconds;
}

} // namespace mv

// ---- the exported calls -----------------------------------------------------

int mvNewSampler(MvSampler **out, MvMachine *parent) {
    if (!out || !parent) return MV_ERROR_NULL_POINTER;
    if (!parent->destination) return MV_ERROR_NOT_DESTINATION;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    void *memory = mvMalloc(sizeof(SamplerRecord));
    if (!memory) return MV_ERROR_NO_MEMORY;
    std::memset(memory, 0, sizeof(SamplerRecord));
    MvSampler *sampler = &(new (memory) SamplerRecord{})->sampler;
    mvInitMachine(&sampler->machine, sampler, nullptr, &sampler->source, parent->sink,
                  mvDeleteSampler);
    mvInitSource(&sampler->source, &sampler->machine, parent->destination, samplerRender,
                 releaseSampler);
    sampler->controlInterpolation = 1;
    sampler->audioInterpolation = kInterpolationOn;

    bool connected = false;
    const int status = mv::lockedRead([&] {
        connected = true;
        mvSourceConnect(&sampler->source); // joins the active list when it first plays
        *out = sampler;
        return MV_OK;
    });
    if (!connected) releaseSampler(parent->sink, sampler); // the lock failed: nobody saw it
    return status;
}

int mvDeleteSampler(MvMachine *machine) {
    int status = checkSampler(machine);
    if (status) return status;
    MvSampler *sampler = asSampler(machine);
    return mv::lockedPost(sinkOf(sampler), [&] {
        if (!claimForDeletion(machine)) return mv::postFailure(MV_ERROR_MACHINE_TYPE);
        sampler->controlState = kSamplerStopped;
        mvSourceDisconnect(&sampler->source);
        return mv::postMessage(deleteMessage, sampler);
    });
}

int mvEnqueueClip(MvMachine *machine, int removeWhenDone, MvClipRelease release,
                  void *releaseContext, int channels, double sampleRate, int format,
                  int nativeByteOrder, int frames, void *data) {
    if (!machine || !data) return MV_ERROR_NULL_POINTER;
    if (frames <= 0) return MV_ERROR_BUFFER_SIZE;
    int status = checkSampler(machine);
    if (status) return status;
    if (channels <= 0) return MV_ERROR_SPEAKER_LAYOUT;
    if (!validSampleRate(sampleRate)) return MV_ERROR_SAMPLE_RATE;
    if (!knownFormat(format)) return MV_ERROR_SAMPLE_FORMAT;
    // The byte swap counts samples in an int; larger clips cannot be addressed.
    if (int64_t(channels) * frames > INT_MAX) return MV_ERROR_BUFFER_SIZE;

    MvSampler *sampler = asSampler(machine);
    auto *clip = static_cast<MvClip *>(mvMalloc(sizeof(MvClip)));
    if (!clip) return MV_ERROR_NO_MEMORY;
    *clip = MvClip{sampler,
                   channels,
                   sampleRate,
                   format,
                   mvGetSampleSize(format),
                   frames,
                   data,
                   uint8_t(removeWhenDone ? 1 : 0),
                   release,
                   releaseContext,
                   nullptr,
                   nullptr};
    if (!nativeByteOrder) mvByteSwap(data, 1, clip->sampleSize, channels * frames);

    if ((status = mv::lockOwning(clip))) return status;
    ++sampler->queuedClips;
    // A clip that was never queued leaves the count; the host keeps its data.
    return mv::postOwned(sinkOf(sampler), appendClipMessage, clip,
                         [sampler] { --sampler->queuedClips; });
}

int mvClearClipQueue(MvMachine *machine) {
    return command(machine, clearQueueMessage, [](MvSampler *sampler) {
        sampler->controlState = kSamplerStopped;
        return true;
    });
}

int mvGetClipQueueSize(MvMachine *machine) {
    return query(machine, always, [](const MvSampler *sampler) { return sampler->queuedClips; });
}

int mvGetProcessedClips(MvMachine *machine) {
    return query(machine, always, [](const MvSampler *sampler) { return sampler->processedClips; });
}

int mvPlay(MvMachine *machine) {
    return command(machine, playMessage, [](MvSampler *sampler) {
        sampler->controlState = kSamplerPlaying;
        return true;
    });
}

int mvEnsurePlaying(MvMachine *machine) {
    return command(machine, ensurePlayingMessage, [](MvSampler *sampler) {
        sampler->controlState = kSamplerPlaying;
        return true;
    });
}

// Sends a time value with its own record (seek or loop start).
template <typename ControlHalf>
static int sendTime(MvMachine *machine, double seconds, MvMessageFunc message,
                    ControlHalf controlHalf) {
    int status = checkSampler(machine);
    if (status) return status;
    MvSampler *sampler = asSampler(machine);
    auto *record = static_cast<TimeRecord *>(mvMalloc(sizeof(TimeRecord)));
    if (!record) return MV_ERROR_NO_MEMORY;
    *record = TimeRecord{sampler, nonNegativeSeconds(seconds)};
    if ((status = mv::lockOwning(record))) return status;
    controlHalf(sampler, record->seconds);
    return mv::postOwned(sinkOf(sampler), message, record);
}

int mvPlayAt(MvMachine *machine, double seconds) {
    return sendTime(machine, seconds, playAtMessage,
                    [](MvSampler *sampler, double) { sampler->controlState = kSamplerPlaying; });
}

int mvSetLoopStart(MvMachine *machine, double seconds) {
    return sendTime(machine, seconds, loopStartMessage,
                    [](MvSampler *sampler, double value) { sampler->controlLoopStart = value; });
}

double mvGetLoopStart(MvMachine *machine) {
    if (int status = checkSampler(machine)) return status;
    return mv::lockedRead([&] { return asSampler(machine)->controlLoopStart; });
}

int mvStop(MvMachine *machine) {
    return command(machine, stopMessage, [](MvSampler *sampler) {
        sampler->controlState = kSamplerStopped;
        return true;
    });
}

int mvPause(MvMachine *machine) {
    return command(machine, pauseMessage, [](MvSampler *sampler) {
        if (sampler->controlState != kSamplerPlaying) return false;
        sampler->controlState = kSamplerPaused;
        return true;
    });
}

int mvResume(MvMachine *machine) {
    return command(machine, resumeMessage, [](MvSampler *sampler) {
        if (sampler->controlState != kSamplerPaused) return false;
        sampler->controlState = kSamplerPlaying;
        return true;
    });
}

int mvGetState(MvMachine *machine) {
    return query(machine, whilePlaying,
                 [](const MvSampler *sampler) { return sampler->controlState; });
}

int mvSetLooping(MvMachine *machine, int looping) {
    const uint8_t value = uint8_t(looping);
    return command(machine, value ? loopingOnMessage : loopingOffMessage,
                   [value](MvSampler *sampler) {
                       sampler->controlLooping = value;
                       return true;
                   });
}

int mvGetLooping(MvMachine *machine) {
    return query(machine, never, [](const MvSampler *sampler) { return +sampler->controlLooping; });
}

int mvSetInterpolation(MvMachine *machine, int on) {
    const uint8_t value = uint8_t(on);
    return command(machine, value ? interpolationOnMessage : interpolationOffMessage,
                   [value](MvSampler *sampler) {
                       sampler->controlInterpolation = value;
                       return true;
                   });
}

int mvGetInterpolation(MvMachine *machine) {
    return query(machine, never,
                 [](const MvSampler *sampler) { return +sampler->controlInterpolation; });
}

int mvSetChannelMatrix(MvMachine *machine, double rampTime, int sourceChannels, int vectorSize,
                       const float *weights) {
    if (!weights) return mvClearChannelMatrix(machine);
    int status = checkSampler(machine);
    if (status) return status;
    MvSampler *sampler = asSampler(machine);
    if (vectorSize != sampler->machine.sink->soundModel->vectorSize) return MV_ERROR_VECTOR_SIZE;
    if (sourceChannels < 1 || sourceChannels > kMaxMatrixSourceChannels || vectorSize < 1 ||
        sourceChannels * vectorSize > kMaxMatrixWeights)
        return MV_ERROR_SPEAKER_LAYOUT;

    // The matrix is built under the lock: whether it ramps depends on the
    // control matrix before it.
    if ((status = mvDispatcher->lock())) return status;
    // Only a later matrix ramps, from the one before it; every other matrix
    // (a NaN ramp time included, which would poison the weights) is instant.
    const bool ramped = sampler->controlMatrix && rampTime > 0.0;
    MvChannelMatrix *matrix =
        newMatrix(sampler, ramped ? rampTime : 0.0, sourceChannels, vectorSize, weights, ramped);
    if (!matrix) return mv::finishPost(sinkOf(sampler), mv::postFailure(MV_ERROR_NO_MEMORY));
    MvChannelMatrix *previous = sampler->controlMatrix;
    sampler->controlMatrix = matrix;
    return mv::postOwned(sinkOf(sampler), ramped ? installRampedMessage : installInstantMessage,
                         matrix, [sampler, previous] { sampler->controlMatrix = previous; });
}

int mvClearChannelMatrix(MvMachine *machine) {
    return command(machine, clearMatrixMessage, [](MvSampler *sampler) {
        if (!sampler->controlMatrix) return false;
        sampler->controlMatrix = nullptr;
        return true;
    });
}

int mvGetPlayPosition(MvMachine *machine, double *seconds) {
    if (!seconds) return MV_ERROR_NULL_POINTER;
    if (const int status = checkSampler(machine)) return status;
    *seconds = reinterpret_cast<SamplerRecord *>(asSampler(machine))
                   ->playPosition.load(std::memory_order_relaxed);
    return MV_OK;
}

int mvSetResampler(MvMachine *machine, int resampler) {
    int status = checkSampler(machine);
    if (status) return status;
    if (resampler != MV_RESAMPLER_STANDARD && resampler != MV_RESAMPLER_BANDLIMITED)
        return MV_ERROR_INDEX;
    const bool bandlimited = resampler == MV_RESAMPLER_BANDLIMITED;
    if (bandlimited) buildBandlimitedTables();
    MvSampler *sampler = asSampler(machine);
    return mv::lockedPost(sinkOf(sampler), [&] {
        if (bandlimited && !sampler->resamplerState) {
            // Kept until the sampler is released: the audio thread may hold it.
            sampler->resamplerState = mvMalloc(sizeof(BandlimitedState));
            if (!sampler->resamplerState) return mv::postFailure(MV_ERROR_NO_MEMORY);
            bandlimitedReset(static_cast<BandlimitedState *>(sampler->resamplerState));
        }
        sampler->controlResampler = resampler;
        return mv::postMessage(bandlimited ? bandlimitedOnMessage : standardResamplerMessage,
                               sampler);
    });
}

int mvGetResampler(MvMachine *machine) {
    return query(machine, never,
                 [](const MvSampler *sampler) { return +sampler->controlResampler; });
}

int mvSetTransitionFade(MvMachine *machine, double seconds) {
    int status = checkSampler(machine);
    if (status) return status;
    if (!(seconds >= 0.0 && seconds <= kMaxTransitionFade)) return MV_ERROR_INDEX;
    MvSampler *sampler = asSampler(machine);
    auto *record = static_cast<TimeRecord *>(mvMalloc(sizeof(TimeRecord)));
    if (!record) return MV_ERROR_NO_MEMORY;
    *record = TimeRecord{sampler, seconds};
    if ((status = mv::lockOwning(record))) return status;
    if (!sampler->fadeState) {
        // Kept until the sampler is released: the audio thread may hold it.
        sampler->fadeState = mvMalloc(sizeof(SamplerFade));
        if (!sampler->fadeState) {
            mvFree(record);
            return mv::finishPost(sinkOf(sampler), mv::postFailure(MV_ERROR_NO_MEMORY));
        }
        *static_cast<SamplerFade *>(sampler->fadeState) = SamplerFade{};
    }
    sampler->controlFade = seconds;
    return mv::postOwned(sinkOf(sampler), fadeTimeMessage, record);
}

double mvGetTransitionFade(MvMachine *machine) {
    if (int status = checkSampler(machine)) return status;
    return mv::lockedRead([&] { return asSampler(machine)->controlFade; });
}
