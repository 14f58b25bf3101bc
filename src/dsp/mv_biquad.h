// Second-order recursive filters: the eight coefficient designs and the
// in-place direct-form-I block filter that signal-processor programs run
// through the biquad interrupt services.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"

namespace mv {

void biquadReset(MvBiquad *filter);
// Filters count floats in place, step floats apart; count <= 0 only
// rewrites the state (rounded to float, subnormals flushed).
void biquadProcess(MvBiquad *filter, float *samples, int count, int step) MV_AUDIO_THREAD;

// Designs overwrite the five coefficients and leave the state alone, so a
// running filter can be swept. Frequencies in hertz.
void biquadLowpass(MvBiquad *filter, float frequency, float resonanceDb);
void biquadHighpass(MvBiquad *filter, float frequency, float resonanceDb);
void biquadBandpass(MvBiquad *filter, float frequency, float q);
void biquadNotch(MvBiquad *filter, float frequency, float q);
void biquadAllpass(MvBiquad *filter, float frequency, float q);
void biquadPeaking(MvBiquad *filter, float frequency, float q, float gainDb);
void biquadLowShelf(MvBiquad *filter, float frequency, float slope, float gainDb);
void biquadHighShelf(MvBiquad *filter, float frequency, float slope, float gainDb);

} // namespace mv
