// The reverberator's scalar and SSE2 kernels, which take the frames through
// the network one stage at a time. The vector loops do the same IEEE
// operations as the scalar ones, in the same order, on independent frames
// or filters, so every kernel gives bit-identical results; none uses fused
// multiply-add. Frames left over from a vector loop take the scalar path of
// the same stage.
#include "mv_reverb_stages.h"

#include "mv_cpu.h"

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace mv {
namespace {

// Frames are taken through the network in passes of at most this many, one
// stage for all frames at a time. Every value goes through exactly the
// operations, in the order, of a frame-by-frame walk; only independent
// work of different frames and filters is interleaved.
constexpr int kPassFrames = 64;

struct Pass {
    int frames;
    double input[kPassFrames];
    double side[2][kPassFrames];            // comb sums, then all-pass outputs
    double damped[kCombLines][kPassFrames]; // delayed value times damp2
    float store[kCombLines][kPassFrames];   // damping state after each frame
};

// In pass order: read every comb's delayed values into the side sums and
// their damped share; run the damping recurrences; write the combs' lines;
// run the all-passes in series over the side sums.
struct Stages {
    void (*readCombs)(Network &net, Pass &pass);
    void (*dampCombs)(Network &net, Pass &pass);
    void (*writeCombs)(Network &net, const Pass &pass);
    void (*runAllpasses)(Network &net, Pass &pass);
};

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

#endif

void readInput(const MvReverb &reverb, Pass &pass, const float *samples, int step) {
    for (int k = 0; k < pass.frames; ++k, samples += step)
        pass.input[k] = frameInput(reverb, samples);
}

void writeOutput(const MvReverb &reverb, const Pass &pass, float *samples, int step) {
    for (int k = 0; k < pass.frames; ++k, samples += step)
        writeFrame(reverb, samples, static_cast<float>(pass.side[0][k]),
                   static_cast<float>(pass.side[1][k]));
}

template <const Stages &stages>
void runStaged(Network &net, const MvReverb &reverb, float *samples, int count, int step) {
    Pass pass;
    while (count > 0) {
        pass.frames = std::min({count, framesBeforeWrap(net), kPassFrames});
        readInput(reverb, pass, samples, step);
        stages.readCombs(net, pass);
        stages.dampCombs(net, pass);
        stages.writeCombs(net, pass);
        stages.runAllpasses(net, pass);
        writeOutput(reverb, pass, samples, step);
        advanceCursors(net, pass.frames);
        samples += static_cast<ptrdiff_t>(pass.frames) * step;
        count -= pass.frames;
    }
}

} // namespace

#if defined(__SSE2__)
void runNetworkStaged(Network &net, const MvReverb &reverb, float *samples, int count, int step) {
    runStaged<kSse2Stages>(net, reverb, samples, count, step);
}
#endif

NetworkRun networkRunFor(ReverbKernel kernel) {
    switch (kernel) {
    case ReverbKernel::Scalar: return runStaged<kScalarStages>;
#if defined(__SSE2__)
    case ReverbKernel::Sse2: return runNetworkStaged;
    case ReverbKernel::Avx: return cpuFeatures().avx ? runNetworkAvx : nullptr;
#else
    case ReverbKernel::Sse2:
    case ReverbKernel::Avx: return nullptr;
#endif
    }
    return nullptr;
}

} // namespace mv
