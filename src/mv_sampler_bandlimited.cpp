// The band-limited resampler: filter tables (built once on the control
// side), the ring that gathers frames across clip joins, and the dot
// product, plain and with AVX where the processor has it. Both dot
// products add the same products in the same order (eight running sums,
// folded in halves), so they give the same bits.
#include "mv_sampler_bandlimited.h"

#include "mv_cpu.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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
// Phases per frame; coefficients are interpolated linearly between them.
constexpr int kPhases = 256;
constexpr int kLanes = 8;
constexpr int kMaxTaps = 64;
static_assert(kMaxTaps <= kBandlimitedRingFrames);

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

struct Bank {
    int taps;
    float stretch;       // the cutoff is the prototype's divided by this
    const float *phases; // kPhases rows of 2 * taps floats
};

float gTable[kTableFloats];
Bank gBanks[kBanks];
std::once_flag gBuilt;

double kaiser(double x, double half)
{
    const double r = x / half;
    if (r <= -1.0 || r >= 1.0) return 0.0;
    return std::cyl_bessel_i(0.0, kKaiserBeta * std::sqrt(1.0 - r * r)) /
           std::cyl_bessel_i(0.0, kKaiserBeta);
}

double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); }

// The coefficients of one phase, tap t at t - taps/2 + 1 - phase frames
// from the position, summing to 1 so a constant passes unchanged.
void phaseCoefficients(int taps, double stretch, double phase, double *out)
{
    const double cutoff = kCutoff / stretch;
    double sum = 0.0;
    for (int t = 0; t < taps; ++t) {
        const double d = t - taps / 2 + 1 - phase;
        out[t] = 2.0 * cutoff * sinc(2.0 * cutoff * d) * kaiser(d, taps / 2.0);
        sum += out[t];
    }
    for (int t = 0; t < taps; ++t)
        out[t] /= sum;
}

void buildTables()
{
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
const Bank &bankFor(double step)
{
    if (!(step > 1.0)) return gBanks[0];
    const float wanted = float(step * kDecimationStretch);
    int b = 1;
    while (b < kBanks - 1 && gBanks[b].stretch < wanted)
        ++b;
    return gBanks[b];
}

// ---- the ring ---------------------------------------------------------------

void storeFrame(BandlimitedState *state, const float *frame)
{
    const uint32_t slot = state->pushed % kBandlimitedRingFrames;
    for (int c = 0; c < state->channels; ++c)
        state->ring[c][slot] = state->ring[c][slot + kBandlimitedRingFrames] = frame[c];
    ++state->pushed;
}

void storeClipFrame(BandlimitedState *state, const MvClip *clip, int index)
{
    float frame[kMaxMatrixSourceChannels];
    const int count = std::min(state->channels, int(clip->channels));
    readFrame(clip, index, count, frame);
    std::fill(frame + count, frame + state->channels, 0.0f);
    storeFrame(state, frame);
}

void storeSilence(BandlimitedState *state)
{
    const float frame[kMaxMatrixSourceChannels] = {};
    storeFrame(state, frame);
}

// Where the loop start lands, found as the wrap finds it (a start beyond
// the queue lands on the head); `leaving` is skipped when it leaves the
// queue at its end.
BandlimitedJoin loopLanding(const MvSampler *sampler, const MvClip *leaving)
{
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
BandlimitedJoin followerOf(const MvSampler *sampler, const MvClip *clip)
{
    if (clip->next) return {clip->next, 0, clip->next->frames};
    if (!sampler->audioLooping || !sampler->head) return {nullptr, 0, 0};
    if (sampler->head == clip && clip->removeWhenDone) return {nullptr, 0, 0};
    return loopLanding(sampler, clip);
}

void gatherAhead(BandlimitedState *state, const MvSampler *sampler)
{
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
void stepCenter(BandlimitedState *state, const MvSampler *sampler)
{
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
            int channels)
{
    state->channels = channels;
    state->pushed = 0;
    state->firstJoin = state->joinCount = 0;
    for (int n = index - (kBandlimitedHalfWindow - 1); n < index; ++n)
        if (n < 0)
            storeSilence(state);
        else
            storeClipFrame(state, clip, n);
    state->aheadClip = clip;
    state->aheadIndex = index;
    for (int n = 0; n <= kBandlimitedHalfWindow; ++n)
        gatherAhead(state, sampler);
    state->centerClip = clip;
    state->centerIndex = index;
    state->centerFrames = clip->frames;
    state->centerEntered = std::max(0, index - (kBandlimitedHalfWindow - 1));
}

// Brings the centre to frame `index` of `clip`: by moving on when it lies
// a little ahead on the same path, else by refilling.
void centerOn(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip, int index,
              int channels)
{
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

// Whether the window of `taps` frames around frame `index` lies inside the
// frames of `clip` the ring went through: then the clip holds exactly what
// the ring would, and is read directly.
bool windowInside(const BandlimitedState *state, const MvClip *clip, int index, int taps)
{
    return state->centerClip == clip && index - taps / 2 + 1 >= state->centerEntered &&
           index + taps / 2 < clip->frames;
}

// The first ring slot of a window of `taps` frames centred on the centre.
int windowStart(const BandlimitedState *state, int taps)
{
    return int((state->pushed - kBandlimitedHalfWindow - taps / 2) % kBandlimitedRingFrames);
}

// ---- the dot product ----------------------------------------------------------

// The phase row and the fraction of the way to the next one.
const float *phaseRow(const Bank &bank, double position, int index, float *toNext)
{
    // position - index is below 1, so the row is below kPhases.
    const double phase = (position - index) * kPhases;
    const int row = int(phase);
    *toNext = float(phase - row);
    return bank.phases + size_t(row) * 2 * bank.taps;
}

// Plain: eight running sums as the vector lanes keep them, folded in halves.
float plainDot(const float *row, float toNext, const float *x, int taps)
{
    float lanes[kLanes] = {};
    for (int g = 0; g < taps; g += kLanes)
        for (int l = 0; l < kLanes; ++l) {
            const float coefficient = row[2 * g + l] + toNext * row[2 * g + kLanes + l];
            lanes[l] += coefficient * x[g + l];
        }
    float quarter[4];
    for (int l = 0; l < 4; ++l)
        quarter[l] = lanes[l] + lanes[l + 4];
    const float low = quarter[0] + quarter[2];
    const float high = quarter[1] + quarter[3];
    return low + high;
}

#if defined(__x86_64__) || defined(__i386__)
MV_TARGET_AVX float foldLanes(__m256 sums)
{
    const __m128 quarter = _mm_add_ps(_mm256_castps256_ps128(sums), _mm256_extractf128_ps(sums, 1));
    const __m128 halves = _mm_add_ps(quarter, _mm_movehl_ps(quarter, quarter));
    return _mm_cvtss_f32(_mm_add_ss(halves, _mm_shuffle_ps(halves, halves, 1)));
}
#endif

#if defined(__x86_64__) || defined(__i386__)

constexpr float kInt16Scale = 3.0517578125e-05f; // 2^-15, as Int16Sample::toFloat

// Eight samples of channel `channel` from eight frames of the clip, from
// frame `first` on: int16 mono and stereo clips with vector loads, every
// other one sample by sample; the values Sample::toFloat gives.
template <typename Sample>
MV_TARGET_AVX2 __m256 clipLanes(const MvClip *clip, int first, int channel)
{
    const auto *data = static_cast<const uint8_t *>(clip->data);
    if constexpr (std::is_same_v<Sample, Int16Sample>) {
        const auto *samples =
            reinterpret_cast<const int16_t *>(data) + size_t(first) * clip->channels;
        if (clip->channels == 1) {
            const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i *>(samples));
            return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(words)),
                                 _mm256_set1_ps(kInt16Scale));
        }
        if (clip->channels == 2) {
            const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(samples));
            const __m256i value = channel ? _mm256_srai_epi32(pairs, 16)
                                          : _mm256_srai_epi32(_mm256_slli_epi32(pairs, 16), 16);
            return _mm256_mul_ps(_mm256_cvtepi32_ps(value), _mm256_set1_ps(kInt16Scale));
        }
    }
    if constexpr (std::is_same_v<Sample, Float32Sample>)
        if (clip->channels == 1)
            return _mm256_loadu_ps(reinterpret_cast<const float *>(data) + first);
    const size_t frameBytes = size_t(clip->channels) * Sample::bytes;
    float lanes[kLanes];
    for (int l = 0; l < kLanes; ++l)
        lanes[l] = sampleAt<Sample>(data + size_t(first + l) * frameBytes, channel);
    return _mm256_loadu_ps(lanes);
}

using VectorRun = int (*)(BandlimitedState *, const MvSampler *, const MvClip *, SamplerRunning &,
                          double, int, float *);

// Clips whose samples the steady inner loop loads eight at a time: int16
// mono or stereo and float32 mono. Int16 values stay integers until the
// folded sum, which is scaled then: every product and sum is scaled by the
// same power of two, so the bits equal those of scaling each sample.
template <typename Sample> bool directLoads(const MvClip *clip)
{
    if constexpr (std::is_same_v<Sample, Int16Sample>) return clip->channels <= 2;
    if constexpr (std::is_same_v<Sample, Float32Sample>) return clip->channels == 1;
    return false;
}

template <typename Sample>
constexpr float kDirectScale = std::is_same_v<Sample, Int16Sample> ? kInt16Scale : 1.0f;

// Eight raw samples of channel `channel` from frame `first` on.
template <typename Sample, int channel>
MV_TARGET_AVX2 __attribute__((always_inline)) inline __m256 directLanes(const MvClip *clip,
                                                                        int first)
{
    if constexpr (std::is_same_v<Sample, Int16Sample>) {
        const auto *samples =
            static_cast<const int16_t *>(clip->data) + size_t(first) * clip->channels;
        if (clip->channels == 1)
            return _mm256_cvtepi32_ps(
                _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(samples))));
        const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(samples));
        return _mm256_cvtepi32_ps(channel ? _mm256_srai_epi32(pairs, 16)
                                          : _mm256_srai_epi32(_mm256_slli_epi32(pairs, 16), 16));
    } else {
        return _mm256_loadu_ps(static_cast<const float *>(clip->data) + first);
    }
}

// A steady stretch whose windows all lie inside the clip: no ring, no
// checks, the filter length fixed. Stops before the first frame whose
// window would reach past the clip's end.
template <typename Sample, MixShape shape, bool steadyGain, int taps>
MV_TARGET_AVX2 int insideRun(const MvClip *clip, const Bank &bank,
                             SamplerRunning &running, double sinkRate, int frames,
                             float *mix)
{
    constexpr int count = shape == MixShape::stereoPair ? 2 : 1;
    const double end = double(clip->frames - taps / 2);
    const double step = stepOf(clip, running.frequency, sinkRate);
    const __m256 scale = _mm256_set1_ps(kDirectScale<Sample>);
    SamplerRunning now = running;
    int k = 0;
    for (; k < frames && now.position < end; ++k) {
        const int index = int(now.position);
        float toNext;
        const float *row = phaseRow(bank, now.position, index, &toNext);
        const int first = index - taps / 2 + 1;
        const __m256 u = _mm256_set1_ps(toNext);
        __m256 left = _mm256_setzero_ps(), right = _mm256_setzero_ps();
        for (int g = 0; g < taps; g += kLanes) {
            const __m256 coefficient =
                _mm256_add_ps(_mm256_loadu_ps(row + 2 * g),
                              _mm256_mul_ps(u, _mm256_loadu_ps(row + 2 * g + kLanes)));
            left = _mm256_add_ps(
                left, _mm256_mul_ps(coefficient, directLanes<Sample, 0>(clip, first + g)));
            if constexpr (count == 2)
                right = _mm256_add_ps(
                    right, _mm256_mul_ps(coefficient, directLanes<Sample, 1>(clip, first + g)));
        }
        const __m128 folded =
            _mm_mul_ss(_mm_set_ss(foldLanes(left)), _mm256_castps256_ps128(scale));
        const float a = _mm_cvtss_f32(folded);
        const float b = count == 2 ? _mm_cvtss_f32(_mm_mul_ss(_mm_set_ss(foldLanes(right)),
                                                              _mm256_castps256_ps128(scale)))
                                   : a;
        mixFrameOf<shape>(now.gain, a, b, mix + size_t(k) * kMixChannels<shape>);
        advance<true, steadyGain>(now, clip, sinkRate, step);
    }
    running = now;
    return k;
}

template <typename Sample, MixShape shape, bool steadyGain>
int insideRunFor(const MvClip *clip, const Bank &bank, SamplerRunning &running, double sinkRate,
                 int frames, float *mix)
{
    switch (bank.taps) {
    case 16:
        return insideRun<Sample, shape, steadyGain, 16>(clip, bank, running, sinkRate, frames, mix);
    case 24:
        return insideRun<Sample, shape, steadyGain, 24>(clip, bank, running, sinkRate, frames, mix);
    case 32:
        return insideRun<Sample, shape, steadyGain, 32>(clip, bank, running, sinkRate, frames, mix);
    default: return 0;
    }
}

// The run with AVX dot products; the same operations as bandlimitedFrame
// and the model's mix, frame by frame.
template <typename Sample, MixShape shape, bool steady, bool steadyGain>
MV_TARGET_AVX2 int vectorRun(BandlimitedState *state, const MvSampler *sampler,
                             const MvClip *clip, SamplerRunning &running,
                             double sinkRate, int frames, float *mix)
{
    constexpr int ringChannels = kMixChannels<shape>;
    constexpr int count = shape == MixShape::stereoPair ? 2 : 1;
    const double steadyStep = stepOf(clip, running.frequency, sinkRate);
    const Bank *steadyBank = &bankFor(steadyStep);
    SamplerRunning now = running;
    int k = 0;
    for (; k < frames && now.position < clip->frames; ++k) {
        const int index = int(now.position);
        if (steady && directLoads<Sample>(clip) && state->channels == ringChannels &&
            windowInside(state, clip, index, steadyBank->taps)) {
            const int done = insideRunFor<Sample, shape, steadyGain>(
                clip, *steadyBank, now, sinkRate, frames - k, mix + size_t(k) * ringChannels);
            if (done) {
                k += done - 1;
                continue;
            }
        }
        const Bank &bank = steady ? *steadyBank : bankFor(stepOf(clip, now.frequency, sinkRate));
        float toNext;
        const float *row = phaseRow(bank, now.position, index, &toNext);
        const bool inside =
            state->channels == ringChannels && windowInside(state, clip, index, bank.taps);
        int start = 0;
        if (!inside) {
            centerOn(state, sampler, clip, index, ringChannels);
            start = windowStart(state, bank.taps);
        }
        const int first = index - bank.taps / 2 + 1;
        const __m256 u = _mm256_set1_ps(toNext);
        __m256 left = _mm256_setzero_ps(), right = _mm256_setzero_ps();
        for (int g = 0; g < bank.taps; g += kLanes) {
            const __m256 coefficient =
                _mm256_add_ps(_mm256_loadu_ps(row + 2 * g),
                              _mm256_mul_ps(u, _mm256_loadu_ps(row + 2 * g + kLanes)));
            const __m256 x0 = inside ? clipLanes<Sample>(clip, first + g, 0)
                                     : _mm256_loadu_ps(state->ring[0] + start + g);
            left = _mm256_add_ps(left, _mm256_mul_ps(coefficient, x0));
            if constexpr (count == 2) {
                const __m256 x1 = inside ? clipLanes<Sample>(clip, first + g, 1)
                                         : _mm256_loadu_ps(state->ring[1] + start + g);
                right = _mm256_add_ps(right, _mm256_mul_ps(coefficient, x1));
            }
        }
        const float a = foldLanes(left);
        mixFrameOf<shape>(now.gain, a, count == 2 ? foldLanes(right) : a,
                          mix + size_t(k) * kMixChannels<shape>);
        advance<steady, steadyGain>(now, clip, sinkRate, steadyStep);
    }
    running = now;
    _mm256_zeroupper();
    return k;
}

template <MixShape shape, bool steady, bool steadyGain> VectorRun vectorRunOf(int format)
{
    switch (format) {
    case MV_FORMAT_INT32: return vectorRun<Int32Sample, shape, steady, steadyGain>;
    case MV_FORMAT_INT24: return vectorRun<Int24Sample, shape, steady, steadyGain>;
    case MV_FORMAT_INT16: return vectorRun<Int16Sample, shape, steady, steadyGain>;
    case MV_FORMAT_INT8: return vectorRun<Int8Sample, shape, steady, steadyGain>;
    case MV_FORMAT_UINT8: return vectorRun<Uint8Sample, shape, steady, steadyGain>;
    default: return vectorRun<Float32Sample, shape, steady, steadyGain>;
    }
}

template <MixShape shape>
int vectorRunFor(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip,
                 SamplerRunning &running, double sinkRate, int frames, float *mix)
{
    // A steady rate or gain skips additions that change nothing, as the
    // standard runs do.
    VectorRun run;
    if (steadyRate(running))
        run = steadyGain(running) ? vectorRunOf<shape, true, true>(clip->format)
                                  : vectorRunOf<shape, true, false>(clip->format);
    else
        run = steadyGain(running) ? vectorRunOf<shape, false, true>(clip->format)
                                  : vectorRunOf<shape, false, false>(clip->format);
    return run(state, sampler, clip, running, sinkRate, frames, mix);
}

int vectorShapeRun(BandlimitedState *state, const MvSampler *sampler, MixShape shape,
                   const MvClip *clip, SamplerRunning &running, double sinkRate, int frames,
                   float *mix)
{
    switch (shape) {
    case MixShape::mono:
        return vectorRunFor<MixShape::mono>(state, sampler, clip, running, sinkRate, frames, mix);
    case MixShape::stereoFromMono:
        return vectorRunFor<MixShape::stereoFromMono>(state, sampler, clip, running, sinkRate,
                                                      frames, mix);
    default:
        return vectorRunFor<MixShape::stereoPair>(state, sampler, clip, running, sinkRate, frames,
                                                  mix);
    }
}
#endif

// The vector run of the instruction set this processor has, or null (the
// reference path then renders every frame); chosen once.
using ShapeRun = int (*)(BandlimitedState *, const MvSampler *, MixShape, const MvClip *,
                         SamplerRunning &, double, int, float *);

ShapeRun vectorShapeRuns()
{
#if defined(__x86_64__) || defined(__i386__)
    static const ShapeRun run = cpuFeatures().avx2 ? vectorShapeRun : nullptr;
    return run;
#else
    return nullptr;
#endif
}

} // namespace

void buildBandlimitedTables() { std::call_once(gBuilt, buildTables); }

void bandlimitedReset(BandlimitedState *state)
{
    state->channels = 0;
    state->centerClip = nullptr;
    state->aheadClip = nullptr;
    state->joinCount = 0;
}

void bandlimitedForget(BandlimitedState *state, const MvClip *clip)
{
    if (state->aheadClip == clip) state->aheadClip = nullptr;
}

void bandlimitedFrame(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip,
                      double position, double step, int channels, int count, float *out)
{
    const int index = int(position);
    const Bank &bank = bankFor(step);
    float toNext;
    const float *row = phaseRow(bank, position, index, &toNext);
    if (state->channels == channels && windowInside(state, clip, index, bank.taps)) {
        float window[kMaxMatrixSourceChannels][kMaxTaps];
        float frame[kMaxMatrixSourceChannels];
        for (int t = 0; t < bank.taps; ++t) {
            readFrame(clip, index - bank.taps / 2 + 1 + t, count, frame);
            for (int c = 0; c < count; ++c)
                window[c][t] = frame[c];
        }
        for (int c = 0; c < count; ++c)
            out[c] = plainDot(row, toNext, window[c], bank.taps);
        return;
    }
    centerOn(state, sampler, clip, index, channels);
    const int start = windowStart(state, bank.taps);
    for (int c = 0; c < count; ++c)
        out[c] = plainDot(row, toNext, state->ring[c] + start, bank.taps);
}

int bandlimitedRun(BandlimitedState *state, const MvSampler *sampler, MixShape shape,
                   const MvClip *clip, SamplerRunning &running, double sinkRate, int frames,
                   float *mix)
{
    if (const ShapeRun run = vectorShapeRuns())
        return run(state, sampler, shape, clip, running, sinkRate, frames, mix);
    return 0; // the reference path renders it
}

} // namespace mv
