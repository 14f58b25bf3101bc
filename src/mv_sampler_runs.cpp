// The sampler's specialised runs: the format, the channel shape, the
// interpolation and a steady rate fixed at compile time, and for
// interpolated int16 clips eight frames at a time with AVX2 where the
// processor has it. Every run performs exactly the operations of the
// reference path (mv_sampler_render.cpp) in the same order on the same
// values, so both produce the same bits; a test holds them to it.
#include "mv_sampler_runs.h"

#include "mv_cpu.h"
#include "mv_sampler_lanes.h"

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace mv {

namespace {

// Positions below this bound can be read without leaving the clip: with
// interpolation frame i + 1 must exist too.
template <bool interpolated>
double readableEnd(const MvClip *clip)
{
    return interpolated ? clip->frames - 1.0 : double(clip->frames);
}

template <typename Sample, MixShape shape, bool interpolated, bool steady>
int scalarRun(const MvClip *clip, SamplerRunning &running, double sinkRate, int frames,
              float *mix)
{
    const auto *data = static_cast<const uint8_t *>(clip->data);
    const size_t frameBytes = size_t(clip->channels) * Sample::bytes;
    const double end = readableEnd<interpolated>(clip);
    const double steadyStep = stepOf(clip, running.frequency, sinkRate);
    SamplerRunning now = running;
    int k = 0;
    for (; k < frames && now.position < end; ++k) {
        const int index = int(now.position);
        const uint8_t *frame = data + size_t(index) * frameBytes;
        const float x = interpolated ? fractionAt(now.position, index) : 0.0f;
        float left = sampleAt<Sample>(frame, 0);
        if (interpolated && x > 0.0f)
            left = interpolate(left, sampleAt<Sample>(frame + frameBytes, 0), x);
        float right = left;
        if constexpr (shape == MixShape::stereoPair) {
            right = sampleAt<Sample>(frame, 1);
            if (interpolated && x > 0.0f)
                right = interpolate(right, sampleAt<Sample>(frame + frameBytes, 1), x);
        }
        mixFrameOf<shape>(now.gain, left, right, mix + size_t(k) * kMixChannels<shape>);
        advance<steady>(now, clip, sinkRate, steadyStep);
    }
    running = now;
    return k;
}

#if defined(__x86_64__) || defined(__i386__)

// Interpolated int16 frames, eight at a time with AVX2 (without FMA, which
// would round differently). The running values of the eight frames are
// produced first by the same serial additions as the reference path; only
// the reading, interpolation and mixing are done on all eight at once, off
// the additions' critical path. Positions are never negative, so x is never
// below 0 and the reference path's "only where x > 0" is needless here:
// a + (b - a) · 0 is a.
template <MixShape shape, int channels, bool steady, bool steadyGain>
MV_TARGET_AVX2 int int16Run(const MvClip *clip, SamplerRunning &running,
                            double sinkRate, int frames, float *mix)
{
    const auto *data = static_cast<const int16_t *>(clip->data);
    const double end = readableEnd<true>(clip);
    const double steadyStep = stepOf(clip, running.frequency, sinkRate);
    SamplerRunning now = running;
    alignas(32) double positions[kLanes];
    alignas(32) float gains[kLanes];
    int k = 0;
    for (; k + kLanes <= frames; k += kLanes) {
        SamplerRunning after = now;
        for (int j = 0; j < kLanes; ++j) {
            positions[j] = after.position;
            if constexpr (!steadyGain) gains[j] = after.gain;
            advance<steady, steadyGain>(after, clip, sinkRate, steadyStep);
        }
        const __m256d pLow = _mm256_load_pd(positions);
        const __m256d pHigh = _mm256_load_pd(positions + 4);
        // The scalar run stops at the right frame. A steady step is never
        // negative, so the last position is the largest.
        if constexpr (steady) {
            if (!(positions[kLanes - 1] < end)) break;
        } else {
            const __m256d endLanes = _mm256_set1_pd(end);
            const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(pLow, endLanes, _CMP_LT_OQ),
                                                 _mm256_cmp_pd(pHigh, endLanes, _CMP_LT_OQ));
            if (_mm256_movemask_pd(inside) != 0xF) break;
        }
        now = after;

        const __m128i iLow = _mm256_cvttpd_epi32(pLow);
        const __m128i iHigh = _mm256_cvttpd_epi32(pHigh);
        const __m256 x = _mm256_set_m128(fractionLanes(pHigh, iHigh), fractionLanes(pLow, iLow));
        const __m256i index = _mm256_set_m128i(iHigh, iLow);
        const __m256 gainLanes = steadyGain ? _mm256_set1_ps(now.gain) : _mm256_load_ps(gains);
        __m256i here, next;
        gatherInt16Words<channels>(data, clip->channels, index, here, next);
        // A mono clip's frame i + 1 is the high half of the word of frame i.
        const __m256 left = _mm256_mul_ps(
            gainLanes, interpolateLanes(int16Half<false>(here), int16Half<channels == 1>(next), x));
        if constexpr (shape == MixShape::mono) {
            addInto(mix + k, _mm256_add_ps(_mm256_setzero_ps(), left));
        } else {
            __m256 right = left;
            if constexpr (shape == MixShape::stereoPair)
                right = _mm256_mul_ps(
                    gainLanes, interpolateLanes(int16Half<true>(here), int16Half<true>(next), x));
            const __m256 low = _mm256_unpacklo_ps(left, right);  // frames 0, 1 | 4, 5
            const __m256 high = _mm256_unpackhi_ps(left, right); // frames 2, 3 | 6, 7
            addInto(mix + 2 * k, _mm256_permute2f128_ps(low, high, 0x20));
            addInto(mix + 2 * k + kLanes, _mm256_permute2f128_ps(low, high, 0x31));
        }
    }
    running = now;
    // Clean upper halves: SSE code after the render (the host's own) would
    // otherwise pay for a dirty state on every instruction.
    _mm256_zeroupper();
    return k + scalarRun<Int16Sample, shape, true, steady>(clip, running, sinkRate, frames - k,
                                                          mix + size_t(k) * kMixChannels<shape>);
}

template <bool steady, bool steadyGain>
SamplerRun int16RunFor(MixShape shape, int channels)
{
    switch (shape) {
    case MixShape::mono:
        return channels == 1 ? int16Run<MixShape::mono, 1, steady, steadyGain>
                             : int16Run<MixShape::mono, 0, steady, steadyGain>;
    case MixShape::stereoFromMono: return int16Run<MixShape::stereoFromMono, 1, steady, steadyGain>;
    default: return int16Run<MixShape::stereoPair, 0, steady, steadyGain>;
    }
}

SamplerRun int16RunFor(MixShape shape, const MvClip *clip, bool steady, bool steadyGain)
{
    // Gather offsets are 32-bit byte counts.
    const int64_t clipBytes = int64_t(clip->frames) * clip->channels * Int16Sample::bytes;
    if (clipBytes > INT32_MAX) return nullptr;
    const int channels = clip->channels;
    if (steady)
        return steadyGain ? int16RunFor<true, true>(shape, channels)
                          : int16RunFor<true, false>(shape, channels);
    return steadyGain ? int16RunFor<false, true>(shape, channels)
                      : int16RunFor<false, false>(shape, channels);
}

#endif

// The vector run for an interpolated int16 clip, or null: the picker of
// the instruction set this processor has, chosen when the library loads.
using Int16RunPicker = SamplerRun (*)(MixShape shape, const MvClip *clip, bool steady,
                                      bool steadyGain);

#if defined(__x86_64__) || defined(__i386__)
const Int16RunPicker kVectorInt16Runs = cpuFeatures().avx2 ? Int16RunPicker(int16RunFor) : nullptr;
#else
const Int16RunPicker kVectorInt16Runs = nullptr;
#endif

Int16RunPicker vectorInt16Runs() { return kVectorInt16Runs; }

template <typename Sample, MixShape shape>
SamplerRun pickVariant(bool interpolated, bool steady)
{
    if (interpolated)
        return steady ? scalarRun<Sample, shape, true, true> : scalarRun<Sample, shape, true, false>;
    return steady ? scalarRun<Sample, shape, false, true> : scalarRun<Sample, shape, false, false>;
}

template <MixShape shape>
SamplerRun pickFormat(int format, bool interpolated, bool steady)
{
    switch (format) {
    case MV_FORMAT_FLOAT32: return pickVariant<Float32Sample, shape>(interpolated, steady);
    case MV_FORMAT_INT32: return pickVariant<Int32Sample, shape>(interpolated, steady);
    case MV_FORMAT_INT24: return pickVariant<Int24Sample, shape>(interpolated, steady);
    case MV_FORMAT_INT16: return pickVariant<Int16Sample, shape>(interpolated, steady);
    case MV_FORMAT_INT8: return pickVariant<Int8Sample, shape>(interpolated, steady);
    default: return pickVariant<Uint8Sample, shape>(interpolated, steady);
    }
}

} // namespace

SamplerRun samplerRunFor(MixShape shape, const MvClip *clip, bool interpolated, bool steady,
                         bool steadyGain)
{
    const int format = clip->format;
    if (format == MV_FORMAT_INT16 && interpolated)
        if (const Int16RunPicker picker = vectorInt16Runs())
            if (SamplerRun run = picker(shape, clip, steady, steadyGain)) return run;
    switch (shape) {
    case MixShape::mono: return pickFormat<MixShape::mono>(format, interpolated, steady);
    case MixShape::stereoFromMono:
        return pickFormat<MixShape::stereoFromMono>(format, interpolated, steady);
    default: return pickFormat<MixShape::stereoPair>(format, interpolated, steady);
    }
}

} // namespace mv
