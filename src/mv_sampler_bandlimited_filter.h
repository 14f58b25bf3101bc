// The parts of the band-limited resampler its reference frame and its
// vector run share: the filter banks, the phase arithmetic and the ring's
// window. Both compute every value through these, so they agree bit for
// bit. Internal.
#pragma once

#include "mv_audio_thread.h"
#include "mv_sampler_bandlimited.h"

#include <cstddef>

namespace mv {

// Running sums per dot product, as one vector holds them.
constexpr int kBandlimitedLanes = 8;
// Phases per frame; coefficients are interpolated linearly between them.
constexpr int kBandlimitedPhases = 256;
constexpr int kBandlimitedMaxTaps = 64;
static_assert(kBandlimitedMaxTaps <= kBandlimitedRingFrames);

struct BandlimitedBank {
    int taps;
    float stretch; // the cutoff is the prototype's divided by this
    // kBandlimitedPhases rows of 2 * taps floats: per group of eight taps,
    // eight coefficients and then their change towards the next phase.
    const float *phases;
};

// The bank for a step (clip frames per output frame).
const BandlimitedBank &bandlimitedBankFor(double step) MV_AUDIO_THREAD;

// The phase row of `position` (frame `index` its integer part) and the
// fraction of the way to the next row.
inline const float *bandlimitedPhaseRow(const BandlimitedBank &bank, double position, int index,
                                        float *toNext) MV_AUDIO_THREAD {
    // position - index is below 1, so the row is below the phase count.
    const double phase = (position - index) * kBandlimitedPhases;
    const int row = int(phase);
    *toNext = float(phase - row);
    return bank.phases + size_t(row) * 2 * bank.taps;
}

// Whether the window of `taps` frames around frame `index` lies inside the
// frames of `clip` the ring went through: then the clip holds exactly what
// the ring would, and is read directly.
inline bool bandlimitedWindowInside(const BandlimitedState *state, const MvClip *clip, int index,
                                    int taps) MV_AUDIO_THREAD {
    return state->centerClip == clip && index - taps / 2 + 1 >= state->centerEntered &&
           index + taps / 2 < clip->frames;
}

// Brings the ring's centre to frame `index` of `clip`, gathering
// `channels` per frame.
void bandlimitedCenterOn(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip,
                         int index, int channels) MV_AUDIO_THREAD;

// The first ring slot of a window of `taps` frames centred on the centre.
inline int bandlimitedWindowStart(const BandlimitedState *state, int taps) MV_AUDIO_THREAD {
    return int((state->pushed - kBandlimitedHalfWindow - taps / 2) % kBandlimitedRingFrames);
}

} // namespace mv
