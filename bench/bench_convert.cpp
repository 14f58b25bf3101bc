// Converter throughput, in samples per second. The float32 -> int16 clip
// case uses the same input and buffer size as the plain-C peer figure C1f
// (two sines reaching past full scale, 1 Mi samples per pass), so the two
// can be read side by side.
#include "marovel_audio.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr size_t kSamples = size_t(1) << 20;

const std::vector<float> &audioInput() {
    static const std::vector<float> input = [] {
        std::vector<float> samples(kSamples);
        for (size_t i = 0; i < kSamples; ++i)
            samples[i] = float(0.62 * std::sin(2 * M_PI * 441.0 * double(i) / 48000) +
                               0.43 * std::sin(2 * M_PI * 1003.7 * double(i) / 48000));
        return samples;
    }();
    return input;
}

// Converts the float input (contiguous, or every channel of interleaved
// stereo frames when stride is 2) to the destination format.
void convertFromFloat(benchmark::State &state, int destination, bool clip, bool dither,
                      int stride) {
    const std::vector<float> &input = audioInput();
    std::vector<uint8_t> output(kSamples * size_t(mvGetSampleSize(destination)));
    MvConverter converter = mvSelectConverter(MV_FORMAT_FLOAT32, destination, clip, dither);
    MvTriangularDitherState ditherState;
    mvInitializeTriangularDitherState(&ditherState);
    const unsigned count = unsigned(kSamples / size_t(stride));
    for (auto _ : state) {
        for (int channel = 0; channel < stride; ++channel)
            converter(output.data() + channel * mvGetSampleSize(destination), stride,
                      input.data() + channel, stride, count, &ditherState);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSamples));
}

void Int24ToFloat(benchmark::State &state) {
    std::vector<uint8_t> input(kSamples * 3);
    for (size_t i = 0; i < input.size(); ++i) input[i] = uint8_t(i * 131);
    std::vector<float> output(kSamples);
    MvConverter converter = mvSelectConverter(MV_FORMAT_INT24, MV_FORMAT_FLOAT32, 0, 0);
    for (auto _ : state) {
        converter(output.data(), 1, input.data(), 1, unsigned(kSamples), nullptr);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSamples));
}

} // namespace

BENCHMARK_CAPTURE(convertFromFloat, FloatToInt16Clip, MV_FORMAT_INT16, true, false, 1);
BENCHMARK_CAPTURE(convertFromFloat, FloatToInt16ClipStereoStride, MV_FORMAT_INT16, true, false, 2);
BENCHMARK_CAPTURE(convertFromFloat, FloatToInt16ClipDither, MV_FORMAT_INT16, true, true, 1);
BENCHMARK_CAPTURE(convertFromFloat, FloatToInt32Clip, MV_FORMAT_INT32, true, false, 1);
BENCHMARK_CAPTURE(convertFromFloat, FloatToInt24Clip, MV_FORMAT_INT24, true, false, 1);
BENCHMARK_CAPTURE(convertFromFloat, FloatToFloatClip, MV_FORMAT_FLOAT32, true, false, 1);
BENCHMARK_CAPTURE(convertFromFloat, FloatToUint8Clip, MV_FORMAT_UINT8, true, false, 1);
BENCHMARK(Int24ToFloat);
