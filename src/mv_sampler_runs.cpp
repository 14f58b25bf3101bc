// The sampler's specialised runs: the format, the channel shape, the
// interpolation and a steady rate fixed at compile time, and for
// interpolated int16 and float32 clips eight frames at a time with AVX2
// where the processor has it. Every run performs exactly the operations of the
// reference path (mv_sampler_render.cpp) in the same order on the same
// values, so both produce the same bits; a test holds them to it.
#include "mv_sampler_runs.h"

#include "mv_cpu.h"
#include "mv_sampler_lanes.h"

#include <cstdint>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace mv {

namespace {

// Positions below this bound can be read without leaving the clip: with
// interpolation frame i + 1 must exist too.
template <bool interpolated> double readableEnd(const MvClip *clip) {
    return interpolated ? clip->frames - 1.0 : double(clip->frames);
}

template <typename Sample, MixShape shape, bool interpolated, bool steady>
int scalarRun(const MvClip *clip, SamplerRunning &running, double sinkRate, int frames,
              float *mix) {
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

// Adds eight frames' values into the mix at `out` through the sound model's
// arithmetic: the mono model as 0 + value, the stereo one interleaved (left
// then right; a mono clip passes left as both).
template <MixShape shape> MV_LANES void mixLanes(__m256 left, __m256 right, float *out) {
    if constexpr (shape == MixShape::mono) {
        addInto(out, _mm256_add_ps(_mm256_setzero_ps(), left));
    } else {
        if constexpr (shape == MixShape::stereoFromMono) right = left;
        const __m256 low = _mm256_unpacklo_ps(left, right);  // frames 0, 1 | 4, 5
        const __m256 high = _mm256_unpackhi_ps(left, right); // frames 2, 3 | 6, 7
        addInto(out, _mm256_permute2f128_ps(low, high, 0x20));
        addInto(out + kLanes, _mm256_permute2f128_ps(low, high, 0x31));
    }
}

// Interpolated int16 or float32 frames of one or two channels at a steady
// step of at most two frames, eight at a time read from a window of the
// clip (mv_sampler_lanes.h) rather than gathered or loaded frame by frame;
// otherwise the arithmetic of the runs below.
template <typename Sample, MixShape shape, int channels, int reach, bool steadyGain>
MV_TARGET_AVX2 int windowRun(const MvClip *clip, SamplerRunning &running, double sinkRate,
                             int frames, float *mix) {
    const auto *data = static_cast<const uint8_t *>(clip->data);
    constexpr size_t kFrameBytes = size_t(channels) * Sample::bytes;
    SamplerRunning now = running;
    // Every position of a chunk below this end reads inside the clip.
    LaneRunning<true, steadyGain> runningLanes(clip, sinkRate, clip->frames - double(reach), now);
    RunningLanes lanes;
    int k = 0;
    for (; k + kLanes <= frames; k += kLanes) {
        const SamplerRunning before = now;
        if (!runningLanes.next(now, lanes)) break;
        const __m128i iLow = _mm256_cvttpd_epi32(lanes.low);
        const __m128i iHigh = _mm256_cvttpd_epi32(lanes.high);
        const __m256i offset = windowOffsets(iLow, iHigh);
        // Offsets only grow, so frames 4-7 hold the largest.
        if (!insideWindow<reach>(_mm256_extracti128_si256(offset, 1))) {
            now = before;
            break;
        }
        const __m256 x = _mm256_set_m128(fractionLanes(lanes.high), fractionLanes(lanes.low));
        __m256 left, right;
        windowFrames<Sample, channels, true, reach>(
            data + size_t(_mm_cvtsi128_si32(iLow)) * kFrameBytes, offset, x, left, right);
        left = _mm256_mul_ps(lanes.gain, left);
        if constexpr (shape == MixShape::stereoPair) right = _mm256_mul_ps(lanes.gain, right);
        mixLanes<shape>(left, right, mix + size_t(k) * kMixChannels<shape>);
    }
    running = now;
    _mm256_zeroupper();
    return k + scalarRun<Sample, shape, true, true>(clip, running, sinkRate, frames - k,
                                                    mix + size_t(k) * kMixChannels<shape>);
}

template <typename Sample, int reach, bool steadyGain>
SamplerRun windowRunFor(MixShape shape, int channels) {
    switch (shape) {
    case MixShape::mono:
        return channels == 1 ? windowRun<Sample, MixShape::mono, 1, reach, steadyGain>
                             : windowRun<Sample, MixShape::mono, 2, reach, steadyGain>;
    case MixShape::stereoFromMono:
        return windowRun<Sample, MixShape::stereoFromMono, 1, reach, steadyGain>;
    default: return windowRun<Sample, MixShape::stereoPair, 2, reach, steadyGain>;
    }
}

// The window run for a clip of one or two channels at a steady step of at
// most two frames, else null.
template <typename Sample>
SamplerRun windowRunFor(MixShape shape, const MvClip *clip, bool steadyGain, double step) {
    if ((clip->channels != 1 && clip->channels != 2) || !(step <= kMaxWindowStep)) return nullptr;
    if (reachOf(step) == kNarrowReach)
        return steadyGain ? windowRunFor<Sample, kNarrowReach, true>(shape, clip->channels)
                          : windowRunFor<Sample, kNarrowReach, false>(shape, clip->channels);
    return steadyGain ? windowRunFor<Sample, kWideReach, true>(shape, clip->channels)
                      : windowRunFor<Sample, kWideReach, false>(shape, clip->channels);
}

// Interpolated int16 frames, eight at a time with AVX2 (without FMA, which
// would round differently). The running values of the eight frames are
// produced first by the same serial additions as the reference path; only
// the reading, interpolation and mixing are done on all eight at once, off
// the additions' critical path. Positions are never negative, so x is never
// below 0 and the reference path's "only where x > 0" is needless here:
// a + (b - a) · 0 is a.
template <MixShape shape, int channels, bool steady, bool steadyGain>
MV_TARGET_AVX2 int int16Run(const MvClip *clip, SamplerRunning &running, double sinkRate,
                            int frames, float *mix) {
    const auto *data = static_cast<const int16_t *>(clip->data);
    const double end = readableEnd<true>(clip);
    SamplerRunning now = running;
    // The scalar run stops at the right frame.
    LaneRunning<steady, steadyGain> runningLanes(clip, sinkRate, end, now);
    RunningLanes lanes;
    int k = 0;
    for (; k + kLanes <= frames && runningLanes.next(now, lanes); k += kLanes) {
        const __m256d pLow = lanes.low;
        const __m256d pHigh = lanes.high;
        const __m128i iLow = _mm256_cvttpd_epi32(pLow);
        const __m128i iHigh = _mm256_cvttpd_epi32(pHigh);
        const __m256 x = _mm256_set_m128(fractionLanes(pHigh), fractionLanes(pLow));
        const __m256i index = _mm256_set_m128i(iHigh, iLow);
        const __m256 gainLanes = lanes.gain;
        __m256i here, next;
        gatherInt16Words<channels>(data, clip->channels, index, here, next);
        // A mono clip's frame i + 1 is the high half of the word of frame i.
        const __m256 left = _mm256_mul_ps(
            gainLanes, interpolateLanes(int16Half<false>(here), int16Half<channels == 1>(next), x));
        __m256 right = left;
        if constexpr (shape == MixShape::stereoPair)
            right = _mm256_mul_ps(
                gainLanes, interpolateLanes(int16Half<true>(here), int16Half<true>(next), x));
        mixLanes<shape>(left, right, mix + size_t(k) * kMixChannels<shape>);
    }
    running = now;
    // Clean upper halves: SSE code after the render (the host's own) would
    // otherwise pay for a dirty state on every instruction.
    _mm256_zeroupper();
    return k + scalarRun<Int16Sample, shape, true, steady>(clip, running, sinkRate, frames - k,
                                                           mix + size_t(k) * kMixChannels<shape>);
}

template <bool steady, bool steadyGain> SamplerRun int16RunFor(MixShape shape, int channels) {
    switch (shape) {
    case MixShape::mono:
        return channels == 1 ? int16Run<MixShape::mono, 1, steady, steadyGain>
                             : int16Run<MixShape::mono, 0, steady, steadyGain>;
    case MixShape::stereoFromMono: return int16Run<MixShape::stereoFromMono, 1, steady, steadyGain>;
    default: return int16Run<MixShape::stereoPair, 0, steady, steadyGain>;
    }
}

// Calls pick(steady, steadyGain) with both as compile-time constants.
template <typename Pick> SamplerRun pickRunning(bool steady, bool steadyGain, Pick pick) {
    using Yes = std::true_type;
    using No = std::false_type;
    if (steady) return steadyGain ? pick(Yes{}, Yes{}) : pick(Yes{}, No{});
    return steadyGain ? pick(No{}, Yes{}) : pick(No{}, No{});
}

SamplerRun int16RunFor(MixShape shape, const MvClip *clip, bool steady, bool steadyGain,
                       double step) {
    if (steady)
        if (SamplerRun run = windowRunFor<Int16Sample>(shape, clip, steadyGain, step)) return run;
    // Gather offsets are 32-bit byte counts.
    const int64_t clipBytes = int64_t(clip->frames) * clip->channels * Int16Sample::bytes;
    if (clipBytes > INT32_MAX) return nullptr;
    return pickRunning(steady, steadyGain, [&](auto rate, auto gain) {
        return int16RunFor<decltype(rate)::value, decltype(gain)::value>(shape, clip->channels);
    });
}

#endif

#if defined(__x86_64__) || defined(__i386__)

// ---- interpolated float32 frames, eight at a time with AVX2 --------------
//
// The same plan as the int16 run, with the frames read by plain loads (a
// clip's frame i and i + 1 lie side by side) and the running values found
// eight at a time (mv_sampler_lanes.h). The reference path interpolates
// only where x > 0; a float clip may hold infinities or a negative zero,
// for which a + (b - a) · 0 is not a, so the lanes with x == 0 keep a.

// The fractions of the eight frames and their clip frame indices.
MV_LANES __m256 fractionsOf(const RunningLanes &lanes, int *index) {
    const __m128i iLow = _mm256_cvttpd_epi32(lanes.low);
    const __m128i iHigh = _mm256_cvttpd_epi32(lanes.high);
    _mm_store_si128(reinterpret_cast<__m128i *>(index), iLow);
    _mm_store_si128(reinterpret_cast<__m128i *>(index + 4), iHigh);
    return _mm256_set_m128(fractionLanes(lanes.high), fractionLanes(lanes.low));
}

// Each of the low (or high) four values of `v` twice, for frames laid out
// left, right.
template <bool high> MV_LANES __m256 pairsOf(__m256 v) {
    const __m256i twice = high ? _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7)
                               : _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    return _mm256_permutevar8x32_ps(v, twice);
}

// Two floats side by side into the low half, from any float address
// (_mm_load_sd would read a double, which must be 8-byte aligned).
inline __m128i loadTwoFloats(const float *at) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(at));
}

// Channel 0 of frames i and i + 1 for the eight indices of a mono clip:
// two floats side by side, one 64-bit load each.
MV_LANES void monoPairs(const float *data, const int *index, __m256 &a, __m256 &b) {
    auto two = [&](int j) {
        const __m128 first = _mm_castsi128_ps(loadTwoFloats(data + index[j]));
        return _mm_loadh_pi(first, reinterpret_cast<const __m64 *>(data + index[j + 1]));
    };
    // [a0 b0 a1 b1 | a4 b4 a5 b5] and [a2 b2 a3 b3 | a6 b6 a7 b7]
    const __m256 even = _mm256_set_m128(two(4), two(0));
    const __m256 odd = _mm256_set_m128(two(6), two(2));
    a = _mm256_shuffle_ps(even, odd, _MM_SHUFFLE(2, 0, 2, 0));
    b = _mm256_shuffle_ps(even, odd, _MM_SHUFFLE(3, 1, 3, 1));
}

// Channel 0 of frames i and i + 1 of a clip with more channels.
MV_LANES void firstChannelPairs(const float *data, int channels, const int *index, __m256 &a,
                                __m256 &b) {
    alignas(32) float here[kLanes];
    alignas(32) float next[kLanes];
    for (int j = 0; j < kLanes; ++j) {
        const float *frame = data + size_t(index[j]) * channels;
        here[j] = frame[0];
        next[j] = frame[channels];
    }
    a = _mm256_load_ps(here);
    b = _mm256_load_ps(next);
}

// Channels 0 and 1 of frames i and i + 1 for four indices, laid out left,
// right frame after frame.
template <int channels>
MV_LANES void stereoPairs(const float *data, int clipChannels, const int *index, __m256 &a,
                          __m256 &b) {
    auto frames = [&](int j) {
        const float *frame = data + size_t(index[j]) * (channels ? channels : clipChannels);
        if constexpr (channels == 2) {
            return _mm_loadu_ps(frame); // frames i and i + 1 at once
        } else {
            const __m128d here = _mm_castsi128_pd(loadTwoFloats(frame));
            return _mm_castpd_ps(
                _mm_loadh_pd(here, reinterpret_cast<const double *>(frame + clipChannels)));
        }
    };
    const __m256d even = _mm256_castps_pd(_mm256_set_m128(frames(2), frames(0)));
    const __m256d odd = _mm256_castps_pd(_mm256_set_m128(frames(3), frames(1)));
    a = _mm256_castpd_ps(_mm256_unpacklo_pd(even, odd));
    b = _mm256_castpd_ps(_mm256_unpackhi_pd(even, odd));
}

// Mixes eight frames at `out`, the first of them.
template <MixShape shape, int channels>
MV_LANES void mixFloat32Lanes(const float *data, int clipChannels, const RunningLanes &lanes,
                              float *out) {
    alignas(16) int index[kLanes];
    const __m256 x = fractionsOf(lanes, index);
    __m256 a, b;
    if constexpr (shape == MixShape::stereoPair) {
        stereoPairs<channels>(data, clipChannels, index, a, b);
        const __m256 xLow = pairsOf<false>(x);
        addInto(out, _mm256_mul_ps(pairsOf<false>(lanes.gain), interpolateWhereNeeded(a, b, xLow)));
        stereoPairs<channels>(data, clipChannels, index + 4, a, b);
        const __m256 xHigh = pairsOf<true>(x);
        addInto(out + kLanes,
                _mm256_mul_ps(pairsOf<true>(lanes.gain), interpolateWhereNeeded(a, b, xHigh)));
        return;
    }
    if constexpr (channels == 1) monoPairs(data, index, a, b);
    else firstChannelPairs(data, clipChannels, index, a, b);
    const __m256 v = _mm256_mul_ps(lanes.gain, interpolateWhereNeeded(a, b, x));
    if constexpr (shape == MixShape::mono) {
        addInto(out, _mm256_add_ps(_mm256_setzero_ps(), v));
    } else {
        addInto(out, pairsOf<false>(v));
        addInto(out + kLanes, pairsOf<true>(v));
    }
}

template <MixShape shape, int channels, bool steady, bool steadyGain>
MV_TARGET_AVX2 int float32Run(const MvClip *clip, SamplerRunning &running, double sinkRate,
                              int frames, float *mix) {
    const auto *data = static_cast<const float *>(clip->data);
    SamplerRunning now = running;
    LaneRunning<steady, steadyGain> runningLanes(clip, sinkRate, readableEnd<true>(clip), now);
    RunningLanes lanes;
    int k = 0;
    for (; k + kLanes <= frames && runningLanes.next(now, lanes); k += kLanes)
        mixFloat32Lanes<shape, channels>(data, clip->channels, lanes,
                                         mix + size_t(k) * kMixChannels<shape>);
    running = now;
    _mm256_zeroupper();
    return k + scalarRun<Float32Sample, shape, true, steady>(clip, running, sinkRate, frames - k,
                                                             mix + size_t(k) * kMixChannels<shape>);
}

// channels: 1 a mono clip, 2 a stereo one, 0 any other.
template <bool steady, bool steadyGain> SamplerRun float32RunFor(MixShape shape, int channels) {
    switch (shape) {
    case MixShape::mono:
        return channels == 1 ? float32Run<MixShape::mono, 1, steady, steadyGain>
                             : float32Run<MixShape::mono, 0, steady, steadyGain>;
    case MixShape::stereoFromMono:
        return float32Run<MixShape::stereoFromMono, 1, steady, steadyGain>;
    default:
        return channels == 2 ? float32Run<MixShape::stereoPair, 2, steady, steadyGain>
                             : float32Run<MixShape::stereoPair, 0, steady, steadyGain>;
    }
}

SamplerRun float32RunFor(MixShape shape, const MvClip *clip, bool steady, bool steadyGain,
                         double step) {
    if (steady)
        if (SamplerRun run = windowRunFor<Float32Sample>(shape, clip, steadyGain, step)) return run;
    return pickRunning(steady, steadyGain, [&](auto rate, auto gain) {
        return float32RunFor<decltype(rate)::value, decltype(gain)::value>(shape, clip->channels);
    });
}

#endif

// The vector runs for interpolated int16 and float32 clips, or null: the
// pickers of the instruction set this processor has, chosen when the
// library loads. A picker may still answer null for a clip it cannot take.
using VectorRunPicker = SamplerRun (*)(MixShape shape, const MvClip *clip, bool steady,
                                       bool steadyGain, double step);
struct VectorRunPickers {
    VectorRunPicker int16;
    VectorRunPicker float32;
};

#if defined(__x86_64__) || defined(__i386__)
const VectorRunPickers kVectorRuns =
    cpuFeatures().avx2 ? VectorRunPickers{int16RunFor, float32RunFor} : VectorRunPickers{};
#else
const VectorRunPickers kVectorRuns{};
#endif

VectorRunPicker vectorRunPicker(int format, bool interpolated) {
    if (!interpolated) return nullptr;
    if (format == MV_FORMAT_INT16) return kVectorRuns.int16;
    if (format == MV_FORMAT_FLOAT32) return kVectorRuns.float32;
    return nullptr;
}

template <typename Sample, MixShape shape> SamplerRun pickVariant(bool interpolated, bool steady) {
    if (interpolated)
        return steady ? scalarRun<Sample, shape, true, true>
                      : scalarRun<Sample, shape, true, false>;
    return steady ? scalarRun<Sample, shape, false, true> : scalarRun<Sample, shape, false, false>;
}

template <MixShape shape> SamplerRun pickFormat(int format, bool interpolated, bool steady) {
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
                         bool steadyGain, double step) {
    const int format = clip->format;
    if (const VectorRunPicker picker = vectorRunPicker(format, interpolated))
        if (SamplerRun run = picker(shape, clip, steady, steadyGain, step)) return run;
    switch (shape) {
    case MixShape::mono: return pickFormat<MixShape::mono>(format, interpolated, steady);
    case MixShape::stereoFromMono:
        return pickFormat<MixShape::stereoFromMono>(format, interpolated, steady);
    default: return pickFormat<MixShape::stereoPair>(format, interpolated, steady);
    }
}

} // namespace mv
