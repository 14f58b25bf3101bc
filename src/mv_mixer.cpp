// Mixer: groups sources under one gain and one rate. It owns no buffer and
// touches no sample: it advances its own ramps and pulls its children into
// its parent's mix with its factors multiplied into the ones it received.
#include "mv_control.h"
#include "mv_machine.h"

using namespace mv;

namespace mv {
namespace {

MvSource *mixerRender(MvSink *sink, void *self, float gainStart, float gainEnd,
                      double frequencyStart, double frequencyEnd, int frames, float *buffer) {
    auto *mixer = static_cast<MvMixer *>(self);
    float ownGainStart, ownGainEnd;
    double ownFrequencyStart, ownFrequencyEnd;
    advanceRamps(&mixer->machine, frames, sink->sampleRate, &ownGainStart, &ownGainEnd,
                 &ownFrequencyStart, &ownFrequencyEnd);
    MvPullRecord *record = mixer->destination.audioPull;
    record->pullFunc(sink, record, ownGainStart * gainStart, ownGainEnd * gainEnd,
                     frequencyStart * ownFrequencyStart, frequencyEnd * ownFrequencyEnd, frames,
                     buffer);
    return mixer->source.activeNext;
}

// Final release on the control side: the children first, through their own
// release callbacks, then the mixer itself.
void releaseMixer(MvSink *, void *self) {
    auto *mixer = static_cast<MvMixer *>(self);
    mvUninitDestination(&mixer->destination);
    mvUninitSource(&mixer->source);
    mvUninitMachine(&mixer->machine);
    mvFree(mixer);
}

} // namespace
} // namespace mv

int mvNewMixer(MvMixer **out, MvMachine *parent) {
    if (!out || !parent) return MV_ERROR_NULL_POINTER;
    if (!parent->destination) return MV_ERROR_NOT_DESTINATION;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    auto *mixer = static_cast<MvMixer *>(mvMalloc(sizeof(MvMixer)));
    if (!mixer) return MV_ERROR_NO_MEMORY;
    mvInitMachine(&mixer->machine, mixer, &mixer->destination, &mixer->source, parent->sink,
                  mvDeleteMixer);
    mvInitSource(&mixer->source, &mixer->machine, parent->destination, mixerRender, releaseMixer);
    if (mvInitDestination(&mixer->destination, &mixer->machine) != MV_OK) {
        mvUninitSource(&mixer->source);
        mvUninitMachine(&mixer->machine);
        mvFree(mixer);
        return MV_ERROR_NO_MEMORY;
    }
    bool connected = false;
    const int status = lockedPost(mixer->machine.sink, [&] {
        connected = true;
        *out = mixer;
        mvSourceConnect(&mixer->source);
        return postMessage(activateMessage(), &mixer->source);
    });
    if (!connected) releaseMixer(parent->sink, mixer); // the lock failed: nobody saw it
    return status;
}

int mvDeleteMixer(MvMachine *mixer) {
    if (!mixer) return MV_ERROR_NULL_POINTER;
    if (mixer->deleteFunc != mvDeleteMixer) return MV_ERROR_MACHINE_TYPE;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    return detachNode(mixer->source);
}
