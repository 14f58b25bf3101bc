// Block biquad cost per sample: the low-pass at 1000 Hz / 44100 Hz over
// blocks of 4096 noise samples, the work the plain C peer figure (D2)
// measures. Each iteration refreshes the block so no run decays.
#include "bench_common.h"
#include "dsp/mv_biquad.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

using namespace mv;

namespace {

constexpr int kBlock = 4096;

void BM_BiquadLowpass(benchmark::State &state) {
    MvBiquad filter{};
    filter.sampleRate = 44100;
    biquadLowpass(&filter, 1000, 0);
    const std::vector<float> input = mvbench::xorshiftNoise(kBlock, 1);
    std::vector<float> work(kBlock);
    for (auto _ : state) {
        std::memcpy(work.data(), input.data(), kBlock * sizeof(float));
        biquadProcess(&filter, work.data(), kBlock, 1);
        benchmark::DoNotOptimize(work.data());
    }
    mvbench::nanosecondsPerItem(state, "ns/sample", kBlock);
}
BENCHMARK(BM_BiquadLowpass);

} // namespace
