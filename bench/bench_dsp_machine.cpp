// Per-block cost of a program attached to a stereo 48000 Hz loopback sink
// with 512-frame blocks: the machine's own work (pull into the image, run,
// accumulate) with the pass-through program, and the low-pass and reverb
// send examples. A constant source keeps the sources' share negligible.
#include "bench_common.h"
#include "bench_dsp_examples.h"
#include "marovel_audio.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBlockFrames = 512;
constexpr uint16_t kStack = 1024;

struct ConstantSource {
    MvMachine machine;
    MvSource source;
};

MvSource *renderConstant(MvSink *, void *self, float, float, double, double, int frames,
                         float *buffer) {
    for (int i = 0; i < frames * kChannels; ++i) buffer[i] += 0.25f;
    return static_cast<ConstantSource *>(self)->source.activeNext;
}

void releaseConstant(MvSink *, void *self) { delete static_cast<ConstantSource *>(self); }

void runAttached(benchmark::State &state, const std::vector<uint8_t> &program) {
    if (program.empty()) {
        state.SkipWithError("the example program does not assemble");
        return;
    }
    MvSink *sink = mvbench::openLoopbackSink(kChannels, kBlockFrames, kRate, MV_FORMAT_FLOAT32);
    if (!sink) {
        state.SkipWithError("cannot build the loopback tree");
        return;
    }
    auto *source = new ConstantSource{};
    mvInitMachine(&source->machine, source, nullptr, &source->source, sink, nullptr);
    mvInitSource(&source->source, &source->machine, &sink->destination, renderConstant,
                 releaseConstant);
    mvDispatcher->lock();
    mvSourceConnect(&source->source);
    mvDispatcher->post(sink, reinterpret_cast<MvMessageFunc>(mvSourceActivate), &source->source);
    if (mvSetDSP(&sink->base, uint16_t(program.size()), program.data(), kStack, 0, nullptr))
        state.SkipWithError("cannot attach the program");

    std::vector<float> out(size_t(kBlockFrames) * kChannels);
    for (auto _ : state) {
        mvRenderLoopbackSink(sink, kBlockFrames, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    if (mvGetDSPError(&sink->base, nullptr, nullptr, nullptr, nullptr) != 0)
        state.SkipWithError("the program failed");
    mvbench::nanosecondsPerItem(state, "ns/frame", kBlockFrames);
    mvUninitialize();
}

void BM_PassThroughBlock(benchmark::State &state) {
    runAttached(state, {0x04, 0x00, 0x0D, 0x00, 0x04, 0x01, 0x0D, 0x00, 0x04, 0x02, 0x0D, 0x00,
                        0x01, 0x01});
}
BENCHMARK(BM_PassThroughBlock);

void BM_LowPassBlock(benchmark::State &state) {
    runAttached(state, mvbench::assembledExample("lowpass.mvs"));
}
BENCHMARK(BM_LowPassBlock);

void BM_ReverbSendBlock(benchmark::State &state) {
    runAttached(state, mvbench::assembledExample("reverb.mvs"));
}
BENCHMARK(BM_ReverbSendBlock);

} // namespace
