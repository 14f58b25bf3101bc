// Sampler render cost in voice-frames per second: looping 1 s clips of
// 44100 Hz int16 sines played with linear interpolation and gain 0.5 on a
// 48000 Hz stereo float32 loopback sink, rendered in 1024-frame blocks.
// The scenes match the peer measurements A1-A4 (shared/peers): 64 mono
// voices; 64 stereo voices; 64 mono voices at rate 1.37; 256 mono voices.
#include "bench_common.h"
#include "marovel_audio.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int kSinkRate = 48000;
constexpr int kClipRate = 44100;
constexpr int kBlockFrames = 1024;
constexpr int kClipCount = 64;
constexpr int kRenderFrames = 46 * kBlockFrames; // about one second per iteration
// Frames rendered between two drains of the down queue: the calling thread
// is the whole control side, and 256 looping voices send more wrap notices
// per second than the queue holds.
constexpr int kDrainFrames = 8 * kBlockFrames;

struct Scene {
    int voices;
    int channels;
    double rate;
    int resampler = MV_RESAMPLER_STANDARD;
};

// Channel c of clip k: a sine of 110 + 37k + 53c Hz at a quarter of full
// scale (whole hertz, so the loop is seamless).
std::vector<int16_t> makeClip(int k, int channels) {
    std::vector<int16_t> data(size_t(kClipRate) * channels);
    for (int i = 0; i < kClipRate; ++i)
        for (int c = 0; c < channels; ++c) {
            const double hz = 110.0 + 37.0 * k + 53.0 * c;
            data[size_t(i) * channels + c] =
                int16_t(std::lrint(8191.0 * std::sin(2.0 * M_PI * hz * i / kClipRate)));
        }
    return data;
}

void renderScene(benchmark::State &state, Scene scene) {
    MvSink *sink = mvbench::openLoopbackSink(2, kBlockFrames, kSinkRate, MV_FORMAT_FLOAT32);
    if (!sink) {
        state.SkipWithError("engine set-up failed");
        return;
    }
    std::vector<std::vector<int16_t>> clips;
    for (int k = 0; k < kClipCount; ++k) clips.push_back(makeClip(k, scene.channels));
    std::vector<float> output(size_t(kRenderFrames) * 2);
    for (int v = 0; v < scene.voices; ++v) {
        MvSampler *sampler = nullptr;
        mvNewSampler(&sampler, &sink->base);
        MvMachine *machine = &sampler->machine;
        mvEnqueueClip(machine, 0, nullptr, nullptr, scene.channels, kClipRate, MV_FORMAT_INT16, 1,
                      kClipRate, clips[v % kClipCount].data());
        mvSetLooping(machine, 1);
        mvSetResampler(machine, scene.resampler);
        mvSetGain(machine, 0.0, 0.5f);
        mvSetFrequency(machine, 0.0, scene.rate);
        mvPlayAt(machine, double((691 * v) % kClipRate) / kClipRate);
        // Each voice queues five up-messages; let the sink apply them before
        // the queue fills.
        if (v % 16 == 15) {
            mvRenderLoopbackSink(sink, kBlockFrames, output.data());
            mvFlushDownQueueImpl(sink);
        }
    }
    auto renderSecond = [&] {
        for (int done = 0; done < kRenderFrames; done += kDrainFrames) {
            mvRenderLoopbackSink(sink, std::min(kDrainFrames, kRenderFrames - done), output.data());
            mvFlushDownQueueImpl(sink);
        }
    };
    renderSecond(); // warm-up
    for (auto _ : state) {
        renderSecond();
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRenderFrames * scene.voices);
    state.counters["Mvoice-frames/s"] =
        benchmark::Counter(double(state.iterations()) * kRenderFrames * scene.voices / 1e6,
                           benchmark::Counter::kIsRate);
    mvUninitialize();
}

} // namespace

BENCHMARK_CAPTURE(renderScene, A1_64_mono, Scene{64, 1, 1.0})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderScene, A2_64_stereo, Scene{64, 2, 1.0})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderScene, A3_64_mono_rate_1_37, Scene{64, 1, 1.37})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderScene, A4_256_mono, Scene{256, 1, 1.0})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderScene, A1_64_mono_bandlimited, Scene{64, 1, 1.0, MV_RESAMPLER_BANDLIMITED})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderScene, A2_64_stereo_bandlimited,
                  Scene{64, 2, 1.0, MV_RESAMPLER_BANDLIMITED})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderScene, A3_64_mono_rate_1_37_bandlimited,
                  Scene{64, 1, 1.37, MV_RESAMPLER_BANDLIMITED})
    ->Unit(benchmark::kMillisecond);
