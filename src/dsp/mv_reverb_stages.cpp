// The reverberator's stages at three vector widths. The vector loops do the
// same IEEE operations as the scalar ones, in the same order, on independent
// frames or filters, so every kernel gives bit-identical results; none uses
// fused multiply-add. Frames left over from a vector loop take the scalar
// path of the same stage.
#include "mv_reverb_stages.h"

#include "mv_cpu.h"

#include <algorithm>
#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace mv {
namespace {

constexpr uint32_t kExponentBits = 0x7F800000;

// Zero and subnormal floats (exponent bits all clear) become +0.
float flush(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    return std::bit_cast<float>((bits & kExponentBits) ? bits : 0u);
}

// Scalar stages, from frame `from` of the pass on.

void clearSides(Pass &pass) {
    for (double *side : pass.side) std::fill_n(side, pass.frames, 0.0);
}

void readCombFrames(const float *cells, double *sum, double *damped, double damp2, int from,
                    int to) {
    for (int k = from; k < to; ++k) {
        const float out = flush(cells[k]);
        sum[k] += out;
        damped[k] = out * damp2;
    }
}

void dampFrames(Network &net, Pass &pass, int from) {
    for (int k = from; k < pass.frames; ++k) {
        for (int line = 0; line < kCombLines; ++line) {
            float &store = net.store[line];
            store = flush(static_cast<float>(pass.damped[line][k] + store * net.damp1[line]));
            pass.store[line][k] = store;
        }
    }
}

void writeCombFrames(float *cells, const Pass &pass, int line, double feedback, int from) {
    for (int k = from; k < pass.frames; ++k)
        cells[k] = static_cast<float>(pass.input[k] + pass.store[line][k] * feedback);
}

void allpassFrames(float *cells, double *acc, double feedback, int from, int to) {
    for (int k = from; k < to; ++k) {
        const float delayed = flush(cells[k]);
        cells[k] = static_cast<float>(acc[k] + delayed * feedback);
        acc[k] = delayed - acc[k];
    }
}

void readCombsScalar(Network &net, Pass &pass) {
    clearSides(pass);
    for (int line = 0; line < kCombLines; ++line)
        readCombFrames(net.cursor[line], pass.side[line / MV_REVERB_COMBS], pass.damped[line],
                       net.damp2[line], 0, pass.frames);
}

void dampCombsScalar(Network &net, Pass &pass) { dampFrames(net, pass, 0); }

void writeCombsScalar(Network &net, const Pass &pass) {
    for (int line = 0; line < kCombLines; ++line)
        writeCombFrames(net.cursor[line], pass, line, net.feedback[line], 0);
}

// The all-pass line of side s, filter i.
int allpassLine(int side, int i) { return kCombLines + side * MV_REVERB_ALLPASSES + i; }

void runAllpassesScalar(Network &net, Pass &pass) {
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
            const int line = allpassLine(s, i);
            allpassFrames(net.cursor[line], pass.side[s], net.feedback[line], 0, pass.frames);
        }
}

constexpr Stages kScalarStages{readCombsScalar, dampCombsScalar, writeCombsScalar,
                               runAllpassesScalar};

#if defined(__SSE2__)
constexpr int kQuad = 4; // frames (or filters) per vector step

__m128 flushLanes(__m128 values) {
    const __m128 exponent = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(kExponentBits)));
    return _mm_and_ps(values, _mm_cmpneq_ps(_mm_and_ps(values, exponent), _mm_setzero_ps()));
}

// SSE2: four frames at a time as two pairs of doubles.

__m128d lowHalf(__m128 values) { return _mm_cvtps_pd(values); }
__m128d highHalf(__m128 values) { return _mm_cvtps_pd(_mm_movehl_ps(values, values)); }
__m128 toFloats(__m128d low, __m128d high) {
    return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
}

void readCombsSse2(Network &net, Pass &pass) {
    clearSides(pass);
    for (int line = 0; line < kCombLines; ++line) {
        const float *cells = net.cursor[line];
        double *sum = pass.side[line / MV_REVERB_COMBS];
        const __m128d damp2 = _mm_set1_pd(net.damp2[line]);
        int k = 0;
        for (; k + kQuad <= pass.frames; k += kQuad) {
            const __m128 out = flushLanes(_mm_loadu_ps(cells + k));
            const __m128d low = lowHalf(out), high = highHalf(out);
            _mm_storeu_pd(sum + k, _mm_add_pd(_mm_loadu_pd(sum + k), low));
            _mm_storeu_pd(sum + k + 2, _mm_add_pd(_mm_loadu_pd(sum + k + 2), high));
            _mm_storeu_pd(pass.damped[line] + k, _mm_mul_pd(low, damp2));
            _mm_storeu_pd(pass.damped[line] + k + 2, _mm_mul_pd(high, damp2));
        }
        readCombFrames(cells, sum, pass.damped[line], net.damp2[line], k, pass.frames);
    }
}

// The one recurrence of the network: each comb's one-pole damping state.
// Two combs per vector, eight vectors in flight so their latencies overlap.
void dampCombsSse2(Network &net, Pass &pass) {
    constexpr int pairs = kCombLines / 2;
    __m128 store[pairs];
    __m128d damp1[pairs];
    for (int p = 0; p < pairs; ++p) {
        store[p] =
            _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(net.store + 2 * p)));
        damp1[p] = _mm_loadu_pd(net.damp1 + 2 * p);
    }
    for (int k = 0; k < pass.frames; ++k) {
        for (int p = 0; p < pairs; ++p) {
            const __m128d damped =
                _mm_loadh_pd(_mm_load_sd(&pass.damped[2 * p][k]), &pass.damped[2 * p + 1][k]);
            const __m128d sum = _mm_add_pd(damped, _mm_mul_pd(_mm_cvtps_pd(store[p]), damp1[p]));
            store[p] = flushLanes(_mm_cvtpd_ps(sum));
            _mm_store_ss(&pass.store[2 * p][k], store[p]);
            _mm_store_ss(&pass.store[2 * p + 1][k], _mm_shuffle_ps(store[p], store[p], 1));
        }
    }
    for (int p = 0; p < pairs; ++p)
        _mm_storel_epi64(reinterpret_cast<__m128i *>(net.store + 2 * p),
                         _mm_castps_si128(store[p]));
}

void writeCombsSse2(Network &net, const Pass &pass) {
    for (int line = 0; line < kCombLines; ++line) {
        float *cells = net.cursor[line];
        const __m128d feedback = _mm_set1_pd(net.feedback[line]);
        int k = 0;
        for (; k + kQuad <= pass.frames; k += kQuad) {
            const __m128 state = _mm_loadu_ps(pass.store[line] + k);
            const __m128d low =
                _mm_add_pd(_mm_loadu_pd(pass.input + k), _mm_mul_pd(lowHalf(state), feedback));
            const __m128d high =
                _mm_add_pd(_mm_loadu_pd(pass.input + k + 2), _mm_mul_pd(highHalf(state), feedback));
            _mm_storeu_ps(cells + k, toFloats(low, high));
        }
        writeCombFrames(cells, pass, line, net.feedback[line], k);
    }
}

void runAllpassesSse2(Network &net, Pass &pass) {
    for (int s = 0; s < 2; ++s) {
        double *acc = pass.side[s];
        for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
            const int line = allpassLine(s, i);
            float *cells = net.cursor[line];
            const __m128d feedback = _mm_set1_pd(net.feedback[line]);
            int k = 0;
            for (; k + kQuad <= pass.frames; k += kQuad) {
                const __m128 delayed = flushLanes(_mm_loadu_ps(cells + k));
                const __m128d low = lowHalf(delayed), high = highHalf(delayed);
                const __m128d accLow = _mm_loadu_pd(acc + k), accHigh = _mm_loadu_pd(acc + k + 2);
                _mm_storeu_ps(cells + k, toFloats(_mm_add_pd(accLow, _mm_mul_pd(low, feedback)),
                                                  _mm_add_pd(accHigh, _mm_mul_pd(high, feedback))));
                _mm_storeu_pd(acc + k, _mm_sub_pd(low, accLow));
                _mm_storeu_pd(acc + k + 2, _mm_sub_pd(high, accHigh));
            }
            allpassFrames(cells, acc, net.feedback[line], k, pass.frames);
        }
    }
}

constexpr Stages kSse2Stages{readCombsSse2, dampCombsSse2, writeCombsSse2, runAllpassesSse2};

// AVX: four frames at a time as one vector of doubles. Only "avx" is
// enabled here (no FMA), so products and sums stay separately rounded.
MV_TARGET_AVX __m256d loadFlushed(const float *cells) {
    return _mm256_cvtps_pd(flushLanes(_mm_loadu_ps(cells)));
}

MV_TARGET_AVX void readCombsAvx(Network &net, Pass &pass) {
    clearSides(pass);
    for (int line = 0; line < kCombLines; ++line) {
        const float *cells = net.cursor[line];
        double *sum = pass.side[line / MV_REVERB_COMBS];
        const __m256d damp2 = _mm256_set1_pd(net.damp2[line]);
        int k = 0;
        for (; k + kQuad <= pass.frames; k += kQuad) {
            const __m256d out = loadFlushed(cells + k);
            _mm256_storeu_pd(sum + k, _mm256_add_pd(_mm256_loadu_pd(sum + k), out));
            _mm256_storeu_pd(pass.damped[line] + k, _mm256_mul_pd(out, damp2));
        }
        readCombFrames(cells, sum, pass.damped[line], net.damp2[line], k, pass.frames);
    }
}

// Four combs per vector, four vectors in flight. The pass keeps a comb's
// frames together, the recurrence wants a frame's combs together: blocks of
// four frames by four combs are transposed on the way in and out.
MV_TARGET_AVX void dampCombsAvx(Network &net, Pass &pass) {
    constexpr int groups = kCombLines / kQuad;
    __m128 store[groups];
    __m256d damp1[groups];
    for (int g = 0; g < groups; ++g) {
        store[g] = _mm_loadu_ps(net.store + kQuad * g);
        damp1[g] = _mm256_loadu_pd(net.damp1 + kQuad * g);
    }
    int k = 0;
    for (; k + kQuad <= pass.frames; k += kQuad) {
        for (int g = 0; g < groups; ++g) {
            double(*const damped)[kPassFrames] = pass.damped + kQuad * g;
            const __m256d c0 = _mm256_loadu_pd(damped[0] + k), c1 = _mm256_loadu_pd(damped[1] + k);
            const __m256d c2 = _mm256_loadu_pd(damped[2] + k), c3 = _mm256_loadu_pd(damped[3] + k);
            const __m256d t0 = _mm256_unpacklo_pd(c0, c1), t1 = _mm256_unpackhi_pd(c0, c1);
            const __m256d t2 = _mm256_unpacklo_pd(c2, c3), t3 = _mm256_unpackhi_pd(c2, c3);
            const __m256d frame[kQuad] = {
                _mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
                _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)};
            __m128 state[kQuad];
            for (int j = 0; j < kQuad; ++j) {
                const __m256d sum =
                    _mm256_add_pd(frame[j], _mm256_mul_pd(_mm256_cvtps_pd(store[g]), damp1[g]));
                state[j] = store[g] = flushLanes(_mm256_cvtpd_ps(sum));
            }
            _MM_TRANSPOSE4_PS(state[0], state[1], state[2], state[3]);
            for (int i = 0; i < kQuad; ++i) _mm_storeu_ps(pass.store[kQuad * g + i] + k, state[i]);
        }
    }
    for (int g = 0; g < groups; ++g) _mm_storeu_ps(net.store + kQuad * g, store[g]);
    dampFrames(net, pass, k);
}

MV_TARGET_AVX void writeCombsAvx(Network &net, const Pass &pass) {
    for (int line = 0; line < kCombLines; ++line) {
        float *cells = net.cursor[line];
        const __m256d feedback = _mm256_set1_pd(net.feedback[line]);
        int k = 0;
        for (; k + kQuad <= pass.frames; k += kQuad) {
            const __m256d state = _mm256_cvtps_pd(_mm_loadu_ps(pass.store[line] + k));
            const __m256d sum =
                _mm256_add_pd(_mm256_loadu_pd(pass.input + k), _mm256_mul_pd(state, feedback));
            _mm_storeu_ps(cells + k, _mm256_cvtpd_ps(sum));
        }
        writeCombFrames(cells, pass, line, net.feedback[line], k);
    }
}

MV_TARGET_AVX void runAllpassesAvx(Network &net, Pass &pass) {
    for (int s = 0; s < 2; ++s) {
        double *acc = pass.side[s];
        for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
            const int line = allpassLine(s, i);
            float *cells = net.cursor[line];
            const __m256d feedback = _mm256_set1_pd(net.feedback[line]);
            int k = 0;
            for (; k + kQuad <= pass.frames; k += kQuad) {
                const __m256d delayed = loadFlushed(cells + k);
                const __m256d input = _mm256_loadu_pd(acc + k);
                _mm_storeu_ps(cells + k, _mm256_cvtpd_ps(_mm256_add_pd(
                                             input, _mm256_mul_pd(delayed, feedback))));
                _mm256_storeu_pd(acc + k, _mm256_sub_pd(delayed, input));
            }
            allpassFrames(cells, acc, net.feedback[line], k, pass.frames);
        }
    }
}

constexpr Stages kAvxStages{readCombsAvx, dampCombsAvx, writeCombsAvx, runAllpassesAvx};
#endif

} // namespace

const Stages *stagesFor(ReverbKernel kernel) {
    switch (kernel) {
    case ReverbKernel::Scalar: return &kScalarStages;
#if defined(__SSE2__)
    case ReverbKernel::Sse2: return &kSse2Stages;
    case ReverbKernel::Avx: return cpuFeatures().avx ? &kAvxStages : nullptr;
#else
    case ReverbKernel::Sse2:
    case ReverbKernel::Avx: return nullptr;
#endif
    }
    return nullptr;
}

} // namespace mv
