// The reverberator's AVX kernel: blocks of four frames go through the whole
// network at once, so a block's values pass from stage to stage in
// registers. Comb reads, all-passes, input and output take four frames of
// one line per vector; the damping recurrences take one frame of four combs,
// reached through 4x4 transposes. Every value goes through the same IEEE
// operations, in the same order, as in the scalar kernel. Only "avx" is
// enabled here (no FMA), so products and sums stay separately rounded.
#include "mv_cpu.h"
#include "mv_reverb_stages.h"
#include "mv_transpose.h"

#if defined(MV_TARGET_AVX)
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <immintrin.h>

namespace mv {
namespace {

constexpr int kQuad = 4;                    // frames per block, combs per vector
constexpr int kGroups = kCombLines / kQuad; // comb vectors: left 0-3, 4-7, right 0-3, 4-7
constexpr int kGroupsPerSide = kGroups / 2;
constexpr int kAllpassLines = kLines - kCombLines;

// Coefficients in the shapes the blocks use; lane i of a comb vector is
// comb kQuad * g + i, the others are broadcast.
struct Coefficients {
    __m256d damp1[kGroups], feedback[kGroups];
    __m256d lineDamp2[kCombLines]; // broadcast
    __m256d allpassFeedback[kAllpassLines];
    __m256d gain, wet1, wet2, dry;
};

// The damping states, each a float held widened to double.
struct States {
    __m256d store[kGroups];
};

// Four frames of two lines, flushed as one vector and widened.
MV_TARGET_AVX inline void loadFlushedPair(const float *a, const float *b, __m256d &first,
                                          __m256d &second) {
    const __m256 both =
        _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(a)), _mm_loadu_ps(b), 1);
    const __m256 exponent =
        _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int32_t>(kFloatExponentBits)));
    const __m256 kept =
        _mm256_cmp_ps(_mm256_and_ps(both, exponent), _mm256_setzero_ps(), _CMP_NEQ_UQ);
    const __m256 flushed = _mm256_and_ps(both, kept);
    first = _mm256_cvtps_pd(_mm256_castps256_ps128(flushed));
    second = _mm256_cvtps_pd(_mm256_extractf128_ps(flushed, 1));
}

// Each comb's delayed values go into its side's sum, in comb order, and,
// times the comb's damp2, transposed into damped[g][j]: frame j of comb
// group g. Flushed values
// are never -0, so the first comb starts a sum exactly as 0 + value would.
MV_TARGET_AVX inline void readCombs(const Coefficients &c, float *const *lines, int at,
                                    __m256d (&sides)[2], __m256d (&damped)[kGroups][kQuad]) {
    for (int g = 0; g < kGroups; ++g) {
        __m256d(&rows)[kQuad] = damped[g];
        for (int i = 0; i < kQuad; i += 2)
            loadFlushedPair(lines[kQuad * g + i] + at, lines[kQuad * g + i + 1] + at, rows[i],
                            rows[i + 1]);
        __m256d &sum = sides[g / kGroupsPerSide];
        for (int i = 0; i < kQuad; ++i) {
            sum = (g % kGroupsPerSide == 0 && i == 0) ? rows[i] : _mm256_add_pd(sum, rows[i]);
            rows[i] = _mm256_mul_pd(rows[i], c.lineDamp2[kQuad * g + i]);
        }
        transpose4x4(rows, rows);
    }
}

// The one recurrence of the network, a frame at a time for all sixteen
// combs, and each comb's new cell from the frame's input; cells[g][j] is
// frame j of comb group g. A partial block runs only its frames.
template <bool Full>
MV_TARGET_AVX inline void dampAndFeed(const Coefficients &c, States &s,
                                      const __m256d (&damped)[kGroups][kQuad], const double *input,
                                      int frames, __m128 (&cells)[kGroups][kQuad]) {
    for (int j = 0; j < kQuad; ++j) {
        if (!Full && j >= frames) {
            for (int g = 0; g < kGroups; ++g) cells[g][j] = _mm_setzero_ps();
            continue;
        }
        const __m256d in = _mm256_broadcast_sd(input + j);
        for (int g = 0; g < kGroups; ++g) {
            const __m256d sum = _mm256_add_pd(damped[g][j], _mm256_mul_pd(s.store[g], c.damp1[g]));
            s.store[g] = _mm256_cvtps_pd(flushLanes(_mm256_cvtpd_ps(sum)));
            cells[g][j] =
                _mm256_cvtpd_ps(_mm256_add_pd(in, _mm256_mul_pd(s.store[g], c.feedback[g])));
        }
    }
}

// Each group's new cells, transposed back: four frames of a line a store.
MV_TARGET_AVX inline void writeCombs(float *const *lines, int at, __m128 (&cells)[kGroups][kQuad]) {
    for (int g = 0; g < kGroups; ++g) {
        __m128(&rows)[kQuad] = cells[g];
        _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
        for (int i = 0; i < kQuad; ++i) _mm_storeu_ps(lines[kQuad * g + i] + at, rows[i]);
    }
}

// The two sides' all-pass chains, interleaved since they are independent.
MV_TARGET_AVX inline void runAllpasses(const Coefficients &c, float *const *lines, int at,
                                       __m256d (&sides)[2]) {
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
        __m256d delayed[2];
        loadFlushedPair(lines[allpassLine(0, i)] + at, lines[allpassLine(1, i)] + at, delayed[0],
                        delayed[1]);
        for (int side = 0; side < 2; ++side) {
            const int line = allpassLine(side, i);
            const __m256d feedback = c.allpassFeedback[line - kCombLines];
            _mm_storeu_ps(lines[line] + at,
                          _mm256_cvtpd_ps(
                              _mm256_add_pd(sides[side], _mm256_mul_pd(delayed[side], feedback))));
            sides[side] = _mm256_sub_pd(delayed[side], sides[side]);
        }
    }
}

// Four frames of input (frames of them real, the rest zero) through every
// line at lines[l] + at; sides ends with the two all-pass outputs.
template <bool Full>
MV_TARGET_AVX inline void networkBlock(const Coefficients &c, States &s, float *const *lines,
                                       int at, const double *input, int frames,
                                       __m256d (&sides)[2]) {
    __m256d damped[kGroups][kQuad];
    __m128 cells[kGroups][kQuad];
    readCombs(c, lines, at, sides, damped);
    dampAndFeed<Full>(c, s, damped, input, frames, cells);
    writeCombs(lines, at, cells);
    runAllpasses(c, lines, at, sides);
}

// Stereo frames two floats apart, four at a time.
MV_TARGET_AVX inline void readStereo(const float *samples, __m256d (&channels)[2]) {
    const __m128 a = _mm_loadu_ps(samples), b = _mm_loadu_ps(samples + 4);
    channels[0] = _mm256_cvtps_pd(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    channels[1] = _mm256_cvtps_pd(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

// writeFrame for four stereo frames: each channel's wet mix plus its dry
// share, rounded to float.
MV_TARGET_AVX inline void writeStereo(const Coefficients &c, float *samples,
                                      const __m256d (&channels)[2], const __m256d (&sides)[2]) {
    const __m256d left = _mm256_cvtps_pd(_mm256_cvtpd_ps(sides[0]));
    const __m256d right = _mm256_cvtps_pd(_mm256_cvtpd_ps(sides[1]));
    const __m256d wet0 = _mm256_add_pd(_mm256_mul_pd(left, c.wet1), _mm256_mul_pd(right, c.wet2));
    const __m256d wet1 = _mm256_add_pd(_mm256_mul_pd(right, c.wet1), _mm256_mul_pd(left, c.wet2));
    const __m128 out0 = _mm256_cvtpd_ps(_mm256_add_pd(wet0, _mm256_mul_pd(channels[0], c.dry)));
    const __m128 out1 = _mm256_cvtpd_ps(_mm256_add_pd(wet1, _mm256_mul_pd(channels[1], c.dry)));
    _mm_storeu_ps(samples, _mm_unpacklo_ps(out0, out1));
    _mm_storeu_ps(samples + 4, _mm_unpackhi_ps(out0, out1));
}

// Each line's cursor and the frames before it wraps (at least one), kept
// in locals for a call, so that a stretch's bookkeeping is a few vector
// steps over the counts and one add per cursor.
struct Cursors {
    float *at[kLines];
    alignas(16) int32_t clear[kLines];
};
static_assert(kLines % kQuad == 0);

Cursors cursorsOf(const Network &net) {
    Cursors cursors;
    for (int line = 0; line < kLines; ++line) {
        cursors.at[line] = net.cursor[line];
        cursors.clear[line] = static_cast<int32_t>(net.end[line] - net.cursor[line]);
    }
    return cursors;
}

MV_TARGET_AVX inline __m128i clearCounts(const Cursors &cursors, int first) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(cursors.clear + first));
}

// Frames before the first wrap of any line.
MV_TARGET_AVX inline int framesClear(const Cursors &cursors) {
    __m128i least = clearCounts(cursors, 0);
    for (int first = kQuad; first < kLines; first += kQuad)
        least = _mm_min_epi32(least, clearCounts(cursors, first));
    least = _mm_min_epi32(least, _mm_shuffle_epi32(least, _MM_SHUFFLE(1, 0, 3, 2)));
    least = _mm_min_epi32(least, _mm_shuffle_epi32(least, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(least);
}

// One bit per line that wraps within the next frames.
MV_TARGET_AVX inline uint32_t linesWrappingWithin(const Cursors &cursors, int frames) {
    const __m128i limit = _mm_set1_epi32(frames);
    uint32_t lines = 0;
    for (int first = 0; first < kLines; first += kQuad) {
        const __m128i wraps = _mm_cmpgt_epi32(limit, clearCounts(cursors, first));
        lines |= static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(wraps))) << first;
    }
    return lines;
}

// Moves every line on by frames, no more than the shortest line; lines
// whose clear frames that uses up start over. Only a copied block can take
// a line past its end (Wrapping), which the others may not even point to.
template <bool Wrapping>
MV_TARGET_AVX inline void advance(Cursors &cursors, const Network &net, int frames) {
    const __m128i step = _mm_set1_epi32(frames), one = _mm_set1_epi32(1);
    uint32_t wrapped = 0;
    for (int first = 0; first < kLines; first += kQuad) {
        const __m128i left = _mm_sub_epi32(clearCounts(cursors, first), step);
        _mm_store_si128(reinterpret_cast<__m128i *>(cursors.clear + first), left);
        const __m128i done = _mm_cmpgt_epi32(one, left);
        wrapped |= static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(done))) << first;
    }
    for (int line = 0; line < kLines; ++line)
        if (!Wrapping || !(wrapped >> line & 1)) cursors.at[line] += frames;
    for (; wrapped; wrapped &= wrapped - 1) {
        const int line = std::countr_zero(wrapped);
        const int32_t over = -cursors.clear[line];
        cursors.at[line] = net.start[line] + over;
        cursors.clear[line] = static_cast<int32_t>(net.end[line] - net.start[line]) - over;
    }
}

// One block with its input and output; packed stereo (whole blocks only)
// reads and writes its frames as vectors.
template <bool Full, bool Stereo>
MV_TARGET_AVX inline void runBlock(const Coefficients &c, States &s, float *const *lines, int at,
                                   const MvReverb &reverb, float *samples, int frames, int step) {
    static_assert(Full || !Stereo);
    alignas(32) double input[kQuad] = {};
    __m256d sides[2];
    if constexpr (Stereo) {
        __m256d channels[2];
        readStereo(samples, channels);
        _mm256_store_pd(input, _mm256_mul_pd(_mm256_add_pd(channels[0], channels[1]), c.gain));
        networkBlock<true>(c, s, lines, at, input, kQuad, sides);
        writeStereo(c, samples, channels, sides);
    } else {
        for (int j = 0; j < frames; ++j) input[j] = frameInput(reverb, samples + j * step);
        networkBlock<Full>(c, s, lines, at, input, frames, sides);
        alignas(16) float left[kQuad], right[kQuad];
        _mm_store_ps(left, _mm256_cvtpd_ps(sides[0]));
        _mm_store_ps(right, _mm256_cvtpd_ps(sides[1]));
        for (int j = 0; j < frames; ++j) writeFrame(reverb, samples + j * step, left[j], right[j]);
    }
}

// Whole blocks of frames (a multiple of four) in which no line wraps. The
// states live in locals here so that the stores into the lines, which may
// alias anything, do not send them through memory.
template <bool Stereo>
MV_TARGET_AVX void runBlocks(const Coefficients &c, States &states, float *const *lines,
                             const MvReverb &reverb, float *samples, int frames, int step) {
    States s = states;
    for (int at = 0; at < frames; at += kQuad, samples += kQuad * step)
        runBlock<true, Stereo>(c, s, lines, at, reverb, samples, kQuad, step);
    states = s;
}

// A line's next frames into a copy of their own and back, wrapping.
void copyFromLine(const Network &net, const float *cell, int line, float *to, int frames) {
    for (int k = 0; k < frames; ++k) {
        to[k] = *cell;
        if (++cell == net.end[line]) cell = net.start[line];
    }
}

void copyToLine(const Network &net, float *cell, int line, const float *from, int frames) {
    for (int k = 0; k < frames; ++k) {
        *cell = from[k];
        if (++cell == net.end[line]) cell = net.start[line];
    }
}

// One block that some line wraps in, or of fewer than four frames: lines
// that wrap within it, and every line when the block is short, run on
// copies so that the vectors neither cross a line's end nor touch cells
// beyond the block's frames.
MV_TARGET_AVX void runCopiedBlock(const Coefficients &c, States &s, const Cursors &cursors,
                                  const Network &net, const MvReverb &reverb, bool stereo,
                                  float *samples, int frames, int step) {
    alignas(16) float copies[kLines][kQuad];
    float *lines[kLines];
    std::copy(cursors.at, cursors.at + kLines, lines);
    const uint32_t copied =
        frames < kQuad ? (1u << kLines) - 1 : linesWrappingWithin(cursors, kQuad);
    for (uint32_t rest = copied; rest; rest &= rest - 1) {
        const int line = std::countr_zero(rest);
        std::fill_n(copies[line], kQuad, 0.0f);
        copyFromLine(net, cursors.at[line], line, copies[line], frames);
        lines[line] = copies[line];
    }
    if (stereo && frames == kQuad)
        runBlock<true, true>(c, s, lines, 0, reverb, samples, frames, step);
    else runBlock<false, false>(c, s, lines, 0, reverb, samples, frames, step);
    for (uint32_t rest = copied; rest; rest &= rest - 1) {
        const int line = std::countr_zero(rest);
        copyToLine(net, cursors.at[line], line, copies[line], frames);
    }
}

MV_TARGET_AVX Coefficients coefficientsOf(const Network &net, const MvReverb &reverb) {
    Coefficients c;
    for (int g = 0; g < kGroups; ++g) {
        c.damp1[g] = _mm256_loadu_pd(net.damp1 + kQuad * g);
        c.feedback[g] = _mm256_loadu_pd(net.feedback + kQuad * g);
    }
    for (int line = 0; line < kCombLines; ++line)
        c.lineDamp2[line] = _mm256_set1_pd(net.damp2[line]);
    for (int i = 0; i < kAllpassLines; ++i)
        c.allpassFeedback[i] = _mm256_set1_pd(net.feedback[kCombLines + i]);
    c.gain = _mm256_set1_pd(reverb.gain);
    c.wet1 = _mm256_set1_pd(reverb.wet1);
    c.wet2 = _mm256_set1_pd(reverb.wet2);
    c.dry = _mm256_set1_pd(reverb.dry);
    return c;
}

int shortestLine(const Network &net) {
    ptrdiff_t shortest = net.end[0] - net.start[0];
    for (int line = 1; line < kLines; ++line)
        shortest = std::min(shortest, net.end[line] - net.start[line]);
    return static_cast<int>(shortest);
}

// Whole blocks run straight on the lines up to the next wrap; the block a
// line wraps in, and a call's last few frames, run on copies. Lines
// shorter than a block (only at the lowest rates) make every block short.
MV_TARGET_AVX void runInBlocks(Network &net, const MvReverb &reverb, float *samples, int count,
                               int step) {
    const Coefficients c = coefficientsOf(net, reverb);
    States s;
    for (int g = 0; g < kGroups; ++g)
        s.store[g] = _mm256_cvtps_pd(_mm_loadu_ps(net.store + kQuad * g));
    Cursors cursors = cursorsOf(net);
    const int most = std::min(kQuad, shortestLine(net));
    const bool stereo = reverb.channels == 2 && step == 2;
    while (count > 0) {
        const int clear = framesClear(cursors);
        int frames;
        if (most == kQuad && clear >= kQuad && count >= kQuad) {
            frames = std::min(clear, count) / kQuad * kQuad;
            if (stereo) runBlocks<true>(c, s, cursors.at, reverb, samples, frames, step);
            else runBlocks<false>(c, s, cursors.at, reverb, samples, frames, step);
            advance<false>(cursors, net, frames);
        } else {
            frames = std::min(most, count);
            runCopiedBlock(c, s, cursors, net, reverb, stereo, samples, frames, step);
            advance<true>(cursors, net, frames);
        }
        samples += static_cast<ptrdiff_t>(frames) * step;
        count -= frames;
    }
    std::copy(cursors.at, cursors.at + kLines, net.cursor);
    for (int g = 0; g < kGroups; ++g)
        _mm_storeu_ps(net.store + kQuad * g, _mm256_cvtpd_ps(s.store[g]));
    _mm256_zeroupper();
}

} // namespace

void runNetworkAvx(Network &net, const MvReverb &reverb, float *samples, int count, int step) {
    if (count > 1 && std::abs(step) < reverb.channels)
        runNetworkStaged(net, reverb, samples, count, step);
    else runInBlocks(net, reverb, samples, count, step);
}

} // namespace mv
#endif
