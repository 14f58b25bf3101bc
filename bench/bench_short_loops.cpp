// Voices looping very short clips: every few output frames each voice wraps
// to its loop start, the worst case for what the audio side reports back
// per block. Measured as seconds of 48000 Hz mono output rendered per CPU
// second through a loopback sink in 256-frame blocks, the calling thread
// draining the down queue every 8 blocks as a quiet host's dispatcher would.
#include "bench_common.h"
#include "marovel_audio.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr int kSinkRate = 48000;
constexpr int kBlockFrames = 256;
constexpr int kBlocksPerDrain = 8;
constexpr int kBlocksPerSecond = kSinkRate / kBlockFrames;

struct Scene {
    int voices;
    int clipFrames;
};

void renderShortLoops(benchmark::State &state, Scene scene) {
    MvSink *sink = mvbench::openLoopbackSink(1, kBlockFrames, kSinkRate, MV_FORMAT_FLOAT32);
    if (!sink) {
        state.SkipWithError("engine set-up failed");
        return;
    }
    std::vector<float> clip(size_t(scene.clipFrames), 0.01f);
    std::vector<float> output(kBlockFrames);
    for (int v = 0; v < scene.voices; ++v) {
        MvSampler *sampler = nullptr;
        mvNewSampler(&sampler, &sink->base);
        mvEnqueueClip(&sampler->machine, 0, nullptr, nullptr, 1, kSinkRate, MV_FORMAT_FLOAT32, 1,
                      scene.clipFrames, clip.data());
        mvSetLooping(&sampler->machine, 1);
        mvPlay(&sampler->machine);
        if (v % 16 == 15) mvRenderLoopbackSink(sink, kBlockFrames, output.data());
    }
    auto renderSecond = [&] {
        for (int block = 0; block < kBlocksPerSecond; ++block) {
            mvRenderLoopbackSink(sink, kBlockFrames, output.data());
            if (block % kBlocksPerDrain == kBlocksPerDrain - 1) mvFlushDownQueueImpl(sink);
        }
        mvFlushDownQueueImpl(sink);
    };
    renderSecond(); // warm-up
    for (auto _ : state) {
        renderSecond();
        benchmark::DoNotOptimize(output.data());
    }
    const double outputSeconds =
        double(state.iterations()) * kBlocksPerSecond * kBlockFrames / kSinkRate;
    state.counters["output-s/CPU-s"] =
        benchmark::Counter(outputSeconds, benchmark::Counter::kIsRate);
    mvUninitialize();
}

} // namespace

BENCHMARK_CAPTURE(renderShortLoops, L1_32_voices_100_frames, Scene{32, 100})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderShortLoops, L2_1_voice_4_frames, Scene{1, 4})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderShortLoops, L3_64_voices_4_frames, Scene{64, 4})
    ->Unit(benchmark::kMillisecond);
