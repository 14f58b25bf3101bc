// Block biquad cost per sample: the low-pass at 1000 Hz / 44100 Hz over
// blocks of 4096 noise samples, the work the plain C peer figure (D2)
// measures. Each iteration refreshes the block so no run decays.
#include "dsp/mv_biquad.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int kBlock = 4096;

std::vector<float> noiseBlock()
{
    std::vector<float> block(kBlock);
    uint32_t state = 1;
    for (float &x : block) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        x = static_cast<float>(state) / 2147483648.0f - 1.0f;
    }
    return block;
}

void perSampleCounter(benchmark::State &state, int samplesPerIteration)
{
    state.counters["ns/sample"] = benchmark::Counter(
        samplesPerIteration * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_BiquadLowpass(benchmark::State &state)
{
    MvBiquad filter{};
    filter.sampleRate = 44100;
    biquadLowpass(&filter, 1000, 0);
    const std::vector<float> input = noiseBlock();
    std::vector<float> work(kBlock);
    for (auto _ : state) {
        std::memcpy(work.data(), input.data(), kBlock * sizeof(float));
        biquadProcess(&filter, work.data(), kBlock, 1);
        benchmark::DoNotOptimize(work.data());
    }
    perSampleCounter(state, kBlock);
}
BENCHMARK(BM_BiquadLowpass);

} // namespace
