// The sampler's specialised runs: the format, the channel shape, the
// interpolation and a steady rate fixed at compile time, and for int16
// clips eight frames at a time with AVX2 where the processor has it. Every run performs exactly the
// operations of the reference path (mv_sampler_render.cpp) in the same
// order on the same values, so both produce the same bits; a test holds
// them to it.
#include "mv_sampler_runs.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace mv {

namespace {

// Adds one frame through the sound model's arithmetic (its mixFrame).
template <MixShape shape>
void mixFrameOf(float gain, float left, float right, float *out)
{
    if constexpr (shape == MixShape::mono) {
        const float share = gain / 1.0f; // the model's gain / source channels
        out[0] += 0.0f + share * left;
    } else {
        out[0] += gain * left;
        out[1] += gain * right;
    }
}

template <MixShape shape>
constexpr int kMixChannels = shape == MixShape::mono ? 1 : 2;

template <typename Sample, MixShape shape, bool interpolated, bool steady>
void scalarRun(const MvClip *clip, const SamplerCursor &cursor, int first, int last, float *mix)
{
    const auto *data = static_cast<const uint8_t *>(clip->data);
    const size_t frameBytes = size_t(clip->channels) * Sample::bytes;
    for (int k = first; k < last; ++k) {
        const double n = k - cursor.anchorFrame;
        const double position = steady ? cursor.anchorPosition + n * cursor.step
                                       : positionAt(cursor, k);
        const int index = int(position);
        const uint8_t *frame = data + size_t(index) * frameBytes;
        const float x = interpolated ? fractionAt(position, index) : 0.0f;
        float left = sampleAt<Sample>(frame, 0);
        if (interpolated && x > 0.0f)
            left = interpolate(left, sampleAt<Sample>(frame + frameBytes, 0), x);
        float right = left;
        if constexpr (shape == MixShape::stereoPair) {
            right = sampleAt<Sample>(frame, 1);
            if (interpolated && x > 0.0f)
                right = interpolate(right, sampleAt<Sample>(frame + frameBytes, 1), x);
        }
        mixFrameOf<shape>(gainAt(cursor, k), left, right, mix + size_t(k) * kMixChannels<shape>);
    }
}

#if defined(__x86_64__) || defined(__i386__)

// Interpolated int16 frames at a steady rate, eight at a time with AVX2
// (without FMA, which would round differently). Integer samples make the
// reference path's "only where x > 0" needless here: a + (b - a) · 0 is a.
constexpr int kLanes = 8;
constexpr float kInt16Scale = 3.0517578125e-05f; // 2^-15, as Int16Sample::toFloat

__attribute__((target("avx2"))) void addInto(float *out, __m256 v)
{
    _mm256_storeu_ps(out, _mm256_add_ps(_mm256_loadu_ps(out), v));
}

// Channel `channel` of frames i and i + 1 for the eight indices.
template <int channels>
__attribute__((target("avx2"))) void loadInt16Pairs(const int16_t *data, int clipChannels,
                                                    __m256i index, int channel, __m256 &a,
                                                    __m256 &b)
{
    const auto *base = reinterpret_cast<const int *>(data + channel);
    __m256i low, high;
    if constexpr (channels == 1) { // both frames in one 32-bit word
        const __m256i words = _mm256_i32gather_epi32(base, index, 2);
        low = _mm256_srai_epi32(_mm256_slli_epi32(words, 16), 16);
        high = _mm256_srai_epi32(words, 16);
    } else {
        const __m256i offsets = _mm256_mullo_epi32(index, _mm256_set1_epi32(clipChannels * 2));
        low = _mm256_srai_epi32(_mm256_slli_epi32(_mm256_i32gather_epi32(base, offsets, 1), 16), 16);
        const auto *next = reinterpret_cast<const int *>(data + channel + clipChannels);
        high = _mm256_srai_epi32(_mm256_slli_epi32(_mm256_i32gather_epi32(next, offsets, 1), 16), 16);
    }
    const __m256 scale = _mm256_set1_ps(kInt16Scale);
    a = _mm256_mul_ps(_mm256_cvtepi32_ps(low), scale);
    b = _mm256_mul_ps(_mm256_cvtepi32_ps(high), scale);
}

__attribute__((target("avx2"))) __m256 interpolateLanes(__m256 a, __m256 b, __m256 x)
{
    return _mm256_add_ps(a, _mm256_mul_ps(_mm256_sub_ps(b, a), x));
}

template <MixShape shape, int channels>
__attribute__((target("avx2"))) void int16Run(const MvClip *clip, const SamplerCursor &cursor,
                                              int first, int last, float *mix)
{
    const auto *data = static_cast<const int16_t *>(clip->data);
    const __m256d anchor = _mm256_set1_pd(cursor.anchorPosition);
    const __m256d step = _mm256_set1_pd(cursor.step);
    const __m256 gainStart = _mm256_set1_ps(cursor.gainStart);
    const __m256 gainStep = _mm256_set1_ps(cursor.gainStep);
    const double n = first - cursor.anchorFrame;
    __m256d nLow = _mm256_setr_pd(n, n + 1, n + 2, n + 3); // frames since the anchor
    __m256d nHigh = _mm256_setr_pd(n + 4, n + 5, n + 6, n + 7);
    __m256 frameNumbers = _mm256_setr_ps(float(first), float(first + 1), float(first + 2),
                                         float(first + 3), float(first + 4), float(first + 5),
                                         float(first + 6), float(first + 7));
    const __m256d laneStep = _mm256_set1_pd(kLanes);
    const __m256 laneStepFloat = _mm256_set1_ps(kLanes); // exact while frames < 2^24
    int k = first;
    for (; k + kLanes <= last; k += kLanes) {
        const __m256d pLow = _mm256_add_pd(anchor, _mm256_mul_pd(nLow, step));
        const __m256d pHigh = _mm256_add_pd(anchor, _mm256_mul_pd(nHigh, step));
        const __m128i iLow = _mm256_cvttpd_epi32(pLow);
        const __m128i iHigh = _mm256_cvttpd_epi32(pHigh);
        const __m256 x = _mm256_set_m128(
            _mm256_cvtpd_ps(_mm256_sub_pd(pHigh, _mm256_cvtepi32_pd(iHigh))),
            _mm256_cvtpd_ps(_mm256_sub_pd(pLow, _mm256_cvtepi32_pd(iLow))));
        const __m256i index = _mm256_set_m128i(iHigh, iLow);
        const __m256 gain = _mm256_add_ps(gainStart, _mm256_mul_ps(frameNumbers, gainStep));
        nLow = _mm256_add_pd(nLow, laneStep);
        nHigh = _mm256_add_pd(nHigh, laneStep);
        frameNumbers = _mm256_add_ps(frameNumbers, laneStepFloat);

        __m256 a, b;
        loadInt16Pairs<channels>(data, clip->channels, index, 0, a, b);
        const __m256 left = _mm256_mul_ps(gain, interpolateLanes(a, b, x));
        if constexpr (shape == MixShape::mono) {
            addInto(mix + k, _mm256_add_ps(_mm256_setzero_ps(), left));
        } else {
            __m256 right = left;
            if constexpr (shape == MixShape::stereoPair) {
                loadInt16Pairs<channels>(data, clip->channels, index, 1, a, b);
                right = _mm256_mul_ps(gain, interpolateLanes(a, b, x));
            }
            const __m256 low = _mm256_unpacklo_ps(left, right);  // frames 0, 1 | 4, 5
            const __m256 high = _mm256_unpackhi_ps(left, right); // frames 2, 3 | 6, 7
            addInto(mix + 2 * k, _mm256_permute2f128_ps(low, high, 0x20));
            addInto(mix + 2 * k + kLanes, _mm256_permute2f128_ps(low, high, 0x31));
        }
    }
    scalarRun<Int16Sample, shape, true, true>(clip, cursor, k, last, mix);
}

SamplerRun int16RunFor(MixShape shape, int channels)
{
    if (!__builtin_cpu_supports("avx2")) return nullptr;
    switch (shape) {
    case MixShape::mono:
        return channels == 1 ? int16Run<MixShape::mono, 1> : int16Run<MixShape::mono, 0>;
    case MixShape::stereoFromMono: return int16Run<MixShape::stereoFromMono, 1>;
    default: return int16Run<MixShape::stereoPair, 0>;
    }
}

#endif

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

SamplerRun samplerRunFor(MixShape shape, int format, int channels, bool interpolated, bool steady)
{
#if defined(__x86_64__) || defined(__i386__)
    if (format == MV_FORMAT_INT16 && interpolated && steady)
        if (SamplerRun run = int16RunFor(shape, channels)) return run;
#endif
    switch (shape) {
    case MixShape::mono: return pickFormat<MixShape::mono>(format, interpolated, steady);
    case MixShape::stereoFromMono:
        return pickFormat<MixShape::stereoFromMono>(format, interpolated, steady);
    default: return pickFormat<MixShape::stereoPair>(format, interpolated, steady);
    }
}

} // namespace mv
