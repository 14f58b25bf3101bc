/*
 * A sine source written against marovel_audio's public header only: an
 * example of a host-written machine. It has a machine head (so mvSetGain and
 * mvSetFrequency work on it) and a source facet, and no destination.
 */
#ifndef TONE_MACHINE_H
#define TONE_MACHINE_H

#include "marovel_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ToneMachine {
    MvMachine machine;
    MvSource source;
    double hertz;    /* pitch at frequency factor 1 */
    float amplitude; /* peak level at gain 1 */
    double phase;    /* position in the current cycle, 0..1; audio thread */
} ToneMachine;

/* toneNew: a tone under the destination of parent (a sink or a mixer),
 * playing at once. 0, -93 null out or parent, -87 parent without a
 * destination, -1 out of memory, or a dispatcher status. */
int toneNew(ToneMachine **out, MvMachine *parent, double hertz, float amplitude);

/* toneDelete: detaches the tone; it is freed on the control side once the
 * audio thread has let go of it. Also reached through mvDeleteMachine. */
int toneDelete(MvMachine *tone);

#ifdef __cplusplus
}
#endif

#endif
