// The reverberator's block loop: one call's network held in locals, the
// per-frame input and output arithmetic every kernel shares, and one runner
// per vector width that takes a call's frames through the network.
#pragma once

#include "mv_dsp_samples.h"
#include "mv_reverb.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mv {

constexpr int kLines = 2 * (MV_REVERB_COMBS + MV_REVERB_ALLPASSES);
constexpr int kCombLines = 2 * MV_REVERB_COMBS;

// A cursor into every delay line, the damping states and coefficients.
// Frames are processed in stretches in which no cursor wraps, so the
// per-sample work has no index bookkeeping and no stores into the record
// that the compiler would have to reload.
struct Network {
    float *cursor[kLines]; // combs left 0..7, right 0..7, all-passes left 0..3, right 0..3
    float *start[kLines];
    float *end[kLines];
    float store[kCombLines];
    double damp1[kCombLines], damp2[kCombLines], feedback[kLines];
};

constexpr uint32_t kFloatExponentBits = 0x7F800000;

// Zero and subnormal floats (exponent bits all clear) become +0, which keeps
// decaying tails out of slow denormal arithmetic.
inline float flush(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    return std::bit_cast<float>((bits & kFloatExponentBits) ? bits : 0u);
}

#if defined(__SSE2__)
// flush for four floats. Integer compares keep this short on the damping
// recurrence's critical path.
inline __m128 flushLanes(__m128 values) {
    const __m128i bits = _mm_castps_si128(values);
    const __m128i exponent =
        _mm_and_si128(bits, _mm_set1_epi32(static_cast<int32_t>(kFloatExponentBits)));
    const __m128i tiny = _mm_cmpeq_epi32(exponent, _mm_setzero_si128());
    return _mm_castsi128_ps(_mm_andnot_si128(tiny, bits));
}
#endif

// The all-pass line of side s, filter i.
constexpr int allpassLine(int side, int i) { return kCombLines + side * MV_REVERB_ALLPASSES + i; }

inline int framesBeforeWrap(const Network &net) {
    ptrdiff_t frames = net.end[0] - net.cursor[0];
    for (int line = 1; line < kLines; ++line)
        frames = std::min(frames, net.end[line] - net.cursor[line]);
    return static_cast<int>(frames);
}

// Moves every cursor on by frames, which no line is shorter than.
inline void advanceCursors(Network &net, int frames) {
    for (int line = 0; line < kLines; ++line) {
        const ptrdiff_t length = net.end[line] - net.start[line];
        ptrdiff_t index = net.cursor[line] - net.start[line] + frames;
        if (index >= length) index -= length;
        net.cursor[line] = net.start[line] + index;
    }
}

// The network's input for one frame: the channels summed, then scaled.
inline double frameInput(const MvReverb &reverb, const float *frame) {
    double input = loadSample(frame);
    for (int j = 1; j < reverb.channels; ++j) input += loadSample(frame + j);
    return input * static_cast<double>(reverb.gain);
}

// One frame's output from the two sides' rounded results: even channels
// take the left side as their main one, odd channels the right.
inline void writeFrame(const MvReverb &reverb, float *frame, float left, float right) {
    const double wet1 = reverb.wet1, wet2 = reverb.wet2, dry = reverb.dry;
    const double l = left, r = right;
    for (int j = 0; j < reverb.channels; ++j) {
        const double wetMix = (j % 2 == 0) ? l * wet1 + r * wet2 : r * wet1 + l * wet2;
        storeSample(frame + j, static_cast<float>(wetMix + loadSample(frame + j) * dry));
    }
}

// Takes count frames of reverb.channels floats, step floats apart, through
// the network in place, cursors and damping states moving on.
using NetworkRun = void (*)(Network &net, const MvReverb &reverb, float *samples, int count,
                            int step);

// The runner of a kernel, or null when this processor cannot run it.
NetworkRun networkRunFor(ReverbKernel kernel);

// The AVX runner (mv_reverb_avx.cpp), for processors that have AVX.
void runNetworkAvx(Network &net, const MvReverb &reverb, float *samples, int count,
                   int step) MV_AUDIO_THREAD;

// The SSE2 runner, which reads a whole pass's input before writing any of
// its output: the AVX runner hands it calls whose frames overlap (a step
// shorter than a frame), whose bits depend on that order.
void runNetworkStaged(Network &net, const MvReverb &reverb, float *samples, int count,
                      int step) MV_AUDIO_THREAD;

} // namespace mv
