/*
 * mv_tone: plays a sine on the default output device.
 *
 *     mv_tone [hertz [seconds]]      (defaults: 440 Hz for 3 seconds)
 *
 * A thread-safe dispatcher does the housekeeping while this thread sleeps.
 */
#include "tone_machine.h"

#include <float.h>
#include <stdio.h>
#include <stdlib.h>

enum { kBufferFrames = 512, kRequestedRate = 48000, kFadeMilliseconds = 50 };
/* A day: the milliseconds mvSleep takes still fit an int. */
static const double kLongestSeconds = 86400.0;

static int fail(const char *what, int status) {
    fprintf(stderr, "mv_tone: %s: %s\n", what, mvGetErrorString(status));
    return 1;
}

/* The whole argument as a finite number in (0, most]; 0 when it is none. */
static double positiveNumber(const char *text, double most) {
    char *end;
    const double value = strtod(text, &end);
    return end != text && *end == '\0' && value > 0 && value <= most ? value : 0;
}

int main(int argc, char **argv) {
    const double hertz = argc > 1 ? positiveNumber(argv[1], DBL_MAX) : 440.0;
    const double seconds = argc > 2 ? positiveNumber(argv[2], kLongestSeconds) : 3.0;
    MvDispatcher *dispatcher;
    MvSoundModel *model;
    MvSink *sink;
    ToneMachine *tone;
    int status;

    if (argc > 3 || hertz == 0 || seconds == 0) {
        fprintf(stderr,
                "usage: mv_tone [hertz [seconds]]: hertz a positive number, seconds "
                "a positive number up to %.0f (defaults 440 and 3)\n",
                kLongestSeconds);
        return 2;
    }
    if ((status = mvNewThreadSafeDispatcher(&dispatcher))) return fail("dispatcher", status);
    if ((status = mvInitialize(dispatcher))) return fail("initialize", status);
    if ((status = mvNewStereoSoundModel(&model))) return fail("sound model", status);
    if ((status = mvNewSink(&sink, model, kBufferFrames))) return fail("sink", status);
    if ((status = mvOpenSink(sink, -1, kRequestedRate))) return fail("open", status);
    if ((status = toneNew(&tone, &sink->base, hertz, 0.5f))) return fail("tone", status);

    printf("%.1f Hz for %.1f s on %s (backend %s), %d Hz, %d speakers, sink error %d\n", hertz,
           seconds, mvGetDeviceName(-1), mvGetBackendName(mvGetDeviceBackend(-1)),
           mvGetSampleRate(&sink->base), mvGetSpeakerCount(&sink->base),
           mvGetSinkError(&sink->base));

    /* Fade in and out with gain ramps instead of clicking. */
    mvSetGain(&tone->machine, 0.0, 0.0f);
    mvSetGain(&tone->machine, kFadeMilliseconds / 1000.0, 1.0f);
    mvSleep((int)(seconds * 1000) - kFadeMilliseconds);
    mvSetGain(&tone->machine, kFadeMilliseconds / 1000.0, 0.0f);
    mvSleep(2 * kFadeMilliseconds);

    mvDeleteMachine(&tone->machine);
    if ((status = mvUninitialize())) return fail("uninitialize", status);
    return 0;
}
