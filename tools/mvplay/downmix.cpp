#include "downmix.h"

#include <cmath>

namespace {

// Centre and surrounds join the front pair 3 dB down; the LFE is dropped,
// as the usual stereo fold-down of 5.1 and 7.1 does.
const float kMinus3dB = float(M_SQRT1_2);

enum Side { left, right, both, none };

// Where each channel goes, in the channel order of WAV and FLAC files.
std::vector<Side> sidesOf(int channels) {
    switch (channels) {
    case 3: return {left, right, both};                                 // L R C
    case 4: return {left, right, left, right};                          // L R Ls Rs
    case 5: return {left, right, both, left, right};                    // L R C Ls Rs
    case 6: return {left, right, both, none, left, right};              // L R C LFE Ls Rs
    case 8: return {left, right, both, none, left, right, left, right}; // 7.1
    default: {
        std::vector<Side> sides(size_t(channels), both);
        sides[0] = left;
        sides[1] = right;
        return sides;
    }
    }
}

} // namespace

std::vector<float> downmixWeights(int sourceChannels, int outputChannels) {
    if (sourceChannels <= outputChannels) return {};
    std::vector<float> weights(size_t(sourceChannels) * size_t(outputChannels), 0.0f);
    if (outputChannels == 1) {
        for (float &w : weights) w = 1.0f / float(sourceChannels);
        return weights;
    }
    const std::vector<Side> sides = sidesOf(sourceChannels);
    for (int c = 0; c < sourceChannels; ++c) {
        float *row = &weights[size_t(c) * 2];
        const bool front = c < 2;
        switch (sides[size_t(c)]) {
        case left: row[0] = front ? 1.0f : kMinus3dB; break;
        case right: row[1] = front ? 1.0f : kMinus3dB; break;
        case both: row[0] = row[1] = kMinus3dB; break;
        case none: break;
        }
    }
    return weights;
}
