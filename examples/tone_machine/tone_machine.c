/*
 * The tone machine: everything a host machine does, in the order the engine
 * expects it. Construction and deletion run on the host's thread under the
 * dispatcher lock; the render runs on the sink's audio thread and touches
 * only the tone's audio-side fields.
 */
#include "tone_machine.h"

#include <math.h>

static const double kTwoPi = 6.283185307179586;

/* Audio thread: adds frames of the sine into the mix, interpolating gain and
 * frequency factor across the block. */
static MvSource *toneRender(MvSink *sink, void *self, float gainStart, float gainEnd,
                            double frequencyStart, double frequencyEnd, int frames, float *buffer) {
    ToneMachine *tone = (ToneMachine *)self;
    MvSoundModel *model = sink->soundModel;
    double step = tone->hertz / sink->sampleRate;
    int i;
    mvAdvanceMachineRamps(&tone->machine, frames, &gainStart, &gainEnd, &frequencyStart,
                          &frequencyEnd);
    for (i = 0; i < frames; ++i) {
        float along = (float)i / (float)frames;
        float gain = gainStart + (gainEnd - gainStart) * along;
        double factor = frequencyStart + (frequencyEnd - frequencyStart) * along;
        float sample = tone->amplitude * (float)sin(kTwoPi * tone->phase);
        model->mixFrame(model, gain, 1, NULL, &sample, buffer + i * model->channelCount);
        tone->phase += step * factor;
        tone->phase -= floor(tone->phase);
    }
    return tone->source.activeNext;
}

/* Control side: the final release, after the audio thread let go (or while
 * the sink is torn down with everything below it). */
static void toneRelease(MvSink *sink, void *self) {
    ToneMachine *tone = (ToneMachine *)self;
    (void)sink;
    mvUninitSource(&tone->source);
    mvUninitMachine(&tone->machine);
    mvFree(tone);
}

/* Audio thread: leave the active list, then hand the tone back. */
static void toneDetach(MvSink *sink, void *self) {
    ToneMachine *tone = (ToneMachine *)self;
    mvSourceDeactivate(sink, &tone->source);
    mvSendDownMessage(sink, toneRelease, tone);
}

int toneNew(ToneMachine **out, MvMachine *parent, double hertz, float amplitude) {
    ToneMachine *tone;
    int status;
    if (!out || !parent) return MV_ERROR_NULL_POINTER;
    if (!parent->destination) return MV_ERROR_NOT_DESTINATION;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    tone = (ToneMachine *)mvMalloc(sizeof *tone);
    if (!tone) return MV_ERROR_NO_MEMORY;
    mvInitMachine(&tone->machine, tone, NULL, &tone->source, parent->sink, toneDelete);
    mvInitSource(&tone->source, &tone->machine, parent->destination, toneRender, toneRelease);
    tone->hertz = hertz;
    tone->amplitude = amplitude;
    tone->phase = 0.0;
    *out = tone;
    status = mvDispatcher->lock();
    if (status) {
        mvFree(tone);
        *out = NULL;
        return status;
    }
    mvSourceConnect(&tone->source);
    /* The render starts when the audio thread runs this message. */
    return mvDispatcher->post(tone->machine.sink, (MvMessageFunc)mvSourceActivate, &tone->source);
}

int toneDelete(MvMachine *machine) {
    int status;
    if (!machine) return MV_ERROR_NULL_POINTER;
    if (machine->deleteFunc != toneDelete) return MV_ERROR_MACHINE_TYPE;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    status = mvDispatcher->lock();
    if (status) return status;
    mvSourceDisconnect(machine->source);
    return mvDispatcher->post(machine->sink, toneDetach, machine->self);
}
