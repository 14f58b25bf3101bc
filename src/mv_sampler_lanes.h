// The running values of a sampler run for eight frames at once, for the
// AVX2 runs (mv_sampler_runs.cpp). Internal.
//
// With a steady rate the eight positions need not wait on eight serial
// additions: inside one binade p + step rounds to p + d for a fixed d, so
// the candidates p + n·d are checked all at once against what the serial
// additions give (p_n + step == p_n+1 for every n); only where a check
// fails (a binade crossed, a tie) are the eight frames added one by one. A
// ramped gain is found the same way. Either way each value is the reference
// path's serial sum, bit for bit.
#pragma once

#if defined(__x86_64__) || defined(__i386__)

#include "mv_cpu.h"
#include "mv_sampler_runs.h"

#include <immintrin.h>

namespace mv {

constexpr int kRunLanes = 8;

// Helpers of the runs, inlined into them: a call would cost a vzeroupper
// and spill the running values each time.
#define MV_LANES MV_TARGET_AVX2 __attribute__((always_inline)) inline

// The running values of eight frames: positions of frames 0-3 and 4-7 and
// the gains of all eight.
struct RunningLanes {
    __m256d low;
    __m256d high;
    __m256 gain;
};

// The increments by which the running values step inside one binade, times
// 0..8 for the eight frames and the next block's start.
struct RunningIncrements {
    __m256d low, high, lowNext, highNext; // position increments of frames 0-3, 4-7, 1-4, 5-8
    __m256 gain, gainNext;                // gain increments of frames 0-7, 1-8
    double eight;
    float gainEight;
};

MV_LANES RunningIncrements incrementsOf(double delta, float gainDelta)
{
    const __m256d d = _mm256_set1_pd(delta);
    const __m256 g = _mm256_set1_ps(gainDelta);
    return {_mm256_mul_pd(d, _mm256_set_pd(3, 2, 1, 0)),
            _mm256_mul_pd(d, _mm256_set_pd(7, 6, 5, 4)),
            _mm256_mul_pd(d, _mm256_set_pd(4, 3, 2, 1)),
            _mm256_mul_pd(d, _mm256_set_pd(8, 7, 6, 5)),
            _mm256_mul_ps(g, _mm256_set_ps(7, 6, 5, 4, 3, 2, 1, 0)),
            _mm256_mul_ps(g, _mm256_set_ps(8, 7, 6, 5, 4, 3, 2, 1)),
            8.0 * delta,
            8.0f * gainDelta};
}

// Candidate positions from `start`, and whether adding `step` to each gives
// the next (they are the serial sums, then) and the last is below `end`.
MV_LANES bool checkedPositions(const RunningIncrements &increments, double start, double step,
                               double end, RunningLanes &lanes)
{
    const __m256d base = _mm256_set1_pd(start);
    const __m256d s = _mm256_set1_pd(step);
    lanes.low = _mm256_add_pd(base, increments.low);
    lanes.high = _mm256_add_pd(base, increments.high);
    const __m256d lowNext = _mm256_add_pd(base, increments.lowNext);
    const __m256d highNext = _mm256_add_pd(base, increments.highNext);
    const __m256d serial =
        _mm256_and_pd(_mm256_cmp_pd(_mm256_add_pd(lanes.low, s), lowNext, _CMP_EQ_OQ),
                      _mm256_cmp_pd(_mm256_add_pd(lanes.high, s), highNext, _CMP_EQ_OQ));
    const __m256d inside = _mm256_cmp_pd(lanes.high, _mm256_set1_pd(end), _CMP_LT_OQ);
    return _mm256_movemask_pd(_mm256_and_pd(serial, inside)) == 0xF;
}

MV_LANES bool checkedGains(const RunningIncrements &increments, float start, float step,
                           RunningLanes &lanes)
{
    const __m256 base = _mm256_set1_ps(start);
    lanes.gain = _mm256_add_ps(base, increments.gain);
    const __m256 next = _mm256_add_ps(base, increments.gainNext);
    const __m256 serial =
        _mm256_cmp_ps(_mm256_add_ps(lanes.gain, _mm256_set1_ps(step)), next, _CMP_EQ_OQ);
    return _mm256_movemask_ps(serial) == 0xFF;
}

// The running values of the next eight frames, advancing `now` past them;
// false when one of them would read past `end` (then `now` is untouched).
// The increments found hold from block to block until a check fails.
template <bool steady, bool steadyGain> class LaneRunning {
public:
    MV_LANES LaneRunning(const MvClip *clip, double sinkRate, double end, const SamplerRunning &now)
        : clip_(clip), sinkRate_(sinkRate), end_(end), step_(stepOf(clip, now.frequency, sinkRate))
    {
        findIncrements(now);
    }

    MV_LANES bool next(SamplerRunning &now, RunningLanes &lanes)
    {
        if (steady && checkedPositions(increments_, now.position, step_, end_, lanes) &&
            (steadyGain || checkedGains(increments_, now.gain, now.gainStep, lanes))) {
            now.position += increments_.eight;
            if constexpr (!steadyGain) now.gain += increments_.gainEight;
            if constexpr (steadyGain) lanes.gain = _mm256_set1_ps(now.gain);
            return true;
        }
        if (!serial(now, lanes)) return false;
        findIncrements(now);
        return true;
    }

private:
    // One by one, as the reference path adds them.
    MV_TARGET_AVX2 bool serial(SamplerRunning &now, RunningLanes &lanes)
    {
        alignas(32) double positions[kRunLanes];
        alignas(32) float gains[kRunLanes];
        SamplerRunning after = now;
        for (int j = 0; j < kRunLanes; ++j) {
            positions[j] = after.position;
            gains[j] = after.gain;
            advance<steady, steadyGain>(after, clip_, sinkRate_, step_);
        }
        lanes.low = _mm256_load_pd(positions);
        lanes.high = _mm256_load_pd(positions + 4);
        lanes.gain = _mm256_load_ps(gains);
        // A steady step is never negative, so the last position is the largest.
        if constexpr (steady) {
            if (!(positions[kRunLanes - 1] < end_)) return false;
        } else {
            const __m256d endLanes = _mm256_set1_pd(end_);
            const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(lanes.low, endLanes, _CMP_LT_OQ),
                                                 _mm256_cmp_pd(lanes.high, endLanes, _CMP_LT_OQ));
            if (_mm256_movemask_pd(inside) != 0xF) return false;
        }
        now = after;
        return true;
    }

    // How one step rounds at the current values: exact differences, both
    // terms multiples of the same unit.
    MV_LANES void findIncrements(const SamplerRunning &now)
    {
        if constexpr (steady)
            increments_ = incrementsOf((now.position + step_) - now.position,
                                       (now.gain + now.gainStep) - now.gain);
    }

    const MvClip *clip_;
    double sinkRate_;
    double end_;
    double step_;
    RunningIncrements increments_{};
};

} // namespace mv

#endif
