// Reverberator arithmetic: sums and products of a frame in double, every
// value stored into the block and every output sample rounded to float.
// Values read back from the recirculating lines are flushed to +0 when
// subnormal, which keeps decaying tails out of slow denormal arithmetic.
#include "mv_reverb.h"

#include "mv_dsp_samples.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>

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
    return (std::bit_cast<uint32_t>(value) & kExponentBits) ? value : 0.0f;
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

void advance(int32_t &index, int32_t size)
{
    if (++index >= size) index = 0;
}

double combStep(MvReverbComb &comb, double input)
{
    const float out = flush(comb.buffer[comb.bufIndex]);
    comb.filterStore = flush(static_cast<float>(out * static_cast<double>(comb.damp2) +
                                                comb.filterStore * static_cast<double>(comb.damp1)));
    comb.buffer[comb.bufIndex] =
        static_cast<float>(input + comb.filterStore * static_cast<double>(comb.feedback));
    advance(comb.bufIndex, comb.bufSize);
    return out;
}

double allpassStep(MvReverbAllpass &allpass, double input)
{
    const float delayed = flush(allpass.buffer[allpass.bufIndex]);
    allpass.buffer[allpass.bufIndex] =
        static_cast<float>(input + delayed * static_cast<double>(allpass.feedback));
    advance(allpass.bufIndex, allpass.bufSize);
    return delayed - input;
}

double sideOutput(MvReverbComb *combs, MvReverbAllpass *allpasses, double input)
{
    double sum = 0;
    for (int i = 0; i < MV_REVERB_COMBS; ++i) sum += combStep(combs[i], input);
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) sum = allpassStep(allpasses[i], sum);
    return sum;
}

void processFrame(MvReverb *reverb, float *frame)
{
    double input = loadSample(frame);
    for (int j = 1; j < reverb->channels; ++j) input += loadSample(frame + j);
    input *= reverb->gain;
    const double left = static_cast<float>(sideOutput(reverb->combL, reverb->allpassL, input));
    const double right = static_cast<float>(sideOutput(reverb->combR, reverb->allpassR, input));
    const double wet1 = reverb->wet1, wet2 = reverb->wet2, dry = reverb->dry;
    for (int j = 0; j < reverb->channels; ++j) {
        const double wetMix = (j % 2 == 0) ? left * wet1 + right * wet2 : right * wet1 + left * wet2;
        storeSample(frame + j, static_cast<float>(wetMix + loadSample(frame + j) * dry));
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
    for (int k = 0; k < count; ++k, samples += step) processFrame(reverb, samples);
}
