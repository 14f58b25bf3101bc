// Reverberator arithmetic: sums and products of a frame in double, every
// value stored into the block and every output sample rounded to float.
// Values read back from the recirculating lines are flushed to +0 when
// subnormal, which keeps decaying tails out of slow denormal arithmetic.
#include "mv_reverb.h"

#include "mv_dsp_samples.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kCombTuning[MV_REVERB_COMBS] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
constexpr int kAllpassTuning[MV_REVERB_ALLPASSES] = {556, 441, 341, 225};
constexpr int kStereoSpread = 23;  // right lines are longer by this at the tuning rate
constexpr int kTuningRate = 44100; // the rate the tunings are given for
constexpr float kAllpassFeedback = 0.5f;
constexpr float kFreezeThreshold = 0.5f;
constexpr double kInputGain = 0.03; // divided by the channel count
constexpr double kRoomScale = 0.28, kRoomOffset = 0.7;
constexpr double kDampScale = 0.4, kWetScale = 3.0, kDryScale = 2.0;
constexpr uint32_t kExponentBits = 0x7F800000;

// Exact in 32 bits for every accepted rate.
int lineLength(int rate, int tuning) { return rate * tuning / kTuningRate; }

size_t lineElements(int rate)
{
    size_t total = 0;
    for (int tuning : kCombTuning)
        total += lineLength(rate, tuning) + lineLength(rate, tuning + kStereoSpread);
    for (int tuning : kAllpassTuning)
        total += lineLength(rate, tuning) + lineLength(rate, tuning + kStereoSpread);
    return total;
}

float *lineStart(MvReverb *reverb) { return reinterpret_cast<float *>(reverb + 1); }

size_t blockLineElements(const MvReverb *reverb)
{
    const MvReverbAllpass &last = reverb->allpassR[MV_REVERB_ALLPASSES - 1];
    return static_cast<size_t>(last.buffer + last.bufSize -
                               reinterpret_cast<const float *>(reverb + 1));
}

bool isFrozen(const MvReverb *reverb) { return reverb->mode >= kFreezeThreshold; }

// Zero and subnormal floats (exponent bits all clear) become +0.
float flush(float value)
{
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    return std::bit_cast<float>((bits & kExponentBits) ? bits : 0u);
}

void update(MvReverb *reverb)
{
    const double halfWet = 0.5 * reverb->wet;
    reverb->wet1 = static_cast<float>(halfWet * (1.0 + reverb->width));
    reverb->wet2 = static_cast<float>(halfWet * (1.0 - reverb->width));
    if (isFrozen(reverb)) {
        reverb->roomSize1 = 1;
        reverb->damp1 = 0;
        reverb->gain = 0;
    } else {
        reverb->roomSize1 = reverb->roomSize;
        reverb->damp1 = reverb->damp;
        reverb->gain = static_cast<float>(kInputGain / reverb->channels);
    }
    for (MvReverbComb *combs : {reverb->combL, reverb->combR}) {
        for (int i = 0; i < MV_REVERB_COMBS; ++i) {
            combs[i].feedback = reverb->roomSize1;
            combs[i].damp1 = reverb->damp1;
            combs[i].damp2 = static_cast<float>(1.0 - reverb->damp1);
        }
    }
}

// The network of one call held in locals: a cursor into every delay line,
// the damping states and coefficients. Frames are processed in stretches in
// which no cursor wraps, so the per-sample work has no index bookkeeping and
// no stores into the record that the compiler would have to reload.
constexpr int kLines = 2 * (MV_REVERB_COMBS + MV_REVERB_ALLPASSES);
constexpr int kCombLines = 2 * MV_REVERB_COMBS;

struct Network {
    float *cursor[kLines]; // combs left 0..7, right 0..7, all-passes left 0..3, right 0..3
    float *start[kLines];
    float *end[kLines];
    float store[kCombLines];
    double damp1[kCombLines], damp2[kCombLines], feedback[kLines];
};

template <typename Filter>
void bindLine(Network &net, int line, const Filter &filter)
{
    net.start[line] = filter.buffer;
    net.end[line] = filter.buffer + filter.bufSize;
    net.cursor[line] = filter.buffer + filter.bufIndex;
    net.feedback[line] = filter.feedback;
}

void loadNetwork(Network &net, const MvReverb *reverb)
{
    for (int i = 0; i < MV_REVERB_COMBS; ++i) {
        for (int side = 0; side < 2; ++side) {
            const MvReverbComb &comb = side ? reverb->combR[i] : reverb->combL[i];
            const int line = side * MV_REVERB_COMBS + i;
            bindLine(net, line, comb);
            net.store[line] = comb.filterStore;
            net.damp1[line] = comb.damp1;
            net.damp2[line] = comb.damp2;
        }
    }
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
        bindLine(net, kCombLines + i, reverb->allpassL[i]);
        bindLine(net, kCombLines + MV_REVERB_ALLPASSES + i, reverb->allpassR[i]);
    }
}

void saveNetwork(const Network &net, MvReverb *reverb)
{
    auto index = [&](int line) { return static_cast<int32_t>(net.cursor[line] - net.start[line]); };
    for (int i = 0; i < MV_REVERB_COMBS; ++i) {
        reverb->combL[i].filterStore = net.store[i];
        reverb->combL[i].bufIndex = index(i);
        reverb->combR[i].filterStore = net.store[MV_REVERB_COMBS + i];
        reverb->combR[i].bufIndex = index(MV_REVERB_COMBS + i);
    }
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
        reverb->allpassL[i].bufIndex = index(kCombLines + i);
        reverb->allpassR[i].bufIndex = index(kCombLines + MV_REVERB_ALLPASSES + i);
    }
}

int framesBeforeWrap(const Network &net)
{
    ptrdiff_t frames = net.end[0] - net.cursor[0];
    for (int line = 1; line < kLines; ++line) frames = std::min(frames, net.end[line] - net.cursor[line]);
    return static_cast<int>(frames);
}

void advanceCursors(Network &net, int frames)
{
    for (int line = 0; line < kLines; ++line) {
        net.cursor[line] += frames;
        if (net.cursor[line] == net.end[line]) net.cursor[line] = net.start[line];
    }
}

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

#if defined(__SSE2__)
// Four frames at a time in SSE2: the same IEEE operations as the scalar
// statements below, on independent frames, so the results are identical.
constexpr int kLanes = 4;

__m128 flushLanes(__m128 values)
{
    const __m128 exponent = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(kExponentBits)));
    return _mm_and_ps(values, _mm_cmpneq_ps(_mm_and_ps(values, exponent), _mm_setzero_ps()));
}

__m128d lowHalf(__m128 values) { return _mm_cvtps_pd(values); }
__m128d highHalf(__m128 values) { return _mm_cvtps_pd(_mm_movehl_ps(values, values)); }
__m128 toFloats(__m128d low, __m128d high) { return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high)); }
#endif

// Reads every comb's delayed values, adds them to the side sums in comb
// order and forms their damped share.
void readCombs(Network &net, Pass &pass)
{
    for (int s = 0; s < 2; ++s) std::fill_n(pass.side[s], pass.frames, 0.0);
    for (int line = 0; line < kCombLines; ++line) {
        const float *cells = net.cursor[line];
        double *sum = pass.side[line / MV_REVERB_COMBS];
        const double damp2 = net.damp2[line];
        int k = 0;
#if defined(__SSE2__)
        for (; k + kLanes <= pass.frames; k += kLanes) {
            const __m128 out = flushLanes(_mm_loadu_ps(cells + k));
            const __m128d low = lowHalf(out), high = highHalf(out);
            _mm_storeu_pd(sum + k, _mm_add_pd(_mm_loadu_pd(sum + k), low));
            _mm_storeu_pd(sum + k + 2, _mm_add_pd(_mm_loadu_pd(sum + k + 2), high));
            _mm_storeu_pd(pass.damped[line] + k, _mm_mul_pd(low, _mm_set1_pd(damp2)));
            _mm_storeu_pd(pass.damped[line] + k + 2, _mm_mul_pd(high, _mm_set1_pd(damp2)));
        }
#endif
        for (; k < pass.frames; ++k) {
            const float out = flush(cells[k]);
            sum[k] += out;
            pass.damped[line][k] = out * damp2;
        }
    }
}

// The one recurrence of the network: each comb's one-pole damping state.
// All sixteen run side by side so their latencies overlap.
void dampCombs(Network &net, Pass &pass)
{
#if defined(__SSE2__)
    // Two combs per vector, eight vectors in flight.
    constexpr int pairs = kCombLines / 2;
    __m128 store[pairs];
    __m128d damp1[pairs];
    for (int p = 0; p < pairs; ++p) {
        store[p] = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(net.store + 2 * p)));
        damp1[p] = _mm_loadu_pd(net.damp1 + 2 * p);
    }
    for (int k = 0; k < pass.frames; ++k) {
        for (int p = 0; p < pairs; ++p) {
            const __m128d damped = _mm_loadh_pd(_mm_load_sd(&pass.damped[2 * p][k]), &pass.damped[2 * p + 1][k]);
            const __m128d sum = _mm_add_pd(damped, _mm_mul_pd(_mm_cvtps_pd(store[p]), damp1[p]));
            store[p] = flushLanes(_mm_cvtpd_ps(sum));
            _mm_store_ss(&pass.store[2 * p][k], store[p]);
            _mm_store_ss(&pass.store[2 * p + 1][k], _mm_shuffle_ps(store[p], store[p], 1));
        }
    }
    for (int p = 0; p < pairs; ++p)
        _mm_storel_epi64(reinterpret_cast<__m128i *>(net.store + 2 * p), _mm_castps_si128(store[p]));
#else
    float store[kCombLines];
    std::copy_n(net.store, kCombLines, store);
    for (int k = 0; k < pass.frames; ++k) {
        for (int line = 0; line < kCombLines; ++line) {
            store[line] = flush(static_cast<float>(pass.damped[line][k] + store[line] * net.damp1[line]));
            pass.store[line][k] = store[line];
        }
    }
    std::copy_n(store, kCombLines, net.store);
#endif
}

void writeCombs(Network &net, const Pass &pass)
{
    for (int line = 0; line < kCombLines; ++line) {
        float *cells = net.cursor[line];
        const double feedback = net.feedback[line];
        int k = 0;
#if defined(__SSE2__)
        for (; k + kLanes <= pass.frames; k += kLanes) {
            const __m128 state = _mm_loadu_ps(pass.store[line] + k);
            const __m128d fb = _mm_set1_pd(feedback);
            const __m128d low = _mm_add_pd(_mm_loadu_pd(pass.input + k), _mm_mul_pd(lowHalf(state), fb));
            const __m128d high = _mm_add_pd(_mm_loadu_pd(pass.input + k + 2), _mm_mul_pd(highHalf(state), fb));
            _mm_storeu_ps(cells + k, toFloats(low, high));
        }
#endif
        for (; k < pass.frames; ++k) cells[k] = static_cast<float>(pass.input[k] + pass.store[line][k] * feedback);
    }
}

void runAllpasses(Network &net, Pass &pass)
{
    for (int s = 0; s < 2; ++s) {
        double *acc = pass.side[s];
        for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
            const int line = kCombLines + s * MV_REVERB_ALLPASSES + i;
            float *cells = net.cursor[line];
            const double feedback = net.feedback[line];
            int k = 0;
#if defined(__SSE2__)
            for (; k + kLanes <= pass.frames; k += kLanes) {
                const __m128 delayed = flushLanes(_mm_loadu_ps(cells + k));
                const __m128d fb = _mm_set1_pd(feedback);
                const __m128d low = lowHalf(delayed), high = highHalf(delayed);
                const __m128d accLow = _mm_loadu_pd(acc + k), accHigh = _mm_loadu_pd(acc + k + 2);
                _mm_storeu_ps(cells + k, toFloats(_mm_add_pd(accLow, _mm_mul_pd(low, fb)),
                                                  _mm_add_pd(accHigh, _mm_mul_pd(high, fb))));
                _mm_storeu_pd(acc + k, _mm_sub_pd(low, accLow));
                _mm_storeu_pd(acc + k + 2, _mm_sub_pd(high, accHigh));
            }
#endif
            for (; k < pass.frames; ++k) {
                const float delayed = flush(cells[k]);
                cells[k] = static_cast<float>(acc[k] + delayed * feedback);
                acc[k] = delayed - acc[k];
            }
        }
    }
}

void readInput(const MvReverb *reverb, Pass &pass, const float *samples, int step)
{
    const double gain = reverb->gain;
    for (int k = 0; k < pass.frames; ++k, samples += step) {
        double input = loadSample(samples);
        for (int j = 1; j < reverb->channels; ++j) input += loadSample(samples + j);
        pass.input[k] = input * gain;
    }
}

void writeOutput(const MvReverb *reverb, const Pass &pass, float *samples, int step)
{
    const double wet1 = reverb->wet1, wet2 = reverb->wet2, dry = reverb->dry;
    for (int k = 0; k < pass.frames; ++k, samples += step) {
        const double left = static_cast<float>(pass.side[0][k]);
        const double right = static_cast<float>(pass.side[1][k]);
        for (int j = 0; j < reverb->channels; ++j) {
            const double wetMix = (j % 2 == 0) ? left * wet1 + right * wet2 : right * wet1 + left * wet2;
            storeSample(samples + j, static_cast<float>(wetMix + loadSample(samples + j) * dry));
        }
    }
}

} // namespace

size_t reverbBlockSize(int rate) { return sizeof(MvReverb) + sizeof(float) * lineElements(rate); }

void reverbInit(void *block, int rate, int channels, float roomSize, float damp, float wet,
                float dry, float width, float mode)
{
    MvReverb *reverb = static_cast<MvReverb *>(block);
    reverb->channels = channels;
    float *line = lineStart(reverb);
    auto takeLine = [&](int tuning, float *&buffer, int32_t &bufSize) {
        buffer = line;
        bufSize = lineLength(rate, tuning);
        line += bufSize;
    };
    for (int i = 0; i < MV_REVERB_COMBS; ++i) {
        for (MvReverbComb *comb : {&reverb->combL[i], &reverb->combR[i]}) {
            comb->filterStore = 0;
            comb->bufIndex = 0;
        }
        takeLine(kCombTuning[i], reverb->combL[i].buffer, reverb->combL[i].bufSize);
        takeLine(kCombTuning[i] + kStereoSpread, reverb->combR[i].buffer, reverb->combR[i].bufSize);
    }
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
        for (MvReverbAllpass *allpass : {&reverb->allpassL[i], &reverb->allpassR[i]}) {
            allpass->feedback = kAllpassFeedback;
            allpass->bufIndex = 0;
        }
        takeLine(kAllpassTuning[i], reverb->allpassL[i].buffer, reverb->allpassL[i].bufSize);
        takeLine(kAllpassTuning[i] + kStereoSpread, reverb->allpassR[i].buffer,
                 reverb->allpassR[i].bufSize);
    }
    // Stored without an update each, so the last update sees all six.
    reverb->wet = static_cast<float>(kWetScale * wet);
    reverb->roomSize = static_cast<float>(kRoomScale * roomSize + kRoomOffset);
    reverb->dry = static_cast<float>(kDryScale * dry);
    reverb->damp = static_cast<float>(kDampScale * damp);
    reverb->width = width;
    reverb->mode = mode;
    update(reverb);
    std::memset(lineStart(reverb), 0, sizeof(float) * blockLineElements(reverb));
}

void reverbSetRoomSize(MvReverb *reverb, float value)
{
    reverb->roomSize = static_cast<float>(kRoomScale * value + kRoomOffset);
    update(reverb);
}

void reverbSetDamp(MvReverb *reverb, float value)
{
    reverb->damp = static_cast<float>(kDampScale * value);
    update(reverb);
}

void reverbSetWet(MvReverb *reverb, float value)
{
    reverb->wet = static_cast<float>(kWetScale * value);
    update(reverb);
}

void reverbSetDry(MvReverb *reverb, float value) { reverb->dry = static_cast<float>(kDryScale * value); }

void reverbSetWidth(MvReverb *reverb, float value)
{
    reverb->width = value;
    update(reverb);
}

void reverbSetMode(MvReverb *reverb, float value)
{
    reverb->mode = value;
    update(reverb);
}

void reverbMute(MvReverb *reverb)
{
    if (isFrozen(reverb)) return;
    std::memset(lineStart(reverb), 0, sizeof(float) * blockLineElements(reverb));
}

void reverbProcess(MvReverb *reverb, float *samples, int count, int step)
{
    if (count <= 0) return;
    Network net;
    Pass pass;
    loadNetwork(net, reverb);
    while (count > 0) {
        pass.frames = std::min({count, framesBeforeWrap(net), kPassFrames});
        readInput(reverb, pass, samples, step);
        readCombs(net, pass);
        dampCombs(net, pass);
        writeCombs(net, pass);
        runAllpasses(net, pass);
        writeOutput(reverb, pass, samples, step);
        advanceCursors(net, pass.frames);
        samples += static_cast<ptrdiff_t>(pass.frames) * step;
        count -= pass.frames;
    }
    saveNetwork(net, reverb);
}
