// Machine framework: heads, source and destination facets, the default pull,
// gain and frequency ramps, and the protocols that change the tree without
// locking the audio thread (every hand-over is an up- or down-message).
#include "mv_machine.h"

#include "mv_control.h"

#include <cmath>

namespace mv {
namespace {

constexpr float kInitialGain = 1.0f;
constexpr double kInitialFrequency = 1.0;
// A ramp whose next step would leave less than this fraction of a step to
// go has arrived: rounding accumulated over hundreds of float blocks must
// not leave a stray block a hair short of the target.
constexpr double kArrivalFraction = 1.0 / 1024.0;

// One linear ramp (gain in float, frequency in double) advanced by a block.
template <typename T>
void advanceRamp(T &start, T &value, T target, T &slope, int frames, int rate) {
    if (slope == 0) return;
    start = value;
    if (value == target) {
        slope = 0;
        return;
    }
    double step = static_cast<double>(slope) * frames / rate;
    double next = static_cast<double>(value) + step;
    double remaining = static_cast<double>(target) - next;
    bool arrived = slope > 0 ? remaining <= std::fabs(step) * kArrivalFraction
                             : remaining >= -std::fabs(step) * kArrivalFraction;
    value = arrived ? target : static_cast<T>(next);
}

// Message records of mvSetGain and mvSetFrequency.
struct GainChange {
    MvMachine *machine;
    double seconds;
    float value;
};

struct FrequencyChange {
    MvMachine *machine;
    double seconds;
    double value;
};

// Every audio-side handler hands its record back the same way.
void returnToControlSide(MvSink *sink, void *record) {
    mvSendDownMessage(sink, mvDeferredFree, record);
}

void setGainMessage(MvSink *sink, void *argument) {
    auto *change = static_cast<GainChange *>(argument);
    MvMachine *m = change->machine;
    m->gainStart = m->gain = m->gainTarget = change->value;
    m->gainSlope = 0.0f;
    returnToControlSide(sink, change);
}

void rampGainMessage(MvSink *sink, void *argument) {
    auto *change = static_cast<GainChange *>(argument);
    MvMachine *m = change->machine;
    m->gainTarget = change->value;
    m->gainSlope = static_cast<float>((change->value - m->gain) / change->seconds);
    returnToControlSide(sink, change);
}

void setFrequencyMessage(MvSink *sink, void *argument) {
    auto *change = static_cast<FrequencyChange *>(argument);
    MvMachine *m = change->machine;
    m->frequencyStart = m->frequency = m->frequencyTarget = change->value;
    m->frequencySlope = 0.0;
    returnToControlSide(sink, change);
}

void rampFrequencyMessage(MvSink *sink, void *argument) {
    auto *change = static_cast<FrequencyChange *>(argument);
    MvMachine *m = change->machine;
    m->frequencyTarget = change->value;
    m->frequencySlope = (change->value - m->frequency) / change->seconds;
    returnToControlSide(sink, change);
}

// Allocates a change record and posts it with the immediate or ramp handler.
// `rampTime` gives, under the lock, the time the change takes for the time
// asked for.
template <typename Change, typename Value, typename RampTime>
int postChange(MvMachine *machine, double seconds, Value value, MvMessageFunc now,
               MvMessageFunc ramp, RampTime rampTime) {
    auto *change = static_cast<Change *>(mvMalloc(sizeof(Change)));
    if (!change) return MV_ERROR_NO_MEMORY;
    *change = Change{machine, seconds, value};
    if (int status = mv::lockOwning(change)) return status;
    change->seconds = rampTime(change->seconds);
    return mv::postOwned(machine->sink, change->seconds > 0 ? ramp : now, change);
}

double askedTime(double seconds) { return seconds; }

// The type tag of a node whose removal is on its way to the audio thread:
// every call that needs the node's type, a second delete included, fails.
int deletedNode(MvMachine *) { return MV_ERROR_MACHINE_TYPE; }

// Audio side of a node removal: leave the active list, then let the control
// side run the node's final release.
void detachMessage(MvSink *sink, void *argument) {
    auto *source = static_cast<MvSource *>(argument);
    mvSourceDeactivate(sink, source);
    mvSendDownMessage(sink, source->releaseFunc, source->owner->self);
}

} // namespace

void advanceRamps(MvMachine *m, int frames, int rate, float *gainStart, float *gainEnd,
                  double *frequencyStart, double *frequencyEnd) {
    advanceRamp(m->gainStart, m->gain, m->gainTarget, m->gainSlope, frames, rate);
    advanceRamp(m->frequencyStart, m->frequency, m->frequencyTarget, m->frequencySlope, frames,
                rate);
    *gainStart = m->gainStart;
    *gainEnd = m->gain;
    *frequencyStart = m->frequencyStart;
    *frequencyEnd = m->frequency;
}

MvPullRecord *newDefaultPullRecord(MvDestination *destination) {
    auto *record = static_cast<MvPullRecord *>(mvMalloc(sizeof(MvPullRecord)));
    if (record)
        *record =
            MvPullRecord{destination, nullptr, mvDestinationPullImpl, nullptr, mvDeferredFree};
    return record;
}

int connectChild(MvSource *source, bool activateNow) {
    return lockedPost(source->owner->sink, [&] {
        mvSourceConnect(source);
        return activateNow ? postMessage(activateMessage(), source) : postNothing();
    });
}

bool claimForDeletion(MvMachine *machine) {
    if (machine->deleteFunc == deletedNode) return false;
    machine->deleteFunc = deletedNode;
    return true;
}

int detachNode(MvSource *source) {
    return lockedPost(source->owner->sink, [&] {
        if (!claimForDeletion(source->owner)) return postFailure(MV_ERROR_MACHINE_TYPE);
        mvSourceDisconnect(source);
        return postMessage(detachMessage, source);
    });
}

void preparePullRecords(MvDestination *destination) {
    MvPullRecord *record = destination->pull;
    if (record && record->prepareFunc) record->prepareFunc(record);
    for (MvSource *s = destination->connectedHead; s; s = s->connectedNext)
        if (s->owner->destination) preparePullRecords(s->owner->destination);
}

} // namespace mv

using namespace mv;

extern "C" {

int mvInitMachine(MvMachine *machine, void *self, MvDestination *destination, MvSource *source,
                  MvSink *sink, int (*deleteFunc)(MvMachine *)) {
    *machine = MvMachine{self,
                         destination,
                         source,
                         sink,
                         kInitialGain, // start, value and target; no ramp runs
                         kInitialGain,
                         kInitialGain,
                         0.0f,
                         kInitialFrequency,
                         kInitialFrequency,
                         kInitialFrequency,
                         0.0,
                         deleteFunc};
    return MV_OK;
}

void mvUninitMachine(MvMachine *) {}

int mvInitSource(MvSource *source, MvMachine *owner, MvDestination *destination,
                 MvRenderFunc renderFunc, MvMessageFunc releaseFunc) {
    *source =
        MvSource{owner, destination, nullptr, nullptr, nullptr, nullptr, renderFunc, releaseFunc};
    return MV_OK;
}

void mvUninitSource(MvSource *) {}

int mvInitDestination(MvDestination *destination, MvMachine *machine) {
    *destination = MvDestination{machine, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    MvPullRecord *record = mv::newDefaultPullRecord(destination);
    if (!record) return MV_ERROR_NO_MEMORY;
    destination->pull = destination->audioPull = record;
    return MV_OK;
}

void mvUninitDestination(MvDestination *destination) {
    MvSink *sink = destination->machine->sink;
    if (MvPullRecord *record = destination->pull) {
        destination->pull = destination->audioPull = nullptr;
        record->freeFunc(sink, record);
    }
    MvSource *source = destination->connectedHead;
    destination->connectedHead = destination->connectedTail = nullptr;
    while (source) {
        MvSource *next = source->connectedNext; // the release frees the source's node
        source->releaseFunc(sink, source->owner->self);
        source = next;
    }
}

void mvSourceConnect(MvSource *source) {
    MvDestination *d = source->destination;
    source->connectedPrev = d->connectedTail;
    source->connectedNext = nullptr;
    if (d->connectedTail) d->connectedTail->connectedNext = source;
    else d->connectedHead = source;
    d->connectedTail = source;
}

void mvSourceDisconnect(MvSource *source) {
    MvDestination *d = source->destination;
    if (source->connectedPrev) source->connectedPrev->connectedNext = source->connectedNext;
    else if (d->connectedHead == source) d->connectedHead = source->connectedNext;
    if (source->connectedNext) source->connectedNext->connectedPrev = source->connectedPrev;
    else if (d->connectedTail == source) d->connectedTail = source->connectedPrev;
    source->connectedPrev = source->connectedNext = nullptr;
}

void mvSourceActivate(MvSink *, MvSource *source) {
    MvDestination *d = source->destination;
    source->activePrev = d->activeTail;
    source->activeNext = nullptr;
    if (d->activeTail) d->activeTail->activeNext = source;
    else d->activeHead = source;
    d->activeTail = source;
}

void mvSourceDeactivate(MvSink *, MvSource *source) {
    MvDestination *d = source->destination;
    if (source->activePrev) source->activePrev->activeNext = source->activeNext;
    else if (d->activeHead == source) d->activeHead = source->activeNext;
    if (source->activeNext) source->activeNext->activePrev = source->activePrev;
    else if (d->activeTail == source) d->activeTail = source->activePrev;
    source->activePrev = source->activeNext = nullptr;
}

int mvDestinationPullImpl(MvSink *sink, MvPullRecord *record, float gainStart, float gainEnd,
                          double frequencyStart, double frequencyEnd, int frames, float *buffer) {
    MvSource *source = record->destination->activeHead;
    while (source)
        source = source->renderFunc(sink, source->owner->self, gainStart, gainEnd, frequencyStart,
                                    frequencyEnd, frames, buffer);
    return MV_OK;
}

void mvAdvanceMachineRamps(MvMachine *machine, int frames, float *gainStart, float *gainEnd,
                           double *frequencyStart, double *frequencyEnd) {
    float ownGainStart, ownGainEnd;
    double ownFrequencyStart, ownFrequencyEnd;
    mv::advanceRamps(machine, frames, machine->sink->sampleRate, &ownGainStart, &ownGainEnd,
                     &ownFrequencyStart, &ownFrequencyEnd);
    *gainStart *= ownGainStart;
    *gainEnd *= ownGainEnd;
    *frequencyStart *= ownFrequencyStart;
    *frequencyEnd *= ownFrequencyEnd;
}

void mvDeferredFree(MvSink *, void *pointer) { mvFree(pointer); }

void mvDestinationChangeFunc(MvSink *sink, MvPullRecord *record) {
    MvDestination *destination = record->destination;
    MvPullRecord *old = destination->audioPull;
    destination->audioPull = record;
    if (old) mvSendDownMessage(sink, old->freeFunc, old);
}

int mvResetDestinationFunc(MvMachine *machine) {
    if (!machine) return MV_ERROR_NULL_POINTER;
    if (!machine->destination) return MV_ERROR_NOT_DESTINATION;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    MvDestination *destination = machine->destination;
    return mv::lockedPost(machine->sink, [&] {
        if (destination->pull && destination->pull->pullFunc == mvDestinationPullImpl)
            return mv::postNothing();
        MvPullRecord *record = mv::newDefaultPullRecord(destination);
        if (!record) return mv::postFailure(MV_ERROR_NO_MEMORY);
        destination->pull = record;
        return mv::postMessage(mv::changeMessage(), record);
    });
}

int mvDeleteMachine(MvMachine *machine) {
    if (!machine) return MV_ERROR_NULL_POINTER;
    return machine->deleteFunc(machine);
}

int mvSetGain(MvMachine *machine, double seconds, float gain) {
    if (!machine) return MV_ERROR_NULL_POINTER;
    if (!std::isfinite(gain) || std::isnan(seconds)) return MV_ERROR_GAIN;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    return postChange<GainChange>(machine, seconds, gain, setGainMessage, rampGainMessage,
                                  askedTime);
}

int mvSetFrequency(MvMachine *machine, double seconds, double frequency) {
    if (!machine) return MV_ERROR_NULL_POINTER;
    if (!std::isfinite(frequency) || frequency < 0 || std::isnan(seconds))
        return MV_ERROR_FREQUENCY;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    return postChange<FrequencyChange>(
        machine, seconds, frequency, setFrequencyMessage, rampFrequencyMessage,
        [machine](double asked) { return mv::frequencyRampSeconds(machine, asked); });
}

} // extern "C"
