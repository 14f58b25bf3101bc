// The sampler's specialised runs: the format, the channel shape, the
// interpolation and a steady rate fixed at compile time, and for int16
// clips four frames at a time with SSE2. Every run performs exactly the
// operations of the reference path (mv_sampler_render.cpp) in the same
// order on the same values, so both produce the same bits; a test holds
// them to it.
#include "mv_sampler_runs.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
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

#if defined(__SSE2__)

constexpr int kLanes = 4;

// Frame i of channel `channel` and frame i + 1 for four indices, as floats.
template <int channels>
void loadInt16Pairs(const int16_t *data, int clipChannels, const int32_t *index, int channel,
                    __m128 &a, __m128 &b)
{
    __m128i low, high;
    if constexpr (channels == 1) { // both frames in one 32-bit word
        int32_t words[kLanes];
        for (int j = 0; j < kLanes; ++j) std::memcpy(&words[j], data + index[j], sizeof(int32_t));
        const __m128i w = _mm_setr_epi32(words[0], words[1], words[2], words[3]);
        low = _mm_srai_epi32(_mm_slli_epi32(w, 16), 16);
        high = _mm_srai_epi32(w, 16);
    } else {
        const int16_t *f[kLanes];
        for (int j = 0; j < kLanes; ++j) f[j] = data + size_t(index[j]) * clipChannels + channel;
        low = _mm_setr_epi32(f[0][0], f[1][0], f[2][0], f[3][0]);
        high = _mm_setr_epi32(f[0][clipChannels], f[1][clipChannels], f[2][clipChannels],
                              f[3][clipChannels]);
    }
    const __m128 scale = _mm_set1_ps(3.0517578125e-05f); // 2^-15, as Int16Sample::toFloat
    a = _mm_mul_ps(_mm_cvtepi32_ps(low), scale);
    b = _mm_mul_ps(_mm_cvtepi32_ps(high), scale);
}

// a + (b - a) · x where x > 0, a where x is 0.
__m128 interpolateLanes(__m128 a, __m128 b, __m128 x)
{
    const __m128 mixed = _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), x));
    const __m128 moving = _mm_cmpgt_ps(x, _mm_setzero_ps());
    return _mm_or_ps(_mm_and_ps(moving, mixed), _mm_andnot_ps(moving, a));
}

void addInto(float *out, __m128 v) { _mm_storeu_ps(out, _mm_add_ps(_mm_loadu_ps(out), v)); }

// Interpolated int16 frames at a steady rate, four at a time.
template <MixShape shape, int channels>
void int16Run(const MvClip *clip, const SamplerCursor &cursor, int first, int last, float *mix)
{
    const auto *data = static_cast<const int16_t *>(clip->data);
    const __m128d anchor = _mm_set1_pd(cursor.anchorPosition);
    const __m128d step = _mm_set1_pd(cursor.step);
    const __m128 gainStart = _mm_set1_ps(cursor.gainStart);
    const __m128 gainStep = _mm_set1_ps(cursor.gainStep);
    int k = first;
    for (; k + kLanes <= last; k += kLanes) {
        const double n = k - cursor.anchorFrame;
        const __m128d pLow = _mm_add_pd(anchor, _mm_mul_pd(_mm_setr_pd(n, n + 1), step));
        const __m128d pHigh = _mm_add_pd(anchor, _mm_mul_pd(_mm_setr_pd(n + 2, n + 3), step));
        const __m128i iLow = _mm_cvttpd_epi32(pLow);
        const __m128i iHigh = _mm_cvttpd_epi32(pHigh);
        const __m128 x = _mm_movelh_ps(_mm_cvtpd_ps(_mm_sub_pd(pLow, _mm_cvtepi32_pd(iLow))),
                                       _mm_cvtpd_ps(_mm_sub_pd(pHigh, _mm_cvtepi32_pd(iHigh))));
        alignas(16) int32_t index[kLanes];
        _mm_store_si128(reinterpret_cast<__m128i *>(index), _mm_unpacklo_epi64(iLow, iHigh));
        const __m128 frameNumbers =
            _mm_setr_ps(float(k), float(k + 1), float(k + 2), float(k + 3));
        const __m128 gain = _mm_add_ps(gainStart, _mm_mul_ps(frameNumbers, gainStep));

        __m128 a, b;
        loadInt16Pairs<channels>(data, clip->channels, index, 0, a, b);
        const __m128 left = _mm_mul_ps(gain, interpolateLanes(a, b, x));
        if constexpr (shape == MixShape::mono) {
            addInto(mix + k, _mm_add_ps(_mm_setzero_ps(), left));
        } else if constexpr (shape == MixShape::stereoFromMono) {
            addInto(mix + 2 * k, _mm_unpacklo_ps(left, left));
            addInto(mix + 2 * k + kLanes, _mm_unpackhi_ps(left, left));
        } else {
            loadInt16Pairs<channels>(data, clip->channels, index, 1, a, b);
            const __m128 right = _mm_mul_ps(gain, interpolateLanes(a, b, x));
            addInto(mix + 2 * k, _mm_unpacklo_ps(left, right));
            addInto(mix + 2 * k + kLanes, _mm_unpackhi_ps(left, right));
        }
    }
    scalarRun<Int16Sample, shape, true, true>(clip, cursor, k, last, mix);
}

// The four-lane runs exist for interpolated int16 at a steady rate, the
// case games and players spend their time in.
SamplerRun int16RunFor(MixShape shape, int channels)
{
    switch (shape) {
    case MixShape::mono: return channels == 1 ? int16Run<MixShape::mono, 1> : int16Run<MixShape::mono, 0>;
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
#if defined(__SSE2__)
    if (format == MV_FORMAT_INT16 && interpolated && steady) return int16RunFor(shape, channels);
#endif
    switch (shape) {
    case MixShape::mono: return pickFormat<MixShape::mono>(format, interpolated, steady);
    case MixShape::stereoFromMono:
        return pickFormat<MixShape::stereoFromMono>(format, interpolated, steady);
    default: return pickFormat<MixShape::stereoPair>(format, interpolated, steady);
    }
}

} // namespace mv
