// Standard downmix weights for the engine's channel matrix: a file with
// more channels than the sink's sound model is folded down instead of
// losing every channel past the model's.
#pragma once

#include <vector>

// Weights for mvSetChannelMatrix (sourceChannels rows of outputChannels),
// or empty when the file needs none (it has no more channels than the
// model). outputChannels is 1 (mono model) or 2 (stereo model).
std::vector<float> downmixWeights(int sourceChannels, int outputChannels);
