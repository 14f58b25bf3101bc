// Reverberator cost per stereo frame at 44100 Hz in blocks of 1024 frames,
// with the settings of the plain C peer figure (Ed): room size 0.5,
// damping 0.5, wet 1/3, dry 0, width 1, input noise at +-0.5.
#include "bench_common.h"
#include "dsp/mv_reverb.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

using namespace mv;

namespace {

constexpr int kRate = 44100;
constexpr int kBlockFrames = 1024;
constexpr int kInputFrames = 10 * kRate;

void BM_ReverbStereo(benchmark::State &state) {
    constexpr int channels = 2;
    std::vector<uint64_t> block(reverbBlockSize(kRate) / sizeof(uint64_t) + 1);
    reverbInit(block.data(), kRate, channels, 0.5f, 0.5f, 1 / 3.0f, 0, 1, 0);
    auto *reverb = reinterpret_cast<MvReverb *>(block.data());
    const std::vector<float> input =
        mvbench::xorshiftNoise(size_t(kInputFrames) * channels, 4242, 0.5f);
    std::vector<float> work(size_t(kBlockFrames) * channels);
    int position = 0;
    for (auto _ : state) {
        std::memcpy(work.data(), input.data() + size_t(position) * channels,
                    work.size() * sizeof(float));
        reverbProcess(reverb, work.data(), kBlockFrames, channels);
        benchmark::DoNotOptimize(work.data());
        position = (position + kBlockFrames) % (kInputFrames - kBlockFrames);
    }
    mvbench::nanosecondsPerItem(state, "ns/frame", kBlockFrames);
}
BENCHMARK(BM_ReverbStereo);

} // namespace
