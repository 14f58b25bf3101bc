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
#include <cmath>
#include <cstdint>
#include <immintrin.h>
#include <limits>
#include <type_traits>

namespace mv {

constexpr int kLanes = 8;

// Helpers of the runs, inlined into them: a call would cost a vzeroupper
// and spill the running values each time.
#define MV_LANES MV_TARGET_AVX2 __attribute__((always_inline)) inline

constexpr float kInt16Scale = kUnitOfView<Int16Sample::scaleBits>; // as Int16Sample::toFloat

MV_TARGET_AVX2 inline void addInto(float *out, __m256 v) {
    _mm256_storeu_ps(out, _mm256_add_ps(_mm256_loadu_ps(out), v));
}

// Eight int16 samples in a row as floats, unscaled: in units of
// kInt16Scale.
MV_TARGET_AVX2 inline __m256 int16Values(const int16_t *samples) {
    return _mm256_cvtepi32_ps(
        _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(samples))));
}

// Eight int16 samples in a row as floats, as Int16Sample::toFloat.
MV_TARGET_AVX2 inline __m256 int16Floats(const int16_t *samples) {
    return _mm256_mul_ps(int16Values(samples), _mm256_set1_ps(kInt16Scale));
}

// The unit of int16Units: 2^-31, exact.
constexpr float kInt16HalfScale = kInt16Scale / 65536.0f;

// The low or the high int16 half of each 32-bit word, as floats, each
// converted where it stands at the top of the word: 2^16 times its value,
// exactly, in units of kInt16HalfScale.
template <bool high> MV_TARGET_AVX2 inline __m256 int16Units(__m256i words) {
    const __m256i top = high ? _mm256_and_si256(words, _mm256_set1_epi32(int32_t(0xFFFF0000u)))
                             : _mm256_slli_epi32(words, 16);
    return _mm256_cvtepi32_ps(top);
}

// The low or the high int16 half of each 32-bit word as floats, as
// Int16Sample::toFloat.
template <bool high> MV_TARGET_AVX2 inline __m256 int16Half(__m256i words) {
    return _mm256_mul_ps(int16Units<high>(words), _mm256_set1_ps(kInt16HalfScale));
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

// The fractions of four positions against their truncated indices (as
// fractionAt(): positions are never negative and within int range).
MV_TARGET_AVX2 inline __m128 fractionLanes(__m256d position) {
    const __m256d index = _mm256_round_pd(position, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    return _mm256_cvtpd_ps(_mm256_sub_pd(position, index));
}

// a + (b - a) · x where x > 0, else a, as the reference path reads a float
// clip: one may hold infinities or a negative zero, for which
// a + (b - a) · 0 is not a.
MV_TARGET_AVX2 inline __m256 interpolateWhereNeeded(__m256 a, __m256 b, __m256 x) {
    // A fraction is never negative nor NaN, so x > 0 exactly where its bits
    // read as a positive integer (-0 reads negative).
    const __m256i bits = _mm256_castps_si256(x);
    const __m256 needed = _mm256_castsi256_ps(_mm256_cmpgt_epi32(bits, _mm256_setzero_si256()));
    return _mm256_blendv_ps(a, interpolateLanes(a, b, x), needed);
}

// ---- frames read from a window of the clip -------------------------------
//
// At a steady step of at most two frames, eight frames' indices lie close
// to the first one's: each of them `offset` frames past it. Their samples
// are then picked by lane permutes from a window of the clip loaded whole
// from the first index, not gathered, which costs several times as much on
// some processors.

// The clip frames a window holds past its first: eight steps of at most one
// frame, or of at most two, and the interpolation partner.
constexpr int kNarrowReach = 8;
constexpr int kWideReach = 16;
constexpr double kMaxWindowStep = 2.0;

// The window that covers eight frames at this step.
inline int reachOf(double step) { return step <= 1.0 ? kNarrowReach : kWideReach; }

// The largest offset whose frame and partner the window serves.
template <int reach> constexpr int kMaxWindowOffset = reach == kNarrowReach ? 7 : kWideReach - 2;

// Eight frames' offsets past the first (the frame of lane 0 of `low`).
MV_TARGET_AVX2 inline __m256i windowOffsets(__m128i low, __m128i high) {
    const __m256i index = _mm256_set_m128i(high, low);
    return _mm256_sub_epi32(index, _mm256_set1_epi32(_mm_cvtsi128_si32(low)));
}

// True when none of four spans (a chunk's last frame index less its first)
// passes what the window of `reach` serves. Steps of at most one (two)
// frame move eight frames at most 7 (14) frames on, but only where every
// sum is exact; a rounded serial sum may land one frame further.
template <int reach> MV_TARGET_AVX2 inline bool insideWindow(__m128i spans) {
    const __m128i limit = _mm_set1_epi32(kMaxWindowOffset<reach>);
    return _mm_testz_si128(_mm_cmpgt_epi32(spans, limit), _mm_set1_epi32(-1));
}

// The lanes at `offset` (0 to 15) of a sixteen-lane window held as halves.
MV_TARGET_AVX2 inline __m256 pickFloats(__m256 low, __m256 high, __m256i offset) {
    const __m256 fromHigh = _mm256_castsi256_ps(_mm256_slli_epi32(offset, 28)); // offset >= 8
    return _mm256_blendv_ps(_mm256_permutevar8x32_ps(low, offset),
                            _mm256_permutevar8x32_ps(high, offset), fromHigh);
}

MV_TARGET_AVX2 inline __m256i pickWords(__m256i low, __m256i high, __m256i offset) {
    return _mm256_castps_si256(
        pickFloats(_mm256_castsi256_ps(low), _mm256_castsi256_ps(high), offset));
}

// Eight stereo float frames from `frames` split by channel. Two shuffles
// leave them in the order 0, 1, 4, 5, 2, 3, 6, 7 (kSplitOrder), which is
// its own inverse: frame f lies in lane kSplitOrder[f].
MV_TARGET_AVX2 inline void splitStereoFloats(const float *frames, __m256 &left, __m256 &right) {
    const __m256 first = _mm256_loadu_ps(frames);           // frames 0-3
    const __m256 second = _mm256_loadu_ps(frames + kLanes); // frames 4-7
    left = _mm256_shuffle_ps(first, second, 0x88);
    right = _mm256_shuffle_ps(first, second, 0xDD);
}

// The lanes that hold offsets 0-15 of a split window (the high bit picks
// the half).
MV_TARGET_AVX2 inline __m256i splitLanes(__m256i offset) {
    const __m256i kSplitOrder = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    return _mm256_or_si256(_mm256_permutevar8x32_epi32(kSplitOrder, offset),
                           _mm256_and_si256(offset, _mm256_set1_epi32(kLanes)));
}

// How windowFrames reads int16 samples: scaled as Int16Sample::toFloat,
// or unscaled, in the window's unit (kWindowUnit), for a caller that folds
// the scale into its gain.
enum class Int16Reading : bool { scaled, unscaled };

// The value of one unit of a window's unscaled int16 samples (1 for float
// samples, which are never scaled).
template <typename Sample, int channels, int reach>
constexpr float kWindowUnit = !std::is_same_v<Sample, Int16Sample>     ? 1.0f
                              : channels == 1 && reach == kNarrowReach ? kInt16Scale
                                                                       : kInt16HalfScale;

// int16Floats or int16Values, int16Half or int16Units, as `reading` asks.
template <Int16Reading reading> MV_LANES __m256 readInt16(const int16_t *samples) {
    return reading == Int16Reading::scaled ? int16Floats(samples) : int16Values(samples);
}

template <Int16Reading reading, bool high> MV_LANES __m256 readInt16Half(__m256i words) {
    return reading == Int16Reading::scaled ? int16Half<high>(words) : int16Units<high>(words);
}

// Channel 0 (left) and, of a stereo clip, channel 1 (right) of eight frames
// at `offset` frames past `window`, interpolated by x towards the frames
// after them when interpolated, with the reference path's arithmetic:
// int16 samples scaled as Int16Sample::toFloat (or read unscaled), float
// samples interpolated only where x > 0. `channels` is 1 or 2.
template <typename Sample, int channels, bool interpolated, int reach,
          Int16Reading reading = Int16Reading::scaled>
MV_LANES void windowFrames(const void *window, __m256i offset, __m256 x, __m256 &left,
                           __m256 &right) {
    static_assert(channels == 1 || channels == 2);
    if constexpr (std::is_same_v<Sample, Int16Sample>) {
        const auto *samples = static_cast<const int16_t *>(window);
        if constexpr (channels == 1) {
            if constexpr (reach == kNarrowReach) {
                // Frames and partners both lie within eight of the window's
                // start and of one frame after it.
                left = _mm256_permutevar8x32_ps(readInt16<reading>(samples), offset);
                if constexpr (interpolated)
                    left = interpolateLanes(
                        left, _mm256_permutevar8x32_ps(readInt16<reading>(samples + 1), offset), x);
            } else {
                // A frame and its partner as one 32-bit word: word o / 2
                // of the window's sixteen frames read from frame 0 or, for
                // an odd offset o, from frame 1.
                const __m256i fromEven =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i *>(samples));
                const __m256i fromOdd =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i *>(samples + 1));
                const __m256i word = _mm256_srli_epi32(offset, 1);
                const __m256 odd = _mm256_castsi256_ps(_mm256_slli_epi32(offset, 31));
                const __m256i pair = _mm256_castps_si256(_mm256_blendv_ps(
                    _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(fromEven, word)),
                    _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(fromOdd, word)), odd));
                left = readInt16Half<reading, false>(pair);
                if constexpr (interpolated)
                    left = interpolateLanes(left, readInt16Half<reading, true>(pair), x);
            }
        } else {
            // One 32-bit word per frame: its two channels.
            const auto *words = reinterpret_cast<const __m256i *>(samples);
            __m256i here, next;
            if constexpr (reach == kNarrowReach) {
                here = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(words), offset);
                if constexpr (interpolated)
                    next = _mm256_permutevar8x32_epi32(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(samples + 2)), offset);
            } else {
                const __m256i low = _mm256_loadu_si256(words);
                const __m256i high = _mm256_loadu_si256(words + 1);
                here = pickWords(low, high, offset);
                if constexpr (interpolated)
                    next = pickWords(low, high, _mm256_add_epi32(offset, _mm256_set1_epi32(1)));
            }
            left = readInt16Half<reading, false>(here);
            right = readInt16Half<reading, true>(here);
            if constexpr (interpolated) {
                left = interpolateLanes(left, readInt16Half<reading, false>(next), x);
                right = interpolateLanes(right, readInt16Half<reading, true>(next), x);
            }
        }
    } else {
        static_assert(std::is_same_v<Sample, Float32Sample>);
        const auto *samples = static_cast<const float *>(window);
        const __m256i partner = _mm256_add_epi32(offset, _mm256_set1_epi32(1));
        if constexpr (channels == 1) {
            __m256 a, b;
            if constexpr (reach == kNarrowReach) {
                a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(samples), offset);
                if constexpr (interpolated)
                    b = _mm256_permutevar8x32_ps(_mm256_loadu_ps(samples + 1), offset);
            } else {
                const __m256 low = _mm256_loadu_ps(samples);
                const __m256 high = _mm256_loadu_ps(samples + kLanes);
                a = pickFloats(low, high, offset);
                if constexpr (interpolated) b = pickFloats(low, high, partner);
            }
            left = a;
            if constexpr (interpolated) left = interpolateWhereNeeded(a, b, x);
        } else {
            __m256 aLeft, aRight, bLeft, bRight;
            if constexpr (reach == kNarrowReach) {
                // Frames 0-7, and 1-8 for the partners, each split once.
                const __m256i lane = splitLanes(offset);
                __m256 l, r;
                splitStereoFloats(samples, l, r);
                aLeft = _mm256_permutevar8x32_ps(l, lane);
                aRight = _mm256_permutevar8x32_ps(r, lane);
                if constexpr (interpolated) {
                    splitStereoFloats(samples + 2, l, r);
                    bLeft = _mm256_permutevar8x32_ps(l, lane);
                    bRight = _mm256_permutevar8x32_ps(r, lane);
                }
            } else {
                __m256 lLow, rLow, lHigh, rHigh;
                splitStereoFloats(samples, lLow, rLow);
                splitStereoFloats(samples + 2 * kLanes, lHigh, rHigh);
                const __m256i lane = splitLanes(offset);
                aLeft = pickFloats(lLow, lHigh, lane);
                aRight = pickFloats(rLow, rHigh, lane);
                if constexpr (interpolated) {
                    const __m256i partnerLane = splitLanes(partner);
                    bLeft = pickFloats(lLow, lHigh, partnerLane);
                    bRight = pickFloats(rLow, rHigh, partnerLane);
                }
            }
            left = aLeft;
            right = aRight;
            if constexpr (interpolated) {
                left = interpolateWhereNeeded(aLeft, bLeft, x);
                right = interpolateWhereNeeded(aRight, bRight, x);
            }
        }
    }
}

// ---- the running values of eight frames ----------------------------------

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

// How a steady step moves a position: by `delta` while the position after a
// chunk stays below `bound` (0 where no single increment serves: a tie, no
// binade, a negative step).
struct PositionIncrement {
    double delta = 0.0;
    double bound = 0.0;
};

inline PositionIncrement positionIncrementOf(double position, double step) {
    PositionIncrement found;
    Binade<double> binade;
    if (binadeIncrement(position, step, binade, found.delta) && step >= 0)
        found.bound = binade.high;
    return found;
}

// How a step moves a gain, rising or falling: by `delta` while the gain
// after a chunk stays strictly between `floor` and `ceiling` (closed where
// no single increment serves). A zero step keeps every gain but -0, which
// the first sum turns into +0.
struct GainIncrement {
    float delta = 0.0f;
    float floor = std::numeric_limits<float>::infinity();
    float ceiling = 0.0f;
};

inline GainIncrement gainIncrementOf(float gain, float step) {
    constexpr float kOpen = std::numeric_limits<float>::infinity();
    if (step == 0.0f)
        return gain == 0.0f && std::signbit(gain) ? GainIncrement{}
                                                  : GainIncrement{0.0f, -kOpen, kOpen};
    Binade<float> binade;
    float delta;
    if (!binadeIncrement(gain, step, binade, delta)) return {};
    return {delta, binade.low, binade.high};
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
            const PositionIncrement position = positionIncrementOf(now.position, step_);
            const GainIncrement gain = gainIncrementOf(now.gain, now.gainStep);
            positionHigh_ = position.bound;
            gainLow_ = gain.floor;
            gainHigh_ = gain.ceiling;
            increments_ = incrementsOf(position.delta, gain.delta);
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
