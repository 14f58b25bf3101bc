// Pieces the benchmark programs share: the engine on a loopback sink,
// reproducible noise input and the inverted-rate counter that reports
// nanoseconds per sample or frame.
#pragma once

#include "marovel_audio.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mvbench {

// Initialises the engine on the fallback backend alone (thread-unsafe
// dispatcher) and opens a loopback sink of a mono (1 channel) or stereo
// model; null when any step fails.
inline MvSink *openLoopbackSink(int channels, int blockFrames, int rate, int format) {
    const int order[7] = {7, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 7; ++i) mvBackendOrder[i] = order[i];
    MvDispatcher *dispatcher = nullptr;
    MvSoundModel *model = nullptr;
    MvSink *sink = nullptr;
    if (mvNewThreadUnsafeDispatcher(&dispatcher) || mvInitialize(dispatcher) ||
        (channels == 1 ? mvNewMonoSoundModel(&model) : mvNewStereoSoundModel(&model)) ||
        mvNewSink(&sink, model, blockFrames) || mvOpenLoopbackSink(sink, rate, channels, format))
        return nullptr;
    return sink;
}

// xorshift32 noise in [-amplitude, amplitude], the same for the same seed.
inline std::vector<float> xorshiftNoise(size_t count, uint32_t seed, float amplitude = 1.0f) {
    std::vector<float> samples(count);
    uint32_t state = seed;
    for (float &x : samples) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        x = amplitude * (static_cast<float>(state) / 2147483648.0f - 1.0f);
    }
    return samples;
}

// Counter `name` reading nanoseconds per item, itemsPerIteration per loop pass.
inline void nanosecondsPerItem(benchmark::State &state, const std::string &name,
                               double itemsPerIteration) {
    constexpr double kSecondsPerNanosecond = 1e-9;
    state.counters[name] = benchmark::Counter(itemsPerIteration * kSecondsPerNanosecond,
                                              benchmark::Counter::kIsIterationInvariantRate |
                                                  benchmark::Counter::kInvert);
}

} // namespace mvbench
