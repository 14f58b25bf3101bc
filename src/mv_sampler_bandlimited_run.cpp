// The band-limited resampler's vector run (AVX2): frame by frame it
// computes what bandlimitedFrame and the sound model's mix compute, the
// same products added in the same order, so the bits are the same. Where
// every window lies inside the clip at a steady rate, it renders four
// frames per pass: their phases, the folds of their running sums, the
// scaling and the mix are done four at a time, each lane as one frame
// alone would do it, and int16 samples are converted once per stretch of
// the clip instead of once per tap.
#include "mv_cpu.h"
#include "mv_sampler_bandlimited.h"
#include "mv_sampler_bandlimited_filter.h"
#include "mv_sampler_lanes.h"

#include <algorithm>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace mv {

namespace {

#if defined(__x86_64__) || defined(__i386__)

static_assert(kLanes == kBandlimitedLanes);

#define MV_INLINE_AVX2 MV_TARGET_AVX2 __attribute__((always_inline)) inline

// ---- one frame ----------------------------------------------------------------

// The running sums folded in halves, as plainDot folds them.
MV_TARGET_AVX float foldLanes(__m256 sums) {
    const __m128 quarter = _mm_add_ps(_mm256_castps256_ps128(sums), _mm256_extractf128_ps(sums, 1));
    const __m128 halves = _mm_add_ps(quarter, _mm_movehl_ps(quarter, quarter));
    return _mm_cvtss_f32(_mm_add_ss(halves, _mm_shuffle_ps(halves, halves, 1)));
}

// One phase's coefficients for taps g .. g + 7: the row's value plus the
// fraction times its change towards the next row.
MV_INLINE_AVX2 __m256 coefficientsAt(const float *row, __m256 toNext, int g) {
    return _mm256_add_ps(_mm256_loadu_ps(row + 2 * g),
                         _mm256_mul_ps(toNext, _mm256_loadu_ps(row + 2 * g + kLanes)));
}

// Eight samples of channel `channel` from eight frames of the clip, from
// frame `first` on: int16 mono and stereo clips with vector loads, every
// other one sample by sample; the values Sample::toFloat gives.
template <typename Sample>
MV_TARGET_AVX2 __m256 clipLanes(const MvClip *clip, int first, int channel) {
    const auto *data = static_cast<const uint8_t *>(clip->data);
    if constexpr (std::is_same_v<Sample, Int16Sample>) {
        const auto *samples =
            reinterpret_cast<const int16_t *>(data) + size_t(first) * clip->channels;
        if (clip->channels == 1) return int16Floats(samples);
        if (clip->channels == 2) {
            const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(samples));
            return channel ? int16Half<true>(pairs) : int16Half<false>(pairs);
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

// ---- the steady stretch inside the clip -------------------------------------

// Clips whose samples the steady stretch reads as vectors: int16 mono or
// stereo and float32 mono.
template <typename Sample> bool directLoads(const MvClip *clip) {
    if constexpr (std::is_same_v<Sample, Int16Sample>) return clip->channels <= 2;
    if constexpr (std::is_same_v<Sample, Float32Sample>) return clip->channels == 1;
    return false;
}

// Int16 samples stay integers (as floats) until the folded sum, which is
// scaled then: every product and sum is scaled by the same power of two, so
// the bits equal those of scaling each sample.
template <typename Sample> constexpr bool kScaledAfterFold = std::is_same_v<Sample, Int16Sample>;

// The samples the steady stretch multiplies, as floats: an int16 clip's
// converted a stretch of frames at a time into `held` (unscaled), a float32
// mono clip's read where they lie. `count` channels, of a clip of
// `clipChannels`.
template <typename Sample, int clipChannels, int count> struct SourceFloats {
    static constexpr int kHeld = kScaledAfterFold<Sample> ? 512 : 1;
    float held[count][kHeld];
    int base = 0; // the frames held: base .. end - 1
    int end = 0;
};

// Makes frames `first` .. `last` of the clip readable; `first` never moves
// back, and last - first is far below the frames held.
template <typename Sample, int clipChannels, int count>
MV_TARGET_AVX2 void cover(SourceFloats<Sample, clipChannels, count> &source, const MvClip *clip,
                          int first, int last) {
    if constexpr (kScaledAfterFold<Sample>) {
        if (last < source.end) return;
        constexpr int held = SourceFloats<Sample, clipChannels, count>::kHeld;
        source.base = first;
        source.end = std::min(first + held, clip->frames);
        const int frames = source.end - first;
        const int16_t *samples =
            static_cast<const int16_t *>(clip->data) + size_t(first) * clipChannels;
        int n = 0;
        for (; n + kLanes <= frames; n += kLanes) {
            const int16_t *at = samples + size_t(n) * clipChannels;
            if constexpr (clipChannels == 1) {
                const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
                _mm256_storeu_ps(source.held[0] + n,
                                 _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(words)));
            } else {
                const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
                _mm256_storeu_ps(source.held[0] + n, _mm256_cvtepi32_ps(_mm256_srai_epi32(
                                                         _mm256_slli_epi32(pairs, 16), 16)));
                if constexpr (count == 2)
                    _mm256_storeu_ps(source.held[1] + n,
                                     _mm256_cvtepi32_ps(_mm256_srai_epi32(pairs, 16)));
            }
        }
        for (; n < frames; ++n)
            for (int c = 0; c < count; ++c)
                source.held[c][n] = float(samples[size_t(n) * clipChannels + c]);
    }
}

// The frame the source's floats are counted from.
template <typename Sample, int clipChannels, int count>
int originOf(const SourceFloats<Sample, clipChannels, count> &source) {
    return kScaledAfterFold<Sample> ? source.base : 0;
}

// Channel `channel`'s floats from frame `first` on.
template <typename Sample, int clipChannels, int count>
const float *floatsAt(const SourceFloats<Sample, clipChannels, count> &source, const MvClip *clip,
                      int channel, int first) {
    if constexpr (kScaledAfterFold<Sample>) return source.held[channel] + (first - source.base);
    else return static_cast<const float *>(clip->data) + first;
}

// The running sums of one window, per channel, each starting from its
// first product as plainDot's do.
template <int taps, int count>
MV_INLINE_AVX2 void windowSums(const float *row, __m256 toNext, const float *const *x,
                               __m256 *sums) {
    const __m256 first = coefficientsAt(row, toNext, 0);
    for (int c = 0; c < count; ++c) sums[c] = _mm256_mul_ps(first, _mm256_loadu_ps(x[c]));
    for (int g = kLanes; g < taps; g += kLanes) {
        const __m256 coefficients = coefficientsAt(row, toNext, g);
        for (int c = 0; c < count; ++c)
            sums[c] =
                _mm256_add_ps(sums[c], _mm256_mul_ps(coefficients, _mm256_loadu_ps(x[c] + g)));
    }
}

// Frames per pass of the steady stretch.
constexpr int kBatch = 4;

// Four frames' running sums each folded as foldLanes folds it: [a b c d].
MV_INLINE_AVX2 __m128 foldFour(__m256 a, __m256 b, __m256 c, __m256 d) {
    // Quarters (lanes l + l+4): a's and c's in one vector, b's and d's in another.
    const __m256 ac =
        _mm256_add_ps(_mm256_permute2f128_ps(a, c, 0x20), _mm256_permute2f128_ps(a, c, 0x31));
    const __m256 bd =
        _mm256_add_ps(_mm256_permute2f128_ps(b, d, 0x20), _mm256_permute2f128_ps(b, d, 0x31));
    // Halves (quarters 0+2, 1+3): [a02 a13 b02 b13 | c02 c13 d02 d13].
    const __m256 halves = _mm256_add_ps(_mm256_shuffle_ps(ac, bd, _MM_SHUFFLE(1, 0, 1, 0)),
                                        _mm256_shuffle_ps(ac, bd, _MM_SHUFFLE(3, 2, 3, 2)));
    const __m128 ab = _mm256_castps256_ps128(halves);
    const __m128 cd = _mm256_extractf128_ps(halves, 1);
    return _mm_add_ps(_mm_shuffle_ps(ab, cd, _MM_SHUFFLE(2, 0, 2, 0)),
                      _mm_shuffle_ps(ab, cd, _MM_SHUFFLE(3, 1, 3, 1)));
}

// Where four frames read: each one's phase row (as the offset of its first
// float in the bank's table), the fraction towards the next row, and its
// window's first frame counted from `origin`; computed from the positions
// and their integer parts as bandlimitedPhaseRow computes them one by one.
struct FourPhases {
    alignas(16) int row[kBatch];
    alignas(16) float toNext[kBatch];
    alignas(16) int first[kBatch];
};

template <int taps>
MV_INLINE_AVX2 void phasesOf(__m256d position, __m128i index, int origin, FourPhases &out) {
    const __m256d phase = _mm256_mul_pd(_mm256_sub_pd(position, _mm256_cvtepi32_pd(index)),
                                        _mm256_set1_pd(kBandlimitedPhases));
    const __m128i row = _mm256_cvttpd_epi32(phase);
    _mm_store_si128(reinterpret_cast<__m128i *>(out.row),
                    _mm_mullo_epi32(row, _mm_set1_epi32(2 * taps)));
    _mm_store_ps(out.toNext, _mm256_cvtpd_ps(_mm256_sub_pd(phase, _mm256_cvtepi32_pd(row))));
    _mm_store_si128(reinterpret_cast<__m128i *>(out.first),
                    _mm_sub_epi32(index, _mm_set1_epi32(taps / 2 - 1 + origin)));
}

// Adds four frames to the mix through the model's arithmetic (mixFrameOf),
// frame j at gains[j]: `first` holds frame j's value in lane j, or for a
// stereo pair [l0 r0 l1 r1] with `second` [l2 r2 l3 r3].
template <MixShape shape>
MV_INLINE_AVX2 void mixFour(__m128 gains, __m128 first, __m128 second, float *out) {
    if constexpr (shape == MixShape::mono) {
        const __m128 share = gains; // the model's gain / 1 source channel
        _mm_storeu_ps(out, _mm_add_ps(_mm_loadu_ps(out),
                                      _mm_add_ps(_mm_setzero_ps(), _mm_mul_ps(share, first))));
    } else if constexpr (shape == MixShape::stereoFromMono) {
        const __m128 sent = _mm_mul_ps(gains, first);
        const __m256 both =
            _mm256_set_m128(_mm_unpackhi_ps(sent, sent), _mm_unpacklo_ps(sent, sent));
        _mm256_storeu_ps(out, _mm256_add_ps(_mm256_loadu_ps(out), both));
    } else {
        const __m256 paired =
            _mm256_set_m128(_mm_unpackhi_ps(gains, gains), _mm_unpacklo_ps(gains, gains));
        const __m256 sent = _mm256_mul_ps(paired, _mm256_set_m128(second, first));
        _mm256_storeu_ps(out, _mm256_add_ps(_mm256_loadu_ps(out), sent));
    }
}

// The gains of the next four frames, each the previous one plus the step.
template <bool steadyGain> MV_INLINE_AVX2 __m128 fourGains(SamplerRunning &now) {
    if constexpr (steadyGain) return _mm_set1_ps(now.gain);
    float gains[kBatch];
    for (int j = 0; j < kBatch; ++j) {
        gains[j] = now.gain;
        now.gain += now.gainStep;
    }
    return _mm_loadu_ps(gains);
}

// Scales folded int16 sums back to the samples' scale.
template <typename Sample> MV_INLINE_AVX2 __m128 unscaled(__m128 folded) {
    if constexpr (kScaledAfterFold<Sample>) return _mm_mul_ps(folded, _mm_set1_ps(kInt16Scale));
    return folded;
}

// Four frames from positions[0 .. 3] into `mix`.
template <typename Sample, MixShape shape, bool steadyGain, int taps, int clipChannels>
MV_INLINE_AVX2 void renderFour(
    SourceFloats<Sample, clipChannels, shape == MixShape::stereoPair ? 2 : 1> &source,
    const MvClip *clip, const BandlimitedBank &bank, const double *positions, SamplerRunning &now,
    float *mix) {
    constexpr int count = shape == MixShape::stereoPair ? 2 : 1;
    const __m256d position = _mm256_loadu_pd(positions);
    const __m128i index = _mm256_cvttpd_epi32(position);
    cover(source, clip, _mm_cvtsi128_si32(index) - taps / 2 + 1,
          _mm_extract_epi32(index, kBatch - 1) + taps / 2);
    const int origin = originOf(source);
    FourPhases phases;
    phasesOf<taps>(position, index, origin, phases);
    const float *floats[count];
    for (int c = 0; c < count; ++c) floats[c] = floatsAt(source, clip, c, origin);
    __m256 sums[kBatch][count];
    for (int j = 0; j < kBatch; ++j) {
        const float *x[count];
        for (int c = 0; c < count; ++c) x[c] = floats[c] + phases.first[j];
        windowSums<taps, count>(bank.phases + phases.row[j], _mm256_broadcast_ss(phases.toNext + j),
                                x, sums[j]);
    }
    const __m128 gains = fourGains<steadyGain>(now);
    if constexpr (count == 2)
        mixFour<shape>(
            gains, unscaled<Sample>(foldFour(sums[0][0], sums[0][1], sums[1][0], sums[1][1])),
            unscaled<Sample>(foldFour(sums[2][0], sums[2][1], sums[3][0], sums[3][1])), mix);
    else
        mixFour<shape>(gains,
                       unscaled<Sample>(foldFour(sums[0][0], sums[1][0], sums[2][0], sums[3][0])),
                       _mm_setzero_ps(), mix);
}

// One frame at now.position into `mix`, as a lane of renderFour.
template <typename Sample, MixShape shape, bool steadyGain, int taps, int clipChannels>
MV_INLINE_AVX2 void renderOne(
    SourceFloats<Sample, clipChannels, shape == MixShape::stereoPair ? 2 : 1> &source,
    const MvClip *clip, const BandlimitedBank &bank, const SamplerRunning &now, float *mix) {
    constexpr int count = shape == MixShape::stereoPair ? 2 : 1;
    const int index = int(now.position);
    float toNext;
    const float *row = bandlimitedPhaseRow(bank, now.position, index, &toNext);
    const int first = index - taps / 2 + 1;
    cover(source, clip, first, index + taps / 2);
    const float *x[count];
    for (int c = 0; c < count; ++c) x[c] = floatsAt(source, clip, c, first);
    __m256 sums[count];
    windowSums<taps, count>(row, _mm256_set1_ps(toNext), x, sums);
    const float a = _mm_cvtss_f32(unscaled<Sample>(_mm_set_ss(foldLanes(sums[0]))));
    const float b =
        count == 2 ? _mm_cvtss_f32(unscaled<Sample>(_mm_set_ss(foldLanes(sums[count - 1])))) : a;
    mixFrameOf<shape>(now.gain, a, b, mix);
}

// A steady stretch whose windows all lie inside the clip: no ring, no
// checks, the filter length fixed. Stops before the first frame whose
// window would reach past the clip's end.
template <typename Sample, MixShape shape, bool steadyGain, int taps, int clipChannels>
MV_TARGET_AVX2 int insideRun(const MvClip *clip, const BandlimitedBank &bank,
                             SamplerRunning &running, double sinkRate, int frames, float *mix) {
    constexpr int channels = kMixChannels<shape>;
    const double end = double(clip->frames - taps / 2);
    const double step = stepOf(clip, running.frequency, sinkRate);
    SourceFloats<Sample, clipChannels, shape == MixShape::stereoPair ? 2 : 1> source;
    SamplerRunning now = running;
    int k = 0;
    for (; k + kBatch <= frames; k += kBatch) {
        // The positions as one frame after another reaches them; positions
        // only grow, so the last one tells whether all four are inside.
        double positions[kBatch];
        positions[0] = now.position;
        for (int j = 1; j < kBatch; ++j) positions[j] = positions[j - 1] + step;
        if (!(positions[kBatch - 1] < end)) break;
        renderFour<Sample, shape, steadyGain, taps>(source, clip, bank, positions, now,
                                                    mix + size_t(k) * channels);
        now.position = positions[kBatch - 1] + step;
    }
    for (; k < frames && now.position < end; ++k) {
        renderOne<Sample, shape, steadyGain, taps>(source, clip, bank, now,
                                                   mix + size_t(k) * channels);
        advance<true, steadyGain>(now, clip, sinkRate, step);
    }
    running = now;
    return k;
}

template <typename Sample, MixShape shape, bool steadyGain, int clipChannels>
int insideRunOfTaps(const MvClip *clip, const BandlimitedBank &bank, SamplerRunning &running,
                    double sinkRate, int frames, float *mix) {
    switch (bank.taps) {
    case 16:
        return insideRun<Sample, shape, steadyGain, 16, clipChannels>(clip, bank, running, sinkRate,
                                                                      frames, mix);
    case 24:
        return insideRun<Sample, shape, steadyGain, 24, clipChannels>(clip, bank, running, sinkRate,
                                                                      frames, mix);
    case 32:
        return insideRun<Sample, shape, steadyGain, 32, clipChannels>(clip, bank, running, sinkRate,
                                                                      frames, mix);
    default: return 0;
    }
}

// The steady stretch for the clips directLoads() admits; 0 for the rest.
template <typename Sample, MixShape shape, bool steadyGain>
int insideRunFor(const MvClip *clip, const BandlimitedBank &bank, SamplerRunning &running,
                 double sinkRate, int frames, float *mix) {
    constexpr bool int16 = std::is_same_v<Sample, Int16Sample>;
    if constexpr (int16 || std::is_same_v<Sample, Float32Sample>) {
        if constexpr (shape != MixShape::stereoPair)
            if (clip->channels == 1)
                return insideRunOfTaps<Sample, shape, steadyGain, 1>(clip, bank, running, sinkRate,
                                                                     frames, mix);
        if constexpr (int16 && shape != MixShape::stereoFromMono)
            if (clip->channels == 2)
                return insideRunOfTaps<Sample, shape, steadyGain, 2>(clip, bank, running, sinkRate,
                                                                     frames, mix);
    }
    return 0;
}

// ---- the run ------------------------------------------------------------------

using VectorRun = int (*)(BandlimitedState *, const MvSampler *, const MvClip *, SamplerRunning &,
                          double, int, float *);

// The run with AVX dot products; the same operations as bandlimitedFrame
// and the model's mix, frame by frame.
template <typename Sample, MixShape shape, bool steady, bool steadyGain>
MV_TARGET_AVX2 int vectorRun(BandlimitedState *state, const MvSampler *sampler, const MvClip *clip,
                             SamplerRunning &running, double sinkRate, int frames, float *mix) {
    constexpr int ringChannels = kMixChannels<shape>;
    constexpr int count = shape == MixShape::stereoPair ? 2 : 1;
    const double steadyStep = stepOf(clip, running.frequency, sinkRate);
    const BandlimitedBank *steadyBank = &bandlimitedBankFor(steadyStep);
    SamplerRunning now = running;
    int k = 0;
    for (; k < frames && now.position < clip->frames; ++k) {
        const int index = int(now.position);
        if (steady && directLoads<Sample>(clip) && state->channels == ringChannels &&
            bandlimitedWindowInside(state, clip, index, steadyBank->taps)) {
            const int done = insideRunFor<Sample, shape, steadyGain>(
                clip, *steadyBank, now, sinkRate, frames - k, mix + size_t(k) * ringChannels);
            if (done) {
                k += done - 1;
                continue;
            }
        }
        const BandlimitedBank &bank =
            steady ? *steadyBank : bandlimitedBankFor(stepOf(clip, now.frequency, sinkRate));
        float toNext;
        const float *row = bandlimitedPhaseRow(bank, now.position, index, &toNext);
        const bool inside = state->channels == ringChannels &&
                            bandlimitedWindowInside(state, clip, index, bank.taps);
        int start = 0;
        if (!inside) {
            bandlimitedCenterOn(state, sampler, clip, index, ringChannels);
            start = bandlimitedWindowStart(state, bank.taps);
        }
        const int first = index - bank.taps / 2 + 1;
        const __m256 u = _mm256_set1_ps(toNext);
        __m256 left = _mm256_setzero_ps(), right = _mm256_setzero_ps();
        for (int g = 0; g < bank.taps; g += kLanes) {
            const __m256 coefficients = coefficientsAt(row, u, g);
            const __m256 x0 = inside ? clipLanes<Sample>(clip, first + g, 0)
                                     : _mm256_loadu_ps(state->ring[0] + start + g);
            const __m256 p0 = _mm256_mul_ps(coefficients, x0);
            left = g == 0 ? p0 : _mm256_add_ps(left, p0);
            if constexpr (count == 2) {
                const __m256 x1 = inside ? clipLanes<Sample>(clip, first + g, 1)
                                         : _mm256_loadu_ps(state->ring[1] + start + g);
                const __m256 p1 = _mm256_mul_ps(coefficients, x1);
                right = g == 0 ? p1 : _mm256_add_ps(right, p1);
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

template <MixShape shape, bool steady, bool steadyGain> VectorRun vectorRunOf(int format) {
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
                 SamplerRunning &running, double sinkRate, int frames, float *mix) {
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
                   float *mix) {
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

#undef MV_INLINE_AVX2
#endif

// The vector run of the instruction set this processor has, or null (the
// reference path then renders every frame); chosen when the library loads.
using ShapeRun = int (*)(BandlimitedState *, const MvSampler *, MixShape, const MvClip *,
                         SamplerRunning &, double, int, float *);

#if defined(__x86_64__) || defined(__i386__)
const ShapeRun kVectorShapeRun = cpuFeatures().avx2 ? vectorShapeRun : nullptr;
#else
const ShapeRun kVectorShapeRun = nullptr;
#endif

} // namespace

int bandlimitedRun(BandlimitedState *state, const MvSampler *sampler, MixShape shape,
                   const MvClip *clip, SamplerRunning &running, double sinkRate, int frames,
                   float *mix) {
    if (kVectorShapeRun)
        return kVectorShapeRun(state, sampler, shape, clip, running, sinkRate, frames, mix);
    return 0; // the reference path renders it
}

} // namespace mv
