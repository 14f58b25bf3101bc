// The band-limited resampler: filter tables (built once on the control
// side), the ring that gathers frames across clip joins, and the plain
// reference frame. The vector run (mv_sampler_bandlimited_run.cpp) adds
// the same products in the same order (eight running sums, folded in
// halves), so they give the same bits.
#include "mv_sampler_bandlimited.h"

#include "mv_sampler_bandlimited_filter.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace mv {

namespace {

// ---- the filter -----------------------------------------------------------

// The prototype: 16 taps, -6 dB at 0.465 of the clip's rate, Kaiser beta
// 9.75. Within 0.1 dB to 0.33 of the rate, below -95 dB from 0.66: at
// 44.1 kHz flat to 14.5 kHz, images of everything below 15.4 kHz land
// under -95 dB.
constexpr int kBaseTaps = 16;
constexpr double kCutoff = 0.465;
constexpr double kKaiserBeta = 9.75;
// The prototype's stopband edge over the Nyquist fraction: above a step of
// 1 the filter narrows by the step times this, so the stopband starts at
// the output's Nyquist.
constexpr double kDecimationStretch = 0.66 / 0.5;
// Stretches 2^(b/8), b = 0 .. 16: up to four times the prototype's length.
constexpr int kBanks = 17;
constexpr int kBanksPerOctave = 8;
constexpr int kPhases = kBandlimitedPhases;
constexpr int kLanes = kBandlimitedLanes;
constexpr int kMaxTaps = kBandlimitedMaxTaps;

double bankStretch(int bank) { return std::exp2(double(bank) / kBanksPerOctave); }

// Taps per bank: the prototype's length times the stretch, rounded up to
// whole vectors (the extra taps lengthen the window, so they are not lost).
constexpr int kBankTaps[kBanks] = {16, 24, 24, 24, 24, 32, 32, 32, 32,
                                   40, 40, 48, 48, 56, 56, 64, 64};

// Every bank's phases: per phase and per group of eight taps, eight
// coefficients and then their change towards the next phase.
constexpr int kTableFloats = [] {
    int total = 0;
    for (int taps : kBankTaps) total += 2 * taps * kPhases;
    return total;
}();

using Bank = BandlimitedBank;

// Aligned so that no row's vector loads straddle a cache line.
alignas(64) float gTable[kTableFloats];
Bank gBanks[kBanks];
std::once_flag gBuilt;

double kaiser(double x, double half) {
    const double r = x / half;
    if (r <= -1.0 || r >= 1.0) return 0.0;
    return std::cyl_bessel_i(0.0, kKaiserBeta * std::sqrt(1.0 - r * r)) /
           std::cyl_bessel_i(0.0, kKaiserBeta);
}

double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); }

// The coefficients of one phase, tap t at t - taps/2 + 1 - phase frames
// from the position, summing to 1 so a constant passes unchanged.
void phaseCoefficients(int taps, double stretch, double phase, double *out) {
    const double cutoff = kCutoff / stretch;
    double sum = 0.0;
    for (int t = 0; t < taps; ++t) {
        const double d = t - taps / 2 + 1 - phase;
        out[t] = 2.0 * cutoff * sinc(2.0 * cutoff * d) * kaiser(d, taps / 2.0);
        sum += out[t];
    }
    for (int t = 0; t < taps; ++t) out[t] /= sum;
}

void buildTables() {
    float *at = gTable;
    for (int b = 0; b < kBanks; ++b) {
        Bank &bank = gBanks[b];
        bank.taps = kBankTaps[b];
        bank.stretch = float(bankStretch(b));
        bank.phases = at;
        double here[kMaxTaps], next[kMaxTaps];
        phaseCoefficients(bank.taps, bankStretch(b), 0.0, next);
        for (int p = 0; p < kPhases; ++p) {
            std::copy(next, next + bank.taps, here);
            phaseCoefficients(bank.taps, bankStretch(b), double(p + 1) / kPhases, next);
            for (int g = 0; g < bank.taps; g += kLanes)
                for (int l = 0; l < kLanes; ++l) {
                    at[2 * g + l] = float(here[g + l]);
                    at[2 * g + kLanes + l] = float(next[g + l]) - float(here[g + l]);
                }
            at += 2 * bank.taps;
        }
    }
}

// The bank for a step: the prototype up to a step of 1, then the first
// bank at least as narrow as the step asks for (the last one beyond).
const Bank &bankFor(double step) {
    if (!(step > 1.0)) return gBanks[0];
    const float wanted = float(step * kDecimationStretch);
    int b = 1;
    while (b < kBanks - 1 && gBanks[b].stretch < wanted) ++b;
    return gBanks[b];
}

// ---- the ring ---------------------------------------------------------------

void storeFrame(BandlimitedState *state, const float *frame) {
    const uint32_t slot = state->pushed % kBandlimitedRingFrames;
    for (int c = 0; c < state->channels; ++c)
        state->ring[c][slot] = state->ring[c][slot + kBandlimitedRingFrames] = frame[c];
    ++state->pushed;
}

void storeClipFrame(BandlimitedState *state, const MvClip *clip, int index) {
    float frame[kMaxMatrixSourceChannels];
    const int count = std::min(state->channels, int(clip->channels));
    readFrame(clip, index, count, frame);
    std::fill(frame + count, frame + state->channels, 0.0f);
    storeFrame(state, frame);
}

void storeSilence(BandlimitedState *state) {
    const float frame[kMaxMatrixSourceChannels] = {};
    storeFrame(state, frame);
}

// Where the loop start lands, found as the wrap finds it (a start beyond
// the queue lands on the head); `leaving` is skipped when it leaves the
// queue at its end.
BandlimitedJoin loopLanding(const MvSampler *sampler, const MvClip *leaving) {
    double start = sampler->audioLoopStart;
    for (const MvClip *clip = sampler->head; clip && start > 0.0; clip = clip->next) {
        if (clip == leaving && leaving->removeWhenDone) continue;
        const double offset = start * clip->sampleRate;
        if (clip->frames > offset) return {clip, int(offset), clip->frames};
        start -= clip->frames / clip->sampleRate;
    }
    const MvClip *head =
        sampler->head == leaving && leaving->removeWhenDone ? leaving->next : sampler->head;
    return {head, 0, head ? head->frames : 0};
}

// The frame after the last one of `clip` as playback will reach it: the
// next clip, or with looping the loop start, unless the queue ends there.
BandlimitedJoin followerOf(const MvSampler *sampler, const MvClip *clip) {
    if (clip->next) return {clip->next, 0, clip->next->frames};
    if (!sampler->audioLooping || !sampler->head) return {nullptr, 0, 0};
    if (sampler->head == clip && clip->removeWhenDone) return {nullptr, 0, 0};
    return loopLanding(sampler, clip);
}

void gatherAhead(BandlimitedState *state, const MvSampler *sampler) {
    const MvClip *clip = state->aheadClip;
    if (!clip) {
        storeSilence(state);
        return;
    }
    storeClipFrame(state, clip, state->aheadIndex);
    if (++state->aheadIndex < clip->frames) return;
    const BandlimitedJoin join = followerOf(sampler, clip);
    state->joins[(state->firstJoin + state->joinCount) % (kBandlimitedHalfWindow + 1)] = join;
    ++state->joinCount;
    state->aheadClip = join.clip;
    state->aheadIndex = join.index;
}

// Moves the centre on by one frame along the path the gathering took.
void stepCenter(BandlimitedState *state, const MvSampler *sampler) {
    if (++state->centerIndex >= state->centerFrames) {
        if (state->joinCount == 0) {
            state->centerClip = nullptr;
        } else {
            const BandlimitedJoin &join = state->joins[state->firstJoin];
            state->firstJoin = (state->firstJoin + 1) % (kBandlimitedHalfWindow + 1);
            --state->joinCount;
            state->centerClip = join.clip;
            state->centerIndex = join.index;
            state->centerFrames = join.frames;
            state->centerEntered = join.index;
        }
    }
    gatherAhead(state, sampler);
}

// Refills the ring around frame `index` of `clip`: the frames before it
// from the clip itself (silence before its start), the rest gathered.
void refill(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip, int index,
            int channels) {
    state->channels = channels;
    state->pushed = 0;
    state->firstJoin = state->joinCount = 0;
    for (int n = index - (kBandlimitedHalfWindow - 1); n < index; ++n)
        if (n < 0) storeSilence(state);
        else storeClipFrame(state, clip, n);
    state->aheadClip = clip;
    state->aheadIndex = index;
    for (int n = 0; n <= kBandlimitedHalfWindow; ++n) gatherAhead(state, sampler);
    state->centerClip = clip;
    state->centerIndex = index;
    state->centerFrames = clip->frames;
    state->centerEntered = std::max(0, index - (kBandlimitedHalfWindow - 1));
}

// Brings the centre to frame `index` of `clip`: by moving on when it lies
// a little ahead on the same path, else by refilling.
void centerOn(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip, int index,
              int channels) {
    if (state->centerClip == clip && state->centerIndex == index && state->channels == channels)
        return;
    if (state->channels == channels && state->centerClip &&
        !(state->centerClip == clip && state->centerIndex > index)) {
        for (int n = 0; n < kBandlimitedRingFrames && state->centerClip; ++n) {
            stepCenter(state, sampler);
            if (state->centerClip == clip && state->centerIndex == index) return;
        }
    }
    refill(state, sampler, clip, index, channels);
}

// ---- the dot product ----------------------------------------------------------

// Plain: eight running sums as the vector lanes keep them, each starting
// from its first product, folded in halves.
float plainDot(const float *row, float toNext, const float *x, int taps) {
    float lanes[kLanes];
    for (int g = 0; g < taps; g += kLanes)
        for (int l = 0; l < kLanes; ++l) {
            const float coefficient = row[2 * g + l] + toNext * row[2 * g + kLanes + l];
            const float product = coefficient * x[g + l];
            lanes[l] = g == 0 ? product : lanes[l] + product;
        }
    float quarter[4];
    for (int l = 0; l < 4; ++l) quarter[l] = lanes[l] + lanes[l + 4];
    const float low = quarter[0] + quarter[2];
    const float high = quarter[1] + quarter[3];
    return low + high;
}

} // namespace

void buildBandlimitedTables() { std::call_once(gBuilt, buildTables); }

const BandlimitedBank &bandlimitedBankFor(double step) { return bankFor(step); }

void bandlimitedCenterOn(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip,
                         int index, int channels) {
    centerOn(state, sampler, clip, index, channels);
}

void bandlimitedReset(BandlimitedState *state) {
    state->channels = 0;
    state->centerClip = nullptr;
    state->aheadClip = nullptr;
    state->joinCount = 0;
}

void bandlimitedForget(BandlimitedState *state, const MvClip *clip) {
    if (state->aheadClip == clip) state->aheadClip = nullptr;
}

void bandlimitedFrame(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip,
                      double position, double step, int channels, int count, float *out) {
    const int index = int(position);
    const Bank &bank = bankFor(step);
    float toNext;
    const float *row = bandlimitedPhaseRow(bank, position, index, &toNext);
    if (state->channels == channels && bandlimitedWindowInside(state, clip, index, bank.taps)) {
        float window[kMaxMatrixSourceChannels][kMaxTaps];
        float frame[kMaxMatrixSourceChannels];
        for (int t = 0; t < bank.taps; ++t) {
            readFrame(clip, index - bank.taps / 2 + 1 + t, count, frame);
            for (int c = 0; c < count; ++c) window[c][t] = frame[c];
        }
        for (int c = 0; c < count; ++c) out[c] = plainDot(row, toNext, window[c], bank.taps);
        return;
    }
    centerOn(state, sampler, clip, index, channels);
    const int start = bandlimitedWindowStart(state, bank.taps);
    for (int c = 0; c < count; ++c)
        out[c] = plainDot(row, toNext, state->ring[c] + start, bank.taps);
}

} // namespace mv
