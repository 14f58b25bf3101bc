// Eight-frame lane helpers of the sampler's AVX2 runs, shared by the
// one-voice int16 run (mv_sampler_runs.cpp) and the sibling-voice runs
// (mv_sampler_voices.cpp) so both read and mix int16 frames the same way.
// Never FMA: a fused multiply-add would round differently. Internal.
#pragma once

#include "mv_cpu.h"

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace mv {

constexpr int kLanes = 8;
constexpr float kInt16Scale = 3.0517578125e-05f; // 2^-15, as Int16Sample::toFloat

MV_TARGET_AVX2 inline void addInto(float *out, __m256 v)
{
    _mm256_storeu_ps(out, _mm256_add_ps(_mm256_loadu_ps(out), v));
}

// The low or the high int16 half of each 32-bit word, as floats.
template <bool high>
MV_TARGET_AVX2 inline __m256 int16Half(__m256i words)
{
    const __m256i value = high ? _mm256_srai_epi32(words, 16)
                               : _mm256_srai_epi32(_mm256_slli_epi32(words, 16), 16);
    return _mm256_mul_ps(_mm256_cvtepi32_ps(value), _mm256_set1_ps(kInt16Scale));
}

// The first 32-bit word of frame i for the eight indices: its first two
// channels, or with a mono clip frame i and frame i + 1 together.
template <int channels>
MV_TARGET_AVX2 inline __m256i gatherInt16Word(const int16_t *data, int clipChannels,
                                              __m256i index)
{
    const auto *words = reinterpret_cast<const int *>(data);
    if constexpr (channels == 1) {
        return _mm256_i32gather_epi32(words, index, 2);
    } else {
        const __m256i offsets = _mm256_mullo_epi32(index, _mm256_set1_epi32(clipChannels * 2));
        return _mm256_i32gather_epi32(words, offsets, 1);
    }
}

// The first two samples of frames i (`here`) and i + 1 (`next`) for the
// eight indices: one 32-bit word each, two channels of one frame, or with a
// mono clip both frames in one word. No word reaches past frame i + 1.
template <int channels>
MV_TARGET_AVX2 inline void gatherInt16Words(const int16_t *data, int clipChannels,
                                            __m256i index, __m256i &here, __m256i &next)
{
    here = gatherInt16Word<channels>(data, clipChannels, index);
    if constexpr (channels == 1)
        next = here;
    else
        next = gatherInt16Word<channels>(data + clipChannels, clipChannels, index);
}

MV_TARGET_AVX2 inline __m256 interpolateLanes(__m256 a, __m256 b, __m256 x)
{
    return _mm256_add_ps(a, _mm256_mul_ps(_mm256_sub_ps(b, a), x));
}

// The fractions of four positions against their truncated indices.
MV_TARGET_AVX2 inline __m128 fractionLanes(__m256d position, __m128i index)
{
    return _mm256_cvtpd_ps(_mm256_sub_pd(position, _mm256_cvtepi32_pd(index)));
}

} // namespace mv

#endif
