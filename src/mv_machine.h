// Machine framework internals shared by the node types (sink, mixer, sampler,
// signal-processor machine). Internal.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"

namespace mv {

// Advances a machine's own gain and frequency ramps over one block of
// `frames` frames at `rate` frames per second and stores the block's start
// and end values. Audio thread.
void advanceRamps(MvMachine *machine, int frames, int rate, float *gainStart, float *gainEnd,
                  double *frequencyStart, double *frequencyEnd) MV_AUDIO_THREAD;

// Nodes with a head of their own multiply their block values into the ones
// received from above with the exported mvAdvanceMachineRamps.

// Up-message callbacks with the message shape, for post(). Called through
// their own type: a call through a cast function pointer is undefined.
inline void activateCallback(MvSink *sink, void *source) {
    mvSourceActivate(sink, static_cast<MvSource *>(source));
}
inline void changeCallback(MvSink *sink, void *record) {
    mvDestinationChangeFunc(sink, static_cast<MvPullRecord *>(record));
}
inline MvMessageFunc activateMessage() { return activateCallback; }
inline MvMessageFunc changeMessage() { return changeCallback; }

// Allocates a default pull record for `destination` (null when out of memory).
MvPullRecord *newDefaultPullRecord(MvDestination *destination);

// Connects a freshly initialised child under the lock; a node that plays at
// once is then activated by an up-message (post), otherwise the lock is
// released. Returns the dispatcher's status.
int connectChild(MvSource *source, bool activateNow);

// Under the lock: marks a node whose removal starts now, so that a second
// delete (or any typed call) before its release fails with -86 instead of
// releasing it twice. False when it was already claimed.
bool claimForDeletion(MvMachine *machine);

// Removes a node: disconnects it under the lock and posts the audio-side
// detach, which deactivates the source and hands the node back to the
// control side, where the source's releaseFunc frees it. -86 for a node
// already being removed.
int detachNode(MvSource *source);

// Calls prepareFunc of the destination's pull record and then, depth first,
// of every destination connected below it.
void preparePullRecords(MvDestination *destination);

// Control side, under the lock: the time a frequency change asked for at
// `seconds` takes on this machine. A jump (0) on a sampler with a transition
// fade ramps over the fade time; other machines keep the time asked for.
// Defined by the sampler, the one node type that changes it.
double frequencyRampSeconds(MvMachine *machine, double seconds);

} // namespace mv
