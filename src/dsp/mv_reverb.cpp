// Reverberator arithmetic: sums and products of a frame in double, every
// value stored into the block and every output sample rounded to float.
// Values read back from the recirculating lines are flushed to +0 when
// subnormal, which keeps decaying tails out of slow denormal arithmetic.
#include "mv_reverb.h"

#include "mv_reverb_stages.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace mv {

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

// Exact in 32 bits for every accepted rate.
int lineLength(int rate, int tuning) { return rate * tuning / kTuningRate; }

size_t lineElements(int rate) {
    size_t total = 0;
    for (int tuning : kCombTuning)
        total += lineLength(rate, tuning) + lineLength(rate, tuning + kStereoSpread);
    for (int tuning : kAllpassTuning)
        total += lineLength(rate, tuning) + lineLength(rate, tuning + kStereoSpread);
    return total;
}

float *lineStart(MvReverb *reverb) { return reinterpret_cast<float *>(reverb + 1); }

size_t blockLineElements(const MvReverb *reverb) {
    const MvReverbAllpass &last = reverb->allpassR[MV_REVERB_ALLPASSES - 1];
    return static_cast<size_t>(last.buffer + last.bufSize -
                               reinterpret_cast<const float *>(reverb + 1));
}

bool isFrozen(const MvReverb *reverb) { return reverb->mode >= kFreezeThreshold; }

void update(MvReverb *reverb) {
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

template <typename Filter> void bindLine(Network &net, int line, const Filter &filter) {
    net.start[line] = filter.buffer;
    net.end[line] = filter.buffer + filter.bufSize;
    net.cursor[line] = filter.buffer + filter.bufIndex;
    net.feedback[line] = filter.feedback;
}

void loadNetwork(Network &net, const MvReverb *reverb) {
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

void saveNetwork(const Network &net, MvReverb *reverb) {
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

// The widest kernel this processor runs, chosen once at load time.
NetworkRun bestRun() {
    for (ReverbKernel kernel : {ReverbKernel::Avx, ReverbKernel::Sse2})
        if (NetworkRun run = networkRunFor(kernel)) return run;
    return networkRunFor(ReverbKernel::Scalar);
}
const NetworkRun kBestRun = bestRun();

void process(NetworkRun run, MvReverb *reverb, float *samples, int count, int step) {
    if (count <= 0) return;
    Network net;
    loadNetwork(net, reverb);
    run(net, *reverb, samples, count, step);
    saveNetwork(net, reverb);
}

} // namespace

size_t reverbBlockSize(int rate) { return sizeof(MvReverb) + sizeof(float) * lineElements(rate); }

void reverbInit(void *block, int rate, int channels, float roomSize, float damp, float wet,
                float dry, float width, float mode) {
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

void reverbSetRoomSize(MvReverb *reverb, float value) {
    reverb->roomSize = static_cast<float>(kRoomScale * value + kRoomOffset);
    update(reverb);
}

void reverbSetDamp(MvReverb *reverb, float value) {
    reverb->damp = static_cast<float>(kDampScale * value);
    update(reverb);
}

void reverbSetWet(MvReverb *reverb, float value) {
    reverb->wet = static_cast<float>(kWetScale * value);
    update(reverb);
}

void reverbSetDry(MvReverb *reverb, float value) {
    reverb->dry = static_cast<float>(kDryScale * value);
}

void reverbSetWidth(MvReverb *reverb, float value) {
    reverb->width = value;
    update(reverb);
}

void reverbSetMode(MvReverb *reverb, float value) {
    reverb->mode = value;
    update(reverb);
}

void reverbMute(MvReverb *reverb) {
    if (isFrozen(reverb)) return;
    std::memset(lineStart(reverb), 0, sizeof(float) * blockLineElements(reverb));
}

void reverbProcess(MvReverb *reverb, float *samples, int count, int step) {
    process(kBestRun, reverb, samples, count, step);
}

bool reverbKernelAvailable(ReverbKernel kernel) { return networkRunFor(kernel) != nullptr; }

void reverbProcessWith(ReverbKernel kernel, MvReverb *reverb, float *samples, int count, int step) {
    process(networkRunFor(kernel), reverb, samples, count, step);
}

} // namespace mv
