// Eight-frame lanes of the sampler's AVX2 runs, shared by the one-voice
// runs (mv_sampler_runs.cpp) and the sibling-voice runs
// (mv_sampler_voices.cpp) so all read, interpolate and mix frames the same
// way, and find the running values of eight frames the same way. Never FMA:
// a fused multiply-add would round differently. Internal.
//
// With a steady rate the eight positions need not wait on eight serial
// additions. Within one binade [2^e, 2^e+1) doubles lie u = 2^(e-52) apart,
// so p + step rounds to p + d, d being step rounded to a multiple of u,
// unless step lies exactly halfway between two multiples (a tie, rounded
// to even by p's last bit). Without a tie, and while p + 8d stays inside
// the binade, the serial sums are p + n·d, every one exact: n·d and the sum
// are multiples of u below 2^e+1. A ramped gain is found the same way in
// float, rising or falling. Anywhere else (a binade crossed, a tie, zero,
// a subnormal) the eight frames are added one by one. Either way each value
// is the reference path's serial sum, bit for bit.
#pragma once

#if defined(__x86_64__) || defined(__i386__)

#include "mv_cpu.h"
#include "mv_sampler_runs.h"

#include <bit>
#include <cstdint>
#include <immintrin.h>
#include <limits>
#include <type_traits>

namespace mv {

constexpr int kLanes = 8;
constexpr float kInt16Scale = kUnitOfView<Int16Sample::scaleBits>; // as Int16Sample::toFloat

MV_TARGET_AVX2 inline void addInto(float *out, __m256 v) {
    _mm256_storeu_ps(out, _mm256_add_ps(_mm256_loadu_ps(out), v));
}

// Eight int16 samples in a row as floats, as Int16Sample::toFloat.
MV_TARGET_AVX2 inline __m256 int16Floats(const int16_t *samples) {
    const __m256i value =
        _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(samples)));
    return _mm256_mul_ps(_mm256_cvtepi32_ps(value), _mm256_set1_ps(kInt16Scale));
}

// The low or the high int16 half of each 32-bit word, as floats.
template <bool high> MV_TARGET_AVX2 inline __m256 int16Half(__m256i words) {
    const __m256i value =
        high ? _mm256_srai_epi32(words, 16) : _mm256_srai_epi32(_mm256_slli_epi32(words, 16), 16);
    return _mm256_mul_ps(_mm256_cvtepi32_ps(value), _mm256_set1_ps(kInt16Scale));
}

// The first 32-bit word of frame i for the eight indices: its first two
// channels, or with a mono clip frame i and frame i + 1 together.
template <int channels>
MV_TARGET_AVX2 inline __m256i gatherInt16Word(const int16_t *data, int clipChannels,
                                              __m256i index) {
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
MV_TARGET_AVX2 inline void gatherInt16Words(const int16_t *data, int clipChannels, __m256i index,
                                            __m256i &here, __m256i &next) {
    here = gatherInt16Word<channels>(data, clipChannels, index);
    if constexpr (channels == 1) next = here;
    else next = gatherInt16Word<channels>(data + clipChannels, clipChannels, index);
}

MV_TARGET_AVX2 inline __m256 interpolateLanes(__m256 a, __m256 b, __m256 x) {
    return _mm256_add_ps(a, _mm256_mul_ps(_mm256_sub_ps(b, a), x));
}

// The fractions of four positions against their truncated indices.
MV_TARGET_AVX2 inline __m128 fractionLanes(__m256d position, __m128i index) {
    return _mm256_cvtpd_ps(_mm256_sub_pd(position, _mm256_cvtepi32_pd(index)));
}

// ---- the running values of eight frames ----------------------------------

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

// The bounds of the binade holding `value`, zero where none serves (zero,
// negative, subnormal, not finite).
template <typename Real> struct Binade {
    Real low = 0;
    Real high = 0;
    Real unit = 0; // the spacing of its values
};

template <typename Real> Binade<Real> binadeOf(Real value) {
    using Bits = std::conditional_t<sizeof(Real) == 8, uint64_t, uint32_t>;
    constexpr int kMantissaBits = std::numeric_limits<Real>::digits - 1;
    constexpr Bits kExponent = Bits(~Bits(0) >> 1) & Bits(~((Bits(1) << kMantissaBits) - 1));
    if (!(value >= std::numeric_limits<Real>::min()) ||
        !(value <= std::numeric_limits<Real>::max()))
        return {};
    const Real low = std::bit_cast<Real>(Bits(std::bit_cast<Bits>(value) & kExponent));
    return {low, 2 * low, low * std::numeric_limits<Real>::epsilon()};
}

// The increment by which `step` moves every value of the binade of
// `value`, or false when it is no single increment (a tie, or no binade).
// step - d is exact: d lies within half a unit of step.
template <typename Real>
bool binadeIncrement(Real value, Real step, Binade<Real> &binade, Real &increment) {
    binade = binadeOf(value);
    increment = (value + step) - value;
    const Real off = step - increment;
    return binade.unit != 0 && off != binade.unit / 2 && -off != binade.unit / 2;
}

// The increments of the eight frames from the first, found once per binade.
struct RunningIncrements {
    __m256d low, high; // positions: 0-3 and 4-7 times d
    __m256 gain;       // gains: 0-7 times the gain's d
    double seven, eight;
    float gainEight;
};

MV_LANES RunningIncrements incrementsOf(double delta, float gainDelta) {
    const __m256d d = _mm256_set1_pd(delta);
    return {_mm256_mul_pd(d, _mm256_set_pd(3, 2, 1, 0)),
            _mm256_mul_pd(d, _mm256_set_pd(7, 6, 5, 4)),
            _mm256_mul_ps(_mm256_set1_ps(gainDelta), _mm256_set_ps(7, 6, 5, 4, 3, 2, 1, 0)),
            7.0 * delta,
            8.0 * delta,
            8.0f * gainDelta};
}

// The running values of the next eight frames, advancing `now` past them;
// false when one of them would read past `end` (then `now` is untouched).
// The increments found hold from block to block until a check fails.
template <bool steady, bool steadyGain> class LaneRunning {
public:
    MV_LANES LaneRunning(const MvClip *clip, double sinkRate, double end, const SamplerRunning &now)
        : clip_(clip), sinkRate_(sinkRate), end_(end),
          step_(stepOf(clip, now.frequency, sinkRate)) {
        findIncrements(now);
    }

    MV_LANES bool next(SamplerRunning &now, RunningLanes &lanes) {
        if constexpr (steady) {
            const double after = now.position + increments_.eight;
            const float gainAfter = now.gain + increments_.gainEight;
            // Rising positions stay above the binade's low end; a gain may
            // fall, and must stay a unit above it so its sums round there.
            if (after < positionHigh_ && now.position + increments_.seven < end_ &&
                (steadyGain || (gainAfter > gainLow_ && gainAfter < gainHigh_))) {
                const __m256d base = _mm256_set1_pd(now.position);
                lanes.low = _mm256_add_pd(base, increments_.low);
                lanes.high = _mm256_add_pd(base, increments_.high);
                lanes.gain = steadyGain ? _mm256_set1_ps(now.gain)
                                        : _mm256_add_ps(_mm256_set1_ps(now.gain), increments_.gain);
                now.position = after;
                if constexpr (!steadyGain) now.gain = gainAfter;
                return true;
            }
        }
        if (!serial(now, lanes)) return false;
        findIncrements(now);
        return true;
    }

private:
    // One by one, as the reference path adds them.
    MV_TARGET_AVX2 bool serial(SamplerRunning &now, RunningLanes &lanes) {
        alignas(32) double positions[kLanes];
        alignas(32) float gains[kLanes];
        SamplerRunning after = now;
        for (int j = 0; j < kLanes; ++j) {
            positions[j] = after.position;
            gains[j] = after.gain;
            advance<steady, steadyGain>(after, clip_, sinkRate_, step_);
        }
        lanes.low = _mm256_load_pd(positions);
        lanes.high = _mm256_load_pd(positions + 4);
        lanes.gain = _mm256_load_ps(gains);
        // A steady step is never negative, so the last position is the largest.
        if constexpr (steady) {
            if (!(positions[kLanes - 1] < end_)) return false;
        } else {
            const __m256d endLanes = _mm256_set1_pd(end_);
            const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(lanes.low, endLanes, _CMP_LT_OQ),
                                                 _mm256_cmp_pd(lanes.high, endLanes, _CMP_LT_OQ));
            if (_mm256_movemask_pd(inside) != 0xF) return false;
        }
        now = after;
        return true;
    }

    // How one step moves the current values within their binades; the
    // bounds stay closed (zero) where no single increment serves.
    MV_LANES void findIncrements(const SamplerRunning &now) {
        if constexpr (steady) {
            Binade<double> positions;
            Binade<float> gains;
            double delta;
            float gainDelta;
            positionHigh_ = binadeIncrement(now.position, step_, positions, delta) && step_ >= 0
                                ? positions.high
                                : 0.0;
            const bool gainServes = binadeIncrement(now.gain, now.gainStep, gains, gainDelta);
            gainLow_ = gainServes ? gains.low : std::numeric_limits<float>::infinity();
            gainHigh_ = gainServes ? gains.high : 0.0f;
            increments_ = incrementsOf(delta, gainServes ? gainDelta : 0.0f);
        }
    }

    const MvClip *clip_;
    double sinkRate_;
    double end_;
    double step_;
    RunningIncrements increments_{};
    double positionHigh_ = 0.0;
    float gainLow_ = 0.0f;
    float gainHigh_ = 0.0f;
};

} // namespace mv

#endif
